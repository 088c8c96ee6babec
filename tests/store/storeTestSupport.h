// storeTestSupport.h -- a fresh place for the fixed file names, and file helpers for store tests
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/storeDirectory.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// POSIX: each test gets an empty directory behind "c:\". Windows: "c:\" is the
// real drive, so the names a test may leave are removed before and after.
class StoreDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_.enter("briselStore");
    removeKnownFiles();
  }

  void TearDown() override {
    removeKnownFiles();
    directory_.leave();
  }

  // The path the platform opens for a "c:\NAME" name.
  std::string hostPath(const char* name) const {
#ifdef _WIN32
    return name;
#else
    return directory_.path() + "/" + (name + 3);
#endif
  }

  bool exists(const char* name) const {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(hostPath(name), ignored));
  }

  void writeHostFile(const char* name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(hostPath(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }

  std::vector<uint8_t> readHostFile(const char* name) const {
    std::ifstream file(hostPath(name), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
  }

  StoreDirectory directory_;

 private:
  void removeKnownFiles() const {
    for (const char* name : {"c:\\BackingS.xxx", "c:\\OpacityS.xxx", "c:\\MaskImag.xxx",
                             "c:\\briselLayer.tmp", "c:\\briselReadOnly.tmp"})
      std::remove(hostPath(name).c_str());
  }
};

#ifndef _WIN32
// Runs body in a forked child and gives back its exit code, -1 when it did not
// exit normally. Bodies report their first failed check as a small number.
template <typename Body>
int runInChild(Body body) {
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Permission bits do not stop root: a child running as root becomes nobody.
inline bool dropToUnprivilegedUser() {
  if (geteuid() != 0) return true;
  return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}
#endif
