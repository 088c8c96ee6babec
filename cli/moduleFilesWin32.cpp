// moduleFilesWin32.cpp -- the module's files live in the root of drive C:
#include <windows.h>

#include "cli/moduleFiles.h"

std::string moduleFolder() { return "c:\\"; }

std::string moduleFilePath(const char* name) { return std::string("c:\\") + name; }

// The drive root has no modes to get wrong.
std::string diagnoseModuleFolder() { return ""; }

bool isModuleFileInUse(const char* name) {
  const std::string path = moduleFilePath(name);
  // The module opens its files without sharing: any open fails while it holds one.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(file);
  return false;
}
