// previewRender.cpp -- the dialog's preview: the rectangle in view equalised into 5-5-5 bitmap bits
#include "ui/previewRender.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "engine/windowWalk.h"
#include "store/rowStore.h"

namespace {

// The same 5-bit level in red, green and blue.
uint16_t greyLevelPixel(int32_t level) { return uint16_t((clampLevel(level, 255) >> 3) * 0x0421); }

// Row `row` of the store from column `left` into buffer. The store clips the
// read at the image's right edge: the bytes past it are cleared first, so that
// columns past the edge hold zero samples whatever the buffer held before. A
// failed read is not checked: the buffer keeps its previous samples.
void fetchRow(RowStore* store, int32_t offset, int32_t row, int32_t rowBytes, int32_t visibleBytes,
              void* buffer) {
  std::memset(static_cast<uint8_t*>(buffer) + visibleBytes, 0, size_t(rowBytes - visibleBytes));
  (void)readStoreRow(store, offset, row, rowBytes, buffer);
}

// The rectangle in view, rows top..top + lines - 1 from column left, as the
// walk's rows: each collapsed to its intensities in place.
template <class D>
struct PreviewRows {
  typedef typename D::Sample Sample;
  RowStore* store;
  int32_t top;
  int32_t offset;
  int32_t rowBytes;
  int32_t visibleBytes;
  int32_t width;
  int32_t channels;
  void read(int32_t row, Sample* buffer) {
    fetchRow(store, offset, top + row, rowBytes, visibleBytes, buffer);
  }
  OSErr fetch(int32_t row, Sample* buffer) {
    read(row, buffer);
    collapseRgbRow<D>(buffer, width, channels);
    return noErr;
  }
  Sample* levels(Sample* buffer) { return buffer; }
};

template <class D>
OSErr renderDepth(const PreviewBitmap* bitmap, RowStore* store, int32_t channels, Rect source,
                  const FilterValues& values) {
  typedef typename D::Sample Sample;
  const int32_t width = bitmap->width;
  const int32_t height = bitmap->height;
  EqualiseCurve curve;
  makePreviewCurve<D>(&curve, values);

  // The rectangle in view stands for the whole image: its first and last rows
  // are replicated above and below it. At most one frame of lines is drawn.
  const int32_t top = source.top > 0 ? source.top : 0;
  const int32_t left = source.left > 0 ? source.left : 0;
  int32_t lines = int32_t(source.bottom) - top;
  if (lines > height) lines = height;
  if (lines <= 0) return noErr;
  const int32_t pixelBytes = channels * int32_t(sizeof(Sample));
  int32_t visible = store->rowBytes / pixelBytes - left;  // image columns in the frame
  if (visible < 0) visible = 0;
  if (visible > width) visible = width;
  // At most 32,768 x 3 x 2 bytes.
  const int32_t rowBytes = width * pixelBytes;

  // The window rows, the result row and the original row.
  WindowRows<D> buffers;
  if (allocateWindowRows(width, rowBytes, &buffers) != noErr) return memFullErr;
  PreviewRows<D> rows{store, top,     left * pixelBytes, rowBytes, visible * pixelBytes,
                      width, channels};

  auto drawRow = [&](int32_t i, Sample**, Sample** levels) {
    // output intensities: the row step over slots 7 - R .. 7 + R
    Sample* result = buffers.work[0];
    equaliseLoadedRow<D>(buffers.workspace, levels, &curve, result);

    // blend with the original row into bitmap row height - 1 - i (bottom-up)
    Sample* original = buffers.work[1];
    rows.read(i, original);
    uint16_t* line = bitmap->bits + int64_t(height - 1 - i) * width;
    for (int32_t x = 0; x < visible; ++x) {
      const Sample* pixel = original + x * channels;
      line[x] = channels == 3
                    ? rgbPreviewPixel<D>(result[x], pixel[0], pixel[1], pixel[2], curve.beta)
                    : greyPreviewPixel<D>(result[x], pixel[0], curve.beta);
    }
    return noErr;
  };
  // Nothing here fails: the preview's reads are not checked, and it has no abort.
  (void)walkWindow<D>(&buffers, rowBytes, lines, curve.radius, &rows, nullptr, drawRow);

  releaseWindowRows(&buffers);
  return noErr;
}

}  // namespace

int32_t previewBitmapWidth(Rect frame) {
  const int32_t w = int32_t(frame.right) - int32_t(frame.left);
  return w > 0 ? (w + 1) & ~1 : 0;
}

int32_t previewBitmapHeight(Rect frame) {
  const int32_t h = int32_t(frame.bottom) - int32_t(frame.top);
  return h > 0 ? h : 0;
}

OSErr createPreviewBitmap(Rect frame, PreviewBitmap* bitmap) {
  bitmap->width = previewBitmapWidth(frame);
  bitmap->height = previewBitmapHeight(frame);
  bitmap->bits = nullptr;
  // Frame sides are 16-bit, so this is below 2^32 but may pass 2^31.
  const int64_t bytes = int64_t(bitmap->width) * bitmap->height * 2;
  if (bytes <= 0 || bytes > INT32_MAX) return memFullErr;
  bitmap->bits = static_cast<uint16_t*>(allocBlock(int32_t(bytes)));
  if (bitmap->bits == nullptr) return memFullErr;
  const int64_t pixels = bytes / 2;
  for (int64_t i = 0; i < pixels; ++i) bitmap->bits[i] = kPreviewWhite;
  return noErr;
}

void disposePreviewBitmap(PreviewBitmap* bitmap) {
  if (bitmap == nullptr) return;
  freeBlock(bitmap->bits);
  bitmap->bits = nullptr;
}

OSErr renderPreviewBits(const PreviewBitmap* bitmap, RowStore* store, int32_t channels,
                        int32_t depth, Rect source, const FilterValues* values) {
  if (bitmap == nullptr || bitmap->bits == nullptr || bitmap->width < 1 || bitmap->height < 1 ||
      store == nullptr || values == nullptr || (channels != 1 && channels != 3)) {
    return memFullErr;
  }
  return depth == 16 ? renderDepth<Depth16>(bitmap, store, channels, source, *values)
                     : renderDepth<Depth8>(bitmap, store, channels, source, *values);
}

template <class D>
uint16_t greyPreviewPixel(int32_t e, int32_t original, float beta) {
  const double b = beta;
  const double scale = double(1 << D::kBinShift);
  return greyLevelPixel(int32_t(((1.0 - b) * double(e) + b * double(D::read(original))) / scale));
}

template <class D>
uint16_t rgbPreviewPixel(int32_t e, int32_t red, int32_t green, int32_t blue, float beta) {
  const int32_t r = D::read(red) >> D::kBinShift;
  const int32_t g = D::read(green) >> D::kBinShift;
  const int32_t bl = D::read(blue) >> D::kBinShift;
  const double b = beta;
  const double scale = double(1 << D::kBinShift);
  const int32_t j = int32_t((1.0 - b) * double(e) / scale + rgbSourceTerm(b, r + g + bl));
  const RgbLevels colour = recolour(j, r, g, bl, 255);
  return uint16_t(((colour.red & 0xF8) << 7) | ((colour.green & 0xF8) << 2) | (colour.blue >> 3));
}

template uint16_t greyPreviewPixel<Depth8>(int32_t, int32_t, float);
template uint16_t greyPreviewPixel<Depth16>(int32_t, int32_t, float);
template uint16_t rgbPreviewPixel<Depth8>(int32_t, int32_t, int32_t, int32_t, float);
template uint16_t rgbPreviewPixel<Depth16>(int32_t, int32_t, int32_t, int32_t, float);
