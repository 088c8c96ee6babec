// storeFileWin32.cpp -- store files at the fixed names, unshared and deleted on close
#include <windows.h>

#include "core/hostErrors.h"
#include "store/filePath.h"
#include "store/storeFile.h"

OSErr openStoreFile(const char* name, StoreFile* file) {
  file->data = kNoFile;
  file->claim = kNoFile;
  char path[MAX_PATH];
  if (!resolveFilePath(name, path, sizeof path)) return bdNamErr;
  // No sharing: while a run holds the file no one else can open, truncate or
  // delete it, and a second run sharing the name is refused. Deleted on close,
  // which the system does for a run that is killed too.
  HANDLE made = CreateFileA(
      path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (made == INVALID_HANDLE_VALUE) {
    switch (GetLastError()) {
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        return fLckdErr;
      case ERROR_ACCESS_DENIED:
        return opWrErr;
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_DRIVE:
        return fnfErr;
      case ERROR_TOO_MANY_OPEN_FILES:
        return tmfoErr;
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
      case ERROR_FILENAME_EXCED_RANGE:
        return bdNamErr;
      default:
        return ioErr;
    }
  }
  if (GetFileType(made) != FILE_TYPE_DISK) {  // a device or pipe behind the name
    CloseHandle(made);
    return ioErr;
  }
  file->data = reinterpret_cast<FileHandle>(made);
  return noErr;
}

void closeStoreFile(const char* name, StoreFile* file) {
  (void)name;  // the close deletes the file
  if (file->data != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file->data));
  file->data = kNoFile;
  file->claim = kNoFile;
}
