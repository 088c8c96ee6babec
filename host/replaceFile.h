// replaceFile.h -- moves a finished file over its destination in one step
#pragma once

#include <string>

// Renames from over to, replacing an existing file. False on failure.
bool replaceFile(const std::string& from, const std::string& to);
// True when the stream is an interactive terminal.
bool isTerminal(int fd);
