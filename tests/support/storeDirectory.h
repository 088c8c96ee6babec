// storeDirectory.h -- a fresh place behind the module's fixed "c:\" file names, one per test
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "store/fileLayer.h"
#include "store/filePath.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

// True when this user may make files where resolveFilePath points. On Windows
// a standard user may not in the root of C:, and the module then keeps its
// files in the per-user folder (resolveUserFilePath).
inline bool fixedPlaceWritable() {
#ifdef _WIN32
  static const bool writable = [] {
    const char* probe = "c:\\brisel-write-probe.tmp";
    FILE* f = std::fopen(probe, "wb");
    if (f == nullptr) return false;
    std::fclose(f);
    std::remove(probe);
    return true;
  }();
  return writable;
#else
  return true;
#endif
}

// Where the module keeps the fixed file `name` for this user.
inline bool moduleFilePath(const char* name, char* path, size_t size) {
  if (fixedPlaceWritable()) return resolveFilePath(name, path, size);
  return resolveUserFilePath(name, true, path, size) == 0;
}

// Removes whichever of the five fixed files exist, in both of their places.
inline void removeFixedFiles() {
  for (const char* name :
       {kColourStoreName, kExtraStoreName, kMaskStoreName, kSettingsFileName, kRunLogName}) {
    char path[4096];
    if (resolveFilePath(name, path, sizeof path)) std::remove(path);
    if (resolveUserFilePath(name, false, path, sizeof path) == 0) std::remove(path);
  }
}

// POSIX: an empty directory that BRISEL_DIR points at (mode 0755, so a child
// that gives up root can still reach in). Windows: "c:\" is the real drive, so
// only the fixed files a test may leave are removed, before and after.
class StoreDirectory {
 public:
  void enter(const char* prefix) {
#ifndef _WIN32
    std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    path_ = pattern;
    ASSERT_EQ(chmod(path_.c_str(), 0755), 0);
    ASSERT_EQ(setenv("BRISEL_DIR", path_.c_str(), 1), 0);
#else
    (void)prefix;
#endif
    removeFixedFiles();
  }

  void leave() {
    removeFixedFiles();
#ifndef _WIN32
    if (path_.empty()) return;
    chmod(path_.c_str(), 0755);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    unsetenv("BRISEL_DIR");
    path_.clear();
#endif
  }

  // The directory on POSIX; empty on Windows.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
