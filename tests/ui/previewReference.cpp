// previewReference.cpp -- the preview computed literally, pixel by pixel: the yardstick of the
// renderer
#include "tests/ui/previewReference.h"

#include <cmath>

namespace {

float clampUnit(float v) {
  if (!(v > 0.0f)) return 0.0f;
  return v > 1.0f ? 1.0f : v;
}

int clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

uint16_t pack(int r, int g, int b) {
  return uint16_t(((clamp255(r) >> 3) << 10) | ((clamp255(g) >> 3) << 5) | (clamp255(b) >> 3));
}

}  // namespace

std::vector<uint16_t> referencePreview(const ReferenceImage& image, bool sixteenBit, Rect frame,
                                       Rect source, float alpha, float beta, float gamma,
                                       float delta) {
  alpha = clampUnit(alpha);
  beta = clampUnit(beta);
  gamma = clampUnit(gamma);
  delta = clampUnit(delta);
  const int radius = int(7.0 - 4.0 * double(alpha));
  const float areas[] = {49, 81, 121, 169, 225};
  const double area = areas[radius - 3];
  const double scale = sixteenBit ? 32768.0 : 255.0;
  const int frameW = frame.right - frame.left;
  const int W = (frameW + 1) & ~1;
  const int H = frame.bottom - frame.top;
  const int ch = image.channels;
  std::vector<uint16_t> bits(size_t(W) * H, 0x7FFF);
  const int top = source.top;
  const int bottom = source.bottom;

  // The samples of image row `row` from column source.left on, W pixels, zero
  // past the image's right edge; 16-bit samples above the range read as 32768.
  auto raw = [&](int row, int x, int c) {
    const int column = source.left + x;
    if (column >= image.width) return 0;
    const int s = image.sample(column, row, c);
    return sixteenBit && s > 32768 ? 32768 : s;
  };
  auto intensity = [&](int row, int x) {
    if (ch != 3) return raw(row, x, 0);
    return (raw(row, x, 0) + raw(row, x, 1) + raw(row, x, 2) + 1) / 3;
  };
  auto windowRow = [&](int y, int k) {
    int row = y + k;
    if (row < top) row = top;
    if (row > bottom - 1) row = bottom - 1;
    return row;
  };

  for (int y = top; y < bottom && y - top < H; ++y) {
    const int i = y - top;
    for (int x = 0; x < W; ++x) {
      if (source.left + x >= image.width) continue;  // drawn white
      // histogram of the (2R+1) x (2R+1) neighbourhood, edges replicated
      float bins[257] = {};
      for (int k = -radius; k <= radius; ++k) {
        const int row = windowRow(y, k);
        for (int dx = -radius; dx <= radius; ++dx) {
          int column = x + dx;
          if (column < 0) column = 0;
          if (column > W - 1) column = W - 1;
          const int s = intensity(row, column);
          bins[sixteenBit ? s >> 7 : s] += 1.0f;
        }
      }
      // lookup value, neighbours mirrored at the row's ends
      const int ic = intensity(y, x);
      int bin;
      if (delta > 0.0f) {
        const int left = x == 0 ? 1 : x - 1;
        const int right = x == W - 1 ? W - 2 : x + 1;
        const int up = windowRow(y, -1);
        const int down = windowRow(y, 1);
        const int s =
            2 * (intensity(up, x) + intensity(down, x) + intensity(y, left) + intensity(y, right)) +
            intensity(up, left) + intensity(up, right) + intensity(down, left) +
            intensity(down, right);
        const int v = int((1.0 - double(delta)) * ic + double(delta) * s * double(0.083333336f));
        bin = sixteenBit ? v / 128 : v;
      } else {
        bin = sixteenBit ? ic >> 7 : ic;
      }
      double sum = 0.0;
      for (int b = 0; b <= bin && b <= 256; ++b) sum += bins[b];
      const double k = sum / area;
      double f;
      if (gamma == 0.0f) {
        f = k;
      } else if (k >= 0.5) {
        f = 0.5 + 0.5 * std::exp(std::log(2.0 * k - 1.0) / (double(gamma) + 1.0));
      } else {
        f = 0.5 - 0.5 * std::exp(std::log(1.0 - 2.0 * k) / (double(gamma) + 1.0));
      }
      const int e = int(scale * f);

      // the blend and the 5-5-5 pixel
      const double b = beta;
      uint16_t pixel;
      if (ch != 3) {
        int q = int((1.0 - b) * e + b * raw(y, x, 0));
        if (sixteenBit) q = int(((1.0 - b) * e + b * raw(y, x, 0)) / 128.0);
        pixel = pack(q, q, q);
      } else {
        int r = raw(y, x, 0), g = raw(y, x, 1), bl = raw(y, x, 2);
        if (sixteenBit) {
          r >>= 7;
          g >>= 7;
          bl >>= 7;
        }
        const double eScaled = sixteenBit ? (1.0 - b) * e / 128.0 : (1.0 - b) * e;
        const int j = int(eScaled + b * (r + g + bl + 1) * double(0.33333334f));
        const int kc = (r + g) / 2 - bl;
        const int l = (r - g) / 2;
        pixel = pack(j + kc / 3 + l, j + kc / 3 - l, j - (2 * kc) / 3);
      }
      bits[size_t(H - 1 - i) * W + x] = pixel;
    }
  }
  return bits;
}
