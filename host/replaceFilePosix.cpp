// replaceFilePosix.cpp -- atomic rename over the destination
#include <cstdio>
#include <unistd.h>

#include "host/replaceFile.h"

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool isTerminal(int fd) { return isatty(fd) != 0; }
