// fileLayer.h -- files by name with host-style error codes
#pragma once

#include <cstdint>

#include "core/fixedFiles.h"  // the fixed names these functions are given
#include "core/hostInterface.h"

// The platform's file handle: a Win32 HANDLE or a POSIX descriptor. Both
// platforms' invalid value is -1 (never 0, which is standard input on POSIX).
typedef intptr_t FileHandle;
constexpr FileHandle kNoFile = -1;

// Position modes of fileSetPosition.
enum : int16_t {
  kPositionStay = 0,
  kPositionFromStart = 1,
  kPositionFromEnd = 2,
  kPositionFromCurrent = 3,
};

// Opens an existing file for reading and writing; a file that may only be read
// is opened read-only. -43 missing, -61 no access at all, -37 bad name,
// -42 too many open, -36 otherwise. On failure *handle is kNoFile.
OSErr fileOpen(const char* name, FileHandle* handle);
// The same, never read-only: -61 when the file may not be written.
OSErr fileOpenWritable(const char* name, FileHandle* handle);
// The same as fileOpen for the row-store files, with caching hints for temporary data.
OSErr fileOpenTemporary(const char* name, FileHandle* handle);
// Reads up to *count bytes; *count becomes the bytes read (0 at the end). -36.
OSErr fileRead(FileHandle handle, int32_t* count, void* buffer);
// Writes *count bytes; *count becomes the bytes written. -34 disk full, -36.
OSErr fileWrite(FileHandle handle, int32_t* count, const void* buffer);
// Moves the position; mode 0 does nothing. -51 bad handle, -40 bad position.
// Offsets are 64-bit so that row stores of very large images stay addressable.
OSErr fileSetPosition(FileHandle handle, int16_t mode, int64_t offset);
// -51 on any failure.
OSErr fileClose(FileHandle handle);
// -43 missing, -45 busy or not permitted, 0 otherwise.
OSErr fileDelete(const char* name);
// Creates the file empty (truncating an existing one); creator and type are
// accepted and not recorded. -43 no such path, -49 not permitted, -42.
OSErr fileCreate(const char* name, OSType creator, OSType fileType);
