// replaceFileWin32.cpp -- rename over the destination with MoveFileEx
#include <io.h>
#include <windows.h>

#include "cli/replaceFile.h"

bool replaceFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool isPlainFileOrMissing(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD cause = GetLastError();
    return cause == ERROR_FILE_NOT_FOUND || cause == ERROR_PATH_NOT_FOUND;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool directory = GetFileInformationByHandle(file, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool disk = GetFileType(file) == FILE_TYPE_DISK;
  CloseHandle(file);
  return disk && !directory;
}

bool isTerminal(int fd) { return _isatty(fd) != 0; }
