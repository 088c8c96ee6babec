// replaceFile.h -- moves a finished file over its destination in one step
#pragma once

#include <string>

// Renames from over to, replacing an existing file. False on failure.
bool replaceFile(const std::string& from, const std::string& to);
// True when path names a plain file or nothing yet. Anything else (a pipe, a
// device) must be written into, not renamed over.
bool isPlainFileOrMissing(const std::string& path);
// True when the stream is an interactive terminal.
bool isTerminal(int fd);
