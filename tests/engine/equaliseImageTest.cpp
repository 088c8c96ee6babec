// equaliseImageTest.cpp -- the whole-image entry: bands on threads against one run over all rows
#include "engine/equaliseImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/equaliseRun.h"
#include "tests/engine/engineTestImages.h"

namespace {

template <typename D>
class ImageTest : public ::testing::Test {};
typedef ::testing::Types<Depth8, Depth16> Depths;
TYPED_TEST_SUITE(ImageTest, Depths);

// One run over all rows of a contiguous grey or RGB image: what every banding must give.
template <class D>
std::vector<typename D::Sample> runWhole(std::vector<typename D::Sample> image, int width,
                                         int height, int colour, const FilterValues& p) {
  EXPECT_EQ(equaliseRows<D>(RunRows{nullptr, image.data()}, width, height, colour, &p, nullptr), 0);
  return image;
}

template <class D>
std::vector<typename D::Sample> runImage(const std::vector<typename D::Sample>& image, int width,
                                         int height, int colour, const FilterValues& p,
                                         int threads) {
  std::vector<typename D::Sample> out(image.size(), 0);
  const ImageFrame frame = {width, height, colour, colour, false};
  const SampleSteps steps = {ptrdiff_t(width) * colour, colour, 1};
  EXPECT_EQ(equaliseImage<D>(&frame, image.data(), steps, out.data(), steps, &p, threads), 0);
  return out;
}

// Bands of a few rows, shorter than the halo, and as many bands as rows; every
// radius (alpha 0 .. 1), widths under 15 included.
TYPED_TEST(ImageTest, BandsOnThreadsEqualOneRun) {
  typedef typename TypeParam::Sample Sample;
  uint32_t seed = 3;
  for (int colour : {1, 3}) {
    for (float alpha : {0.0f, 0.3f, 0.5f, 0.75f, 1.0f}) {
      for (int height : {1, 6, 23, 61}) {
        const int width = 5 + int(seed % 4) * 9;
        const FilterValues p = {alpha, 0.25f, 0.6f, seed % 2 ? 0.4f : 0.0f};
        const auto image =
            makeImage<Sample>(kPatterns[seed % 6], width, height, colour, TypeParam::kMax, seed);
        ++seed;
        const auto whole = runWhole<TypeParam>(image, width, height, colour, p);
        for (int threads : {1, 2, 3, 8, 200}) {
          ASSERT_EQ(runImage<TypeParam>(image, width, height, colour, p, threads), whole)
              << width << "x" << height << "x" << colour << " alpha " << alpha << " threads "
              << threads;
        }
      }
    }
  }
}

// RGBA held bottom-up with padded rows, written into a column-reversed view:
// the colour is equalised as the contiguous RGB image is, alpha carried as is.
TYPED_TEST(ImageTest, StridedViewsAndExtraChannels) {
  typedef typename TypeParam::Sample Sample;
  const int width = 21, height = 40, pad = 5, stride = width * 4 + pad;
  const FilterValues p = {0.1f, 0.0f, 0.3f, 0.5f};
  const auto rgb = makeImage<Sample>(Pattern::Photo, width, height, 3, TypeParam::kMax, 9);
  std::vector<Sample> rgba(size_t(stride) * height, Sample(77));
  std::vector<Sample> out(rgba.size(), Sample(1));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Sample* pixel = &rgba[size_t(height - 1 - y) * stride + x * 4];
      for (int c = 0; c < 3; ++c) pixel[c] = rgb[(size_t(y) * width + x) * 3 + c];
      pixel[3] = Sample(x * 3 + y);
    }
  }
  const auto whole = runWhole<TypeParam>(rgb, width, height, 3, p);
  const ImageFrame frame = {width, height, 4, 3, false};
  const SampleSteps in = {-stride, 4, 1};
  const SampleSteps reversed = {stride, -4, 1};
  Sample* outFirst = out.data() + (width - 1) * 4;
  ASSERT_EQ(equaliseImage<TypeParam>(&frame, rgba.data() + size_t(height - 1) * stride, in,
                                     outFirst, reversed, &p, 3),
            0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Sample* pixel = outFirst + y * stride - x * 4;
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(pixel[c], whole[(size_t(y) * width + x) * 3 + c]) << x << "," << y << "," << c;
      }
      ASSERT_EQ(pixel[3], Sample(x * 3 + y));
    }
    ASSERT_EQ(out[size_t(y) * stride + width * 4], Sample(1)) << "padding written";
  }
}

// Tiles cut from an image with up to 7 pixels of halo where the image goes on,
// each written through its area alone, give the whole image's result: every
// radius, tiles narrower than the window, grey and RGB with a fourth channel,
// full-range 16-bit samples. Calls of growing and shrinking sizes in turn also
// reuse the thread's working rows.
TYPED_TEST(ImageTest, AreasOfTilesEqualTheWholeImage) {
  typedef typename TypeParam::Sample Sample;
  const int width = 47, height = 38;
  uint32_t seed = 21;
  for (int colour : {1, 3}) {
    const int channels = colour == 3 ? 4 : 1;
    const bool fullRange = sizeof(Sample) == 2 && colour == 3;
    const ImageFrame frame = {width, height, channels, colour, fullRange};
    const SampleSteps steps = {ptrdiff_t(width) * channels, channels, 1};
    const auto image =
        makeImage<Sample>(kPatterns[seed % 6], width, height, channels, TypeParam::kMax, seed);
    for (float alpha : {0.0f, 0.5f, 1.0f}) {
      const FilterValues p = {alpha, 0.2f, 0.5f, 0.4f};
      std::vector<Sample> whole(image.size());
      ASSERT_EQ(equaliseImage<TypeParam>(&frame, image.data(), steps, whole.data(), steps, &p, 1),
                0);
      for (int tileRows : {5, 16, 38}) {
        for (int tileColumns : {3, 20, 47}) {
          for (int top = 0; top < height; top += tileRows) {
            for (int left = 0; left < width; left += tileColumns) {
              // The tile with its halo, copied out of the image as a chunked array holds it.
              const int rows = std::min(tileRows, height - top);
              const int columns = std::min(tileColumns, width - left);
              const int haloTop = std::min(7, top), haloLeft = std::min(7, left);
              const int tileHeight = haloTop + rows + std::min(7, height - top - rows);
              const int tileWidth = haloLeft + columns + std::min(7, width - left - columns);
              std::vector<Sample> tile(size_t(tileWidth) * tileHeight * channels);
              for (int y = 0; y < tileHeight; ++y) {
                const Sample* from =
                    &image[(size_t(top - haloTop + y) * width + (left - haloLeft)) * channels];
                std::copy(from, from + tileWidth * channels,
                          &tile[size_t(y) * tileWidth * channels]);
              }
              const ImageFrame tileFrame = {tileWidth, tileHeight, channels, colour, fullRange};
              const SampleSteps tileSteps = {ptrdiff_t(tileWidth) * channels, channels, 1};
              const ImageArea area = {haloTop, haloLeft, rows, columns};
              std::vector<Sample> out(size_t(rows) * columns * channels);
              const SampleSteps outSteps = {ptrdiff_t(columns) * channels, channels, 1};
              ASSERT_EQ(equaliseImageArea<TypeParam>(&tileFrame, tile.data(), tileSteps, &area,
                                                     out.data(), outSteps, &p, 2),
                        0);
              for (int y = 0; y < rows; ++y) {
                for (int x = 0; x < columns * channels; ++x) {
                  ASSERT_EQ(out[size_t(y) * columns * channels + x],
                            whole[(size_t(top + y) * width + left) * channels + x])
                      << "tile at " << left << "," << top << " of " << tileColumns << "x"
                      << tileRows << ", alpha " << alpha << ", colour " << colour << ", pixel "
                      << x / channels << "," << y;
                }
              }
            }
          }
        }
      }
    }
    ++seed;
  }
}

// Areas that leave the frame are refused; empty ones write nothing.
TEST(ImageAreas, OutsideTheFrameRefused) {
  uint8_t pixels[64] = {};
  uint8_t out[64] = {};
  const FilterValues p = {0.0f, 0.0f, 0.0f, 0.0f};
  const SampleSteps steps = {8, 1, 1};
  const ImageFrame grey = {8, 8, 1, 1, false};
  for (ImageArea area : {ImageArea{-1, 0, 2, 2}, ImageArea{0, 7, 2, 2}, ImageArea{7, 0, 2, 1},
                         ImageArea{0, 0, -1, 3}}) {
    EXPECT_EQ(equaliseImageArea<Depth8>(&grey, pixels, steps, &area, out, steps, &p, 1), -50)
        << area.top << "," << area.left << " " << area.width << "x" << area.height;
  }
  const ImageArea empty = {20, 20, 0, 5};
  EXPECT_EQ(equaliseImageArea<Depth8>(&grey, nullptr, steps, &empty, nullptr, steps, &p, 1), 0);
  EXPECT_EQ(equaliseImageArea<Depth8>(&grey, pixels, steps, nullptr, out, steps, &p, 1), -50);
}

// 0..65535 samples: mapped in and out as the command-line host maps 16-bit
// files, around the same run.
TEST(ImageFullRange, MapsAroundTheRun) {
  const int width = 30, height = 17;
  const FilterValues p = {0.0f, 0.5f, 0.2f, 0.0f};
  auto full = makeImage<uint16_t>(Pattern::Noise, width, height, 1, 65535, 4);
  full[0] = 65535;
  full[1] = 0;
  std::vector<uint16_t> engine(full.size());
  for (size_t i = 0; i < full.size(); ++i) engine[i] = engineSampleFromFull(full[i]);
  const auto whole = runWhole<Depth16>(engine, width, height, 1, p);
  std::vector<uint16_t> out(full.size());
  const ImageFrame frame = {width, height, 1, 1, true};
  const SampleSteps steps = {width, 1, 1};
  ASSERT_EQ(equaliseImage<Depth16>(&frame, full.data(), steps, out.data(), steps, &p, 2), 0);
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], fullSampleFromEngine(whole[i])) << i;
  }
  // The two mappings are inverse on the engine's range.
  for (uint32_t v = 0; v <= 32768; ++v) ASSERT_EQ(engineSampleFromFull(fullSampleFromEngine(v)), v);
}

// Parameters clamped to 0..1, NaN as 0; frames it cannot describe refused.
TEST(ImageFrames, ParametersClampedFramesChecked) {
  const auto image = makeImage<uint8_t>(Pattern::Photo, 16, 16, 1, 255, 5);
  EXPECT_EQ(runImage<Depth8>(image, 16, 16, 1, {std::nanf(""), 2.0f, -1.0f, 0.5f}, 2),
            runImage<Depth8>(image, 16, 16, 1, {0.0f, 1.0f, 0.0f, 0.5f}, 1));

  uint8_t pixels[64] = {};
  const FilterValues nan = {std::nanf(""), 2.0f, -1.0f, 0.5f};
  const SampleSteps steps = {8, 1, 1};
  const ImageFrame twoColours = {8, 8, 2, 2, false};
  const ImageFrame tooFew = {8, 8, 1, 3, false};
  const ImageFrame empty = {0, 8, 1, 1, false};
  const ImageFrame grey = {8, 8, 1, 1, false};
  EXPECT_EQ(equaliseImage<Depth8>(&twoColours, pixels, steps, pixels, steps, &nan, 1), -50);
  EXPECT_EQ(equaliseImage<Depth8>(&tooFew, pixels, steps, pixels, steps, &nan, 1), -50);
  EXPECT_EQ(equaliseImage<Depth8>(&grey, nullptr, steps, pixels, steps, &nan, 1), -50);
  EXPECT_EQ(equaliseImage<Depth8>(&empty, nullptr, steps, nullptr, steps, &nan, 1), 0);
}

}  // namespace
