// userFiles.h -- the user's files: IN opened only when it is a plain file, OUT replaced in one step
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Opens an existing plain file for reading. A directory, pipe or device is
// refused without blocking on it; on failure returns null with a one-line
// reason naming the file. "-" is standard input, read whatever it is (copied
// into an unnamed temporary file first when it cannot seek).
FILE* openPlainFile(const std::string& path, std::string* error);
// True for the names that stand for an open stream rather than a file: "-"
// (standard input or output), and on POSIX /dev/stdin, /dev/stdout,
// /dev/stderr, /dev/fd/N and /proc/self/fd/N.
bool isStreamName(const std::string& path);
// A read-write file with no name, gone when closed (null, with a reason,
// when none can be made).
FILE* createUnnamedFile(std::string* error);

// What replacing OUT takes, learnt before the filter runs so that a bad OUT
// fails at once.
struct OutputTarget {
  std::string path;     // the file that receives the image: OUT, or the file its link names
  bool stream = false;  // a pipe, device or open descriptor: written into, never renamed over
  int descriptor = -1;  // the open descriptor a stream name stands for ("-", /dev/fd/N)
  bool exists = false;
  uint32_t mode = 0;   // the existing file's permission bits (POSIX)
  int64_t owner = -1;  // and its owner and group (POSIX)
  int64_t group = -1;
  uint32_t attributes = 0;  // the existing file's attributes (Windows)
};

// Checks that OUT can be replaced: its folder exists, it is no directory, and
// an existing file is one the user may write (a read-only file is refused, as
// cp refuses it).
bool planOutput(const std::string& path, OutputTarget* target, std::string* error);

// Opens a stream target for writing where it stands: into its open
// descriptor (appending, when it was opened so), never truncating or
// replacing what lies behind it.
FILE* openStreamTarget(const OutputTarget& target, std::string* error);

// A new file made beside the target under a name no one else holds: created
// exclusively, never through a link planted at that name.
struct TemporaryFile {
  std::string path;
  FILE* stream = nullptr;
};

bool createTemporaryBeside(const OutputTarget& target, TemporaryFile* temporary,
                           std::string* error);
// Flushes the finished file to disk, gives it the replaced file's mode (or the
// mode a new file gets) and renames it over the target.
bool commitTemporary(const OutputTarget& target, TemporaryFile* temporary, std::string* error);
// Closes and removes an unfinished file; does nothing when none is open.
void discardTemporary(TemporaryFile* temporary);

// True when the stream is an interactive terminal.
bool isTerminal(int fd);

// The bytes a decoded image may take here (physical memory still free, within
// the address space limit), so that an image that cannot fit is refused
// before its data is read.
uint64_t memoryForImage();
// Bytes from the stream's position to the end of its file; -1 when the
// system cannot tell.
int64_t bytesLeftInFile(FILE* f);
// Reserves room for an image of bytes in *data (bad_alloc when it cannot).
// Where the system offers large pages the room is asked for in them: a
// decoded image touched page by page in small pages costs a fault a page.
void reserveImageBytes(std::vector<uint8_t>* data, size_t bytes);
// Which file a name leads to (links followed): device and file number on
// POSIX, volume and file index on Windows. False when it does not exist.
struct FileIdentity {
  uint64_t volume = 0, index = 0;
};
bool identifyFile(const std::string& path, FileIdentity* identity);
// True when two names in one folder name the same entry: exactly on POSIX,
// regardless of letter case on Windows.
bool isSameEntryName(const std::string& a, const std::string& b);

// The folder a batch writes into: an existing folder that takes new files, or
// a missing one whose parent does (*missing then set: makeFolder makes it once
// the batch is sure to run). False with one line naming the folder.
bool checkOutputFolder(const std::string& folder, bool* missing, std::string* error);
// Makes one folder, as mkdir does: its parent must exist. False with one line
// naming it.
bool makeFolder(const std::string& folder, std::string* error);
