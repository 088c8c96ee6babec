// replaceFilePosix.cpp -- atomic rename over the destination
#include <cerrno>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include "cli/replaceFile.h"

bool replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool isPlainFileOrMissing(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode);
}

bool isTerminal(int fd) { return isatty(fd) != 0; }
