// equaliseFilterTest.cpp -- the run stage's filter call over a real colour store and signature
// block
#include "entry/equaliseFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "engine/equaliseKernels.h"
#include "params/signatureBlock.h"
#include "store/fileLayer.h"
#include "store/filePath.h"
#include "store/rowStore.h"
#include "tests/engine/engineTestImages.h"
#include "tests/reference/referenceEqualise.h"
#include "tests/support/storeDirectory.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

template <class D>
OSErr runFilter(RowStore* s, RunContext* c, SignatureBlock* b, bool skip) {
  return adaptiveEqualize(s, c, b, skip, int32_t(8 * sizeof(typename D::Sample)));
}

// A colour store in a directory of its own, a context and a signature block.
class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_.enter("briselEngine");
    context_ = createRunContext();
    block_ = createSignatureBlock(kRunSignatureSlots);
    ASSERT_NE(context_, nullptr);
    ASSERT_NE(block_, nullptr);
    setSignatureHeader(block_, fourCharCode("AHEq"), 0, 0);
  }

  void TearDown() override {
    disposeColourStore(store_);
    disposeSignatureBlock(block_);
    disposeRunContext(context_);
    directory_.leave();
  }

  template <typename Sample>
  void makeStore(const std::vector<Sample>& image, int width, int height, int channels) {
    ASSERT_EQ(createColourStore(width, height, channels * int(sizeof(Sample)), &store_), 0);
    const int32_t rowBytes = width * channels * int32_t(sizeof(Sample));
    for (int y = 0; y < height; ++y) {
      ASSERT_EQ(writeStoreRow(store_, 0, y, rowBytes, image.data() + size_t(y) * width * channels),
                0);
    }
    context_->width = int16_t(width);
    context_->height = int16_t(height);
    context_->channels = int16_t(channels);
  }

  template <typename Sample>
  std::vector<Sample> readStore(int width, int height, int channels) {
    std::vector<Sample> image(size_t(width) * height * channels);
    const int32_t rowBytes = width * channels * int32_t(sizeof(Sample));
    for (int y = 0; y < height; ++y) {
      EXPECT_EQ(readStoreRow(store_, 0, y, rowBytes, image.data() + size_t(y) * width * channels),
                0);
    }
    return image;
  }

  void setParameters(const float* values) {
    addFloatParameter(block_, fourCharCode("AEqa"), 0.0f, 1.0f, values[0]);
    addFloatParameter(block_, fourCharCode("AEqb"), 0.0f, 1.0f, values[1]);
    addFloatParameter(block_, fourCharCode("AEqg"), 0.0f, 1.0f, values[2]);
    addFloatParameter(block_, fourCharCode("AEqd"), 0.0f, 1.0f, values[3]);
  }

  void expectParameters(const float* values) {
    for (int i = 0; i < kParameterCount; ++i) {
      EXPECT_EQ(getFloatValue(block_, i), values[i]) << "entry " << i;
      EXPECT_EQ(std::signbit(getFloatValue(block_, i)), std::signbit(values[i])) << "entry " << i;
    }
  }

  // Engine through the store against the reference run in memory.
  template <typename D>
  void expectEntryMatches(int width, int height, int channels, const float* parameters,
                          uint32_t seed, Pattern pattern = Pattern::Photo, int top = D::kMax) {
    typedef typename D::Sample Sample;
    std::vector<Sample> image = makeImage<Sample>(pattern, width, height, channels, top, seed);
    makeStore(image, width, height, channels);
    setParameters(parameters);
    ASSERT_EQ(runFilter<D>(store_, context_, block_, true), 0);
    std::vector<Sample> reference = image;
    ASSERT_EQ(referenceRun(reference, width, height, channels, parameters[0], parameters[1],
                           parameters[2], parameters[3]),
              0);
    EXPECT_EQ(readStore<Sample>(width, height, channels), reference)
        << width << "x" << height << "x" << channels;
  }

  StoreDirectory directory_;
  RowStore* store_ = nullptr;
  RunContext* context_ = nullptr;
  SignatureBlock* block_ = nullptr;
};

TEST_F(EntryTest, GreyEightBitMatchesTheReferenceRun) {
  const float p[] = {0.0f, 0.3f, 0.7f, 0.5f};
  expectEntryMatches<Depth8>(41, 19, 1, p, 1);
}

TEST_F(EntryTest, RgbEightBitMatchesTheReferenceRun) {
  const float p[] = {0.6f, 0.0f, 0.0f, 0.3f};
  expectEntryMatches<Depth8>(30, 12, 3, p, 2, Pattern::Noise);
}

TEST_F(EntryTest, GreySixteenBitMatchesTheReferenceRun) {
  const float p[] = {1.0f, 1.0f, 0.2f, 0.0f};
  expectEntryMatches<Depth16>(17, 9, 1, p, 3, Pattern::Edges);
}

TEST_F(EntryTest, RgbSixteenBitMatchesTheReferenceRun) {
  const float p[] = {0.25f, 0.5f, 1.0f, 1.0f};
  expectEntryMatches<Depth16>(26, 8, 3, p, 4);
}

// Rows move to and from the store in batches: areas taller than a batch, and
// an abort between batches, which still writes every row finished before it.
TEST_F(EntryTest, TallAreasCrossTheStoreBatches) {
  const float p[] = {0.0f, 0.4f, 0.7f, 0.5f};
  expectEntryMatches<Depth8>(20, 600, 1, p, 6);
  disposeColourStore(store_);
  store_ = nullptr;
  expectEntryMatches<Depth16>(33, 280, 3, p, 7);
}

int32_t abortQueries = 0;
int32_t abortAtQuery = -1;
void BRISEL_CDECL ignoreProgress(int32_t, int32_t) {}
Boolean BRISEL_CDECL answerAbort() { return abortQueries++ == abortAtQuery ? 1 : 0; }

TEST_F(EntryTest, AbortBetweenBatchesKeepsTheFinishedRows) {
  const float p[] = {0.5f, 0.2f, 0.7f, 0.5f};
  const int width = 21;
  const int height = 300;
  for (int abortRow : {1, 256, 270, height - 1}) {
    std::vector<uint8_t> image = makeImage<uint8_t>(Pattern::Photo, width, height, 1, 255, 8);
    makeStore(image, width, height, 1);
    setParameters(p);
    FilterRecord record{};
    record.progressProc = ignoreProgress;
    record.abortProc = answerAbort;
    context_->filterRecord = &record;
    abortQueries = 0;
    abortAtQuery = abortRow;
    EXPECT_EQ(adaptiveEqualize(store_, context_, block_, true, 8), -128);
    context_->filterRecord = nullptr;
    std::vector<uint8_t> reference = image;
    ASSERT_EQ(referenceRun(reference, width, height, 1, p[0], p[1], p[2], p[3]), 0);
    const std::vector<uint8_t> result = readStore<uint8_t>(width, height, 1);
    const long split = long(abortRow) * width;
    EXPECT_TRUE(std::equal(result.begin(), result.begin() + split, reference.begin()))
        << "abort at " << abortRow;
    EXPECT_TRUE(std::equal(result.begin() + split, result.end(), image.begin() + split))
        << "abort at " << abortRow;
    disposeColourStore(store_);
    store_ = nullptr;
  }
}

TEST_F(EntryTest, WideSixteenBitRgbRowsRunCompletely) {
  const float p[] = {0.9f, 0.1f, 0.7f, 0.5f};
  expectEntryMatches<Depth16>(30000, 3, 3, p, 5);
}

TEST_F(EntryTest, SamplesAboveTheHostRangeAreReadAs32768) {
  const float p[] = {0.0f, 0.4f, 0.7f, 0.5f};
  expectEntryMatches<Depth16>(20, 6, 3, p, 6, Pattern::Noise, 65535);
}

TEST_F(EntryTest, ParametersOutOfRangeAreClampedAndWrittenBack) {
  const float inf = std::numeric_limits<float>::infinity();
  const float given[] = {std::nanf(""), -inf, 3.0f, -0.0f};
  const float used[] = {0.0f, 0.0f, 1.0f, 0.0f};
  expectEntryMatches<Depth8>(16, 5, 3, given, 7);
  expectParameters(used);
}

TEST_F(EntryTest, NegativeChannelCountIsTakenAsItsSize) {
  const float p[] = {0.5f, 0.2f, 0.7f, 0.5f};
  std::vector<uint8_t> image = makeImage<uint8_t>(Pattern::Photo, 18, 4, 3, 255, 8);
  makeStore(image, 18, 4, 3);
  context_->channels = -3;
  setParameters(p);
  ASSERT_EQ(adaptiveEqualize(store_, context_, block_, true, 8), 0);
  ASSERT_EQ(referenceRun(image, 18, 4, 3, p[0], p[1], p[2], p[3]), 0);
  EXPECT_EQ(readStore<uint8_t>(18, 4, 3), image);
}

TEST_F(EntryTest, NarrowAreaIsCancelledAfterTheWriteBack) {
  const float given[] = {2.0f, 0.5f, std::nanf(""), 0.5f};
  const float used[] = {1.0f, 0.5f, 0.0f, 0.5f};
  for (int width : {14, 1}) {
    std::vector<uint16_t> image = makeImage<uint16_t>(Pattern::Noise, width, 6, 1, 32768, 9);
    makeStore(image, width, 6, 1);
    setParameters(given);
    EXPECT_EQ(adaptiveEqualize(store_, context_, block_, true, 16), -128);
    EXPECT_EQ(readStore<uint16_t>(width, 6, 1), image);
    expectParameters(used);
    disposeColourStore(store_);
    store_ = nullptr;
    disposeSignatureBlock(block_);
    block_ = createSignatureBlock(kRunSignatureSlots);
  }
}

#ifndef _WIN32
// Natively the dialog is the stand-in that confirms the values as given.
TEST_F(EntryTest, DialogSeesTheStoreAndItsValuesAreUsed) {
  const float p[] = {0.5f, 0.2f, 0.7f, 0.5f};
  std::vector<uint8_t> image = makeImage<uint8_t>(Pattern::Photo, 15, 3, 1, 255, 10);
  makeStore(image, 15, 3, 1);
  setParameters(p);
  ASSERT_EQ(adaptiveEqualize(store_, context_, block_, false, 8), 0);
  EXPECT_EQ(context_->previewStore, store_);
  ASSERT_EQ(referenceRun(image, 15, 3, 1, p[0], p[1], p[2], p[3]), 0);
  EXPECT_EQ(readStore<uint8_t>(15, 3, 1), image);
  expectParameters(p);
}
#endif

TEST_F(EntryTest, OutOfMemoryLeavesTheStoreAsItWas) {
  const float p[] = {0.0f, 0.0f, 0.0f, 0.0f};
  std::vector<uint16_t> image = makeImage<uint16_t>(Pattern::Photo, 21, 5, 3, 32768, 11);
  makeStore(image, 21, 5, 3);
  setParameters(p);
  // 15 window rows, the result and spare rows, the workspace, the store's read
  // and write batches
  for (int32_t budget = 0; budget < 20; ++budget) {
    setAllocationBudget(budget);
    const OSErr err = adaptiveEqualize(store_, context_, block_, true, 16);
    setAllocationBudget(-1);
    ASSERT_EQ(err, -108) << "budget " << budget;
    ASSERT_EQ(readStore<uint16_t>(21, 5, 3), image);
  }
  setAllocationBudget(20);
  EXPECT_EQ(adaptiveEqualize(store_, context_, block_, true, 16), 0);
  setAllocationBudget(-1);
}

TEST_F(EntryTest, StoreFailureStopsTheRunWithItsCode) {
  // A store without a file: its first read fails, and the run says so
  // instead of carrying on over rows it never had.
  RowStore broken = {kNoFile, 20, kNoFile, 4, nullptr};
  context_->width = 20;
  context_->height = 4;
  context_->channels = 1;
  const float p[] = {0.0f, 0.0f, 0.0f, 0.0f};
  setParameters(p);
  const OSErr err = adaptiveEqualize(&broken, context_, block_, true, 8);
  EXPECT_NE(err, 0);
  EXPECT_NE(err, -128);
}

TEST_F(EntryTest, MissingRecordsAreRefused) {
  RowStore broken = {kNoFile, 20, kNoFile, 4, nullptr};
  context_->width = 20;
  context_->height = 4;
  EXPECT_EQ(adaptiveEqualize(nullptr, context_, block_, true, 8), -128);
  EXPECT_EQ(adaptiveEqualize(&broken, nullptr, block_, true, 8), -128);
  EXPECT_EQ(adaptiveEqualize(&broken, context_, nullptr, true, 16), -128);
}

}  // namespace
