// rowKernelsTest.cpp -- every build of the row step's loops (plain, SSE2, AVX2) against the
// reference
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/equaliseKernels.h"
#include "engine/windowWalk.h"
#include "tests/engine/engineTestImages.h"
#include "tests/reference/referenceEqualise.h"

namespace {

const char* const kBuildNames[] = {"plain", "SSE2", "AVX2"};
constexpr float kAlphaForRadius[] = {1.0f, 0.75f, 0.5f, 0.25f, 0.0f};  // R = 3 .. 7

template <typename D>
class RowKernelsTest : public ::testing::Test {};
typedef ::testing::Types<Depth8, Depth16> Depths;
TYPED_TEST_SUITE(RowKernelsTest, Depths);

// One random image (width 15..100, height 1..40, grey or RGB, any radius),
// its histograms slid down it as the run does, every row's grey or RGB blend
// and one row's plain row step compared with the reference's.
template <class D>
void expectBuildMatches(int32_t build, std::mt19937* random) {
  typedef typename D::Sample Sample;
  auto below = [&](int limit) { return int((*random)() % uint32_t(limit)); };
  const int width = 15 + below(86);
  const int height = 1 + below(40);
  const bool rgb = below(3) == 0;
  const int channels = rgb ? 3 : 1;
  const float alpha = kAlphaForRadius[below(5)];
  const float beta = below(3) == 0 ? 0.0f : float(below(1001)) / 1000.0f;
  const float gamma = below(4) == 0 ? 0.0f : float(below(1001)) / 1000.0f;
  const float delta = below(3) == 0 ? 0.0f : float(below(1001)) / 1000.0f;
  const Pattern pattern = kPatterns[below(6)];
  std::vector<Sample> image =
      makeImage<Sample>(pattern, width, height, channels, D::kMax, uint32_t((*random)()));
  if (D::kTopBin && below(4) == 0) {  // words past the host's range now and then
    for (Sample& sample : image) {
      if (below(50) == 0) sample = Sample(D::kMax + below(65536 - D::kMax));
    }
  }
  std::vector<Sample> levels(size_t(width) * height);
  for (int y = 0; y < height; ++y) {
    const Sample* row = image.data() + size_t(y) * width * channels;
    Sample* level = levels.data() + size_t(y) * width;
    if (rgb) {
      collapseRgbRowInto<D>(row, width, level);
    } else {
      for (int x = 0; x < width; ++x) level[x] = row[x];
    }
  }
  const std::string what = std::string(kBuildNames[build]) + " width " + std::to_string(width) +
                           " height " + std::to_string(height) + " channels " +
                           std::to_string(channels) + " alpha " + std::to_string(alpha);

  EqualiseCurve curve;
  makeEqualiseCurve<D>(&curve, {alpha, beta, gamma, delta});
  const int r = curve.radius;
  EqualiseWorkspace* workspace = nullptr;
  ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
  workspace->kernels = build;
  prepareBlend<D>(&workspace->blend, &curve);
  const int checkedRow = below(height);
  for (int y = 0; y < height; ++y) {
    const Sample* window[kWindowSlots];
    for (int s = 0; s < kWindowSlots; ++s) {
      int row = y + s - kCentreSlot;
      row = row < 0 ? 0 : row > height - 1 ? height - 1 : row;
      window[s] = levels.data() + size_t(row) * width;
    }
    if (y == 0) {
      loadColumnHistograms<D>(&workspace->histograms, window, r);
    } else {
      const int leaving = y - 1 - r < 0 ? 0 : y - 1 - r;
      moveHistogramRow<D>(&workspace->histograms, levels.data() + size_t(leaving) * width,
                          window[kCentreSlot + r]);
    }
    std::vector<Sample> intensity(static_cast<size_t>(width));
    referenceEqualiseRow(window, width, r, areaForRadius(r), referenceClamp(gamma),
                         referenceClamp(delta), intensity.data());
    const Sample* source = image.data() + size_t(y) * width * channels;
    std::vector<Sample> engine(source, source + size_t(width) * channels);
    std::vector<Sample> reference = engine;
    if (rgb) {
      equaliseAndBlendRgbRow<D>(workspace, window, &curve, engine.data());
      referenceBlendRgbRow(reference.data(), intensity.data(), width, beta);
    } else {
      equaliseAndBlendGreyRow<D>(workspace, window, &curve, source, engine.data());
      reference = intensity;
      referenceBlendGreyRow(reference.data(), source, width, beta);
    }
    ASSERT_EQ(engine, reference) << what << " blended row " << y;
    if (y == checkedRow) {
      // The plain row step reloads the histograms, as the preview does.
      EqualiseWorkspace* own = nullptr;
      ASSERT_EQ(createEqualiseWorkspace(width, &own), 0);
      own->kernels = build;
      std::vector<Sample> out(static_cast<size_t>(width));
      equaliseRow<D>(own, window, &curve, out.data());
      disposeEqualiseWorkspace(own);
      ASSERT_EQ(out, intensity) << what << " row step at row " << y;
    }
  }
  disposeEqualiseWorkspace(workspace);
}

TYPED_TEST(RowKernelsTest, EveryBuildMatchesTheReferenceOnRandomImages) {
  int builds = 0;
  for (int32_t build = 0; build < kRowKernelBuilds; ++build) {
    if (!hasRowKernels(build)) continue;
    ++builds;
    std::mt19937 random(uint32_t(1000 + build));
    for (int image = 0; image < 150; ++image) {
      expectBuildMatches<TypeParam>(build, &random);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  EXPECT_GE(builds, 1);
}

// The same with the stack moved down by `shift` bytes before the kernels are
// called, so that their frames start in the other half of a 32-byte line.
template <class D>
__attribute__((noinline)) void expectBuildMatchesWithStackShifted(int32_t build,
                                                                  std::mt19937* random,
                                                                  size_t shift) {
  char* pad = static_cast<char*>(__builtin_alloca(shift));
  std::memset(pad, 0, shift);
  __asm__ volatile("" : : "r"(pad) : "memory");
  expectBuildMatches<D>(build, random);
}

// Windows keeps the stack aligned to 16 bytes only: a 32-byte register
// spilled with an aligned move faults in one of the two halves. Each build
// runs from both.
TYPED_TEST(RowKernelsTest, EveryBuildRunsFromEitherHalfOfA32ByteStackLine) {
  for (int32_t build = 0; build < kRowKernelBuilds; ++build) {
    if (!hasRowKernels(build)) continue;
    std::mt19937 random(uint32_t(2000 + build));
    for (size_t shift : {16, 32, 48, 64}) {
      for (int image = 0; image < 10; ++image) {
        expectBuildMatchesWithStackShifted<TypeParam>(build, &random, shift);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

// Every width from 1 to 70 pixels, which puts the row's ends at every place
// in and around a vector step, and wide rows that the loops take in several
// stretches: the row step of each build on windows of noise or of the two
// extreme samples (the top bin counts the whole window).
TYPED_TEST(RowKernelsTest, EveryBuildMatchesTheReferenceAtNarrowAndWideWidths) {
  typedef typename TypeParam::Sample Sample;
  std::vector<int> widths = {577, 1100, 1601};
  for (int width = 1; width <= 70; ++width) widths.push_back(width);
  for (int32_t build = 0; build < kRowKernelBuilds; ++build) {
    if (!hasRowKernels(build)) continue;
    for (int width : widths) {
      const Pattern pattern = width % 2 == 0 ? Pattern::Noise : Pattern::Extremes;
      const std::vector<Sample> image =
          makeImage<Sample>(pattern, width, kWindowSlots, 1, TypeParam::kMax, uint32_t(width));
      const Sample* window[kWindowSlots];
      for (int s = 0; s < kWindowSlots; ++s) window[s] = image.data() + size_t(s) * width;
      EqualiseWorkspace* workspace = nullptr;
      ASSERT_EQ(createEqualiseWorkspace(width, &workspace), 0);
      workspace->kernels = build;
      for (float alpha : {0.0f, 1.0f}) {
        for (float delta : {0.0f, 0.37f, 1.0f}) {
          EqualiseCurve curve;
          makeEqualiseCurve<TypeParam>(&curve, {alpha, 0.0f, 0.5f, delta});
          std::vector<Sample> engine(static_cast<size_t>(width)), reference(engine);
          equaliseRow<TypeParam>(workspace, window, &curve, engine.data());
          referenceEqualiseRow(window, width, curve.radius, areaForRadius(curve.radius),
                               referenceClamp(0.5f), referenceClamp(delta), reference.data());
          EXPECT_EQ(engine, reference) << kBuildNames[build] << " width " << width << " alpha "
                                       << alpha << " delta " << delta;
        }
      }
      disposeEqualiseWorkspace(workspace);
    }
  }
}

// The rows of an image in memory, as a walk fetches them.
template <class D>
struct ImageRows {
  const std::vector<typename D::Sample>* image;
  int32_t width;
  OSErr fetch(int32_t row, typename D::Sample* buffer) {
    std::memcpy(buffer, image->data() + size_t(row) * width, size_t(width) * sizeof *buffer);
    return noErr;
  }
  typename D::Sample* levels(typename D::Sample* buffer) { return buffer; }
};

// A walk keeps up whatever its build's loops read (the column histograms, or
// nothing beyond the window's rows): each build's rows down a whole image.
TYPED_TEST(RowKernelsTest, EveryBuildsWalkMatchesTheReferenceDownAnImage) {
  typedef typename TypeParam::Sample Sample;
  const int32_t width = 37, height = 23;
  const std::vector<Sample> image =
      makeImage<Sample>(Pattern::Photo, width, height, 1, TypeParam::kMax, 7);
  for (int32_t build = 0; build < kRowKernelBuilds; ++build) {
    if (!hasRowKernels(build)) continue;
    for (float alpha : {0.0f, 0.5f}) {
      EqualiseCurve curve;
      makeEqualiseCurve<TypeParam>(&curve, {alpha, 0.0f, 0.3f, 0.6f});
      WindowRows<TypeParam> rows;
      ASSERT_EQ(allocateWindowRows<TypeParam>(width, width * int64_t(sizeof(Sample)), &rows), 0);
      rows.workspace->kernels = build;
      ImageRows<TypeParam> source{&image, width};
      const OSErr err = walkWindow<TypeParam>(
          &rows, width * int64_t(sizeof(Sample)), height, curve.radius, &source, nullptr,
          [&](int32_t i, Sample**, Sample** levels) {
            std::vector<Sample> engine(static_cast<size_t>(width)), reference(engine);
            equaliseLoadedRow<TypeParam>(rows.workspace, levels, &curve, engine.data());
            referenceEqualiseRow(levels, width, curve.radius, areaForRadius(curve.radius),
                                 referenceClamp(0.3f), referenceClamp(0.6f), reference.data());
            EXPECT_EQ(engine, reference) << kBuildNames[build] << " row " << i;
            return noErr;
          });
      EXPECT_EQ(err, noErr);
      releaseWindowRows(&rows);
    }
  }
}

TYPED_TEST(RowKernelsTest, EveryBuildCollapsesRgbRowsAsTheReference) {
  typedef typename TypeParam::Sample Sample;
  for (int32_t build = 0; build < kRowKernelBuilds; ++build) {
    if (!hasRowKernels(build)) continue;
    for (int width : {1, 15, 16, 33, 100}) {
      std::vector<Sample> rgb =
          makeImage<Sample>(Pattern::Noise, width, 1, 3, 65535, uint32_t(width + build));
      std::vector<Sample> engine(static_cast<size_t>(width));
      rowKernelsOf<TypeParam>(build)->collapseRgbInto(rgb.data(), width, engine.data());
      std::vector<Sample> reference = rgb;
      referenceCollapseRgbRow(reference.data(), width, 3);
      reference.resize(static_cast<size_t>(width));
      EXPECT_EQ(engine, reference) << kBuildNames[build] << " width " << width;
    }
  }
}

TEST(RowKernels, TheFastestBuildIsOneThisMachineRuns) {
  EXPECT_TRUE(hasRowKernels(kPlainKernels));
  EXPECT_TRUE(hasRowKernels(fastestRowKernels()));
  EXPECT_FALSE(hasRowKernels(kRowKernelBuilds));
}

// Every x86-64 build, Linux and Windows alike, carries the AVX2 loops: they
// run (and so are compared above) exactly where the compiler's own probe of
// the CPU and the operating system finds AVX2 usable.
TEST(RowKernels, X86_64BuildsRunAvx2WhereverTheMachineCan) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  const bool usable = __builtin_cpu_supports("avx2");
  EXPECT_EQ(hasRowKernels(kAvx2Kernels), usable);
  if (usable) {
    EXPECT_EQ(fastestRowKernels(), int32_t(kAvx2Kernels));
  }
  EXPECT_TRUE(hasRowKernels(kSse2Kernels));
#else
  GTEST_SKIP() << "AVX2 loops are built for x86-64 only";
#endif
}

}  // namespace
