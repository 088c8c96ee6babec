// filePathWin32.cpp -- the fixed names are real paths on Windows
#include <cstring>

#include "store/filePath.h"

bool resolveFilePath(const char* name, char* path, size_t size) {
  if (path == nullptr || size == 0) return false;
  path[0] = '\0';
  if (name == nullptr) return false;
  size_t length = std::strlen(name);
  if (length == 0 || length + 1 > size) return false;
  std::memcpy(path, name, length + 1);
  return true;
}
