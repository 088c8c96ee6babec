// filePathWin32.cpp -- the fixed names as real paths, and their place in the per-user folder
#include <windows.h>

#include <cstring>

#include "core/hostErrors.h"
#include "core/userFolderWin32.h"
#include "store/filePath.h"

namespace {

// "c:\NAME" with a plain NAME: nothing that could step out of the folder.
const char* findPlainName(const char* name) {
  if (name == nullptr) return nullptr;
  if ((name[0] != 'c' && name[0] != 'C') || name[1] != ':' || name[2] != '\\') return nullptr;
  const char* plain = name + 3;
  if (plain[0] == '\0' || std::strpbrk(plain, "/\\:") != nullptr) return nullptr;
  if (std::strstr(plain, "..") != nullptr || std::strcmp(plain, ".") == 0) return nullptr;
  return plain;
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
  // the same name could reach another file on another system. Checked before
  // the folder is looked at, so a long path is -37 whether it exists or not.
  if (total > MAX_PATH || total > size) return bdNamErr;
  err = walkUserFolderAncestors(folder).err;
  if (err != noErr) return err;
  std::strcat(folder, kUserFolderName);
  err = checkUserFolder(folder, makeFolder).err;
  if (err != noErr) return err;
  std::strcpy(path, folder);
  std::strcat(path, "\\");
  std::strcat(path, plain);
  return noErr;
}
