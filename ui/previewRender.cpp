// previewRender.cpp -- the dialog's preview: the rectangle in view equalised into 5-5-5 bitmap bits
#include "ui/previewRender.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/rowStore.h"

namespace {

// The float nearest 1/3 (0.3333333432674408), used as that float.
constexpr float kThird = 0.33333334f;

int32_t clampLevel(int32_t value) { return value < 0 ? 0 : value > 255 ? 255 : value; }

// The same 5-bit level in red, green and blue.
uint16_t greyLevelPixel(int32_t level) { return uint16_t((clampLevel(level) >> 3) * 0x0421); }

// Intensity j with the chroma of (r, g, b), each channel clamped to 0..255.
uint16_t colourPixel(int32_t j, int32_t r, int32_t g, int32_t b) {
  // (r + g) / 2 - b fits 16 bits: r, g, b are at most 256.
  const int32_t kc = int16_t((r + g) / 2 - b);
  const int32_t l = (r - g) / 2;  // truncates toward zero, as / does
  const int32_t red = clampLevel(j + kc / 3 + l);
  const int32_t green = clampLevel(j + kc / 3 - l);
  const int32_t blue = clampLevel(j - (2 * kc) / 3);
  return uint16_t(((red & 0xF8) << 7) | ((green & 0xF8) << 2) | (blue >> 3));
}

// A 16-bit sample as the engine reads it: above the host's range counts as 32768.
int32_t read16(int32_t sample) { return sample > kMaxSample16 ? kMaxSample16 : sample; }

struct PreviewDepth8 {
  typedef uint8_t Sample;
  static constexpr int32_t kBytes = 1;
  static void makeCurve(EqualiseCurve* curve, const EqualiseParameters* p) {
    makePreviewCurve8(curve, p->alpha, p->gamma, p->delta);
  }
  static void collapse(Sample* row, int32_t width, int32_t channels) {
    collapseRgbRow8(row, width, channels);
  }
  static void equalise(ColumnHistograms* h, const Sample* const* window, const EqualiseCurve* curve,
                       Sample* out) {
    equaliseRow8(h, window, curve, out);
  }
  static uint16_t grey(int32_t e, const Sample* pixel, float beta) {
    return greyPreviewPixel8(e, pixel[0], beta);
  }
  static uint16_t rgb(int32_t e, const Sample* pixel, float beta) {
    return rgbPreviewPixel8(e, pixel[0], pixel[1], pixel[2], beta);
  }
};

struct PreviewDepth16 {
  typedef uint16_t Sample;
  static constexpr int32_t kBytes = 2;
  static void makeCurve(EqualiseCurve* curve, const EqualiseParameters* p) {
    makePreviewCurve16(curve, p->alpha, p->gamma, p->delta);
  }
  static void collapse(Sample* row, int32_t width, int32_t channels) {
    collapseRgbRow16(row, width, channels);
  }
  static void equalise(ColumnHistograms* h, const Sample* const* window, const EqualiseCurve* curve,
                       Sample* out) {
    equaliseRow16(h, window, curve, out);
  }
  static uint16_t grey(int32_t e, const Sample* pixel, float beta) {
    return greyPreviewPixel16(e, pixel[0], beta);
  }
  static uint16_t rgb(int32_t e, const Sample* pixel, float beta) {
    return rgbPreviewPixel16(e, pixel[0], pixel[1], pixel[2], beta);
  }
};

// One call's working storage: the 15 window rows, the result row and the
// original row, W x channels samples each, and the column histograms.
struct PreviewBuffers {
  void* window[kWindowSlots];
  void* result;
  void* original;
  ColumnHistograms* histograms;
};

void releasePreviewBuffers(PreviewBuffers* buffers) {
  disposeColumnHistograms(buffers->histograms);
  freeBlock(buffers->original);
  freeBlock(buffers->result);
  for (int32_t slot = kWindowSlots - 1; slot >= 0; --slot) freeBlock(buffers->window[slot]);
}

// 0, or -108 with whatever was had released again.
OSErr allocatePreviewBuffers(int32_t width, int32_t rowBytes, PreviewBuffers* buffers) {
  std::memset(buffers, 0, sizeof *buffers);
  bool complete = true;
  for (int32_t slot = 0; slot < kWindowSlots; ++slot) {
    buffers->window[slot] = allocBlock(rowBytes);
    complete = complete && buffers->window[slot] != nullptr;
  }
  buffers->result = allocBlock(rowBytes);
  buffers->original = allocBlock(rowBytes);
  complete = complete && buffers->result != nullptr && buffers->original != nullptr &&
             createColumnHistograms(width, &buffers->histograms) == noErr;
  if (complete) return noErr;
  releasePreviewBuffers(buffers);
  return memFullErr;
}

// Row `row` of the store from column `left` into a cleared buffer: the store
// clips the read at the image's right edge, so columns past it hold zero, and
// a failed read previews as zero samples rather than as a stale row.
void fetchRow(RowStore* store, int32_t channels, int32_t bytesPerSample, int32_t left, int32_t row,
              int32_t rowBytes, void* buffer) {
  std::memset(buffer, 0, size_t(rowBytes));
  (void)readStoreRow(store, channels * left * bytesPerSample, row, rowBytes, buffer);
}

template <class D>
OSErr renderPreviewBits(const PreviewBitmap* bitmap, RowStore* store, int32_t channels, Rect source,
                        const EqualiseParameters* parameters) {
  typedef typename D::Sample Sample;
  if (bitmap == nullptr || bitmap->bits == nullptr || bitmap->width < 1 || bitmap->height < 1 ||
      store == nullptr || parameters == nullptr || (channels != 1 && channels != 3)) {
    return memFullErr;
  }
  const int32_t width = bitmap->width;
  const int32_t height = bitmap->height;
  EqualiseParameters p = *parameters;
  clampParameters(&p);
  EqualiseCurve curve;
  D::makeCurve(&curve, &p);

  // The rectangle in view stands for the whole image: its first and last rows
  // are replicated above and below it. At most one frame of lines is drawn.
  const int32_t top = source.top > 0 ? source.top : 0;
  const int32_t left = source.left > 0 ? source.left : 0;
  int32_t lines = int32_t(source.bottom) - top;
  if (lines > height) lines = height;
  if (lines <= 0) return noErr;
  const int32_t last = top + lines - 1;
  const int32_t pixelBytes = channels * D::kBytes;
  int32_t visible = store->rowBytes / pixelBytes - left;  // image columns in the frame
  if (visible < 0) visible = 0;
  if (visible > width) visible = width;
  // At most 32,768 x 3 x 2 bytes.
  const int32_t rowBytes = width * pixelBytes;

  PreviewBuffers buffers;
  if (allocatePreviewBuffers(width, rowBytes, &buffers) != noErr) return memFullErr;
  Sample* window[kWindowSlots];
  for (int32_t slot = 0; slot < kWindowSlots; ++slot) {
    window[slot] = static_cast<Sample*>(buffers.window[slot]);
  }
  Sample* result = static_cast<Sample*>(buffers.result);
  Sample* original = static_cast<Sample*>(buffers.original);

  // prime: the top row above the centre, the rows below it down to the last
  for (int32_t slot = 0; slot < kCentreSlot; ++slot) {
    fetchRow(store, channels, D::kBytes, left, top, rowBytes, window[slot]);
  }
  for (int32_t k = 0; k < kCentreSlot; ++k) {
    const int32_t row = top + k < last ? top + k : last;
    fetchRow(store, channels, D::kBytes, left, row, rowBytes, window[kCentreSlot + k]);
  }
  for (int32_t slot = 0; slot < kWindowSlots - 1; ++slot)
    D::collapse(window[slot], width, channels);

  for (int32_t i = 0; i < lines; ++i) {
    const int32_t y = top + i;
    // next window row
    const int32_t below = y + kCentreSlot < last ? y + kCentreSlot : last;
    Sample* incoming = window[kWindowSlots - 1];
    fetchRow(store, channels, D::kBytes, left, below, rowBytes, incoming);
    D::collapse(incoming, width, channels);

    // output intensities: the row step over slots 7 - R .. 7 + R
    D::equalise(buffers.histograms, window, &curve, result);

    // blend with the original row into bitmap row height - 1 - i (bottom-up)
    fetchRow(store, channels, D::kBytes, left, y, rowBytes, original);
    uint16_t* line = bitmap->bits + int64_t(height - 1 - i) * width;
    for (int32_t x = 0; x < visible; ++x) {
      const Sample* pixel = original + x * channels;
      line[x] =
          channels == 3 ? D::rgb(result[x], pixel, p.beta) : D::grey(result[x], pixel, p.beta);
    }

    // rotate: the top row's buffer takes the next row
    Sample* oldest = window[0];
    for (int32_t slot = 0; slot < kWindowSlots - 1; ++slot) window[slot] = window[slot + 1];
    window[kWindowSlots - 1] = oldest;
  }

  releasePreviewBuffers(&buffers);
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

OSErr renderPreviewBits8(const PreviewBitmap* bitmap, RowStore* store, int32_t channels,
                         Rect source, const EqualiseParameters* parameters) {
  return renderPreviewBits<PreviewDepth8>(bitmap, store, channels, source, parameters);
}

OSErr renderPreviewBits16(const PreviewBitmap* bitmap, RowStore* store, int32_t channels,
                          Rect source, const EqualiseParameters* parameters) {
  return renderPreviewBits<PreviewDepth16>(bitmap, store, channels, source, parameters);
}

uint16_t greyPreviewPixel8(int32_t e, int32_t original, float beta) {
  const double b = beta;
  return greyLevelPixel(int32_t((1.0 - b) * double(e) + b * double(original)));
}

uint16_t greyPreviewPixel16(int32_t e, int32_t original, float beta) {
  const double b = beta;
  return greyLevelPixel(int32_t(((1.0 - b) * double(e) + b * double(read16(original))) / 128.0));
}

uint16_t rgbPreviewPixel8(int32_t e, int32_t red, int32_t green, int32_t blue, float beta) {
  const double b = beta;
  const int32_t j =
      int32_t((1.0 - b) * double(e) + b * double(red + green + blue + 1) * double(kThird));
  return colourPixel(j, red, green, blue);
}

uint16_t rgbPreviewPixel16(int32_t e, int32_t red, int32_t green, int32_t blue, float beta) {
  const int32_t r = read16(red) >> 7;
  const int32_t g = read16(green) >> 7;
  const int32_t bl = read16(blue) >> 7;
  const double b = beta;
  const int32_t j =
      int32_t((1.0 - b) * double(e) / 128.0 + b * double(r + g + bl + 1) * double(kThird));
  return colourPixel(j, r, g, bl);
}
