// previewDrawingTest.cpp -- the preview renderer drawing into a device context on its own
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/memory.h"
#include "core/runContext.h"
#include "store/rowStore.h"
#include "tests/ui/dialogHarness.h"
#include "ui/previewRenderWin32.h"

namespace {

class PreviewDrawingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
      GTEST_SKIP() << "no display for the screen's bitmaps";
    removeFixedFile(kColourStoreName);
  }
  void TearDown() override {
    setAllocationBudget(-1);
    removeFixedFile(kColourStoreName);
  }
};

// A memory context over 64 x 48 pixels of one colour, drawn on by renderPreview.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  uint32_t* pixels = nullptr;
  static constexpr int kWidth = 64;
  static constexpr int kHeight = 48;

  Canvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    pixels = static_cast<uint32_t*>(bits);
    previous = SelectObject(dc, bitmap);
    for (int i = 0; i < kWidth * kHeight; ++i) pixels[i] = 0x123456;
  }
  ~Canvas() {
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  bool untouched() const {
    GdiFlush();
    for (int i = 0; i < kWidth * kHeight; ++i) {
      if ((pixels[i] & 0xFFFFFF) != 0x123456) return false;
    }
    return true;
  }
};

TEST_F(PreviewDrawingTest, FailuresDrawNothingAndSuccessDrawsTheBitsAtTheFrame) {
  HostImage image = makePatternImage(50, 40, 8, true);
  RowStore* store = nullptr;
  ASSERT_EQ(createColourStore(image.width, image.height, 3, &store), 0);
  for (int32_t y = 0; y < image.height; ++y) {
    writeStoreRow(store, 0, y, int32_t(image.rowBytes()),
                  image.data.data() + size_t(y) * image.rowBytes());
  }
  RunContext* context = createRunContext();
  ASSERT_NE(context, nullptr);
  context->width = int16_t(image.width);
  context->height = int16_t(image.height);
  context->channels = 3;
  context->previewStore = store;
  const Rect frame{4, 6, 35, 47};  // 41 wide: the bitmap is 42
  const Rect source{3, 5, 34, 46};
  const FilterValues parameters{0.4f, 0.3f, 0.2f, 0.1f};
  const FilterValues zero{0, 0, 0, 0};

  // The bits, the 17 rows and the histograms: every allocation failing in turn.
  for (int32_t budget = 0; budget < 19; ++budget) {
    Canvas canvas;
    setAllocationBudget(budget);
    renderPreview(canvas.dc, frame, source, context, &parameters, 8);
    setAllocationBudget(-1);
    EXPECT_TRUE(canvas.untouched()) << budget;
  }
  {
    Canvas canvas;
    renderPreview(canvas.dc, Rect{10, 10, 10, 30}, source, context, &zero, 8);  // no pixels
    renderPreview(canvas.dc, frame, source, nullptr, &zero, 8);
    renderPreview(nullptr, frame, source, context, &zero, 8);
    context->channels = 2;
    renderPreview(canvas.dc, frame, source, context, &zero, 8);
    context->channels = 3;
    EXPECT_TRUE(canvas.untouched());
  }
  {
    // A context that is gone: the blit fails, and nothing else happens.
    HDC gone = CreateCompatibleDC(nullptr);
    DeleteDC(gone);
    renderPreview(gone, frame, source, context, &parameters, 8);
  }
  Canvas canvas;
  renderPreview(canvas.dc, frame, source, context, &parameters, 8);
  GdiFlush();
  disposeRunContext(context);
  disposeColourStore(store);
  const std::vector<uint16_t> bits = portablePreview(image, frame, source, parameters);
  ASSERT_EQ(bits.size(), size_t(42 * 31));
  for (int y = 0; y < Canvas::kHeight; ++y) {
    for (int x = 0; x < Canvas::kWidth; ++x) {
      const uint32_t shown = canvas.pixels[y * Canvas::kWidth + x] & 0xFFFFFF;
      // The bitmap's extra column lands at x = frame.right.
      if (y >= frame.top && y < frame.bottom && x >= frame.left && x <= frame.right) {
        const uint16_t expected = bits[size_t(frame.bottom - 1 - y) * 42 + size_t(x - frame.left)];
        ASSERT_TRUE(samePixel(expected, shown)) << x << "," << y;
      } else {
        ASSERT_EQ(shown, 0x123456u) << x << "," << y;
      }
    }
  }
}

}  // namespace
