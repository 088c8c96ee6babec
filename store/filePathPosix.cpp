// filePathPosix.cpp -- maps the fixed "c:\NAME" names into one private directory
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/hostErrors.h"
#include "store/filePath.h"

namespace {

constexpr size_t kDirectoryMax = 4096;

// Only "c:\NAME" with a plain NAME is accepted: nothing that could step out of
// the directory ('/', '\', "..") and nothing empty.
const char* findPlainName(const char* name) {
  if (name == nullptr) return nullptr;
  if ((name[0] != 'c' && name[0] != 'C') || name[1] != ':' || name[2] != '\\') return nullptr;
  const char* plain = name + 3;
  if (plain[0] == '\0') return nullptr;
  if (std::strchr(plain, '/') != nullptr || std::strchr(plain, '\\') != nullptr) return nullptr;
  if (std::strstr(plain, "..") != nullptr || std::strcmp(plain, ".") == 0) return nullptr;
  return plain;
}

bool copyText(char* out, size_t size, const char* first, const char* second) {
  size_t firstLength = std::strlen(first);
  size_t secondLength = std::strlen(second);
  if (firstLength + secondLength + 1 > size) return false;
  std::memcpy(out, first, firstLength);
  std::memcpy(out + firstLength, second, secondLength + 1);
  return true;
}

// mkdir -p with mode 0700 for every directory it has to make.
bool makeDirectories(char* path) {
  for (char* slash = std::strchr(path + 1, '/');; slash = std::strchr(slash + 1, '/')) {
    if (slash != nullptr) *slash = '\0';
    bool made = mkdir(path, 0700) == 0 || errno == EEXIST;
    if (slash == nullptr) return made;
    *slash = '/';
    if (!made) return false;
  }
}

// The default directory must be ours alone: a directory someone else owns or
// may write to could hold links planted at the store names.
bool isPrivateDirectory(const char* path) {
  struct stat info;
  if (lstat(path, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// $XDG_CACHE_HOME/brisel, else $HOME/.cache/brisel, else the same below the
// password database's home. Relative bases are ignored.
bool findDefaultDirectory(char* directory, size_t size) {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return copyText(directory, size, cache, "/brisel");
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    struct passwd* entry = getpwuid(geteuid());
    home = entry != nullptr ? entry->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return false;
  return copyText(directory, size, home, "/.cache/brisel");
}

bool findDirectory(char* directory, size_t size) {
  const char* chosen = std::getenv("BRISEL_DIR");
  // An explicit directory is the user's choice and is used as it is.
  if (chosen != nullptr && chosen[0] != '\0') return copyText(directory, size, chosen, "");
  if (!findDefaultDirectory(directory, size)) return false;
  if (!isPrivateDirectory(directory) && !makeDirectories(directory)) return false;
  return isPrivateDirectory(directory);
}

}  // namespace

bool resolveFilePath(const char* name, char* path, size_t size) {
  if (path == nullptr || size == 0) return false;
  path[0] = '\0';
  const char* plain = findPlainName(name);
  if (plain == nullptr) return false;
  char directory[kDirectoryMax];
  if (!findDirectory(directory, sizeof directory)) return false;
  size_t directoryLength = std::strlen(directory);
  const char* separator = directoryLength > 0 && directory[directoryLength - 1] == '/' ? "" : "/";
  if (directoryLength + std::strlen(separator) + std::strlen(plain) + 1 > size) return false;
  std::memcpy(path, directory, directoryLength);
  std::strcpy(path + directoryLength, separator);
  std::strcat(path, plain);
  return true;
}

OSErr resolveUserFilePath(const char* name, bool makeFolder, char* path, size_t size) {
  (void)name;
  (void)makeFolder;
  if (path != nullptr && size > 0) path[0] = '\0';
  return fnfErr;  // the one directory above is per-user already
}
