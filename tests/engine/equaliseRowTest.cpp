// equaliseRowTest.cpp -- the row step, collapse, blends and curve against the literal reference
#include "engine/equaliseKernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "tests/engine/engineTestImages.h"
#include "tests/reference/referenceEqualise.h"

namespace {

constexpr float kAlphaForRadius[] = {1.0f, 0.75f, 0.5f, 0.25f, 0.0f};  // R = 3 .. 7

template <typename D>
class RowStepTest : public ::testing::Test {};
typedef ::testing::Types<Depth8, Depth16> Depths;
TYPED_TEST_SUITE(RowStepTest, Depths);

// Engine and reference on one window; the reference gets R, N, gamma and delta
// as the curve settled them.
template <typename D>
void expectRowMatches(const std::vector<std::vector<typename D::Sample>>& slots, int width,
                      float alpha, float gamma, float delta, const char* what) {
  typedef typename D::Sample Sample;
  const Sample* window[kWindowSlots];
  for (int s = 0; s < kWindowSlots; ++s) window[s] = slots[size_t(s)].data();
  EqualiseCurve curve;
  makeEqualiseCurve<D>(&curve, {alpha, 0.0f, gamma, delta});
  EqualiseWorkspace* workspace = nullptr;
  ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
  std::vector<Sample> engine(size_t(width), 0x5A);
  std::vector<Sample> reference(size_t(width), 0xA5);
  equaliseRow<D>(workspace, window, &curve, engine.data());
  referenceEqualiseRow(window, width, curve.radius, areaForRadius(curve.radius),
                       referenceClamp(gamma), referenceClamp(delta), reference.data());
  disposeEqualiseWorkspace(workspace);
  ASSERT_EQ(engine, reference) << what << " width " << width << " R " << curve.radius << " gamma "
                               << gamma << " delta " << delta;
}

TYPED_TEST(RowStepTest, MatchesReferenceOnRandomWindows) {
  typedef typename TypeParam::Sample Sample;
  const float gammas[] = {0.0f, 0.7f, 1.0f};
  const float deltas[] = {0.0f, 0.013f, 0.3f, 0.5f, 1.0f};
  uint32_t seed = 1;
  for (int width = 1; width <= 40; ++width) {
    for (float alpha : kAlphaForRadius) {
      for (float gamma : gammas) {
        for (float delta : deltas) {
          // Every slot an unrelated row of its own pattern: windows no image has.
          std::vector<std::vector<Sample>> slots;
          for (int s = 0; s < kWindowSlots; ++s) {
            Pattern pattern = kPatterns[(seed + uint32_t(s)) % 6];
            slots.push_back(makeImage<Sample>(pattern, width + 4, 1, 1, TypeParam::kMax, seed++));
          }
          expectRowMatches<TypeParam>(slots, width, alpha, gamma, delta, "random window");
        }
      }
    }
  }
}

// Windows cut from one image the way the run fills them: rows above and below
// the area replicated. The histograms follow the window down one row per
// step, as in the run.
TYPED_TEST(RowStepTest, SlidingHistogramsMatchReferenceDownAnImage) {
  typedef typename TypeParam::Sample Sample;
  uint32_t seed = 100;
  for (Pattern pattern : kPatterns) {
    for (float alpha : kAlphaForRadius) {
      const int width = 15 + int(seed % 26);
      const int height = 1 + int(seed % 23);
      const float gamma = seed % 2 ? 0.7f : 0.0f;
      const float delta = seed % 3 ? 0.5f : 0.0f;
      std::vector<Sample> image =
          makeImage<Sample>(pattern, width, height, 1, TypeParam::kMax, seed++);
      EqualiseCurve curve;
      makeEqualiseCurve<TypeParam>(&curve, {alpha, 0.0f, gamma, delta});
      const int r = curve.radius;
      EqualiseWorkspace* workspace = nullptr;
      ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
      for (int y = 0; y < height; ++y) {
        const Sample* window[kWindowSlots];
        for (int s = 0; s < kWindowSlots; ++s) {
          int row = y + s - kCentreSlot;
          row = row < 0 ? 0 : row > height - 1 ? height - 1 : row;
          window[s] = image.data() + size_t(row) * width;
        }
        if (y == 0) {
          loadColumnHistograms<TypeParam>(&workspace->histograms, window, r);
        } else {
          const int leaving = y - 1 - r < 0 ? 0 : y - 1 - r;
          moveHistogramRow<TypeParam>(&workspace->histograms,
                                      image.data() + size_t(leaving) * width,
                                      window[kCentreSlot + r]);
        }
        std::vector<Sample> engine(static_cast<size_t>(width));
        std::vector<Sample> reference(static_cast<size_t>(width));
        equaliseLoadedRow<TypeParam>(workspace, window, &curve, engine.data());
        referenceEqualiseRow(window, width, r, areaForRadius(r), gamma, delta, reference.data());
        ASSERT_EQ(engine, reference) << "row " << y << " of " << height << " R " << r;
      }
      disposeEqualiseWorkspace(workspace);
    }
  }
}

TYPED_TEST(RowStepTest, UniformWindowGivesTheTopLevel) {
  typedef typename TypeParam::Sample Sample;
  const int top = TypeParam::kMax;
  for (int value : {0, 1, top / 2, top}) {
    for (float alpha : kAlphaForRadius) {
      std::vector<std::vector<Sample>> slots(kWindowSlots, std::vector<Sample>(21, Sample(value)));
      const Sample* window[kWindowSlots];
      for (int s = 0; s < kWindowSlots; ++s) window[s] = slots[size_t(s)].data();
      EqualiseCurve curve;
      makeEqualiseCurve<TypeParam>(&curve, {alpha, 0.0f, 0.7f, 0.5f});
      EqualiseWorkspace* workspace = nullptr;
      ASSERT_EQ(createEqualiseWorkspace(21, &workspace), 0);
      std::vector<Sample> out(21);
      equaliseRow<TypeParam>(workspace, window, &curve, out.data());
      disposeEqualiseWorkspace(workspace);
      EXPECT_EQ(out, std::vector<Sample>(21, Sample(top))) << "value " << value;
    }
  }
}

// With delta 0 the neighbourhood's largest sample counts everything (E = M),
// and its one smallest sample counts only itself (K = 1/N).
TYPED_TEST(RowStepTest, RankExtremesWithoutNoiseRejection) {
  typedef typename TypeParam::Sample Sample;
  const int top = TypeParam::kMax;
  const int width = 31;
  const int x = 15;
  const Sample middle = Sample(top / 2);
  for (float alpha : kAlphaForRadius) {
    for (Sample centre : {Sample(top), Sample(0)}) {
      std::vector<std::vector<Sample>> slots(kWindowSlots, std::vector<Sample>(width, middle));
      slots[kCentreSlot][x] = centre;
      const Sample* window[kWindowSlots];
      for (int s = 0; s < kWindowSlots; ++s) window[s] = slots[size_t(s)].data();
      EqualiseCurve curve;
      makeEqualiseCurve<TypeParam>(&curve, {alpha, 0.0f, 0.4f, 0.0f});
      EqualiseWorkspace* workspace = nullptr;
      ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
      std::vector<Sample> out(width);
      equaliseRow<TypeParam>(workspace, window, &curve, out.data());
      disposeEqualiseWorkspace(workspace);
      EXPECT_EQ(out[x], centre == 0 ? curve.level[1] : Sample(top));
      EXPECT_LT(curve.level[1], top / 2);
    }
  }
}

// With delta 0.3, Ic 255 and eight neighbours of 245 (S = 2940) the lookup
// value is 252 with the single-precision twelfth; exactly 1/12 gives 251.
TEST(RowStep8, NoiseRejectionUsesTheSinglePrecisionTwelfth) {
  const int width = 21;
  const int x = 10;
  std::vector<std::vector<uint8_t>> slots(kWindowSlots, std::vector<uint8_t>(width, 245));
  slots[kCentreSlot][x] = 255;
  slots[3][x] = 252;
  const uint8_t* window[kWindowSlots];
  for (int s = 0; s < kWindowSlots; ++s) window[s] = slots[size_t(s)].data();
  EqualiseCurve curve;
  makeEqualiseCurve<Depth8>(&curve, {0.0f, 0.0f, 0.7f, 0.3f});
  EqualiseWorkspace* workspace = nullptr;
  ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
  std::vector<uint8_t> out(width);
  equaliseRow<Depth8>(workspace, window, &curve, out.data());
  disposeEqualiseWorkspace(workspace);
  ASSERT_NE(curve.level[224], curve.level[223]);
  EXPECT_EQ(out[x], curve.level[224]);  // everything but the centre is at or below 252
}

TEST(RowStep16, SamplesAboveTheHostRangeCountAs32768) {
  // 32768 falls in bin 256 and comes out as 32768; a misbehaving host's
  // larger words behave exactly like it and never reach past bin 256.
  const int width = 24;
  uint32_t seed = 7;
  for (float delta : {0.0f, 0.5f}) {
    std::vector<std::vector<uint16_t>> raw;
    std::vector<std::vector<uint16_t>> clamped;
    for (int s = 0; s < kWindowSlots; ++s) {
      std::vector<uint16_t> row = makeImage<uint16_t>(Pattern::Noise, width, 1, 1, 65535, seed++);
      row[size_t(s)] = 65535;
      raw.push_back(row);
      for (uint16_t& sample : row) sample = sample > 32768 ? 32768 : sample;
      clamped.push_back(row);
    }
    const uint16_t* rawWindow[kWindowSlots];
    const uint16_t* clampedWindow[kWindowSlots];
    for (int s = 0; s < kWindowSlots; ++s) {
      rawWindow[s] = raw[size_t(s)].data();
      clampedWindow[s] = clamped[size_t(s)].data();
    }
    EqualiseCurve curve;
    makeEqualiseCurve<Depth16>(&curve, {0.0f, 0.0f, 0.7f, delta});
    EqualiseWorkspace* workspace = nullptr;
    ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
    std::vector<uint16_t> fromRaw(width);
    std::vector<uint16_t> fromClamped(width);
    equaliseRow<Depth16>(workspace, rawWindow, &curve, fromRaw.data());
    equaliseRow<Depth16>(workspace, clampedWindow, &curve, fromClamped.data());
    disposeEqualiseWorkspace(workspace);
    EXPECT_EQ(fromRaw, fromClamped);
    std::vector<uint16_t> reference(width);
    referenceEqualiseRow(rawWindow, width, 7, 225.0f, 0.7f, delta, reference.data());
    EXPECT_EQ(fromRaw, reference);
    // Slot 7's column 7 holds a top sample: without noise rejection it counts all.
    if (delta == 0.0f) {
      EXPECT_EQ(fromRaw[7], 32768);
    }
  }
}

// The run's rows equalise and blend in one pass from tables by count: the
// same bits as the row step followed by the literal blend, grey and RGB.
TYPED_TEST(RowStepTest, OnePassBlendEqualsRowStepThenBlend) {
  typedef typename TypeParam::Sample Sample;
  const bool eightBit = TypeParam::kMax == 255;
  const int top = eightBit ? 255 : 65535;  // 16-bit: past the host's range too
  const int width = 29;
  uint32_t seed = 300;
  for (float beta : {0.0f, 0.37f, 1.0f, 0.999f}) {
    for (float alpha : kAlphaForRadius) {
      EqualiseCurve curve;
      makeEqualiseCurve<TypeParam>(&curve, {alpha, beta, 0.7f, 0.3f});
      std::vector<std::vector<Sample>> rows;
      for (int s = 0; s < kWindowSlots; ++s) {
        rows.push_back(makeImage<Sample>(kPatterns[seed % 6], width, 1, 1, top, seed));
        ++seed;
      }
      const Sample* window[kWindowSlots];
      for (int s = 0; s < kWindowSlots; ++s) window[s] = rows[size_t(s)].data();
      const std::vector<Sample> source = makeImage<Sample>(Pattern::Noise, width, 1, 1, top, seed);
      EqualiseWorkspace* workspace = nullptr;
      ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
      prepareBlend<TypeParam>(&workspace->blend, &curve);
      std::vector<Sample> split(width);
      std::vector<Sample> fused(width);
      equaliseRow<TypeParam>(workspace, window, &curve, split.data());
      referenceBlendGreyRow(split.data(), source.data(), width, beta);
      equaliseAndBlendGreyRow<TypeParam>(workspace, window, &curve, source.data(), fused.data());
      EXPECT_EQ(fused, split) << "beta " << beta;
      for (Sample sample : fused) ASSERT_LE(sample, TypeParam::kMax);

      const auto rgb =
          makeImage<Sample>(eightBit ? Pattern::Photo : Pattern::Noise, width, 1, 3, top, seed);
      auto splitRgb = rgb;
      auto fusedRgb = rgb;
      equaliseRow<TypeParam>(workspace, window, &curve, split.data());
      referenceBlendRgbRow(splitRgb.data(), split.data(), width, beta);
      equaliseAndBlendRgbRow<TypeParam>(workspace, window, &curve, fusedRgb.data());
      EXPECT_EQ(fusedRgb, splitRgb) << "beta " << beta;
      for (Sample sample : fusedRgb) ASSERT_LE(sample, TypeParam::kMax);
      disposeEqualiseWorkspace(workspace);
    }
  }
}

TEST(Collapse, IntensityIsTheRoundedDownMeanPlusOneThird) {
  uint8_t row8[] = {10, 20, 31, 0, 0, 0, 255, 255, 255};
  collapseRgbRow<Depth8>(row8, 3, 3);
  EXPECT_EQ(row8[0], 20);
  EXPECT_EQ(row8[1], 0);
  EXPECT_EQ(row8[2], 255);
  uint16_t row16[] = {32768, 32768, 32768, 1, 1, 0, 65535, 0, 0};
  collapseRgbRow<Depth16>(row16, 3, 3);
  EXPECT_EQ(row16[0], 32768);
  EXPECT_EQ(row16[1], 1);
  EXPECT_EQ(row16[2], 10923);  // 65535 is read as 32768: (32768 + 1) / 3
}

TEST(Collapse, OtherChannelCountsLeaveTheRow) {
  uint8_t row[] = {1, 2, 3, 4, 5, 6};
  for (int32_t channels : {1, 0, -3, 4}) {
    collapseRgbRow<Depth8>(row, 2, channels);
    EXPECT_EQ(row[0], 1);
    EXPECT_EQ(row[5], 6);
  }
}

TYPED_TEST(RowStepTest, CollapseMatchesReferenceOnRandomRows) {
  typedef typename TypeParam::Sample Sample;
  const int top = TypeParam::kMax == 255 ? 255 : 65535;  // 16-bit: past the host's range too
  for (uint32_t seed = 0; seed < 40; ++seed) {
    const int pixels = 1 + int(seed);
    std::vector<Sample> engine = makeImage<Sample>(kPatterns[seed % 6], pixels, 1, 3, top, seed);
    std::vector<Sample> reference = engine;
    std::vector<Sample> into(static_cast<size_t>(pixels));
    collapseRgbRowInto<TypeParam>(engine.data(), pixels, into.data());
    collapseRgbRow<TypeParam>(engine.data(), pixels, 3);
    referenceCollapseRgbRow(reference.data(), pixels, 3);
    EXPECT_EQ(engine, reference);
    EXPECT_TRUE(std::equal(into.begin(), into.end(), reference.begin()));
  }
}

TEST(Parameters, ClampedWithNaNAsZero) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(clampParameter(std::nanf("")), 0.0f);
  EXPECT_EQ(clampParameter(-inf), 0.0f);
  EXPECT_EQ(clampParameter(inf), 1.0f);
  EXPECT_EQ(clampParameter(-0.5f), 0.0f);
  EXPECT_EQ(clampParameter(1.5f), 1.0f);
  EXPECT_EQ(clampParameter(0.3f), 0.3f);
  EXPECT_FALSE(std::signbit(clampParameter(-0.0f)));
  const FilterValues clamped = clampFilterValues({std::nanf(""), 2.0f, -0.0f, 0.3f});
  EXPECT_EQ(clamped.value[ParameterAlpha], 0.0f);
  EXPECT_EQ(clamped.value[ParameterBeta], 1.0f);
  EXPECT_FALSE(std::signbit(clamped.value[ParameterGamma]));
  EXPECT_EQ(clamped.value[ParameterDelta], 0.3f);
}

// The radius of an alpha as it enters the filter, clamped.
int32_t radiusAt(float alpha) { return windowRadius(clampFilterValues({alpha, 0.0f, 0.0f, 0.0f})); }

TEST(Parameters, RadiusTableAndItsBoundaries) {
  EXPECT_EQ(radiusAt(0.0f), 7);
  EXPECT_EQ(radiusAt(0.25f), 6);
  EXPECT_EQ(radiusAt(0.5f), 5);
  EXPECT_EQ(radiusAt(0.75f), 4);
  EXPECT_EQ(radiusAt(1.0f), 3);
  EXPECT_EQ(radiusAt(1e-6f), 6);
  // 7 - 4a for the float just above 0.25 is below 6 in double, 6 in float.
  EXPECT_EQ(radiusAt(std::nextafter(0.25f, 1.0f)), 5);
  EXPECT_EQ(radiusAt(std::nanf("")), 7);
  EXPECT_EQ(radiusAt(-3.0f), 7);
  EXPECT_EQ(radiusAt(9.0f), 3);
  for (int32_t r = 3; r <= 7; ++r) EXPECT_EQ(areaForRadius(r), float((2 * r + 1) * (2 * r + 1)));
  EXPECT_EQ(areaForRadius(1), 49.0f);
  EXPECT_EQ(areaForRadius(99), 225.0f);
}

TEST(Curve, RunsFromZeroToTheScaleWithoutFalling) {
  for (float gamma : {0.0f, 0.3f, 1.0f, std::nanf(""), 5.0f}) {
    for (float alpha : kAlphaForRadius) {
      EqualiseCurve c8;
      EqualiseCurve c16;
      const FilterValues values = clampFilterValues({alpha, 0.0f, gamma, 0.0f});
      makeEqualiseCurve<Depth8>(&c8, values);
      makeEqualiseCurve<Depth16>(&c16, values);
      EXPECT_EQ(c8.level[0], 0);
      EXPECT_EQ(c8.level[c8.area], 255);
      EXPECT_EQ(c16.level[c16.area], 32768);
      for (int32_t n = 1; n <= c8.area; ++n) {
        EXPECT_LE(c8.level[n - 1], c8.level[n]);
        EXPECT_LE(c16.level[n - 1], c16.level[n]);
      }
    }
  }
}

TEST(Curve, PreviewSkipsTheCurveOnlyAtGammaZero) {
  EqualiseCurve preview;
  EqualiseCurve run;
  makePreviewCurve<Depth8>(&preview, {0.0f, 0.0f, 0.0f, 0.0f});
  for (int32_t n = 0; n <= 225; ++n) EXPECT_EQ(preview.level[n], int(255.0 * (double(n) / 225.0)));
  makePreviewCurve<Depth16>(&preview, {0.6f, 0.0f, 0.4f, 0.0f});
  makeEqualiseCurve<Depth16>(&run, {0.6f, 0.0f, 0.4f, 0.0f});
  for (int32_t n = 0; n <= run.area; ++n) EXPECT_EQ(preview.level[n], run.level[n]);
}

TEST(Workspace, RefusesWidthsWithoutStorage) {
  EqualiseWorkspace* workspace = reinterpret_cast<EqualiseWorkspace*>(1);
  EXPECT_EQ(createEqualiseWorkspace(0, &workspace), -108);
  EXPECT_EQ(workspace, nullptr);
  EXPECT_EQ(createEqualiseWorkspace(INT32_MAX - 20, &workspace), -108);
  EXPECT_EQ(workspace, nullptr);
  disposeEqualiseWorkspace(nullptr);
}

}  // namespace
