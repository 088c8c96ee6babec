// previewRender.h -- the dialog's preview: the rectangle in view equalised into 5-5-5 bitmap bits
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "engine/equaliseKernels.h"

struct RowStore;

constexpr uint16_t kPreviewWhite = 0x7FFF;

// The preview's pixels: width x height 16-bit pixels (bits 10..14 red, 5..9
// green, 0..4 blue), rows bottom-up as the device-independent bitmap keeps
// them. The width is the frame's rounded up to even, so a row of 2 x width
// bytes is a multiple of 4.
struct PreviewBitmap {
  int32_t width;
  int32_t height;
  uint16_t* bits;
};

// (frame width + 1) with the lowest bit cleared, and the frame height; 0 for
// frames with no pixels.
int32_t previewBitmapWidth(Rect frame);
int32_t previewBitmapHeight(Rect frame);

// All-white bits for the frame from allocBlock. 0, or -108 (no memory, or a
// frame with no pixels) with bits null.
OSErr createPreviewBitmap(Rect frame, PreviewBitmap* bitmap);
// Releases the bits; a bitmap with null bits is ignored.
void disposePreviewBitmap(PreviewBitmap* bitmap);

// Equalises source (rows top..bottom-1, columns from left) as if it were the
// whole image and draws line i of it into bitmap row height-1-i. Lines below
// the rectangle, and columns past the image's right edge, stay white.
// channels is 1 (grey) or 3 (RGB), depth the bits per channel (16, else 8);
// the values are the dialog's, clamped. 0, or -108 (no working memory, a
// channel count other than 1 or 3, no store) with the bits left white.
OSErr renderPreviewBits(const PreviewBitmap* bitmap, RowStore* store, int32_t channels,
                        int32_t depth, Rect source, const FilterValues* values);

// One pixel from the output intensity e and the original sample(s), beta
// already clamped to [0, 1]; D is Depth8 or Depth16. 16-bit samples are drawn
// from their top 8 bits.
template <class D>
uint16_t greyPreviewPixel(int32_t e, int32_t original, float beta);
template <class D>
uint16_t rgbPreviewPixel(int32_t e, int32_t red, int32_t green, int32_t blue, float beta);
