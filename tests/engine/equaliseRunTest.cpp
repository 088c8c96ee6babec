// equaliseRunTest.cpp -- the run over in-memory rows against the literal reference run
#include "engine/equaliseRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "store/rowStore.h"
#include "tests/engine/engineTestImages.h"
#include "tests/reference/referenceEqualise.h"
#include "tests/support/storeDirectory.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <string>
#endif

namespace {

template <class D>
OSErr runInMemory(std::vector<typename D::Sample>& image, int width, int height, int channels,
                  const FilterValues& p, const RunContext* context = nullptr) {
  return equaliseRows<D>(RunRows{nullptr, image.data()}, width, height, channels, &p, context);
}

template <typename Sample>
int runReference(std::vector<Sample>& image, int width, int height, int channels,
                 const FilterValues& p) {
  return referenceRun(image, width, height, channels, p.value[ParameterAlpha],
                      p.value[ParameterBeta], p.value[ParameterGamma], p.value[ParameterDelta]);
}

template <typename D>
class RunTest : public ::testing::Test {};
typedef ::testing::Types<Depth8, Depth16> Depths;
TYPED_TEST_SUITE(RunTest, Depths);

template <typename D>
void expectRunMatches(const std::vector<typename D::Sample>& image, int width, int height,
                      int channels, const FilterValues& p) {
  std::vector<typename D::Sample> engine = image;
  std::vector<typename D::Sample> reference = image;
  ASSERT_EQ(runInMemory<D>(engine, width, height, channels, p), 0);
  ASSERT_EQ(runReference(reference, width, height, channels, p), 0);
  ASSERT_EQ(engine, reference) << width << "x" << height << "x" << channels << " alpha "
                               << p.value[ParameterAlpha] << " beta " << p.value[ParameterBeta]
                               << " gamma " << p.value[ParameterGamma] << " delta "
                               << p.value[ParameterDelta];
}

TYPED_TEST(RunTest, MatchesReferenceOverWidthsAndHeights) {
  const float alphas[] = {0.0f, 0.2f, 0.25f, 0.3f, 0.5f, 0.75f, 0.9f, 1.0f};
  const float betas[] = {0.0f, 1.0f, 0.37f};
  const float gammas[] = {0.0f, 0.7f, 1.0f};
  const float deltas[] = {0.0f, 0.5f, 0.3f};
  uint32_t seed = 11;
  for (int channels : {1, 3}) {
    for (int width = 15; width <= 40; ++width) {
      for (int height = 1; height <= 9; ++height) {
        FilterValues p = {alphas[seed % 8], betas[seed % 3], gammas[(seed / 3) % 3],
                          deltas[(seed / 9) % 3]};
        auto image = makeImage<typename TypeParam::Sample>(kPatterns[seed % 6], width, height,
                                                           channels, TypeParam::kMax, seed);
        ++seed;
        expectRunMatches<TypeParam>(image, width, height, channels, p);
      }
    }
  }
}

// Every parameter combination on images tall enough for the window to slide
// well past its priming rows.
TYPED_TEST(RunTest, MatchesReferenceOverTheParameterGrid) {
  uint32_t seed = 500;
  for (int channels : {1, 3}) {
    for (float alpha : {0.0f, 0.25f, 0.5f, 0.75f, 1.0f}) {
      for (float beta : {0.0f, 0.37f, 1.0f}) {
        for (float gamma : {0.0f, 0.7f}) {
          for (float delta : {0.0f, 0.3f}) {
            auto image = makeImage<typename TypeParam::Sample>(kPatterns[seed % 6], 33, 24,
                                                               channels, TypeParam::kMax, seed);
            ++seed;
            expectRunMatches<TypeParam>(image, 33, 24, channels, {alpha, beta, gamma, delta});
          }
        }
      }
    }
  }
}

// The engine takes values clamped where they entered the filter: out of range
// and NaN values, clamped so, give the reference's results for the values as
// given (which it clamps itself).
TYPED_TEST(RunTest, ValuesClampedAtTheEntryMatchTheReferenceOutOfRange) {
  typedef typename TypeParam::Sample Sample;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::nanf("");
  const FilterValues cases[] = {{nan, nan, nan, nan},
                                {-1.0f, 2.0f, -inf, inf},
                                {inf, -0.5f, 7.0f, -2.0f},
                                {3.0f, nan, 1.5f, nan},
                                {-0.0f, -0.0f, -0.0f, -0.0f}};
  uint32_t seed = 900;
  for (const FilterValues& p : cases) {
    for (int channels : {1, 3}) {
      auto image = makeImage<Sample>(Pattern::Photo, 29, 12, channels, TypeParam::kMax, seed++);
      std::vector<Sample> engine = image;
      std::vector<Sample> reference = image;
      ASSERT_EQ(runInMemory<TypeParam>(engine, 29, 12, channels, clampFilterValues(p)), 0);
      ASSERT_EQ(runReference(reference, 29, 12, channels, p), 0);
      EXPECT_EQ(engine, reference);
    }
  }
}

TYPED_TEST(RunTest, UniformAreaBecomesTheTopOrStays) {
  typedef typename TypeParam::Sample Sample;
  for (int channels : {1, 3}) {
    std::vector<Sample> image(size_t(20) * 5 * channels, Sample(TypeParam::kMax / 3));
    std::vector<Sample> kept = image;
    ASSERT_EQ(runInMemory<TypeParam>(image, 20, 5, channels, {0.3f, 0.0f, 0.7f, 0.5f}), 0);
    EXPECT_EQ(image, std::vector<Sample>(image.size(), Sample(TypeParam::kMax)));
    ASSERT_EQ(runInMemory<TypeParam>(kept, 20, 5, channels, {0.3f, 1.0f, 0.7f, 0.5f}), 0);
    EXPECT_EQ(kept, std::vector<Sample>(kept.size(), Sample(TypeParam::kMax / 3)));
  }
}

TYPED_TEST(RunTest, FullFractionOfOriginalReturnsGreyUnchanged) {
  auto image = makeImage<typename TypeParam::Sample>(Pattern::Noise, 37, 9, 1, TypeParam::kMax, 3);
  auto result = image;
  ASSERT_EQ(runInMemory<TypeParam>(result, 37, 9, 1, {0.0f, 1.0f, 0.7f, 0.5f}), 0);
  EXPECT_EQ(result, image);
}

TYPED_TEST(RunTest, OtherChannelCountsEqualiseTheFirstWidthSamples) {
  for (int channels : {2, 4}) {
    auto image = makeImage<typename TypeParam::Sample>(Pattern::Photo, 17, 6, channels,
                                                       TypeParam::kMax, uint32_t(channels));
    expectRunMatches<TypeParam>(image, 17, 6, channels, {0.5f, 0.2f, 0.7f, 0.5f});
  }
}

TEST(Run16, SamplesAboveTheHostRangeAreReadAs32768) {
  for (int channels : {1, 3}) {
    auto image = makeImage<uint16_t>(Pattern::Noise, 26, 8, channels, 65535, 77);
    auto clamped = image;
    for (uint16_t& sample : clamped) sample = sample > 32768 ? 32768 : sample;
    const FilterValues p = {0.1f, 0.3f, 0.7f, 0.5f};
    expectRunMatches<Depth16>(image, 26, 8, channels, p);
    ASSERT_EQ(runInMemory<Depth16>(image, 26, 8, channels, p), 0);
    ASSERT_EQ(runInMemory<Depth16>(clamped, 26, 8, channels, p), 0);
    EXPECT_EQ(image, clamped);
    for (uint16_t sample : image) ASSERT_LE(sample, 32768);
  }
}

TEST(Run16, WideRgbRowsPassTheSixteenBitRowLength) {
  // 30000 x 3 x 2 = 180000 bytes a row: far past 32,767.
  auto image = makeImage<uint16_t>(Pattern::Photo, 30000, 2, 3, 32768, 5);
  expectRunMatches<Depth16>(image, 30000, 2, 3, {1.0f, 0.25f, 0.7f, 0.5f});
}

// ---- host calls ----

struct FakeHost {
  std::vector<std::pair<int32_t, int32_t>> progress;
  int32_t abortAnswers = 0;
  int32_t abortAtAnswer = -1;        // the 0-based abort query that answers true
  std::function<void()> onProgress;  // after the call is recorded
};
FakeHost* host = nullptr;

void BRISEL_CDECL recordProgress(int32_t done, int32_t total) {
  host->progress.emplace_back(done, total);
  if (host->onProgress) host->onProgress();
}

Boolean BRISEL_CDECL answerAbort() { return host->abortAnswers++ == host->abortAtAnswer ? 1 : 0; }

class RunHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = &fake;
    record.progressProc = recordProgress;
    record.abortProc = answerAbort;
    context = createRunContext();
    ASSERT_NE(context, nullptr);
    context->filterRecord = &record;
  }
  void TearDown() override {
    disposeRunContext(context);
    host = nullptr;
  }
  FakeHost fake;
  FilterRecord record{};
  RunContext* context = nullptr;
};

TEST_F(RunHostTest, ReportsEveryRowInTheMiddleFourSixths) {
  auto image = makeImage<uint8_t>(Pattern::Photo, 20, 5, 1, 255, 1);
  ASSERT_EQ(runInMemory<Depth8>(image, 20, 5, 1, {0, 0, 0, 0}, context), 0);
  std::vector<std::pair<int32_t, int32_t>> expected;
  for (int32_t i = 0; i < 5; ++i) expected.emplace_back(5 + 4 * i, 30);
  EXPECT_EQ(fake.progress, expected);
  EXPECT_EQ(fake.abortAnswers, 5);
}

TEST_F(RunHostTest, AbortKeepsRowsFromTheAbortedOneUnprocessed) {
  const int width = 23;
  const int height = 7;
  for (int channels : {1, 3}) {
    for (int32_t abortRow : {0, 3, height - 1}) {
      fake = FakeHost();
      fake.abortAtAnswer = abortRow;
      auto image = makeImage<uint16_t>(Pattern::Photo, width, height, channels, 32768, 9);
      auto reference = image;
      const FilterValues p = {0.5f, 0.2f, 0.7f, 0.5f};
      ASSERT_EQ(runReference(reference, width, height, channels, p), 0);
      EXPECT_EQ(runInMemory<Depth16>(image, width, height, channels, p, context), -128);
      const size_t rowSamples = size_t(width) * channels;
      auto split = image.begin() + long(abortRow * rowSamples);
      EXPECT_TRUE(std::equal(image.begin(), split, reference.begin())) << "abort at " << abortRow;
      auto original = makeImage<uint16_t>(Pattern::Photo, width, height, channels, 32768, 9);
      EXPECT_TRUE(std::equal(split, image.end(), original.begin() + long(abortRow * rowSamples)));
      EXPECT_EQ(fake.progress.size(), size_t(abortRow + 1));
    }
  }
}

#ifndef _WIN32
// A store read that fails part way stops a run on any number of threads where
// it stops the one thread's walk: the same code, the same progress and abort
// calls, the same rows written before it.
TEST_F(RunHostTest, AFailedStoreReadStopsEveryThreadCountAtTheSameRow) {
  const int width = 20;
  const int height = 600;
  const auto image = makeImage<uint8_t>(Pattern::Photo, width, height, 1, 255, 8);
  const FilterValues p = {0.3f, 0.1f, 0.6f, 0.5f};
  std::vector<OSErr> codes;
  std::vector<std::vector<uint8_t>> written;
  std::vector<FakeHost> calls;
  for (const char* threads : {"1", "2", "3"}) {
    StoreDirectory directory;
    directory.enter("briselRead");
    RowStore* store = nullptr;
    ASSERT_EQ(createColourStore(width, height, 1, &store), noErr);
    ASSERT_EQ(writeStoreRows(store, 0, height, image.data()), noErr);
    // The file ends inside row 300: the rows before it are served whatever
    // the reads' grouping, and the one thread reads row 300 at row 293's step.
    ASSERT_EQ(ftruncate(int(store->fileHandle), 6 + 300 * width + 5), 0);
    store->position = -1;
    fake = FakeHost();
    setenv("BRISEL_THREADS", threads, 1);
    codes.push_back(equaliseRows<Depth8>(RunRows{store, nullptr}, width, height, 1, &p, context));
    unsetenv("BRISEL_THREADS");
    calls.push_back(fake);
    std::vector<uint8_t> rows(size_t(300) * width);
    ASSERT_EQ(readStoreRows(store, 0, 300, rows.data()), noErr);
    written.push_back(rows);
    disposeColourStore(store);
    directory.leave();
  }
  EXPECT_NE(codes[0], noErr);
  EXPECT_EQ(calls[0].progress.size(), 294u);
  EXPECT_NE(written[0], std::vector<uint8_t>(image.begin(), image.begin() + 300 * width));
  for (size_t k = 1; k < codes.size(); ++k) {
    SCOPED_TRACE(k + 1);
    EXPECT_EQ(codes[k], codes[0]);
    EXPECT_EQ(calls[k].progress, calls[0].progress);
    EXPECT_EQ(calls[k].abortAnswers, calls[0].abortAnswers);
    EXPECT_EQ(written[k], written[0]);
  }
}

// The same for a store write that fails part way (the file turns read-only
// behind the store at a given row's progress call, one a row): the code comes
// at the row where the one thread's batches of writes meet it, on narrow rows
// (a band a thread, read before the first write) and on wide ones (bands of
// 48 rows, read and written in turn).
TEST_F(RunHostTest, AFailedStoreWriteStopsEveryThreadCountAtTheSameRow) {
  const int height = 600;
  const FilterValues p = {0.3f, 0.1f, 0.6f, 0.5f};
  for (int width : {20, 12000}) {
    const auto image = makeImage<uint8_t>(Pattern::Photo, width, height, 1, 255, 8);
    for (int32_t failAt : {30, 200, 280, 400, 590}) {
      std::vector<OSErr> codes;
      std::vector<size_t> calls;
      for (const char* threads : {"1", "2", "3"}) {
        SCOPED_TRACE(std::to_string(width) + " wide, from row " + std::to_string(failAt) + ", " +
                     threads + " threads");
        StoreDirectory directory;
        directory.enter("briselWrite");
        RowStore* store = nullptr;
        ASSERT_EQ(createColourStore(width, height, 1, &store), noErr);
        ASSERT_EQ(writeStoreRows(store, 0, height, image.data()), noErr);
        fake = FakeHost();
        bool turned = false;
        fake.onProgress = [&] {
          if (fake.progress.size() != size_t(failAt) + 1) return;  // row failAt's call
          const int data = int(store->fileHandle);
          const int readOnly = open(("/proc/self/fd/" + std::to_string(data)).c_str(), O_RDONLY);
          turned = readOnly >= 0 && dup2(readOnly, data) == data;
          close(readOnly);
          store->position = -1;  // the new descriptor's position is its own
        };
        setenv("BRISEL_THREADS", threads, 1);
        codes.push_back(
            equaliseRows<Depth8>(RunRows{store, nullptr}, width, height, 1, &p, context));
        unsetenv("BRISEL_THREADS");
        EXPECT_TRUE(turned);
        calls.push_back(fake.progress.size());
        disposeColourStore(store);
        directory.leave();
      }
      EXPECT_EQ(codes, std::vector<OSErr>(3, ioErr)) << width << " wide, from row " << failAt;
      EXPECT_GT(calls[0], size_t(failAt));
      EXPECT_EQ(calls, std::vector<size_t>(3, calls[0])) << width << " wide, from row " << failAt;
    }
  }
}
#endif

TEST(RunMemory, EveryAllocationFailureGivesOutOfMemoryAndLeavesTheRows) {
  for (int channels : {1, 3}) {
    auto image = makeImage<uint8_t>(Pattern::Noise, 16, 4, channels, 255, 4);
    const auto original = image;
    int32_t budget = 0;
    OSErr err = -1;
    for (; err != 0 && budget < 100; ++budget) {
      setAllocationBudget(budget);
      err = runInMemory<Depth8>(image, 16, 4, channels, {0, 0, 0, 0});
      setAllocationBudget(-1);
      if (err != 0) {
        ASSERT_EQ(err, -108);
        ASSERT_EQ(image, original);
      }
    }
    EXPECT_EQ(err, 0);
    EXPECT_EQ(budget - 1, 18);  // 15 window rows, the result and spare rows, the workspace
  }
}

TEST(RunMemory, EmptyAreasDoNothing) {
  std::vector<uint8_t> image(64, 9);
  EXPECT_EQ(runInMemory<Depth8>(image, 16, 0, 1, {0, 0, 0, 0}), 0);
  EXPECT_EQ(runInMemory<Depth8>(image, 0, 4, 1, {0, 0, 0, 0}), 0);
  EXPECT_EQ(image, std::vector<uint8_t>(64, 9));
}

#ifndef _WIN32
// A small image's rows all wait in the write-behind batch until the run's
// last write: when that write fails, so does the run.
TEST(RunStore, AFailedFinalWriteFailsTheRun) {
  StoreDirectory directory;
  directory.enter("briselRun");
  RowStore* store = nullptr;
  ASSERT_EQ(createColourStore(20, 6, 1, &store), noErr);
  auto image = makeImage<uint8_t>(Pattern::Photo, 20, 6, 1, 255, 3);
  for (int32_t y = 0; y < 6; ++y) {
    ASSERT_EQ(writeStoreRow(store, 0, y, 20, image.data() + y * 20), noErr);
  }
  const FilterValues p = {0.5f, 0.0f, 0.5f, 0.5f};
  // The same file, read-only, behind the store's descriptor: reads go on,
  // writes fail.
  const int data = int(store->fileHandle);
  const int readOnly = open(("/proc/self/fd/" + std::to_string(data)).c_str(), O_RDONLY);
  ASSERT_GE(readOnly, 0);
  ASSERT_EQ(dup2(readOnly, data), data);
  close(readOnly);
  store->position = -1;
  EXPECT_EQ(equaliseRows<Depth8>(RunRows{store, nullptr}, 20, 6, 1, &p, nullptr), ioErr);
  disposeColourStore(store);
  directory.leave();
}
#endif

}  // namespace
