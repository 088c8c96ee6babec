// photo.h -- the photograph-like test image the benchmarks share
#pragma once

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

// Smooth shading, hard-edged blocks and a little noise, like a photograph;
// samples 0..top (255 or 32768), channels interleaved.
template <typename Sample>
std::vector<Sample> makePhoto(int width, int height, int channels, double top) {
  std::mt19937 random(12345);
  std::vector<Sample> image(size_t(width) * height * channels);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double shade =
          0.45 + 0.3 * std::sin(x / 37.0 + y / 53.0) + 0.1 * (x + y) / (width + height);
      const double block = ((x / 256 + y / 192) % 3) * 0.08;
      for (int ch = 0; ch < channels; ++ch) {
        const double noise = (double(random() % 1000) / 1000.0 - 0.5) * 0.06;
        double value = (shade + block + noise + 0.05 * ch) * top;
        value = value < 0 ? 0 : value > top ? top : value;
        image[(size_t(y) * width + x) * channels + ch] = Sample(value);
      }
    }
  }
  return image;
}
