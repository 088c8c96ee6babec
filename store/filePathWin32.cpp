// filePathWin32.cpp -- the fixed names as real paths, and their per-user folder
#include <windows.h>

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstring>

#include "core/hostErrors.h"
#include "store/filePath.h"

namespace {

constexpr char kUserFolderName[] = "\\brisel";

// "c:\NAME" with a plain NAME: nothing that could step out of the folder.
const char* findPlainName(const char* name) {
  if (name == nullptr) return nullptr;
  if ((name[0] != 'c' && name[0] != 'C') || name[1] != ':' || name[2] != '\\') return nullptr;
  const char* plain = name + 3;
  if (plain[0] == '\0' || std::strpbrk(plain, "/\\:") != nullptr) return nullptr;
  if (std::strstr(plain, "..") != nullptr || std::strcmp(plain, ".") == 0) return nullptr;
  return plain;
}

// The local application data folder from the shell, never from environment
// strings. The A-functions take the ANSI (or, after SetFileApisToOEM, the OEM)
// code page: a folder that has no exact spelling in it is refused rather than
// approximated.
OSErr findLocalAppData(char* folder, size_t size) {
  PWSTR wide = nullptr;
  const HRESULT found = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &wide);
  if (FAILED(found) || wide == nullptr) {
    CoTaskMemFree(wide);
    return fnfErr;
  }
  BOOL approximated = FALSE;
  const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, -1, folder,
                                         int(size), nullptr, &approximated);
  CoTaskMemFree(wide);
  if (length <= 1 || approximated) return bdNamErr;
  return noErr;
}

OSErr folderErrorCode(DWORD cause) {
  switch (cause) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return fnfErr;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return opWrErr;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return bdNamErr;
    default:
      return ioErr;
  }
}

// The folder must be a plain folder: a junction or link could lead the files
// anywhere, and a file in its place is not ours to replace.
OSErr checkFolder(const char* folder, bool makeFolder) {
  DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD cause = GetLastError();
    if (cause != ERROR_FILE_NOT_FOUND && cause != ERROR_PATH_NOT_FOUND) {
      return folderErrorCode(cause);
    }
    if (!makeFolder) return fnfErr;
    if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return folderErrorCode(GetLastError());
    }
    attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) return folderErrorCode(GetLastError());
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return bdNamErr;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return bdNamErr;
  return noErr;
}

}  // namespace

bool resolveFilePath(const char* name, char* path, size_t size) {
  if (path == nullptr || size == 0) return false;
  path[0] = '\0';
  if (name == nullptr) return false;
  size_t length = std::strlen(name);
  if (length == 0 || length + 1 > size) return false;
  std::memcpy(path, name, length + 1);
  return true;
}

OSErr resolveUserFilePath(const char* name, bool makeFolder, char* path, size_t size) {
  if (path == nullptr || size == 0) return bdNamErr;
  path[0] = '\0';
  const char* plain = findPlainName(name);
  if (plain == nullptr) return bdNamErr;
  char folder[MAX_PATH * 2];
  OSErr err = findLocalAppData(folder, sizeof folder);
  if (err != noErr) return err;
  const size_t folderLength = std::strlen(folder);
  const size_t total = folderLength + sizeof kUserFolderName + std::strlen(plain) + 1;
  // Nothing longer than the A-functions take without a prefix: past MAX_PATH
  // the same name could reach another file on another system.
  if (total > MAX_PATH || total > size) return bdNamErr;
  std::strcat(folder, kUserFolderName);
  err = checkFolder(folder, makeFolder);
  if (err != noErr) return err;
  std::strcpy(path, folder);
  std::strcat(path, "\\");
  std::strcat(path, plain);
  return noErr;
}
