// storeFile.h -- a row store's file: one run's alone, out of reach of others, gone once closed
#pragma once

#include "store/fileLayer.h"

// POSIX: `data` is an unnamed file in the store directory, so no other process
// can reach the rows by name, and `claim` is the file at the fixed name, empty
// and locked while the run holds it, so a second run sharing the directory is
// refused instead of sharing it. Windows: `data` is the file at the fixed name,
// or at the same name in the per-user folder when "c:\" refuses the user,
// opened without sharing and deleted on close; `claim` is kNoFile. Either way
// a run that is killed leaves no rows behind. `path` is where the file was
// made (a block of its own), so closing gives up that name and no other.
struct StoreFile {
  FileHandle data;
  FileHandle claim;
  char* path;
};

// Makes name's store file, empty, for this run alone. -45 another run holds it,
// -49 no permission, -43 no such directory, -42 too many open files, -37 bad
// name, -108 no memory for the path, -36 otherwise (a pipe or other
// non-regular file at the name included). On Windows a refusal at "c:\" moves
// to the per-user folder, whose own codes (filePath.h) then stand.
OSErr openStoreFile(const char* name, StoreFile* file);
// Makes the store file `length` bytes long, the bytes past what was written
// all zero, without writing them, and takes the disk space for them now where
// the file system reserves it: *extended false (and 0) where the system cannot,
// and the caller writes the zeros itself. -34 the disk, the quota or the file
// size limit is too small for `length`, -36 another failure.
OSErr extendStoreFile(FileHandle data, int64_t length, bool* extended);
// Closes the file and gives up its name; a file never opened is accepted.
void closeStoreFile(StoreFile* file);
