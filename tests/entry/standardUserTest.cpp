// standardUserTest.cpp -- whole runs for a user who may not make files in the root of C:
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/fixedFiles.h"
#include "core/hostErrors.h"
#include "tests/support/hostFixture.h"

namespace {

namespace fs = std::filesystem;

// What lies in the root of C:, to show that a run adds nothing there.
std::set<std::string> rootEntries() {
  std::set<std::string> names;
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator("c:\\", ignored)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string userPath(const char* name) {
  char path[4096];
  return resolveUserFilePath(name, true, path, sizeof path) == noErr ? path : "";
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Skipped where "c:\" may be written (an administrator, or wine run by root):
// there the module keeps to the fixed names, which the other suites cover.
class StandardUserTest : public HostTest {
 protected:
  void SetUp() override {
    if (fixedPlaceWritable()) GTEST_SKIP() << "the root of C: may be written here";
    HostTest::SetUp();
    before_ = rootEntries();
  }
  void TearDown() override {
    if (fixedPlaceWritable()) return;
    EXPECT_EQ(rootEntries(), before_);  // nothing made in the root of C:
    HostTest::TearDown();
  }

  // Runs an RGB image with transparency and a mask, so all three stores are
  // made, noting at every progress call which store files exist where.
  HostRunResult runWatchingStores(HostRunOptions options, int* userSeen, int* rootSeen) {
    HostImage image = makeNoiseImage(40, 12, 8, plugInModeRGBColor, 4, 5);
    options.mask.assign(size_t(40 * 12), 200);
    options.onProgress = [&](int32_t, int32_t) {
      int here = 0;
      for (const char* name : {kColourStoreName, kExtraStoreName, kMaskStoreName}) {
        std::error_code ignored;
        if (fs::exists(userPath(name), ignored)) ++here;
        if (fs::exists(name, ignored)) ++*rootSeen;
      }
      *userSeen = std::max(*userSeen, here);
    };
    HostRunResult result;
    runFilter(&session_, &image, options, &result);
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    return result;
  }

  std::set<std::string> before_;
};

TEST_F(StandardUserTest, StoresSettingsAndLogLiveInTheUserFolder) {
  std::ofstream(userPath(kRunLogName), std::ios::binary).close();  // switches the log on
  int userSeen = 0, rootSeen = 0;
  const HostRunResult result = runWatchingStores(HostRunOptions(), &userSeen, &rootSeen);
  EXPECT_EQ(result.result, noErr);
  EXPECT_EQ(userSeen, 3);  // the three stores were made in the user folder...
  EXPECT_EQ(rootSeen, 0);
  EXPECT_FALSE(anyStoreFileLeft());  // ...and are gone from it
  EXPECT_EQ(readFile(userPath(kSettingsFileName)), std::vector<uint8_t>(kSettingsFileBytes, 0));
  const std::vector<uint8_t> log = readFile(userPath(kRunLogName));
  const std::string text(log.begin(), log.end());
  EXPECT_EQ(text.rfind("-----------------------------\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("Result = 0\r\n"), std::string::npos) << text;
}

TEST_F(StandardUserTest, AbortedRunsDeleteTheirStoresFromTheUserFolder) {
  for (int32_t abortAt : {0, 7}) {
    HostRunOptions options;
    options.abortAtCall = abortAt;
    int userSeen = 0, rootSeen = 0;
    const HostRunResult result = runWatchingStores(options, &userSeen, &rootSeen);
    EXPECT_EQ(result.result, userCanceledErr) << abortAt;
    EXPECT_EQ(rootSeen, 0);
    EXPECT_FALSE(anyStoreFileLeft()) << abortAt;
    for (const char* name : {kColourStoreName, kExtraStoreName, kMaskStoreName}) {
      EXPECT_FALSE(fs::exists(userPath(name))) << name;
    }
  }
}

// A file where the per-user folder belongs: the run fails with a file error,
// and neither that file nor the root of C: is written.
TEST_F(StandardUserTest, AFileInPlaceOfTheUserFolderFailsTheRunCleanly) {
  removeFixedFiles();
  std::string folder = userPath(kSettingsFileName);
  folder = folder.substr(0, folder.rfind('\\'));
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  std::ofstream(folder, std::ios::binary) << "not a folder";
  HostImage image = makeNoiseImage(20, 4, 8, plugInModeGrayScale, 1, 4);
  const HostImage original = image;
  HostRunResult result;
  runFilter(&session_, &image, HostRunOptions(), &result);
  EXPECT_EQ(result.result, bdNamErr);
  EXPECT_EQ(image.data, original.data);
  const std::vector<uint8_t> kept = readFile(folder);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "not a folder");
  fs::remove(folder, ignored);
}

}  // namespace
