// equaliseRowTest.cpp -- the row step, collapse and curve against the literal reference
#include "engine/equaliseRow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "tests/engine/engineTestImages.h"
#include "tests/reference/referenceEqualise.h"

namespace {

constexpr float kAlphaForRadius[] = {1.0f, 0.75f, 0.5f, 0.25f, 0.0f};  // R = 3 .. 7

// The two depths side by side, so each test body runs for both.
struct Eight {
  typedef uint8_t Sample;
  static constexpr int kTop = 255;
  static void makeCurve(EqualiseCurve* c, float a, float g, float d) {
    makeEqualiseCurve8(c, a, g, d);
  }
  static void row(ColumnHistograms* h, const Sample* const* w, const EqualiseCurve* c, Sample* o) {
    equaliseRow8(h, w, c, o);
  }
  static void loaded(ColumnHistograms* h, const Sample* const* w, const EqualiseCurve* c,
                     Sample* o) {
    equaliseLoadedRow8(h, w, c, o);
  }
  static void load(ColumnHistograms* h, const Sample* const* w, int32_t r) {
    loadColumnHistograms8(h, w, r);
  }
  static void move(ColumnHistograms* h, const Sample* leaving, const Sample* entering) {
    moveHistogramRow8(h, leaving, entering);
  }
  static void reference(const Sample* const* w, int width, int r, float n, float g, float d,
                        Sample* o) {
    referenceEqualiseRow8(w, width, r, n, g, d, o);
  }
};

struct Sixteen {
  typedef uint16_t Sample;
  static constexpr int kTop = 32768;
  static void makeCurve(EqualiseCurve* c, float a, float g, float d) {
    makeEqualiseCurve16(c, a, g, d);
  }
  static void row(ColumnHistograms* h, const Sample* const* w, const EqualiseCurve* c, Sample* o) {
    equaliseRow16(h, w, c, o);
  }
  static void loaded(ColumnHistograms* h, const Sample* const* w, const EqualiseCurve* c,
                     Sample* o) {
    equaliseLoadedRow16(h, w, c, o);
  }
  static void load(ColumnHistograms* h, const Sample* const* w, int32_t r) {
    loadColumnHistograms16(h, w, r);
  }
  static void move(ColumnHistograms* h, const Sample* leaving, const Sample* entering) {
    moveHistogramRow16(h, leaving, entering);
  }
  static void reference(const Sample* const* w, int width, int r, float n, float g, float d,
                        Sample* o) {
    referenceEqualiseRow16(w, width, r, n, g, d, o);
  }
};

template <typename D>
class RowStepTest : public ::testing::Test {};
typedef ::testing::Types<Eight, Sixteen> Depths;
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
  D::makeCurve(&curve, alpha, gamma, delta);
  ColumnHistograms* histograms = nullptr;
  ASSERT_EQ(createColumnHistograms(width, &histograms), 0);
  std::vector<Sample> engine(size_t(width), 0x5A);
  std::vector<Sample> reference(size_t(width), 0xA5);
  D::row(histograms, window, &curve, engine.data());
  D::reference(window, width, curve.radius, areaForRadius(curve.radius), referenceClamp(gamma),
               referenceClamp(delta), reference.data());
  disposeColumnHistograms(histograms);
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
            slots.push_back(makeImage<Sample>(pattern, width + 4, 1, 1, TypeParam::kTop, seed++));
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
          makeImage<Sample>(pattern, width, height, 1, TypeParam::kTop, seed++);
      EqualiseCurve curve;
      TypeParam::makeCurve(&curve, alpha, gamma, delta);
      const int r = curve.radius;
      ColumnHistograms* histograms = nullptr;
      ASSERT_EQ(createColumnHistograms(width, &histograms), 0);
      for (int y = 0; y < height; ++y) {
        const Sample* window[kWindowSlots];
        for (int s = 0; s < kWindowSlots; ++s) {
          int row = y + s - kCentreSlot;
          row = row < 0 ? 0 : row > height - 1 ? height - 1 : row;
          window[s] = image.data() + size_t(row) * width;
        }
        if (y == 0) {
          TypeParam::load(histograms, window, r);
        } else {
          const int leaving = y - 1 - r < 0 ? 0 : y - 1 - r;
          TypeParam::move(histograms, image.data() + size_t(leaving) * width,
                          window[kCentreSlot + r]);
        }
        std::vector<Sample> engine(static_cast<size_t>(width));
        std::vector<Sample> reference(static_cast<size_t>(width));
        TypeParam::loaded(histograms, window, &curve, engine.data());
        TypeParam::reference(window, width, r, areaForRadius(r), gamma, delta, reference.data());
        ASSERT_EQ(engine, reference) << "row " << y << " of " << height << " R " << r;
      }
      disposeColumnHistograms(histograms);
    }
  }
}

TYPED_TEST(RowStepTest, UniformWindowGivesTheTopLevel) {
  typedef typename TypeParam::Sample Sample;
  const int top = TypeParam::kTop;
  for (int value : {0, 1, top / 2, top}) {
    for (float alpha : kAlphaForRadius) {
      std::vector<std::vector<Sample>> slots(kWindowSlots, std::vector<Sample>(21, Sample(value)));
      const Sample* window[kWindowSlots];
      for (int s = 0; s < kWindowSlots; ++s) window[s] = slots[size_t(s)].data();
      EqualiseCurve curve;
      TypeParam::makeCurve(&curve, alpha, 0.7f, 0.5f);
      ColumnHistograms* histograms = nullptr;
      ASSERT_EQ(createColumnHistograms(21, &histograms), 0);
      std::vector<Sample> out(21);
      TypeParam::row(histograms, window, &curve, out.data());
      disposeColumnHistograms(histograms);
      EXPECT_EQ(out, std::vector<Sample>(21, Sample(top))) << "value " << value;
    }
  }
}

// With delta 0 the neighbourhood's largest sample counts everything (E = M),
// and its one smallest sample counts only itself (K = 1/N).
TYPED_TEST(RowStepTest, RankExtremesWithoutNoiseRejection) {
  typedef typename TypeParam::Sample Sample;
  const int top = TypeParam::kTop;
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
      TypeParam::makeCurve(&curve, alpha, 0.4f, 0.0f);
      ColumnHistograms* histograms = nullptr;
      ASSERT_EQ(createColumnHistograms(width, &histograms), 0);
      std::vector<Sample> out(width);
      TypeParam::row(histograms, window, &curve, out.data());
      disposeColumnHistograms(histograms);
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
  makeEqualiseCurve8(&curve, 0.0f, 0.7f, 0.3f);
  ColumnHistograms* histograms = nullptr;
  ASSERT_EQ(createColumnHistograms(width, &histograms), 0);
  std::vector<uint8_t> out(width);
  equaliseRow8(histograms, window, &curve, out.data());
  disposeColumnHistograms(histograms);
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
    makeEqualiseCurve16(&curve, 0.0f, 0.7f, delta);
    ColumnHistograms* histograms = nullptr;
    ASSERT_EQ(createColumnHistograms(width, &histograms), 0);
    std::vector<uint16_t> fromRaw(width);
    std::vector<uint16_t> fromClamped(width);
    equaliseRow16(histograms, rawWindow, &curve, fromRaw.data());
    equaliseRow16(histograms, clampedWindow, &curve, fromClamped.data());
    disposeColumnHistograms(histograms);
    EXPECT_EQ(fromRaw, fromClamped);
    std::vector<uint16_t> reference(width);
    referenceEqualiseRow16(rawWindow, width, 7, 225.0f, 0.7f, delta, reference.data());
    EXPECT_EQ(fromRaw, reference);
    // Slot 7's column 7 holds a top sample: without noise rejection it counts all.
    if (delta == 0.0f) {
      EXPECT_EQ(fromRaw[7], 32768);
    }
  }
}

// The run's rows equalise and blend in one pass from tables by count: the
// same bits as the row step followed by the blend, grey and RGB.
TEST(BlendedRow, OnePassEqualsRowStepThenBlend) {
  const int width = 29;
  uint32_t seed = 300;
  for (float beta : {0.0f, 0.37f, 1.0f, 0.999f}) {
    for (float alpha : kAlphaForRadius) {
      EqualiseCurve c8;
      EqualiseCurve c16;
      makeEqualiseCurve8(&c8, alpha, 0.7f, 0.3f);
      makeEqualiseCurve16(&c16, alpha, 0.7f, 0.3f);
      std::vector<std::vector<uint8_t>> rows8;
      std::vector<std::vector<uint16_t>> rows16;
      for (int s = 0; s < kWindowSlots; ++s) {
        rows8.push_back(makeImage<uint8_t>(kPatterns[seed % 6], width, 1, 1, 255, seed));
        rows16.push_back(makeImage<uint16_t>(kPatterns[seed % 6], width, 1, 1, 65535, seed));
        ++seed;
      }
      const uint8_t* window8[kWindowSlots];
      const uint16_t* window16[kWindowSlots];
      for (int s = 0; s < kWindowSlots; ++s) {
        window8[s] = rows8[size_t(s)].data();
        window16[s] = rows16[size_t(s)].data();
      }
      const std::vector<uint8_t> source8 =
          makeImage<uint8_t>(Pattern::Noise, width, 1, 1, 255, seed);
      const std::vector<uint16_t> source16 =
          makeImage<uint16_t>(Pattern::Noise, width, 1, 1, 65535, seed);
      ColumnHistograms* histograms = nullptr;
      ASSERT_EQ(createColumnHistograms(width, &histograms), 0);
      std::vector<uint8_t> split8(width);
      std::vector<uint8_t> fused8(width);
      equaliseRow8(histograms, window8, &c8, split8.data());
      blendGreyRow8(split8.data(), source8.data(), width, beta);
      prepareBlend8(histograms, &c8, beta);
      equaliseGreyRow8(histograms, window8, &c8, source8.data(), fused8.data());
      EXPECT_EQ(fused8, split8) << "beta " << beta;
      std::vector<uint16_t> split16(width);
      std::vector<uint16_t> fused16(width);
      equaliseRow16(histograms, window16, &c16, split16.data());
      blendGreyRow16(split16.data(), source16.data(), width, beta);
      prepareBlend16(histograms, &c16, beta);
      equaliseGreyRow16(histograms, window16, &c16, source16.data(), fused16.data());
      EXPECT_EQ(fused16, split16) << "beta " << beta;
      for (uint16_t sample : fused16) ASSERT_LE(sample, 32768);

      const auto rgb8 = makeImage<uint8_t>(Pattern::Photo, width, 1, 3, 255, seed);
      const auto rgb16 = makeImage<uint16_t>(Pattern::Noise, width, 1, 3, 65535, seed);
      auto splitRgb8 = rgb8;
      auto fusedRgb8 = rgb8;
      equaliseRow8(histograms, window8, &c8, split8.data());
      blendRgbRow8(splitRgb8.data(), split8.data(), width, beta);
      prepareBlend8(histograms, &c8, beta);  // the tables hold one depth's blend at a time
      equaliseRgbRow8(histograms, window8, &c8, fusedRgb8.data());
      EXPECT_EQ(fusedRgb8, splitRgb8) << "beta " << beta;
      auto splitRgb16 = rgb16;
      auto fusedRgb16 = rgb16;
      equaliseRow16(histograms, window16, &c16, split16.data());
      blendRgbRow16(splitRgb16.data(), split16.data(), width, beta);
      prepareBlend16(histograms, &c16, beta);
      equaliseRgbRow16(histograms, window16, &c16, fusedRgb16.data());
      EXPECT_EQ(fusedRgb16, splitRgb16) << "beta " << beta;
      for (uint16_t sample : fusedRgb16) ASSERT_LE(sample, 32768);
      disposeColumnHistograms(histograms);
    }
  }
}

TEST(Collapse, IntensityIsTheRoundedDownMeanPlusOneThird) {
  uint8_t row8[] = {10, 20, 31, 0, 0, 0, 255, 255, 255};
  collapseRgbRow8(row8, 3, 3);
  EXPECT_EQ(row8[0], 20);
  EXPECT_EQ(row8[1], 0);
  EXPECT_EQ(row8[2], 255);
  uint16_t row16[] = {32768, 32768, 32768, 1, 1, 0, 65535, 0, 0};
  collapseRgbRow16(row16, 3, 3);
  EXPECT_EQ(row16[0], 32768);
  EXPECT_EQ(row16[1], 1);
  EXPECT_EQ(row16[2], 10923);  // 65535 is read as 32768: (32768 + 1) / 3
}

TEST(Collapse, OtherChannelCountsLeaveTheRow) {
  uint8_t row[] = {1, 2, 3, 4, 5, 6};
  for (int32_t channels : {1, 0, -3, 4}) {
    collapseRgbRow8(row, 2, channels);
    EXPECT_EQ(row[0], 1);
    EXPECT_EQ(row[5], 6);
  }
}

TEST(Collapse, MatchesReferenceOnRandomRows) {
  for (uint32_t seed = 0; seed < 40; ++seed) {
    const int pixels = 1 + int(seed);
    std::vector<uint8_t> a8 = makeImage<uint8_t>(kPatterns[seed % 6], pixels, 1, 3, 255, seed);
    std::vector<uint8_t> b8 = a8;
    std::vector<uint8_t> into8(static_cast<size_t>(pixels));
    collapseRgbRowInto8(a8.data(), pixels, into8.data());
    collapseRgbRow8(a8.data(), pixels, 3);
    referenceCollapseRgbRow8(b8.data(), pixels, 3);
    EXPECT_EQ(a8, b8);
    EXPECT_TRUE(std::equal(into8.begin(), into8.end(), b8.begin()));
    std::vector<uint16_t> a16 = makeImage<uint16_t>(kPatterns[seed % 6], pixels, 1, 3, 65535, seed);
    std::vector<uint16_t> b16 = a16;
    std::vector<uint16_t> into16(static_cast<size_t>(pixels));
    collapseRgbRowInto16(a16.data(), pixels, into16.data());
    collapseRgbRow16(a16.data(), pixels, 3);
    referenceCollapseRgbRow16(b16.data(), pixels, 3);
    EXPECT_EQ(a16, b16);
    EXPECT_TRUE(std::equal(into16.begin(), into16.end(), b16.begin()));
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
}

TEST(Parameters, RadiusTableAndItsBoundaries) {
  EXPECT_EQ(radiusForAlpha(0.0f), 7);
  EXPECT_EQ(radiusForAlpha(0.25f), 6);
  EXPECT_EQ(radiusForAlpha(0.5f), 5);
  EXPECT_EQ(radiusForAlpha(0.75f), 4);
  EXPECT_EQ(radiusForAlpha(1.0f), 3);
  EXPECT_EQ(radiusForAlpha(1e-6f), 6);
  // 7 - 4a for the float just above 0.25 is below 6 in double, 6 in float.
  EXPECT_EQ(radiusForAlpha(std::nextafter(0.25f, 1.0f)), 5);
  EXPECT_EQ(radiusForAlpha(std::nanf("")), 7);
  EXPECT_EQ(radiusForAlpha(-3.0f), 7);
  EXPECT_EQ(radiusForAlpha(9.0f), 3);
  for (int32_t r = 3; r <= 7; ++r) EXPECT_EQ(areaForRadius(r), float((2 * r + 1) * (2 * r + 1)));
  EXPECT_EQ(areaForRadius(1), 49.0f);
  EXPECT_EQ(areaForRadius(99), 225.0f);
}

TEST(Curve, RunsFromZeroToTheScaleWithoutFalling) {
  for (float gamma : {0.0f, 0.3f, 1.0f, std::nanf(""), 5.0f}) {
    for (float alpha : kAlphaForRadius) {
      EqualiseCurve c8;
      EqualiseCurve c16;
      makeEqualiseCurve8(&c8, alpha, gamma, 0.0f);
      makeEqualiseCurve16(&c16, alpha, gamma, 0.0f);
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
  makePreviewCurve8(&preview, 0.0f, 0.0f, 0.0f);
  for (int32_t n = 0; n <= 225; ++n) EXPECT_EQ(preview.level[n], int(255.0 * (double(n) / 225.0)));
  makePreviewCurve16(&preview, 0.6f, 0.4f, 0.0f);
  makeEqualiseCurve16(&run, 0.6f, 0.4f, 0.0f);
  for (int32_t n = 0; n <= run.area; ++n) EXPECT_EQ(preview.level[n], run.level[n]);
}

TEST(ColumnHistograms, RefusesWidthsWithoutStorage) {
  ColumnHistograms* histograms = reinterpret_cast<ColumnHistograms*>(1);
  EXPECT_EQ(createColumnHistograms(0, &histograms), -108);
  EXPECT_EQ(histograms, nullptr);
  EXPECT_EQ(createColumnHistograms(INT32_MAX - 20, &histograms), -108);
  EXPECT_EQ(histograms, nullptr);
  disposeColumnHistograms(nullptr);
}

}  // namespace
