// hostFixture.h -- a plug-in host session per test, with its own store directory
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pluginHost/pluginHost.h"
#include "store/fileLayer.h"
#include "store/filePath.h"
#include "tests/support/storeDirectory.h"

#ifndef _WIN32
#include <unistd.h>
#endif

// True when the fixed file (e.g. kColourStoreName) exists where the module keeps it.
inline bool fixedFileExists(const char* name) {
  char path[4096];
  if (!moduleFilePath(name, path, sizeof path)) return false;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

inline void removeFixedFile(const char* name) {
  char path[4096];
  if (moduleFilePath(name, path, sizeof path)) std::remove(path);
}

inline std::string fixedFilePath(const char* name) {
  char path[4096];
  return moduleFilePath(name, path, sizeof path) ? std::string(path) : std::string();
}

inline bool anyStoreFileLeft() {
  return fixedFileExists(kColourStoreName) || fixedFileExists(kExtraStoreName) ||
         fixedFileExists(kMaskStoreName);
}

// The module's test build beside the shipped one (brisel_test.8bf,
// libbrisel_test.so): the same code, and it also takes BRISEL_ALLOC_BUDGET, the
// number of allocations after which the module's allocations fail.
inline std::string testModulePath() {
  std::string path = defaultModulePath();
  const size_t dot = path.rfind('.');
  return path.insert(dot == std::string::npos ? path.size() : dot, "_test");
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_.enter("brisel-test-");
    dir_ = directory_.path();
    std::string error;
    ASSERT_TRUE(openHostSession(defaultModulePath(), &session_, &error)) << error;
  }

  void TearDown() override {
    closeHostSession(&session_);
    directory_.leave();
  }

  // Switches the session to the module's test build, for tests that set
  // BRISEL_ALLOC_BUDGET; the shipped module does not read it.
  void loadTestBuild() {
    closeHostSession(&session_);
    std::string error;
    ASSERT_TRUE(openHostSession(testModulePath(), &session_, &error)) << error;
  }

  StoreDirectory directory_;
  HostSession session_;
  std::string dir_;
};

// Sets or clears (value null) an environment variable the module reads.
inline void setTestEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  std::string assignment = std::string(name) + "=" + (value ? value : "");
  _putenv(assignment.c_str());
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

// Image with samples from a fixed-seed generator, so runs are repeatable.
inline HostImage makeNoiseImage(int32_t width, int32_t height, int32_t depth, int16_t mode,
                                int32_t planes, uint32_t seed) {
  HostImage image = makeHostImage(width, height, depth, mode, planes);
  const uint32_t top = depth == 16 ? 32768 : 255;
  uint32_t state = seed * 2654435761u + 1;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      for (int32_t p = 0; p < planes; ++p) {
        state = state * 1664525u + 1013904223u;
        image.setSample(x, y, p, (state >> 8) % (top + 1));
      }
    }
  }
  return image;
}
