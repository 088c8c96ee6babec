// previewReference.h -- the preview computed literally, pixel by pixel: the yardstick of the
// renderer
#pragma once

#include <cstdint>
#include <vector>

#include "core/hostInterface.h"

// An image as its store holds it: rows of width x channels samples.
struct ReferenceImage {
  int width = 0;
  int height = 0;
  int channels = 1;
  std::vector<uint16_t> samples;  // 8-bit images keep 0..255 here

  int sample(int x, int y, int c) const { return samples[(size_t(y) * width + x) * channels + c]; }
};

// The bitmap bits (W x H, bottom-up, 0x7FFF where nothing is drawn) for the
// frame and the rectangle in view. Every window row is formed afresh from the
// replicated rectangle and every neighbourhood counted from scratch into 257
// float counters; with gamma 0 the curve is skipped.
std::vector<uint16_t> referencePreview(const ReferenceImage& image, bool sixteenBit, Rect frame,
                                       Rect source, float alpha, float beta, float gamma,
                                       float delta);
