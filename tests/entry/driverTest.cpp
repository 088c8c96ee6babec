// driverTest.cpp -- whole runs through the real export: rows in, extra planes, mask, rows out
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/hostErrors.h"
#include "entry/filterGlobals.h"
#include "store/rowStore.h"
#include "tests/support/hostFixture.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

class DriverTest : public HostTest {
 protected:
  HostRunResult run(HostImage* image, const HostRunOptions& options = HostRunOptions()) {
    HostRunResult result;
    runFilter(&session_, image, options, &result);
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    return result;
  }
};

// The colour planes of a planes-deep image, as an image of its own.
HostImage colourOnly(const HostImage& image) {
  const int32_t channels =
      image.imageMode == plugInModeRGBColor || image.imageMode == plugInModeRGB48 ? 3 : 1;
  HostImage colour =
      makeHostImage(image.width, image.height, image.depth, image.imageMode, channels);
  for (int32_t y = 0; y < image.height; ++y) {
    for (int32_t x = 0; x < image.width; ++x) {
      for (int32_t p = 0; p < channels; ++p) colour.setSample(x, y, p, image.sample(x, y, p));
    }
  }
  return colour;
}

void expectPlanesEqual(const HostImage& a, const HostImage& b, int32_t firstPlane,
                       int32_t bFirstPlane, int32_t count) {
  for (int32_t y = 0; y < a.height; ++y) {
    for (int32_t x = 0; x < a.width; ++x) {
      for (int32_t p = 0; p < count; ++p) {
        ASSERT_EQ(a.sample(x, y, firstPlane + p), b.sample(x, y, bFirstPlane + p))
            << "x " << x << " y " << y << " plane " << firstPlane + p;
      }
    }
  }
}

TEST_F(DriverTest, GreyImageMakesOnlyTheColourStoreAndReportsProgressInSixths) {
  HostImage image = makeNoiseImage(24, 5, 8, plugInModeGrayScale, 1, 1);
  const HostRunResult result = run(&image);
  ASSERT_EQ(result.result, noErr);
  // Five reads, one run, five writes.
  EXPECT_EQ(result.continueCalls, 11);
  ASSERT_GE(result.progress.size(), 10u);
  for (int32_t r = 0; r < 5; ++r) {
    EXPECT_EQ(result.progress[size_t(r)], std::make_pair(r, 30));
    EXPECT_EQ(result.progress[result.progress.size() - 5 + size_t(r)], std::make_pair(25 + r, 30));
  }
  EXPECT_FALSE(anyStoreFileLeft());
}

TEST_F(DriverTest, TransparencyIsCarriedThroughAndColourMatchesThePlainImage) {
  for (int32_t depth : {8, 16}) {
    SCOPED_TRACE(depth);
    const int16_t mode = depth == 16 ? plugInModeRGB48 : plugInModeRGBColor;
    // RGB with transparency, and 16-bit RGB with two extra planes (10 bytes a pixel).
    const int32_t planes = depth == 16 ? 5 : 4;
    const HostImage original = makeNoiseImage(31, 9, depth, mode, planes, 7);
    HostImage layered = original;
    ASSERT_EQ(run(&layered).result, noErr);
    HostImage plain = colourOnly(original);
    ASSERT_EQ(run(&plain).result, noErr);

    expectPlanesEqual(layered, original, 3, 3, planes - 3);
    expectPlanesEqual(layered, plain, 0, 0, 3);
    EXPECT_FALSE(anyStoreFileLeft());
  }
}

// The host hands over pointers into its rows; filtering in the image itself
// (no undo copy) gives the same image, and a module that asks for some of the
// planes gets them gathered and scattered back around the others.
TEST_F(DriverTest, RowsInPlaceAndPlaneSubsetsGiveTheCopyingRunsImage) {
  const HostImage original = makeNoiseImage(31, 9, 16, plugInModeRGB48, 5, 11);
  HostRunOptions options;
  options.hasFilterRect = true;
  options.filterRect = Rect{2, 3, 8, 27};
  HostImage copied = original;
  ASSERT_EQ(run(&copied, options).result, noErr);
  options.inPlace = true;
  HostImage inPlace = original;
  ASSERT_EQ(run(&inPlace, options).result, noErr);
  EXPECT_EQ(inPlace.data, copied.data);

  // Three of five planes reported: the other two stay as they were.
  options.inPlace = false;
  options.reportedPlanes = 3;
  HostImage subset = original;
  ASSERT_EQ(run(&subset, options).result, noErr);
  expectPlanesEqual(subset, copied, 0, 0, 3);
  expectPlanesEqual(subset, original, 3, 3, 2);
  EXPECT_FALSE(anyStoreFileLeft());
}

TEST_F(DriverTest, OneRowImageTakesOneReadOneRunOneWrite) {
  HostImage image = makeNoiseImage(20, 1, 8, plugInModeGrayScale, 1, 3);
  EXPECT_EQ(run(&image).continueCalls, 3);

  HostRunOptions options;
  options.mask.assign(20, 255);
  HostImage masked = makeNoiseImage(20, 1, 8, plugInModeGrayScale, 1, 3);
  const HostRunResult result = run(&masked, options);
  EXPECT_EQ(result.result, noErr);
  // With a mask the host calls once more, and that call disposes of the stores.
  EXPECT_EQ(result.continueCalls, 4);
  EXPECT_EQ(masked.data, image.data);
  EXPECT_FALSE(anyStoreFileLeft());
}

TEST_F(DriverTest, SelectionFiltersOnlyItsRectangleAndTheExtraCallDisposesTheStores) {
  const HostImage original = makeNoiseImage(40, 12, 8, plugInModeRGBColor, 3, 5);
  HostImage image = original;
  HostRunOptions options;
  options.hasFilterRect = true;
  options.filterRect = Rect{3, 5, 10, 25};
  options.mask.assign(size_t(40 * 12), 0);
  options.maskBlend = MaskBlend::Off;  // the module's own rows
  for (int32_t y = 3; y < 10; ++y) {
    for (int32_t x = 5; x < 25; ++x) options.mask[size_t(y * 40 + x)] = uint8_t(x * 10);
  }
  const HostRunResult result = run(&image, options);
  ASSERT_EQ(result.result, noErr);
  EXPECT_EQ(result.continueCalls, 7 + 1 + 7 + 1);
  // Every mask row was asked for once, full width of the area, then row 0 for the run.
  ASSERT_GE(result.maskRequests.size(), 8u);
  for (int32_t r = 0; r < 7; ++r) {
    EXPECT_EQ(result.maskRequests[size_t(r)].top, 3 + r);
    EXPECT_EQ(result.maskRequests[size_t(r)].left, 5);
    EXPECT_EQ(result.maskRequests[size_t(r)].right, 25);
  }
  for (int32_t y = 0; y < 12; ++y) {
    for (int32_t x = 0; x < 40; ++x) {
      if (y >= 3 && y < 10 && x >= 5 && x < 25) continue;
      for (int32_t p = 0; p < 3; ++p) ASSERT_EQ(image.sample(x, y, p), original.sample(x, y, p));
    }
  }
  EXPECT_FALSE(anyStoreFileLeft());

  // The mask does not change what the filter computes.
  HostImage unmasked = original;
  options.mask.clear();
  ASSERT_EQ(run(&unmasked, options).result, noErr);
  EXPECT_EQ(unmasked.data, image.data);
}

// A host applies the result through its selection: nothing where the mask is
// 0, the filter's own result where it is 255, a blend between, and the extra
// planes as they were.
TEST_F(DriverTest, MaskCompositesTheResultOverTheImage) {
  for (int32_t depth : {8, 16}) {
    SCOPED_TRACE(depth);
    const int16_t mode = depth == 16 ? plugInModeRGB48 : plugInModeRGBColor;
    const HostImage original = makeNoiseImage(30, 8, depth, mode, 4, 14);
    HostImage filtered = original;
    ASSERT_EQ(run(&filtered).result, noErr);

    HostRunOptions options;
    options.mask.assign(size_t(30 * 8), 0);
    for (int32_t y = 0; y < 8; ++y) {
      for (int32_t x = 10; x < 30; ++x) options.mask[size_t(y * 30 + x)] = x < 20 ? 128 : 255;
    }
    HostImage masked = original;
    ASSERT_EQ(run(&masked, options).result, noErr);
    for (int32_t y = 0; y < 8; ++y) {
      for (int32_t x = 0; x < 30; ++x) {
        for (int32_t p = 0; p < 3; ++p) {
          const int64_t in = original.sample(x, y, p), out = filtered.sample(x, y, p);
          const int64_t got = masked.sample(x, y, p);
          if (x < 10) {
            ASSERT_EQ(got, in) << x << "," << y;
          } else if (x >= 20) {
            ASSERT_EQ(got, out) << x << "," << y;
          } else {
            // Half way, rounded: never outside the two, within half a step of the middle.
            ASSERT_LE(std::abs(2 * got - (in + out)), 1 + std::abs(in - out) / 255);
          }
        }
        ASSERT_EQ(masked.sample(x, y, 3), original.sample(x, y, 3));
      }
    }
  }
}

// The host's blend through the mask at every weight, against the plain
// formula from + round((over - from) * weight / 255), for both signs of the
// difference, the extremes of the range and noise between.
TEST(MaskBlendTest, EveryWeightRoundsToTheNearestValue) {
  for (int32_t depth : {8, 16}) {
    SCOPED_TRACE(depth);
    const int16_t mode = depth == 16 ? plugInModeRGB48 : plugInModeRGBColor;
    const uint32_t top = depth == 16 ? 32768 : 255;
    HostImage under = makeNoiseImage(256, 6, depth, mode, 3, 21);
    const HostImage noise = makeNoiseImage(256, 6, depth, mode, 3, 22);
    HostImage over = noise;
    for (int32_t x = 0; x < 256; ++x) {
      for (int32_t p = 0; p < 3; ++p) {
        under.setSample(x, 0, p, 0);
        over.setSample(x, 0, p, top);
        under.setSample(x, 1, p, top);
        over.setSample(x, 1, p, 0);
        over.setSample(x, 2, p, under.sample(x, 2, p) + (p == 0 ? 1 : 0));
        under.setSample(x, 3, p, top - 1 + (p == 2));
        over.setSample(x, 3, p, p);
      }
    }
    std::vector<uint8_t> mask(256 * 6);
    for (size_t i = 0; i < mask.size(); ++i) mask[i] = uint8_t(i % 256);
    HostImage blended = under;
    blendThroughMask(over, mask, Rect{0, 0, 6, 256}, &blended);
    for (int32_t y = 0; y < 6; ++y) {
      for (int32_t x = 0; x < 256; ++x) {
        for (int32_t p = 0; p < 3; ++p) {
          const double from = under.sample(x, y, p), to = over.sample(x, y, p);
          const long expected = std::lround(from + (to - from) * x / 255.0);
          ASSERT_EQ(long(blended.sample(x, y, p)), expected) << x << "," << y << "," << p;
        }
      }
    }
  }
}

// A host that commits every out row through the selection as the call
// returns, and hands out rows that do not hold the source, still ends with the
// image a host blending once makes: every row it receives is the source or the
// result.
TEST_F(DriverTest, HostCommittingEveryRowThroughASoftMaskGetsTheSameImage) {
  for (int32_t planes : {3, 4}) {
    SCOPED_TRACE(planes);
    const HostImage original = makeNoiseImage(26, 7, 8, plugInModeRGBColor, planes, 15);
    HostRunOptions options;
    options.mask.resize(size_t(26 * 7));
    for (size_t i = 0; i < options.mask.size(); ++i) options.mask[i] = uint8_t(i * 37 % 256);
    options.outRowFill = 0x5A;
    HostImage once = original;
    ASSERT_EQ(run(&once, options).result, noErr);
    options.maskBlend = MaskBlend::EachRow;
    HostImage eachRow = original;
    ASSERT_EQ(run(&eachRow, options).result, noErr);
    EXPECT_EQ(eachRow.data, once.data);
    EXPECT_NE(once.data, original.data);
  }
}

// The host reads and disposes of the parameters handle through its own suite
// (the plug-in host refuses a handle it did not make); without a suite the
// module's own handle stands in.
TEST_F(DriverTest, ParametersHandleIsMadeThroughTheHostsSuite) {
  HostImage image = makeNoiseImage(20, 3, 8, plugInModeRGBColor, 4, 16);
  HostRunResult result = run(&image);
  ASSERT_EQ(result.result, noErr);
  ASSERT_NE(session_.parameters, nullptr);
  const int16_t* values = reinterpret_cast<const int16_t*>(*session_.parameters);
  EXPECT_EQ(values[0], 50);
  EXPECT_EQ(values[1], 1);
  EXPECT_EQ(result.liveHostHandles, 0);
  // The next run finds the host's handle and keeps it.
  const Handle first = session_.parameters;
  ASSERT_EQ(run(&image).result, noErr);
  EXPECT_EQ(session_.parameters, first);

  closeHostSession(&session_);
  std::string error;
  ASSERT_TRUE(openHostSession(defaultModulePath(), &session_, &error)) << error;
  HostRunOptions options;
  options.offerHandleProcs = false;
  ASSERT_EQ(run(&image, options).result, noErr);
  EXPECT_NE(session_.parameters, nullptr);
}

TEST_F(DriverTest, AbortLeavesTheImageAndNoStoreFiles) {
  const HostImage original = makeNoiseImage(30, 8, 8, plugInModeRGBColor, 4, 9);
  for (int32_t abortAt : {0, 7}) {
    HostImage image = original;
    HostRunOptions options;
    options.abortAtCall = abortAt;
    options.mask.assign(size_t(30 * 8), 255);
    const HostRunResult result = run(&image, options);
    EXPECT_EQ(result.result, userCanceledErr) << abortAt;
    EXPECT_EQ(image.data, original.data);
    EXPECT_FALSE(anyStoreFileLeft());
  }
}

TEST_F(DriverTest, TooNarrowAreaIsCancelledWithoutWritingBack) {
  const HostImage original = makeNoiseImage(14, 6, 8, plugInModeGrayScale, 1, 2);
  HostImage image = original;
  const HostRunResult result = run(&image);
  EXPECT_EQ(result.result, userCanceledErr);
  EXPECT_EQ(image.data, original.data);
  // Six reads and the run call: no write-stage call follows a failed run.
  EXPECT_EQ(result.continueCalls, 7);
  EXPECT_FALSE(anyStoreFileLeft());
}

TEST_F(DriverTest, WideSixteenBitRowsBeyondThirtyTwoKilobytesRunCorrectly) {
  // 30000 px of 16-bit RGB: 180000 bytes a row. A uniform area equalises to the top.
  HostImage image = makeHostImage(30000, 2, 16, plugInModeRGB48, 3);
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 30000; ++x) {
      for (int32_t p = 0; p < 3; ++p) image.setSample(x, y, p, 12345);
    }
  }
  ASSERT_EQ(run(&image).result, noErr);
  for (int32_t x : {0, 1, 14999, 29998, 29999}) {
    for (int32_t p = 0; p < 3; ++p) EXPECT_EQ(image.sample(x, 1, p), 32768u) << x;
  }
}

TEST_F(DriverTest, HostileShapesGiveCodesAndLeaveTheImage) {
  const HostImage original = makeNoiseImage(20, 4, 8, plugInModeRGBColor, 3, 4);
  HostImage image = original;
  HostRunOptions options;
  options.reportedPlanes = 2;  // fewer planes than colour channels
  options.callParameters = false;
  HostRunResult result;
  runFilter(&session_, &image, options, &result);
  EXPECT_EQ(result.result, filterBadMode);
  EXPECT_EQ(image.data, original.data);

  options = HostRunOptions();
  options.hasFilterRect = true;
  options.filterRect = Rect{2, 5, 2, 15};  // empty
  runFilter(&session_, &image, options, &result);
  EXPECT_EQ(result.result, noErr);
  EXPECT_EQ(result.continueCalls, 0);
  EXPECT_EQ(image.data, original.data);
  EXPECT_FALSE(anyStoreFileLeft());
}

#ifndef _WIN32
TEST_F(DriverTest, MissingStoreDirectoryIsAFileErrorNotACrash) {
  setTestEnvironment("BRISEL_DIR", (dir_ + "/missing/deeper").c_str());
  // The private directory is created when missing; a path under a plain file cannot be.
  FILE* blocker = std::fopen((dir_ + "/missing").c_str(), "w");
  ASSERT_NE(blocker, nullptr);
  std::fclose(blocker);
  const HostImage original = makeNoiseImage(20, 4, 8, plugInModeGrayScale, 1, 4);
  HostImage image = original;
  const HostRunResult result = run(&image);
  EXPECT_NE(result.result, noErr);
  EXPECT_LT(result.result, 0);
  EXPECT_EQ(image.data, original.data);
  setTestEnvironment("BRISEL_DIR", dir_.c_str());
}
#endif

TEST_F(DriverTest, AStoreHeldByAnotherRunRefusesTheRunAndStaysIntact) {
  RowStore* held = nullptr;
  ASSERT_EQ(createColourStore(20, 4, 1, &held), noErr);
  const std::vector<uint8_t> row(20, 77);
  ASSERT_EQ(writeStoreRow(held, 0, 1, 20, row.data()), noErr);

  const HostImage original = makeNoiseImage(20, 4, 8, plugInModeGrayScale, 1, 8);
  HostImage image = original;
  const HostRunResult result = run(&image);
  EXPECT_EQ(result.result, fLckdErr);
  EXPECT_EQ(result.continueCalls, 1);  // refused at the first row
  EXPECT_EQ(image.data, original.data);

  std::vector<uint8_t> back(20, 0);
  EXPECT_EQ(readStoreRow(held, 0, 1, 20, back.data()), noErr);
  EXPECT_EQ(back, row);
#ifndef _WIN32
  EXPECT_TRUE(fixedFileExists(kColourStoreName));  // the holder's claim stays (unshared on Windows)
#endif
  disposeColourStore(held);
  EXPECT_FALSE(anyStoreFileLeft());
}

// The store as the module holds it between calls: the host keeps the globals.
RowStore* liveColourStore(const HostSession& session) {
  if (session.data == 0) return nullptr;
  const FilterGlobals* globals =
      reinterpret_cast<const FilterGlobals*>(*reinterpret_cast<Handle>(session.data));
  return globals->colourStore;
}

TEST_F(DriverTest, StoreCutShortMidRunEndsTheRunWithAnErrorNotAWrongImage) {
  // Rows wide enough that the driver moves them in several blocks of rows.
  constexpr int32_t kWidth = 4000, kHeight = 50, kRowBytes = kWidth * 3;
  const HostImage original = makeNoiseImage(kWidth, kHeight, 8, plugInModeRGBColor, 4, 12);
  HostImage filtered = original;
  ASSERT_EQ(run(&filtered).result, noErr);
  // Progress counts rows in while reading, then the engine's, then rows out.
  const int32_t readStage = 30, engineStage = kHeight + 4 * 2, writeStage = 5 * kHeight + 30;
  for (int32_t cutAt : {readStage, engineStage, writeStage}) {
    SCOPED_TRACE(cutAt);
    HostImage image = original;
    HostRunOptions options;
    bool cut = false;
    options.onProgress = [&](int32_t done, int32_t) {
      RowStore* store = liveColourStore(session_);
      if (cut || done < cutAt || store == nullptr) return;
      cut = true;
#ifdef _WIN32
      ASSERT_EQ(fileSetPosition(store->fileHandle, kPositionFromStart, 6 + kRowBytes * 3), noErr);
      ASSERT_TRUE(SetEndOfFile(reinterpret_cast<HANDLE>(store->fileHandle)));
#else
      ASSERT_EQ(ftruncate(int(store->fileHandle), 6 + kRowBytes * 3), 0);
#endif
    };
    const HostRunResult result = run(&image, options);
    EXPECT_TRUE(cut);
    EXPECT_FALSE(anyStoreFileLeft());
    // The engine reads a batch of rows ahead and writes it back whole, so a cut
    // between its read and its write may lose nothing: then the image must be
    // the filter's own.
    if (cutAt == engineStage && result.result == noErr) {
      EXPECT_EQ(image.data, filtered.data);
      continue;
    }
    // Cut short (-39), or written on past the cut so early rows read back as
    // zeros (-36).
    EXPECT_TRUE(result.result == eofErr || result.result == ioErr) << result.result;
    EXPECT_EQ(image.data, original.data);  // the host's undo
  }
}

TEST_F(DriverTest, NullMaskRowIsRefusedLikeNullImageRows) {
  // A mask the host says it has but does not deliver.
  FilterRecord record;
  std::memset(&record, 0, sizeof record);
  record.planes = 1;
  record.imageMode = plugInModeGrayScale;
  record.filterRect = Rect{0, 0, 2, 16};
  record.depth = 8;
  record.haveMask = 1;
  ASSERT_EQ(callSelector(&session_, filterSelectorStart, &record), noErr);
  std::vector<uint8_t> in(16, 9), out(16, 0);
  record.inData = in.data();
  record.outData = out.data();
  record.maskData = nullptr;
  EXPECT_EQ(callSelector(&session_, filterSelectorContinue, &record), filterBadParameters);
  EXPECT_EQ(record.inRect.bottom, 0);  // nothing more is asked for
  EXPECT_EQ(record.maskRect.bottom, 0);
  EXPECT_EQ(callSelector(&session_, filterSelectorFinish, &record), noErr);
  EXPECT_FALSE(anyStoreFileLeft());
}

#ifndef _WIN32
TEST_F(DriverTest, PipesAtTheFixedNamesNeverStallARun) {
  ASSERT_EQ(mkfifo(fixedFilePath(kSettingsFileName).c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(fixedFilePath(kRunLogName).c_str(), 0600), 0);
  const HostImage original = makeNoiseImage(20, 4, 8, plugInModeGrayScale, 1, 13);
  HostImage image = original;
  EXPECT_EQ(run(&image).result, noErr);  // run without settings and log
  EXPECT_NE(image.data, original.data);

  ASSERT_EQ(mkfifo(fixedFilePath(kColourStoreName).c_str(), 0600), 0);
  image = original;
  EXPECT_EQ(run(&image).result, ioErr);  // no store can be had
  EXPECT_EQ(image.data, original.data);
  for (const char* name : {kSettingsFileName, kRunLogName, kColourStoreName}) {
    struct stat info;
    ASSERT_EQ(lstat(fixedFilePath(name).c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << name;
  }
  removeFixedFile(kColourStoreName);
}
#endif

TEST_F(DriverTest, EveryAllocationFailureComesBackAsOutOfMemory) {
  loadTestBuild();
  const HostImage original = makeNoiseImage(18, 5, 8, plugInModeRGBColor, 4, 6);
  bool sawSuccess = false;
  for (int32_t budget = 0; budget < 64 && !sawSuccess; ++budget) {
    SCOPED_TRACE(budget);
    const std::string text = std::to_string(budget);
    setTestEnvironment("BRISEL_ALLOC_BUDGET", text.c_str());
    HostImage image = original;
    HostRunOptions options;
    options.mask.assign(size_t(18 * 5), 200);
    HostRunResult result;
    runFilter(&session_, &image, options, &result);
    setTestEnvironment("BRISEL_ALLOC_BUDGET", nullptr);
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    EXPECT_TRUE(result.result == noErr || result.result == memFullErr) << result.result;
    if (result.result != noErr) {
      EXPECT_EQ(image.data, original.data);
    }
    EXPECT_FALSE(anyStoreFileLeft());
    sawSuccess = result.result == noErr;
  }
  EXPECT_TRUE(sawSuccess);
}

}  // namespace
