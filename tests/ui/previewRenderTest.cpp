// previewRenderTest.cpp -- the preview's bits against the literal reference, its pixels and its
// failures
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/fileLayer.h"
#include "store/filePath.h"
#include "store/rowStore.h"
#include "tests/support/storeDirectory.h"
#include "tests/ui/previewReference.h"
#include "ui/previewRender.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Bright blobs on a gradient with noise: neighbourhoods differ, so the
// equalisation has work to do everywhere.
ReferenceImage makeImage(int width, int height, int channels, bool sixteenBit, uint32_t seed) {
  ReferenceImage image;
  image.width = width;
  image.height = height;
  image.channels = channels;
  image.samples.resize(size_t(width) * height * channels);
  const int top = sixteenBit ? 32768 : 255;
  uint32_t state = seed * 2654435761u + 7;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        state = state * 1664525u + 1013904223u;
        const int noise = int((state >> 9) % 64) - 32;
        const int base = (x * 3 + y * 2 + c * 40) % 200 + ((x / 9 + y / 7) % 3 == 0 ? 55 : 0);
        int v = sixteenBit ? base * 128 + noise * 16 : base + noise / 4;
        if ((state >> 20) % 97 == 0) v = top;  // an occasional full-scale sample
        image.samples[(size_t(y) * width + x) * channels + c] = uint16_t(v < 0     ? 0
                                                                         : v > top ? top
                                                                                   : v);
      }
    }
  }
  return image;
}

class PreviewRenderTest : public ::testing::Test {
 protected:
  void SetUp() override { directory_.enter("briselPreview"); }

  void TearDown() override {
    disposeColourStore(store_);
    store_ = nullptr;
    setAllocationBudget(-1);
    directory_.leave();
  }

  // The image into a colour store, as the driver leaves it.
  void storeImage(const ReferenceImage& image, bool sixteenBit) {
    const int bytes = sixteenBit ? 2 : 1;
    ASSERT_EQ(createColourStore(image.width, image.height, image.channels * bytes, &store_), 0);
    std::vector<uint8_t> row(size_t(image.width) * image.channels * bytes);
    for (int y = 0; y < image.height; ++y) {
      for (int i = 0; i < image.width * image.channels; ++i) {
        const uint16_t s = image.samples[size_t(y) * image.width * image.channels + i];
        if (sixteenBit) {
          std::memcpy(&row[size_t(i) * 2], &s, 2);
        } else {
          row[size_t(i)] = uint8_t(s);
        }
      }
      ASSERT_EQ(writeStoreRow(store_, 0, y, int32_t(row.size()), row.data()), 0);
    }
  }

  std::vector<uint16_t> render(bool sixteenBit, int channels, Rect frame, Rect source, float a,
                               float b, float g, float d, OSErr* err = nullptr) {
    PreviewBitmap bitmap;
    EXPECT_EQ(createPreviewBitmap(frame, &bitmap), 0);
    if (bitmap.bits == nullptr) return {};
    const FilterValues parameters{a, b, g, d};
    const OSErr result =
        renderPreviewBits(&bitmap, store_, channels, sixteenBit ? 16 : 8, source, &parameters);
    if (err != nullptr) *err = result;
    std::vector<uint16_t> bits(bitmap.bits, bitmap.bits + size_t(bitmap.width) * bitmap.height);
    disposePreviewBitmap(&bitmap);
    return bits;
  }

  RowStore* store_ = nullptr;
  StoreDirectory directory_;
};

// Index and pixels of the first difference, for a readable failure.
std::string firstDifference(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b,
                            int width) {
  if (a.size() != b.size()) return "sizes differ";
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) {
      char text[96];
      std::snprintf(text, sizeof text, "bitmap row %d column %d: %04x, reference %04x",
                    int(i / size_t(width)), int(i % size_t(width)), a[i], b[i]);
      return text;
    }
  }
  return "";
}

struct PreviewCase {
  const char* name;
  int imageWidth, imageHeight;
  Rect frame;
  Rect source;
};

// Frames and rectangles as the dialog makes them: the whole of a small image,
// a panned window into a large one, odd frame widths, images narrower or
// shorter than the frame, one of fewer than 7 rows, one exactly the frame.
const PreviewCase kCases[] = {
    {"smaller than the frame", 23, 17, Rect{5, 7, 45, 47}, Rect{0, 0, 17, 23}},
    {"panned, odd frame width", 70, 60, Rect{3, 4, 33, 35}, Rect{11, 20, 41, 51}},
    {"panned to the right end", 70, 60, Rect{3, 4, 33, 35}, Rect{29, 39, 59, 70}},
    {"narrower than the frame", 9, 40, Rect{0, 0, 30, 24}, Rect{5, 0, 35, 9}},
    {"fewer than 7 rows", 40, 4, Rect{2, 2, 32, 32}, Rect{0, 0, 4, 30}},
    {"one row", 40, 1, Rect{2, 2, 32, 32}, Rect{0, 5, 1, 35}},
    {"exactly the frame", 26, 21, Rect{10, 10, 31, 36}, Rect{0, 0, 21, 26}},
};

TEST_F(PreviewRenderTest, BitsMatchTheLiteralPreviewOverAParameterGrid) {
  for (bool sixteenBit : {false, true}) {
    for (int channels : {1, 3}) {
      for (const PreviewCase& c : kCases) {
        const ReferenceImage image =
            makeImage(c.imageWidth, c.imageHeight, channels, sixteenBit, uint32_t(c.imageWidth));
        storeImage(image, sixteenBit);
        for (float alpha : {0.0f, 0.25f, 0.6f, 1.0f}) {
          for (float gamma : {0.0f, 0.3f, 1.0f}) {
            for (float delta : {0.0f, 0.45f}) {
              for (float beta : {0.0f, 0.35f}) {
                const auto bits =
                    render(sixteenBit, channels, c.frame, c.source, alpha, beta, gamma, delta);
                const auto expected = referencePreview(image, sixteenBit, c.frame, c.source, alpha,
                                                       beta, gamma, delta);
                const int w = previewBitmapWidth(c.frame);
                ASSERT_EQ(firstDifference(bits, expected, w), "")
                    << c.name << (sixteenBit ? " 16" : " 8") << "-bit ch " << channels << " a "
                    << alpha << " b " << beta << " g " << gamma << " d " << delta;
              }
            }
          }
        }
        disposeColourStore(store_);
        store_ = nullptr;
      }
    }
  }
}

TEST_F(PreviewRenderTest, RowsBelowAndColumnsPastTheImageStayWhite) {
  const ReferenceImage image = makeImage(9, 6, 1, false, 3);
  storeImage(image, false);
  const Rect frame{0, 0, 20, 15};  // odd: W = 16
  const auto bits = render(false, 1, frame, Rect{0, 0, 6, 9}, 0.3f, 0.2f, 0.5f, 0.1f);
  ASSERT_EQ(bits.size(), size_t(16 * 20));
  int drawn = 0;
  for (int line = 0; line < 20; ++line) {
    for (int x = 0; x < 16; ++x) {
      const uint16_t pixel = bits[size_t(19 - line) * 16 + x];  // bottom-up
      if (line >= 6 || x >= 9) {
        EXPECT_EQ(pixel, kPreviewWhite) << line << "," << x;
      } else if (pixel != kPreviewWhite) {
        ++drawn;
      }
    }
  }
  EXPECT_GT(drawn, 0);
}

TEST_F(PreviewRenderTest, NeverWritesToTheStore) {
  const ReferenceImage image = makeImage(30, 20, 3, true, 5);
  storeImage(image, true);
  (void)render(true, 3, Rect{0, 0, 20, 30}, Rect{0, 0, 20, 30}, 0.5f, 0.5f, 0.5f, 0.5f);
  std::vector<uint16_t> row(30 * 3);
  for (int y = 0; y < 20; ++y) {
    ASSERT_EQ(readStoreRow(store_, 0, y, int32_t(row.size() * 2), row.data()), 0);
    ASSERT_EQ(std::memcmp(row.data(), &image.samples[size_t(y) * 90], row.size() * 2), 0) << y;
  }
}

TEST_F(PreviewRenderTest, FailedAllocationsDrawNothing) {
  const ReferenceImage image = makeImage(40, 30, 3, false, 9);
  storeImage(image, false);
  const Rect frame{0, 0, 30, 40};
  const FilterValues parameters{0.2f, 0.1f, 0.4f, 0.3f};
  // Every allocation of the call, failing in turn: 17 rows and the row step's workspace.
  for (int32_t budget = 0; budget <= 18; ++budget) {
    PreviewBitmap bitmap;
    ASSERT_EQ(createPreviewBitmap(frame, &bitmap), 0);
    setAllocationBudget(budget);
    const OSErr err = renderPreviewBits(&bitmap, store_, 3, 8, Rect{0, 0, 30, 40}, &parameters);
    setAllocationBudget(-1);
    if (err != 0) {
      EXPECT_EQ(err, memFullErr);
      for (int32_t i = 0; i < bitmap.width * bitmap.height; ++i) {
        ASSERT_EQ(bitmap.bits[i], kPreviewWhite) << budget;
      }
    }
    EXPECT_EQ(err == 0, budget == 18) << budget;
    disposePreviewBitmap(&bitmap);
  }
  PreviewBitmap none;
  setAllocationBudget(0);
  EXPECT_EQ(createPreviewBitmap(frame, &none), memFullErr);
  setAllocationBudget(-1);
  EXPECT_EQ(none.bits, nullptr);
  disposePreviewBitmap(&none);
}

TEST_F(PreviewRenderTest, BadArgumentsDrawNothing) {
  const ReferenceImage image = makeImage(20, 20, 1, false, 2);
  storeImage(image, false);
  const Rect frame{0, 0, 20, 20};
  const Rect whole{0, 0, 20, 20};
  OSErr err = 0;
  for (int channels : {0, 2, 4, -3}) {
    const auto bits = render(false, channels, frame, whole, 0, 0, 0, 0, &err);
    EXPECT_EQ(err, memFullErr) << channels;
    EXPECT_EQ(bits, std::vector<uint16_t>(bits.size(), kPreviewWhite));
  }
  RowStore* kept = store_;
  store_ = nullptr;
  (void)render(false, 1, frame, whole, 0, 0, 0, 0, &err);
  EXPECT_EQ(err, memFullErr);
  store_ = kept;
  // An empty rectangle draws nothing and succeeds.
  const auto blank = render(false, 1, frame, Rect{5, 0, 5, 20}, 0, 0, 0, 0, &err);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(blank, std::vector<uint16_t>(blank.size(), kPreviewWhite));

  PreviewBitmap empty;
  EXPECT_EQ(createPreviewBitmap(Rect{4, 4, 4, 9}, &empty), memFullErr);
  EXPECT_EQ(empty.bits, nullptr);
  const FilterValues parameters{0, 0, 0, 0};
  EXPECT_EQ(renderPreviewBits(&empty, store_, 1, 8, whole, &parameters), memFullErr);
  EXPECT_EQ(renderPreviewBits(nullptr, store_, 1, 16, whole, &parameters), memFullErr);
  EXPECT_EQ(renderPreviewBits(&empty, store_, 1, 16, whole, nullptr), memFullErr);
}

TEST(PreviewPixels, BitmapIsEvenWidthedAndFrameHigh) {
  EXPECT_EQ(previewBitmapWidth(Rect{0, 10, 5, 41}), 32);  // 31 wide
  EXPECT_EQ(previewBitmapWidth(Rect{0, 10, 5, 42}), 32);
  EXPECT_EQ(previewBitmapWidth(Rect{0, 10, 5, 10}), 0);
  EXPECT_EQ(previewBitmapWidth(Rect{0, 10, 5, 3}), 0);
  EXPECT_EQ(previewBitmapHeight(Rect{3, 0, 203, 5}), 200);
  EXPECT_EQ(previewBitmapHeight(Rect{3, 0, 1, 5}), 0);
}

TEST(PreviewPixels, GreyLevelsAndTheirBlend) {
  EXPECT_EQ(greyPreviewPixel<Depth8>(255, 0, 0.0f), 0x7FFF);
  EXPECT_EQ(greyPreviewPixel<Depth8>(0, 255, 0.0f), 0x0000);
  EXPECT_EQ(greyPreviewPixel<Depth8>(0, 255, 1.0f), 0x7FFF);
  EXPECT_EQ(greyPreviewPixel<Depth8>(100, 200, 0.5f), (150 >> 3) * 0x0421);
  EXPECT_EQ(greyPreviewPixel<Depth16>(32768, 0, 0.0f), 0x7FFF);  // 256 held to 255
  EXPECT_EQ(greyPreviewPixel<Depth16>(128 * 100 + 127, 0, 0.0f), (100 >> 3) * 0x0421);
  EXPECT_EQ(greyPreviewPixel<Depth16>(0, 65535, 1.0f), 0x7FFF);  // above the range reads as 32768
}

TEST(PreviewPixels, ColourKeepsChromaAroundTheNewIntensity) {
  // J 100, Kc 100, L 50: 183, 83, 34.
  const uint16_t expected = uint16_t(((183 & 0xF8) << 7) | ((83 & 0xF8) << 2) | (34 >> 3));
  EXPECT_EQ(rgbPreviewPixel<Depth8>(100, 200, 100, 50, 0.0f), expected);
  EXPECT_EQ(rgbPreviewPixel<Depth16>(12800, 200 * 128, 100 * 128, 50 * 128 + 127, 0.0f), expected);
  // Negative Kc truncates toward zero: (2 x -255) / 3 = -170, blue held to 255.
  EXPECT_EQ(rgbPreviewPixel<Depth8>(100, 0, 0, 255, 0.0f),
            uint16_t((15 & 0xF8) << 7 | (15 & 0xF8) << 2 | 31));
  // beta 1 gives back the original intensity (r + g + b + 1) t.
  EXPECT_EQ(rgbPreviewPixel<Depth8>(0, 90, 90, 90, 1.0f), greyPreviewPixel<Depth8>(90, 0, 0.0f));
  EXPECT_EQ(rgbPreviewPixel<Depth8>(255, 255, 255, 255, 0.0f), 0x7FFF);
  EXPECT_EQ(rgbPreviewPixel<Depth8>(0, 0, 0, 0, 0.0f), 0x0000);
}

}  // namespace
