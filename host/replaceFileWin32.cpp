// replaceFileWin32.cpp -- rename over the destination with MoveFileEx
#include <io.h>
#include <windows.h>

#include "host/replaceFile.h"

bool replaceFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool isTerminal(int fd) { return _isatty(fd) != 0; }
