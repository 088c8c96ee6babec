// engineHostTest.cpp -- whole runs through the real export, held to the literal reference run
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/fixedFiles.h"
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
  HostRunResult run(HostImage* image, const Parameters& p, int32_t abortAt = -1,
                    int32_t maxSpace = 64 << 20) {
    std::vector<uint8_t> settings(kSettingsFileBytes, 0);
    const float values[] = {p.alpha, p.beta, p.gamma, p.delta};
    std::memcpy(settings.data() + kSettingsParametersOffset, values, sizeof values);
    std::ofstream(fixedFilePath(kSettingsFileName), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(settings.data()), std::streamsize(settings.size()));
    HostRunOptions options;
    options.playInfo = plugInDialogDontDisplay;
    options.abortAtCall = abortAt;
    options.maxSpace = maxSpace;
    HostRunResult result;
    runFilter(&session_, image, options, &result);
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    EXPECT_EQ(result.foreignThreadCalls, 0) << "the host was called from a worker thread";
    return result;
  }

  // The same on `threads` of the module's threads.
  HostRunResult runOnThreads(int32_t threads, HostImage* image, const Parameters& p,
                             int32_t abortAt = -1, int32_t maxSpace = 64 << 20) {
    const std::string count = std::to_string(threads);
    setTestEnvironment("BRISEL_THREADS", count.c_str());
    HostRunResult result = run(image, p, abortAt, maxSpace);
    setTestEnvironment("BRISEL_THREADS", nullptr);
    return result;
  }

  // Every thread count and band size gives the one thread's image, with the
  // same progress and abort calls, made on the host's thread.
  template <typename Sample>
  void expectThreadsMatchOneThread(int width, int height, int channels, const Parameters& p,
                                   uint32_t seed) {
    const int top = sizeof(Sample) == 2 ? 32768 : 255;
    const std::vector<Sample> samples =
        makeImage<Sample>(Pattern::Photo, width, height, channels, top, seed);
    HostImage single = toHostImage(samples, width, height, channels);
    const HostRunResult one = runOnThreads(1, &single, p);
    ASSERT_EQ(one.result, noErr);
    // a budget of about 300 rows cuts the image into bands of a few dozen rows
    const int32_t rowBytes = int32_t(width * channels * sizeof(Sample));
    for (int32_t maxSpace : {64 << 20, 300 * rowBytes}) {
      for (int32_t threads : {2, 3, 8}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + "x" +
                     std::to_string(channels) + " " + std::to_string(sizeof(Sample) * 8) +
                     "-bit, " + std::to_string(threads) + " threads, " + std::to_string(maxSpace) +
                     " bytes");
        HostImage image = toHostImage(samples, width, height, channels);
        const HostRunResult many = runOnThreads(threads, &image, p, -1, maxSpace);
        ASSERT_EQ(many.result, noErr);
        EXPECT_EQ(image.data, single.data);
        EXPECT_EQ(many.progress, one.progress);
        EXPECT_EQ(many.abortCalls, one.abortCalls);
      }
    }
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

TEST_F(EngineHostTest, EveryThreadCountGivesTheOneThreadImage) {
  const Parameters p = {0.0f, 0.3f, 0.7f, 0.5f};
  const Parameters q = {0.6f, 0.0f, 0.4f, 0.0f};
  // heights that are no multiple of the bands; 37 rows make two bands shorter
  // than their halos
  expectThreadsMatchOneThread<uint8_t>(29, 157, 1, p, 1);
  expectThreadsMatchOneThread<uint8_t>(23, 37, 3, q, 2);
  expectThreadsMatchOneThread<uint16_t>(23, 131, 1, q, 3);
  expectThreadsMatchOneThread<uint16_t>(21, 157, 3, p, 4);
}

TEST_F(EngineHostTest, AnAbortAmongThreadsCancelsTheRunAtItsRow) {
  const int width = 24;
  const int height = 161;
  const Parameters p = {0.5f, 0.0f, 0.7f, 0.5f};
  // on 2 threads the host's thread equalises bands between its reads and writes
  for (int32_t threads : {2, 3}) {
    for (int channels : {1, 3}) {
      for (int32_t abortAt : {5, 70, height - 1}) {
        SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(channels) +
                     " channels, abort at " + std::to_string(abortAt));
        const std::vector<uint16_t> samples =
            makeImage<uint16_t>(Pattern::Photo, width, height, channels, 32768, 6);
        HostImage image = toHostImage(samples, width, height, channels);
        const HostRunResult result =
            runOnThreads(threads, &image, p, abortAt, 300 * width * channels * 2);
        EXPECT_EQ(result.result, userCanceledErr);
        EXPECT_EQ(result.abortCalls, abortAt + 1);
        ASSERT_FALSE(result.progress.empty());
        EXPECT_EQ(result.progress.back(), std::make_pair(height + 4 * abortAt, 6 * height));
        EXPECT_EQ(image.data, toHostImage(samples, width, height, channels).data);
        EXPECT_FALSE(anyStoreFileLeft());
      }
    }
  }
}

// Once the memory holds one worker's buffers, a shortage for the others only
// means fewer workers: the run never fails and its image stays exact.
TEST_F(EngineHostTest, WorkersWithoutMemoryLeaveTheImageExact) {
  const Parameters p = {0.0f, 0.2f, 0.7f, 0.5f};
  const int width = 22;
  const int height = 97;
  const std::vector<uint8_t> samples = makeImage<uint8_t>(Pattern::Photo, width, height, 3, 255, 7);
  HostImage single = toHostImage(samples, width, height, 3);
  ASSERT_EQ(runOnThreads(1, &single, p).result, noErr);
  loadTestBuild();
  // the allocations that fail before a run on `threads` fits
  auto failuresUntilFit = [&](int32_t threads, int32_t successesAfter) {
    int32_t failures = 0;
    int32_t successes = 0;
    for (int32_t budget = 0; budget < 300 && successes <= successesAfter; ++budget) {
      SCOPED_TRACE(std::to_string(threads) + " threads, budget " + std::to_string(budget));
      const std::string text = std::to_string(budget);
      setTestEnvironment("BRISEL_ALLOC_BUDGET", text.c_str());
      HostImage image = toHostImage(samples, width, height, 3);
      const HostRunResult result = runOnThreads(threads, &image, p);
      setTestEnvironment("BRISEL_ALLOC_BUDGET", nullptr);
      if (successes == 0 && result.result == memFullErr) {
        ++failures;
        EXPECT_EQ(image.data, toHostImage(samples, width, height, 3).data);
        EXPECT_FALSE(anyStoreFileLeft());
        continue;
      }
      EXPECT_EQ(result.result, noErr);
      EXPECT_EQ(image.data, single.data);
      ++successes;
    }
    return failures;
  };
  const int32_t one = failuresUntilFit(1, 0);
  // the host thread's two band buffers, the bands' record and their carried
  // halo rows beside what one thread takes; then every budget runs, the
  // first ones with the host's thread equalising every band alone
  EXPECT_LE(failuresUntilFit(2, 50), one + 4);
  EXPECT_LE(failuresUntilFit(3, 50), one + 4);
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
