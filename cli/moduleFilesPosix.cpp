// moduleFilesPosix.cpp -- the module's folder: $BRISEL_DIR, else a private per-user folder
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/moduleFiles.h"

namespace {

bool folderChosenByUser() {
  const char* chosen = std::getenv("BRISEL_DIR");
  return chosen != nullptr && chosen[0] != '\0';
}

}  // namespace

// The same places, in the same order, as the module looks.
std::string moduleFolder() {
  if (folderChosenByUser()) return std::getenv("BRISEL_DIR");
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/brisel";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    struct passwd* entry = getpwuid(geteuid());
    home = entry != nullptr ? entry->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') return "";
  return std::string(home) + "/.cache/brisel";
}

std::string moduleFilePath(const char* name) {
  const std::string folder = moduleFolder();
  if (folder.empty()) return "";
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string diagnoseModuleFolder() {
  const std::string folder = moduleFolder();
  if (folder.empty()) return "no folder for the filter's files: set BRISEL_DIR or HOME";
  const bool chosen = folderChosenByUser();
  const std::string named = chosen ? "BRISEL_DIR " + folder : folder;
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0) {
    if (errno != ENOENT) return named + ": " + std::strerror(errno);
    return named + (chosen ? " does not exist" : " does not exist and could not be created");
  }
  // The module refuses a default folder that others could plant links in; a
  // folder named in BRISEL_DIR is used as it stands.
  if (!chosen && S_ISLNK(info.st_mode)) return named + " is a symbolic link; refusing to use it";
  if (stat(folder.c_str(), &info) != 0) return named + ": " + std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return named + " is not a folder";
  if (!chosen && info.st_uid != geteuid()) {
    return named + " belongs to another user; refusing to use it";
  }
  if (!chosen && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return named + " is writable by others; refusing to use it";
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return named + " is not writable (" + std::strerror(errno) + ")";
  }
  return "";
}

bool isModuleFileInUse(const char* name) {
  const std::string path = moduleFilePath(name);
  if (path.empty()) return false;
  const int descriptor = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return false;
  struct stat info;
  bool busy = false;
  // The module holds its files under an exclusive lock while it uses them.
  if (fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode)) {
    busy = flock(descriptor, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  }
  close(descriptor);
  return busy;
}
