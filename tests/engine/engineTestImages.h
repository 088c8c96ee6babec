// engineTestImages.h -- seeded test images for the engine's differential tests
#pragma once

#include <cstdint>
#include <random>
#include <vector>

enum class Pattern {
  Noise,      // every sample independent
  Gradient,   // smooth ramps: long runs of equal and neighbouring bins
  Edges,      // flat blocks with hard steps
  Photo,      // gradient, an edge and a little noise
  FewLevels,  // a handful of values: heavy bins and many ties
  Extremes,   // only 0 and the top value
};

constexpr Pattern kPatterns[] = {Pattern::Noise, Pattern::Gradient,  Pattern::Edges,
                                 Pattern::Photo, Pattern::FewLevels, Pattern::Extremes};

// Samples 0..top of an image of height rows, each of width x channels samples.
template <typename Sample>
std::vector<Sample> makeImage(Pattern pattern, int width, int height, int channels, int top,
                              uint32_t seed) {
  std::mt19937 random(seed);
  auto below = [&](int limit) { return int(random() % uint32_t(limit)); };
  const int phase = below(1000);
  const int levels[] = {0, top / 7, top / 3, top / 2, top - top / 5, top};
  std::vector<Sample> image(size_t(width) * height * channels);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        long value = 0;
        switch (pattern) {
          case Pattern::Noise:
            value = below(top + 1);
            break;
          case Pattern::Gradient:
            value = (long(x) * 7 + long(y) * 5 + c * 11 + phase) * top /
                    (width * 7 + height * 5 + 1200);
            break;
          case Pattern::Edges:
            value = levels[((x + phase) / 6 + (y / 3) + c) % 6];
            break;
          case Pattern::Photo:
            value = long(x) * top / (2 * width) + (x > width / 2 + (y % 4) ? top / 3 : 0) +
                    below(top / 16 + 1) + c * (top / 20);
            break;
          case Pattern::FewLevels:
            value = levels[below(3) + (c == 1 ? 2 : 0)];
            break;
          case Pattern::Extremes:
            value = below(2) == 0 ? 0 : top;
            break;
        }
        if (value > top) value = top;
        image[(size_t(y) * width + x) * channels + c] = Sample(value);
      }
    }
  }
  return image;
}
