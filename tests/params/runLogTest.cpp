// runLogTest.cpp -- the run record appended to an existing log file
#include "params/runLog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "core/hostErrors.h"
#include "params/signatureBlock.h"
#include "store/fileLayer.h"

namespace {

struct BlockDeleter {
  void operator()(SignatureBlock* block) const { disposeSignatureBlock(block); }
};
using BlockPtr = std::unique_ptr<SignatureBlock, BlockDeleter>;

BlockPtr filterBlock(float alpha, float beta, float gamma, float delta) {
  BlockPtr block(createSignatureBlock(kRunSignatureSlots));
  setSignatureHeader(block.get(), fourCharCode("AHEq"), 0, 0);
  addFloatParameter(block.get(), fourCharCode("AEqa"), 0, 1, alpha);
  addFloatParameter(block.get(), fourCharCode("AEqb"), 0, 1, beta);
  addFloatParameter(block.get(), fourCharCode("AEqg"), 0, 1, gamma);
  addFloatParameter(block.get(), fourCharCode("AEqd"), 0, 1, delta);
  return block;
}

const std::string kSeparator = "-----------------------------\r\n";
const std::string kExampleRecord =
    kSeparator +
    "Signature = AHEq\tWRITEBACK\tNo Mask Image\r\n"
    "# Inputs = 4\r\n"
    "0: Type = FLOAT\tKey = AEqa\tMin = 0.0\tMax = 1.00000\tValue = 0.50000\r\n"
    "1: Type = FLOAT\tKey = AEqb\tMin = 0.0\tMax = 1.00000\tValue = 0.25000\r\n"
    "2: Type = FLOAT\tKey = AEqg\tMin = 0.0\tMax = 1.00000\tValue = 0.70000\r\n"
    "3: Type = FLOAT\tKey = AEqd\tMin = 0.0\tMax = 1.00000\tValue = 0.0\r\n"
    "Result = 0\r\n";

class RunLog : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    (void)fileDelete(kRunLogName);
    logPath = kRunLogName;
#else
    char pattern[] = "/tmp/briselRunLogXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    setenv("BRISEL_DIR", pattern, 1);
    logPath = directory + "/" + plainFileName(kRunLogName);
#endif
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::permissions(logPath, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    (void)fileDelete(kRunLogName);
#if !defined(_WIN32)
    std::filesystem::remove_all(directory, ignored);
#endif
  }

  void createLog(const std::string& contents = "") {
    ASSERT_EQ(fileCreate(kRunLogName, fourCharCode("CREA"), fourCharCode("TYPE")), noErr);
    if (contents.empty()) return;
    FileHandle file = kNoFile;
    ASSERT_EQ(fileOpen(kRunLogName, &file), noErr);
    int32_t count = int32_t(contents.size());
    ASSERT_EQ(fileWrite(file, &count, contents.data()), noErr);
    ASSERT_EQ(fileClose(file), noErr);
  }

  bool logExists() { return std::filesystem::exists(logPath); }

  std::string readLog() {
    FileHandle file = kNoFile;
    if (fileOpen(kRunLogName, &file) != noErr) return "<missing>";
    std::string contents;
    char buffer[4096];
    for (;;) {
      int32_t count = sizeof buffer;
      if (fileRead(file, &count, buffer) != noErr || count == 0) break;
      contents.append(buffer, size_t(count));
    }
    (void)fileClose(file);
    return contents;
  }

  OSErr logRun(const SignatureBlock* block, int16_t result = 0) {
    return writeRunLog(block, result);
  }

  std::string directory;
  std::string logPath;
};

TEST_F(RunLog, RecordOfAFilterRunReadsByteForByte) {
  createLog();
  BlockPtr block = filterBlock(0.5f, 0.25f, 0.7f, 0.0f);
  EXPECT_EQ(logRun(block.get()), noErr);
  EXPECT_EQ(readLog(), kExampleRecord);
}

TEST_F(RunLog, RecordsAreAppendedOneAfterAnother) {
  createLog("earlier text without a line end");
  BlockPtr block = filterBlock(0.5f, 0.25f, 0.7f, 0.0f);
  EXPECT_EQ(logRun(block.get()), noErr);
  EXPECT_EQ(logRun(block.get(), userCanceledErr), noErr);
  std::string cancelled = kExampleRecord;
  cancelled.replace(cancelled.size() - 3, 1, "-128");
  EXPECT_EQ(readLog(), "earlier text without a line end" + kExampleRecord + cancelled);
}

TEST_F(RunLog, WithoutALogFileNothingIsCreated) {
  BlockPtr block = filterBlock(0.5f, 0.25f, 0.7f, 0.0f);
  EXPECT_EQ(logRun(block.get()), fnfErr);
  EXPECT_FALSE(logExists());
  EXPECT_EQ(logRun(nullptr), noErr);
  EXPECT_FALSE(logExists());
}

TEST_F(RunLog, BlockWithoutEntriesGivesThreeLines) {
  createLog();
  BlockPtr block(createSignatureBlock(kRunSignatureSlots));
  setSignatureHeader(block.get(), fourCharCode("udef"), -1, 1);
  EXPECT_EQ(logRun(block.get(), -30100), noErr);
  EXPECT_EQ(readLog(), kSeparator +
                           "Signature = udef\tNo Writeback\tNEEDS MASK IMAGE\r\n"
                           "Result = -30100\r\n");
}

TEST_F(RunLog, EveryEntryTypeHasItsLine) {
  createLog();
  BlockPtr block(createSignatureBlock(kRunSignatureSlots));
  setSignatureHeader(block.get(), fourCharCode("gnrc"), 0, 0);
  addParameter(block.get(), fourCharCode("cnt "), kTypeLong, uint32_t(INT32_MIN), INT32_MAX,
               uint32_t(-128));
  addParameter(block.get(), fourCharCode("flag"), kTypeBoolean, 0, 0, 0xFFFFFFFFu);
  addParameter(block.get(), fourCharCode("off "), kTypeBoolean, 0, 0, 0);
  addParameter(block.get(), fourCharCode("none"), kTypeText, 0, 0, 0);
  addParameter(block.get(), fourCharCode("path"), kTypeText, 0, 0, 0);
  const uint8_t text[] = {5, 'c', ':', '\\', 'a', 'b', 0};
  setTextValue(block.get(), 4, text);
  addParameter(block.get(), fourCharCode("empt"), kTypeText, 0, 0, 0);
  const uint8_t empty[] = {0};
  setTextValue(block.get(), 5, empty);
  // A length byte that is a line feed must not split the line.
  addParameter(block.get(), fourCharCode("ten "), kTypeText, 0, 0, 0);
  const uint8_t ten[] = {10, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 0};
  setTextValue(block.get(), 6, ten);
  addParameter(block.get(), fourCharCode("mode"), fourCharCode("rB07"), 0, 4, 3);
  addParameter(block.get(), 0x41004200u, 0x00000000u, 1, 2, 1);
  addOutputParameter(block.get(), fourCharCode("outp"), kTypeFloat, 0, 0x3F800000u, 0x3F000000u);

  EXPECT_EQ(logRun(block.get()), noErr);
  const std::string zeroCode("A\0B\0", 4);
  EXPECT_EQ(
      readLog(),
      kSeparator + "Signature = gnrc\tWRITEBACK\tNo Mask Image\r\n" + "# Inputs = 9\r\n" +
          "0: Type = LONG\tKey = cnt \tMin = -2147483648\tMax = 2147483647\tValue = -128\r\n" +
          "1: Type = BOOLEAN\tKey = flag\tValue = TRUE\r\n" +
          "2: Type = BOOLEAN\tKey = off \tValue = FALSE\r\n" +
          "3: Type = STRING\tKey = none\tValue = NULL\r\n" +
          "4: Type = STRING\tKey = path\tValue = c:\\ab\r\n" +
          "5: Type = STRING\tKey = empt\tValue = \r\n" +
          "6: Type = STRING\tKey = ten \tValue = abcdefghij\r\n" +
          "7: Type = RADIO/rB07\tKey = mode\tMin = 0\tMax = 4\tValue = 3\r\n" + "8: Type = RADIO/" +
          std::string(4, '\0') + "\tKey = " + zeroCode + "\tMin = 1\tMax = 2\tValue = 1\r\n" +
          "# Outputs = 1\r\n" +
          "9: Type = FLOAT\tKey = outp\tMin = 0.0\tMax = 1.00000\tValue = 0.50000\r\n" +
          "Result = 0\r\n");
}

TEST_F(RunLog, ReadOnlyLogGetsNothingAndTheRunGoesOn) {
  createLog("kept\r\n");
  BlockPtr block = filterBlock(0.5f, 0.25f, 0.7f, 0.0f);
  namespace fs = std::filesystem;
#if defined(_WIN32)
  fs::permissions(logPath, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  {
    // Wine run by root opens read-only files for writing all the same.
    FileHandle probe = kNoFile;
    ASSERT_EQ(fileOpen(kRunLogName, &probe), noErr);
    int32_t count = 1;
    const OSErr probeErr = fileWrite(probe, &count, "k");
    (void)fileClose(probe);
    if (probeErr == noErr && count == 1) {
      GTEST_SKIP() << "the read-only attribute is not enforced here";
    }
  }
  EXPECT_EQ(logRun(block.get()), ioErr);
#else
  ::chmod(directory.c_str(), 0755);
  ::chmod(logPath.c_str(), 0444);
  if (geteuid() == 0) {
    // Root ignores permissions: a child drops to nobody before it writes.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
      _exit(writeRunLog(block.get(), noErr) == ioErr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);  // opened read-only, every write failed
  } else {
    EXPECT_EQ(logRun(block.get()), ioErr);
  }
#endif
  EXPECT_EQ(readLog(), "kept\r\n");
}

TEST_F(RunLog, LogHeldOpenElsewhereGetsNothing) {
  createLog("kept\r\n");
  FileHandle holder = kNoFile;
  ASSERT_EQ(fileOpen(kRunLogName, &holder), noErr);
  FileHandle probe = kNoFile;
  if (fileOpen(kRunLogName, &probe) == noErr) {
    (void)fileClose(probe);
    (void)fileClose(holder);
    GTEST_SKIP() << "opens do not exclude one another on this platform";
  }
  BlockPtr block = filterBlock(0.5f, 0.25f, 0.7f, 0.0f);
  EXPECT_NE(logRun(block.get()), noErr);
  (void)fileClose(holder);
  EXPECT_EQ(readLog(), "kept\r\n");
}

TEST_F(RunLog, NumbersAndPiecesEndAsAsked) {
  createLog();
  FileHandle file = kNoFile;
  ASSERT_EQ(openLogForAppend(kRunLogName, &file), noErr);
  EXPECT_EQ(writeInteger(file, -128, true, false), noErr);
  EXPECT_EQ(writeInteger(file, INT32_MIN, true, false), noErr);
  EXPECT_EQ(writeInteger(file, 0, false, true), noErr);
  EXPECT_EQ(writeFloat(file, 12.5f, true, true), noErr);
  EXPECT_EQ(writeText(file, nullptr, true, false), noErr);
  EXPECT_EQ(writeText(file, "", false, true), noErr);
  const uint8_t counted[] = {2, 'o', 'k', 'x'};
  EXPECT_EQ(writeCountedText(file, counted, false, false), noErr);
  EXPECT_EQ(fileClose(file), noErr);
  EXPECT_EQ(readLog(), "-128\t-2147483648\t0\r\n12.5000\t\r\n\t\r\nok");

  FileHandle missing = 7;
  (void)fileDelete(kRunLogName);
  EXPECT_EQ(openLogForAppend(kRunLogName, &missing), fnfErr);
  EXPECT_EQ(missing, kNoFile);
}

TEST_F(RunLog, WritesToABadFileFailWithoutHarm) {
  EXPECT_NE(writeText(kNoFile, "text", true, true), noErr);
  EXPECT_NE(writeInteger(kNoFile, 5, false, true), noErr);
  BlockPtr block = filterBlock(0.5f, 0.25f, 0.7f, 0.0f);
  EXPECT_NE(logEntry(block.get(), 0, kNoFile), noErr);
}

}  // namespace
