// engineHostTest.cpp -- whole runs through the real export, held to the literal reference run
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "tests/engine/engineTestImages.h"
#include "tests/reference/referenceEqualise.h"
#include "tests/support/hostFixture.h"

namespace {

struct Parameters {
  float alpha;
  float beta;
  float gamma;
  float delta;
};

template <typename Sample>
HostImage toHostImage(const std::vector<Sample>& samples, int width, int height, int channels) {
  const bool sixteen = sizeof(Sample) == 2;
  const int16_t mode = channels == 3 ? (sixteen ? plugInModeRGB48 : plugInModeRGBColor)
                                     : (sixteen ? plugInModeGray16 : plugInModeGrayScale);
  HostImage image = makeHostImage(width, height, sixteen ? 16 : 8, mode, channels);
  std::memcpy(image.data.data(), samples.data(), samples.size() * sizeof(Sample));
  return image;
}

template <typename Sample>
int runReference(std::vector<Sample>& image, int w, int h, int c, const Parameters& p) {
  return referenceRun(image, w, h, c, p.alpha, p.beta, p.gamma, p.delta);
}

class EngineHostTest : public HostTest {
 protected:
  // Parameters come from the last-used settings file; the host asks for no
  // dialog, so they run as they are.
  HostRunResult run(HostImage* image, const Parameters& p, int32_t abortAt = -1) {
    std::vector<uint8_t> settings(17408, 0);
    const float values[] = {p.alpha, p.beta, p.gamma, p.delta};
    std::memcpy(settings.data() + 484, values, sizeof values);
    std::ofstream(fixedFilePath(kSettingsFileName), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(settings.data()), std::streamsize(settings.size()));
    HostRunOptions options;
    options.playInfo = plugInDialogDontDisplay;
    options.abortAtCall = abortAt;
    HostRunResult result;
    runFilter(&session_, image, options, &result);
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    return result;
  }

  template <typename Sample>
  void expectRunMatchesReference(Pattern pattern, int width, int height, int channels,
                                 const Parameters& p, uint32_t seed) {
    const int top = sizeof(Sample) == 2 ? 32768 : 255;
    std::vector<Sample> samples = makeImage<Sample>(pattern, width, height, channels, top, seed);
    HostImage image = toHostImage(samples, width, height, channels);
    const HostRunResult result = run(&image, p);
    ASSERT_EQ(result.result, noErr);
    ASSERT_EQ(runReference(samples, width, height, channels, p), 0);
    EXPECT_EQ(image.data, toHostImage(samples, width, height, channels).data)
        << width << "x" << height << "x" << channels << " " << sizeof(Sample) * 8 << "-bit";
  }
};

TEST_F(EngineHostTest, FourteenPixelsAreCancelledAndFifteenEqualised) {
  const Parameters p = {0.0f, 0.2f, 0.7f, 0.5f};
  for (int channels : {1, 3}) {
    const std::vector<uint16_t> samples =
        makeImage<uint16_t>(Pattern::Photo, 14, 6, channels, 32768, 1);
    HostImage image = toHostImage(samples, 14, 6, channels);
    const HostRunResult result = run(&image, p);
    EXPECT_EQ(result.result, userCanceledErr);
    EXPECT_EQ(result.abortCalls, 0);
    EXPECT_EQ(image.data, toHostImage(samples, 14, 6, channels).data);
    EXPECT_FALSE(anyStoreFileLeft());
    expectRunMatchesReference<uint16_t>(Pattern::Photo, 15, 6, channels, p, 2);
    expectRunMatchesReference<uint8_t>(Pattern::Noise, 15, 6, channels, p, 3);
  }
}

TEST_F(EngineHostTest, ShortAreasReplicateTheirLastRow) {
  for (int height = 1; height <= 7; ++height) {
    const Parameters p = {0.25f * float(height % 5), 0.1f, 0.7f, height % 2 ? 0.5f : 0.0f};
    expectRunMatchesReference<uint8_t>(Pattern::Photo, 15 + height, height, 1, p, uint32_t(height));
    expectRunMatchesReference<uint8_t>(Pattern::Noise, 16, height, 3, p, uint32_t(height + 10));
    expectRunMatchesReference<uint16_t>(Pattern::Edges, 17, height, 1, p, uint32_t(height + 20));
    expectRunMatchesReference<uint16_t>(Pattern::Gradient, 18, height, 3, p, uint32_t(height + 30));
  }
}

TEST_F(EngineHostTest, AllFourKindsOfImageMatchTheReferenceRun) {
  const Parameters grid[] = {
      {0.0f, 0.0f, 0.7f, 0.5f}, {1.0f, 0.5f, 0.0f, 0.0f}, {0.3f, 1.0f, 1.0f, 0.3f}};
  uint32_t seed = 40;
  for (const Parameters& p : grid) {
    expectRunMatchesReference<uint8_t>(Pattern::Photo, 37, 23, 1, p, seed++);
    expectRunMatchesReference<uint8_t>(Pattern::Photo, 37, 23, 3, p, seed++);
    expectRunMatchesReference<uint16_t>(Pattern::Photo, 37, 23, 1, p, seed++);
    expectRunMatchesReference<uint16_t>(Pattern::Photo, 37, 23, 3, p, seed++);
  }
  // Rows wide enough that the module moves them in and out in several blocks.
  expectRunMatchesReference<uint16_t>(Pattern::Photo, 2000, 50, 3, grid[0], seed++);
}

// 32-bit hosts call with the stack only 4-byte aligned; the module's SSE code must
// realign before it keeps vectors in stack slots, or it faults here.
TEST_F(EngineHostTest, AHostCallingOnAMisalignedStackGetsTheReferenceImage) {
  if (!canCallMisaligned()) GTEST_SKIP() << "only 32-bit x86 calls may leave the stack misaligned";
  session_.misalignedStack = true;
  const Parameters grid[] = {{0.0f, 0.3f, 0.7f, 0.5f}, {1.0f, 0.0f, 0.2f, 0.0f}};
  uint32_t seed = 90;
  for (const Parameters& p : grid) {
    expectRunMatchesReference<uint8_t>(Pattern::Photo, 41, 19, 1, p, seed++);
    expectRunMatchesReference<uint8_t>(Pattern::Noise, 41, 19, 3, p, seed++);
    expectRunMatchesReference<uint16_t>(Pattern::Photo, 41, 19, 1, p, seed++);
    expectRunMatchesReference<uint16_t>(Pattern::Edges, 41, 19, 3, p, seed++);
  }
}

TEST_F(EngineHostTest, AbortAtTheFirstOrLastEngineRowCancelsTheRun) {
  const int height = 9;
  const Parameters p = {0.5f, 0.0f, 0.7f, 0.5f};
  for (int channels : {1, 3}) {
    for (int32_t abortAt : {0, height - 1}) {
      const std::vector<uint8_t> samples =
          makeImage<uint8_t>(Pattern::Photo, 20, height, channels, 255, 5);
      HostImage image = toHostImage(samples, 20, height, channels);
      const HostRunResult result = run(&image, p, abortAt);
      EXPECT_EQ(result.result, userCanceledErr) << abortAt;
      // The engine polls once per row, after reporting the row's progress.
      EXPECT_EQ(result.abortCalls, abortAt + 1);
      ASSERT_FALSE(result.progress.empty());
      EXPECT_EQ(result.progress.back(), std::make_pair(height + 4 * abortAt, 6 * height));
      EXPECT_EQ(image.data, toHostImage(samples, 20, height, channels).data);
      EXPECT_FALSE(anyStoreFileLeft());
    }
  }
}

TEST_F(EngineHostTest, WorkingMemoryShortageIsOutOfMemoryUntilTheRunFits) {
  loadTestBuild();
  const Parameters p = {0.75f, 0.3f, 0.7f, 0.5f};
  std::vector<uint16_t> samples = makeImage<uint16_t>(Pattern::Photo, 19, 6, 3, 32768, 6);
  bool succeeded = false;
  int32_t failures = 0;
  for (int32_t budget = 0; budget < 200 && !succeeded; ++budget) {
    SCOPED_TRACE(budget);
    const std::string text = std::to_string(budget);
    setTestEnvironment("BRISEL_ALLOC_BUDGET", text.c_str());
    HostImage image = toHostImage(samples, 19, 6, 3);
    const HostRunResult result = run(&image, p);
    setTestEnvironment("BRISEL_ALLOC_BUDGET", nullptr);
    succeeded = result.result == noErr;
    if (!succeeded) {
      ++failures;
      ASSERT_EQ(result.result, memFullErr);
      ASSERT_EQ(image.data, toHostImage(samples, 19, 6, 3).data);
      ASSERT_FALSE(anyStoreFileLeft());
    } else {
      ASSERT_EQ(runReference(samples, 19, 6, 3, p), 0);
      EXPECT_EQ(image.data, toHostImage(samples, 19, 6, 3).data);
    }
  }
  EXPECT_TRUE(succeeded);
  EXPECT_GE(failures, 18);  // at least the engine's own 18 blocks, one by one
}

}  // namespace
