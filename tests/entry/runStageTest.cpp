// runStageTest.cpp -- whole runs: settings file, scripting descriptor and run log around the engine
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "entry/settingsFile.h"
#include "pluginHost/descriptorText.h"
#include "resources/filterParameters.h"
#include "tests/support/hostFixture.h"

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void putFloat(std::vector<uint8_t>* bytes, size_t offset, float value) {
  std::memcpy(bytes->data() + offset, &value, 4);
}

float getFloat(const std::vector<uint8_t>& bytes, size_t offset) {
  float value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

// A settings file of the full layout with recognisable bytes in the block. The
// numbers stay literal here: this is the layout other filters share, whatever
// the named sizes say.
std::vector<uint8_t> patternedSettings(float alpha, float beta, float gamma, float delta) {
  std::vector<uint8_t> bytes(17408, 0);
  for (size_t i = 0; i < 800; ++i) bytes[i] = uint8_t(i * 7 + 1);
  putFloat(&bytes, 484, alpha);
  putFloat(&bytes, 488, beta);
  putFloat(&bytes, 492, gamma);
  putFloat(&bytes, 496, delta);
  return bytes;
}

double recordedFloat(const HostRunResult& result, const char* key) {
  for (const HostDescriptorItem& item : result.recordedDescriptor.items) {
    if (item.key == codeFromText(key)) return item.number;
  }
  return std::nan("");
}

class RunStageTest : public HostTest {
 protected:
  HostRunResult run(HostImage* image, const HostRunOptions& options) {
    HostRunResult result;
    runFilter(&session_, image, options, &result);
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    EXPECT_EQ(result.liveHostHandles, 0);
    return result;
  }
  HostRunResult run(const HostRunOptions& options = HostRunOptions()) {
    HostImage image = makeNoiseImage(20, 6, 8, plugInModeGrayScale, 1, 21);
    return run(&image, options);
  }
  std::string settingsPath() const { return fixedFilePath(kSettingsFileName); }
  std::string logPath() const { return fixedFilePath(kRunLogName); }
};

TEST_F(RunStageTest, FirstRunCreatesAZeroSettingsFileAndRecordsFourFloats) {
  const HostRunResult result = run();  // replayed without a descriptor: last-used values
  ASSERT_EQ(result.result, noErr);
  EXPECT_EQ(readFile(settingsPath()), std::vector<uint8_t>(17408, 0));
  ASSERT_TRUE(result.recorded);
  EXPECT_EQ(result.recordInfo, plugInDialogOptional);
  ASSERT_EQ(result.recordedDescriptor.items.size(), 4u);
  const char* keys[4] = {"AEqa", "AEqb", "AEqg", "AEqd"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(result.recordedDescriptor.items[i].key, codeFromText(keys[i]));
    EXPECT_EQ(result.recordedDescriptor.items[i].type, fourCharCode("doub"));
    EXPECT_EQ(result.recordedDescriptor.items[i].number, 0.0);
  }
  EXPECT_FALSE(fixedFileExists(kRunLogName));  // the log is never created
}

TEST_F(RunStageTest, SettingsAreCarriedThroughAndNeverChangedByTheRun) {
  std::vector<uint8_t> bytes = patternedSettings(0.5f, 0.25f, 0.7f, 0.0f);
  const char* text = "C:\\images\\last folder";
  std::memcpy(bytes.data() + 1024 * 3, text, std::strlen(text) + 1);
  writeFile(settingsPath(), bytes);

  // Replayed values run, but the file keeps its own.
  HostRunOptions options;
  options.playInfo = plugInDialogDontDisplay;
  options.hasDescriptor = true;
  HostDescriptorItem item;
  item.key = fourCharCode("AEqa");
  item.type = fourCharCode("doub");
  item.number = 0.75;
  options.descriptor.items.push_back(item);
  const HostRunResult result = run(options);
  ASSERT_EQ(result.result, noErr);
  EXPECT_EQ(recordedFloat(result, "AEqa"), double(0.75f));
  EXPECT_EQ(recordedFloat(result, "AEqb"), double(0.25f));
  EXPECT_EQ(recordedFloat(result, "AEqg"), double(0.7f));
  EXPECT_EQ(readFile(settingsPath()), bytes);
}

TEST_F(RunStageTest, ShortLongAndTruncatedSettingsFiles) {
  // Shorter than the block: its bytes stay, the rest of the layout is written.
  std::vector<uint8_t> shortFile(100);
  for (size_t i = 0; i < shortFile.size(); ++i) shortFile[i] = uint8_t(200 - i);
  writeFile(settingsPath(), shortFile);
  ASSERT_EQ(run().result, noErr);
  std::vector<uint8_t> expected(17408, 0);
  std::copy(shortFile.begin(), shortFile.end(), expected.begin());
  EXPECT_EQ(readFile(settingsPath()), expected);

  // Longer than the layout: the tail is kept, the file is not truncated.
  std::vector<uint8_t> longFile = patternedSettings(0.1f, 0.2f, 0.3f, 0.4f);
  longFile.resize(20000);
  for (size_t i = 17408; i < 20000; ++i) longFile[i] = uint8_t(i);
  writeFile(settingsPath(), longFile);
  ASSERT_EQ(run().result, noErr);
  EXPECT_EQ(readFile(settingsPath()), longFile);

  // The string area ends halfway through slot 1: slot 0 survives, slot 1 is empty.
  std::vector<uint8_t> truncated = patternedSettings(0, 0, 0, 0);
  std::memcpy(truncated.data() + 1024, "slot zero", 10);
  truncated.resize(2048 + 300);
  truncated[2048] = 'x';
  truncated[2049] = 0;
  writeFile(settingsPath(), truncated);
  ASSERT_EQ(run().result, noErr);
  const std::vector<uint8_t> after = readFile(settingsPath());
  ASSERT_EQ(after.size(), 17408u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.data() + 1024)), "slot zero");
  EXPECT_EQ(after[2048], 'x');  // loaded from its first 300 bytes
  for (size_t i = 3072; i < after.size(); ++i) ASSERT_EQ(after[i], 0) << i;
}

TEST_F(RunStageTest, LongStringsAreCutAt513Characters) {
  std::vector<uint8_t> bytes = patternedSettings(0, 0, 0, 0);
  std::memset(bytes.data() + 1024 * 5, 'q', 600);
  bytes[1024 * 5 + 600] = 0;
  writeFile(settingsPath(), bytes);
  ASSERT_EQ(run().result, noErr);
  const std::vector<uint8_t> after = readFile(settingsPath());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.data() + 1024 * 5)),
            std::string(513, 'q'));
}

TEST_F(RunStageTest, LogRecordIsAppendedByteForByte) {
  writeFile(settingsPath(), patternedSettings(0.5f, 0.25f, 0.7f, 0.0f));
  writeFile(logPath(), {});
  ASSERT_EQ(run().result, noErr);
  const std::string record =
      "-----------------------------\r\n"
      "Signature = AHEq\tWRITEBACK\tNo Mask Image\r\n"
      "# Inputs = 4\r\n"
      "0: Type = FLOAT\tKey = AEqa\tMin = 0.0\tMax = 1.00000\tValue = 0.50000\r\n"
      "1: Type = FLOAT\tKey = AEqb\tMin = 0.0\tMax = 1.00000\tValue = 0.25000\r\n"
      "2: Type = FLOAT\tKey = AEqg\tMin = 0.0\tMax = 1.00000\tValue = 0.70000\r\n"
      "3: Type = FLOAT\tKey = AEqd\tMin = 0.0\tMax = 1.00000\tValue = 0.0\r\n"
      "Result = 0\r\n";
  std::vector<uint8_t> log = readFile(logPath());
  EXPECT_EQ(std::string(log.begin(), log.end()), record);
  ASSERT_EQ(run().result, noErr);
  log = readFile(logPath());
  EXPECT_EQ(std::string(log.begin(), log.end()), record + record);
}

TEST_F(RunStageTest, CancelledRunsStillRecordLogAndSaveSettings) {
  writeFile(logPath(), {});
  // The host's abort, and an area too narrow for the filter.
  HostRunOptions aborting;
  aborting.abortAtCall = 0;
  HostRunResult result = run(aborting);
  EXPECT_EQ(result.result, userCanceledErr);
  EXPECT_TRUE(result.recorded);
  EXPECT_EQ(readFile(settingsPath()).size(), 17408u);

  removeFixedFile(kSettingsFileName);
  HostImage narrow = makeNoiseImage(14, 3, 8, plugInModeGrayScale, 1, 2);
  result = run(&narrow, HostRunOptions());
  EXPECT_EQ(result.result, userCanceledErr);
  EXPECT_TRUE(result.recorded);
  EXPECT_EQ(readFile(settingsPath()).size(), 17408u);

  const std::vector<uint8_t> log = readFile(logPath());
  const std::string text(log.begin(), log.end());
  size_t count = 0;
  for (size_t at = text.find("Result = -128\r\n"); at != std::string::npos;
       at = text.find("Result = -128\r\n", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2u);
  EXPECT_FALSE(anyStoreFileLeft());
}

TEST_F(RunStageTest, SettingsFileHeldOpenElsewhereIsLeftAlone) {
  const std::vector<uint8_t> bytes = patternedSettings(0.5f, 0.25f, 0.7f, 0.0f);
  writeFile(settingsPath(), bytes);
  FileHandle holder = kNoFile;
  ASSERT_EQ(fileOpen(kSettingsFileName, &holder), noErr);
  // The other holder lets go while the filter works, before the run saves.
  HostRunOptions options;
  options.onProgress = [&holder](int32_t done, int32_t) {
    if (done >= 6 && holder != kNoFile) {
      (void)fileClose(holder);
      holder = kNoFile;
    }
  };
  const HostRunResult result = run(options);
  EXPECT_EQ(holder, kNoFile);
  // The run goes on without its last-used values, and never replaces the file.
  EXPECT_EQ(result.result, noErr);
  EXPECT_EQ(recordedFloat(result, "AEqa"), 0.0);
  EXPECT_EQ(readFile(settingsPath()), bytes);
}

// Strings of sibling filters live in the file: a load cut short by a failed
// allocation must never be saved back over them.
TEST_F(RunStageTest, SettingsAreNeverRewrittenFromAPartialLoad) {
  std::vector<uint8_t> bytes = patternedSettings(0.5f, 0.25f, 0.7f, 0.0f);
  for (size_t slot = 0; slot < 16; ++slot) {
    const std::string text = "sibling string " + std::to_string(slot);
    std::memcpy(bytes.data() + 1024 * (slot + 1), text.c_str(), text.size() + 1);
  }
  // The load buffer, then the first, second and last slot cannot be had.
  for (int32_t budget : {0, 1, 2, 16}) {
    SCOPED_TRACE(budget);
    writeFile(settingsPath(), bytes);
    RunContext* context = createRunContext();
    ASSERT_NE(context, nullptr);
    FileHandle file = kNoFile;
    setAllocationBudget(budget);
    loadSettings(context, &file);
    setAllocationBudget(-1);
    EXPECT_EQ(readSettingsFloat(context, kFilterParameters[ParameterAlpha].settingsOffset),
              0.5f);  // the run still has its values
    saveSettings(context, &file);
    disposeRunContext(context);
    EXPECT_EQ(readFile(settingsPath()), bytes);
  }
}

TEST_F(RunStageTest, BrokenParametersInTheSettingsFileRunClamped) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  writeFile(settingsPath(), patternedSettings(nan, inf, -inf, 1.5f));
  HostRunOptions options;
  options.playInfo = plugInDialogDontDisplay;
  const HostRunResult result = run(options);
  ASSERT_EQ(result.result, noErr);
  EXPECT_EQ(recordedFloat(result, "AEqa"), 0.0);
  EXPECT_EQ(recordedFloat(result, "AEqb"), 1.0);
  EXPECT_EQ(recordedFloat(result, "AEqg"), 0.0);
  EXPECT_EQ(recordedFloat(result, "AEqd"), 1.0);
  // The file keeps what it had; only the run used sound values.
  EXPECT_TRUE(std::isnan(getFloat(readFile(settingsPath()), 484)));

  // Random bytes are just another settings block.
  std::vector<uint8_t> noise(17408);
  uint32_t state = 99;
  for (uint8_t& b : noise) b = uint8_t((state = state * 1103515245u + 12345u) >> 16);
  writeFile(settingsPath(), noise);
  EXPECT_EQ(run(options).result, noErr);
}

// Without usable suites the module shows its dialog; only the stand-in dialog
// of the native build answers by itself.
#ifndef _WIN32
TEST_F(RunStageTest, HostsWithoutUsableSuitesRunWithTheDialogAndRecordNothing) {
  HostRunOptions options;
  options.descriptorParametersVersion = 1;
  HostRunResult result = run(options);
  EXPECT_EQ(result.result, noErr);
  EXPECT_FALSE(result.recorded);

  options = HostRunOptions();
  options.numReadDescriptorProcs = 17;
  EXPECT_FALSE(run(options).recorded);

  options = HostRunOptions();
  options.scripting = false;
  EXPECT_EQ(run(options).result, noErr);

  // No handle suite: the descriptor cannot be released, but nothing breaks.
  options = HostRunOptions();
  options.offerHandleProcs = false;
  options.playInfo = plugInDialogDontDisplay;
  HostImage image = makeNoiseImage(20, 6, 8, plugInModeGrayScale, 1, 21);
  runFilter(&session_, &image, options, &result);
  EXPECT_EQ(result.result, noErr);
}
#endif

TEST_F(RunStageTest, ReplayTakesValuesInRangeAndIgnoresTheRest) {
  writeFile(settingsPath(), patternedSettings(0.5f, 0.25f, 0.7f, 0.125f));
  HostRunOptions options;
  options.playInfo = plugInDialogDontDisplay;
  options.hasDescriptor = true;
  auto add = [&](const char(&key)[5], const char(&type)[5], double number) {
    HostDescriptorItem item;
    item.key = fourCharCode(key);
    item.type = fourCharCode(type);
    item.number = number;
    item.integer = int32_t(number);
    options.descriptor.items.push_back(item);
  };
  add("AEqa", "doub", 1.00000001);  // rounds to 1.0f: accepted
  add("AEqb", "doub", 1.5);         // refused
  add("AEqg", "doub", -0.0);        // equal to the bound: accepted
  add("AEqd", "doub", std::nan(""));
  add("zzzz", "doub", 0.3);  // unknown key
  const HostRunResult result = run(options);
  ASSERT_EQ(result.result, noErr);
  EXPECT_EQ(recordedFloat(result, "AEqa"), 1.0);
  EXPECT_EQ(recordedFloat(result, "AEqb"), double(0.25f));
  EXPECT_EQ(recordedFloat(result, "AEqg"), 0.0);
  EXPECT_EQ(recordedFloat(result, "AEqd"), double(0.125f));
}

}  // namespace
