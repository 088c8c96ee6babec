// referenceEqualise.cpp -- plain, literal equalisation: the slow yardstick the engine is held to
//
// Written step by step from the description of the arithmetic, with no
// shortcuts: a 257-bin histogram of float counters, slid one column at a time,
// summed bin by bin in double for every pixel, the curve evaluated per pixel.
#include "tests/reference/referenceEqualise.h"

#include <cmath>
#include <cstdlib>

namespace {

// Sample access with the shared rules: columns outside the row are pulled to
// its nearest edge (only reachable for rows narrower than the radius), 16-bit
// samples above 32768 are read as 32768.
int sampleAt(const uint8_t* row, int column, int width) {
  if (column < 0) column = 0;
  if (column > width - 1) column = width - 1;
  return row[column];
}

int sampleAt(const uint16_t* row, int column, int width) {
  if (column < 0) column = 0;
  if (column > width - 1) column = width - 1;
  return row[column] > 32768 ? 32768 : row[column];
}

int readSample(uint8_t sample) { return sample; }
int readSample(uint16_t sample) { return sample > 32768 ? 32768 : sample; }

template <typename Sample>
void collapse(Sample* row, int pixelCount, int channelCount) {
  if (channelCount != 3 || pixelCount <= 0) return;
  for (int p = 0; p < pixelCount; ++p) {
    int r = readSample(row[3 * p]);
    int g = readSample(row[3 * p + 1]);
    int b = readSample(row[3 * p + 2]);
    row[p] = Sample((r + g + b + 1) / 3);
  }
}

template <typename Sample>
void equaliseRow(const Sample* const* window, int width, int R, float N, float gamma, float delta,
                 Sample* out, bool sixteen) {
  const double M = sixteen ? 32768.0 : 255.0;
  auto binOf = [&](int sample) { return sixteen ? sample >> 7 : sample; };

  // Step 1: clear, then prime for column 0.
  float histogram[257];
  for (int b = 0; b < 257; ++b) histogram[b] = 0.0f;
  for (int slot = 7 - R; slot <= 7 + R; ++slot) {
    const Sample* row = window[slot];
    histogram[binOf(sampleAt(row, 0, width))] += float(R);
    for (int c = 0; c < R; ++c) histogram[binOf(sampleAt(row, c, width))] += 1.0f;
  }

  // Step 2: each column.
  for (int x = 0; x < width; ++x) {
    // 2.1 leading column
    for (int slot = 7 - R; slot <= 7 + R; ++slot) {
      int column = x + R >= width ? width - 1 : x + R;
      histogram[binOf(sampleAt(window[slot], column, width))] += 1.0f;
    }

    // 2.2 lookup value
    const int Ic = sampleAt(window[7], x, width);
    int lookupBin;
    if (delta > 0) {
      int left = x - 1;
      int right = x + 1;
      if (x == 0) left = 1;
      if (x == width - 1) right = width - 2;
      const Sample* upRow = window[6];
      const Sample* midRow = window[7];
      const Sample* downRow = window[8];
      int up = sampleAt(upRow, x, width);
      int down = sampleAt(downRow, x, width);
      int leftN = sampleAt(midRow, left, width);
      int rightN = sampleAt(midRow, right, width);
      int upLeft = sampleAt(upRow, left, width);
      int upRight = sampleAt(upRow, right, width);
      int downLeft = sampleAt(downRow, left, width);
      int downRight = sampleAt(downRow, right, width);
      int S = 2 * (up + down + leftN + rightN) + (upLeft + upRight + downLeft + downRight);
      const float w = 0.083333336f;
      const double d = delta;  // in double: a float product would round
      int v = int((1.0 - d) * Ic + d * S * double(w));
      lookupBin = sixteen ? v / 128 : v;
    } else {
      lookupBin = sixteen ? Ic >> 7 : Ic;
    }

    // 2.3 cumulative fraction
    double sum = 0.0;
    for (int b = 0; b <= lookupBin && b <= 256; ++b) sum += histogram[b];
    double K = sum / N;

    // 2.4 contrast curve
    double f;
    if (K >= 0.5) {
      f = 0.5 + 0.5 * std::exp(std::log(2 * K - 1) / (gamma + 1.0));
    } else {
      f = 0.5 - 0.5 * std::exp(std::log(1 - 2 * K) / (gamma + 1.0));
    }

    // 2.5 output
    out[x] = Sample(int(M * f));

    // 2.6 trailing column
    for (int slot = 7 - R; slot <= 7 + R; ++slot) {
      int column = x - R <= 0 ? 0 : x - R;
      histogram[binOf(sampleAt(window[slot], column, width))] -= 1.0f;
    }
  }
}

// Step e for grey rows: intensity[x] = trunc(beta source[x] + (1 - beta) E[x]).
template <typename Sample>
void blendGrey(Sample* intensity, const Sample* source, int width, float beta) {
  const double b = referenceClamp(beta);
  for (int x = 0; x < width; ++x) {
    intensity[x] = Sample(int(b * readSample(source[x]) + (1 - b) * intensity[x]));
  }
}

// Step e for RGB rows: each pixel of source takes its new intensity J and keeps
// its chroma, clamped to 0..M.
template <typename Sample>
void blendRgb(Sample* source, const Sample* intensity, int width, float beta, bool sixteen) {
  const int M = sixteen ? 32768 : 255;
  const float t = 0.33333334f;
  beta = referenceClamp(beta);
  for (int x = 0; x < width; ++x) {
    int R_ = readSample(source[3 * x]);
    int G = readSample(source[3 * x + 1]);
    int B = readSample(source[3 * x + 2]);
    int E = intensity[x];
    int J = int((1.0 - beta) * E + beta * double(R_ + G + B + 1) * double(t));
    int Kc = int(std::floor((R_ + G) / 2.0)) - B;
    int L = (R_ - G) / 2;
    int Rp = J + Kc / 3 + L;
    int Gp = J + Kc / 3 - L;
    int Bp = J - (2 * Kc) / 3;
    if (Rp > M) Rp = M;
    if (Rp < 0) Rp = 0;
    if (Gp > M) Gp = M;
    if (Gp < 0) Gp = 0;
    if (Bp > M) Bp = M;
    if (Bp < 0) Bp = 0;
    source[3 * x] = Sample(Rp);
    source[3 * x + 1] = Sample(Gp);
    source[3 * x + 2] = Sample(Bp);
  }
}

template <typename Sample>
int run(std::vector<Sample>& image, int width, int height, int channels, float alpha, float beta,
        float gamma, float delta, bool sixteen) {
  channels = std::abs(channels);
  if (channels == 0) channels = 1;

  // Steps 1-4: parameters (clamped), R and N.
  alpha = referenceClamp(alpha);
  beta = referenceClamp(beta);
  gamma = referenceClamp(gamma);
  delta = referenceClamp(delta);
  int R = referenceRadius(alpha);
  float N = referenceArea(R);

  // Step 5.
  if (width < 15) return -128;
  if (height < 1) return 0;

  // Step 6: 17 buffers of (width + 4) x channels samples.
  const long rowSamples = long(width) * channels;
  std::vector<std::vector<Sample>> buffers(15, std::vector<Sample>(size_t(width + 4) * channels));
  std::vector<Sample> intensityRow(size_t(width + 4) * channels);
  std::vector<Sample> sourceRow(size_t(width + 4) * channels);
  Sample* window[15];
  for (int s = 0; s < 15; ++s) window[s] = buffers[s].data();

  auto readRow = [&](int row, Sample* buffer) {
    for (long i = 0; i < rowSamples; ++i)
      buffer[i] = Sample(readSample(image[row * rowSamples + i]));
  };

  // Step 7: prime the window.
  for (int s = 0; s <= 6; ++s) readRow(0, window[s]);
  for (int k = 0; k <= 6; ++k) readRow(k > height - 1 ? height - 1 : k, window[7 + k]);
  if (channels == 3) {
    for (int s = 0; s <= 13; ++s) collapse(window[s], width, 3);
  }

  // Step 8.
  for (int i = 0; i < height; ++i) {
    // b
    int fetch = i + 7 > height - 1 ? height - 1 : i + 7;
    readRow(fetch, window[14]);
    if (channels == 3) collapse(window[14], width, 3);
    // c
    equaliseRow(window, width, R, N, gamma, delta, intensityRow.data(), sixteen);
    // d
    readRow(i, sourceRow.data());
    // e
    if (channels != 3) {
      blendGrey(intensityRow.data(), sourceRow.data(), width, beta);
      // samples past the first width (channel counts other than 1 and 3) pass unchanged
      for (long s = width; s < rowSamples; ++s) intensityRow[s] = sourceRow[s];
    } else {
      blendRgb(sourceRow.data(), intensityRow.data(), width, beta, sixteen);
      for (long s = 0; s < 3L * width; ++s) intensityRow[s] = sourceRow[s];
    }
    // f
    for (long s = 0; s < rowSamples; ++s) image[i * rowSamples + s] = intensityRow[s];
    // g
    Sample* first = window[0];
    for (int s = 0; s < 14; ++s) window[s] = window[s + 1];
    window[14] = first;
  }
  return 0;
}

}  // namespace

float referenceClamp(float value) {
  if (std::isnan(value)) return 0.0f;
  if (value < 0.0f) return 0.0f;
  if (value > 1.0f) return 1.0f;
  return value;
}

int referenceRadius(float alpha) { return int(7.0 - 4.0 * double(referenceClamp(alpha))); }

float referenceArea(int radius) {
  switch (radius) {
    case 7:
      return 225.0f;
    case 6:
      return 169.0f;
    case 5:
      return 121.0f;
    case 4:
      return 81.0f;
    default:
      return 49.0f;
  }
}

void referenceCollapseRgbRow(uint8_t* row, int pixelCount, int channelCount) {
  collapse(row, pixelCount, channelCount);
}

void referenceCollapseRgbRow(uint16_t* row, int pixelCount, int channelCount) {
  collapse(row, pixelCount, channelCount);
}

void referenceEqualiseRow(const uint8_t* const* window, int width, int radius, float area,
                          float gamma, float delta, uint8_t* out) {
  equaliseRow(window, width, radius, area, gamma, delta, out, false);
}

void referenceEqualiseRow(const uint16_t* const* window, int width, int radius, float area,
                          float gamma, float delta, uint16_t* out) {
  equaliseRow(window, width, radius, area, gamma, delta, out, true);
}

void referenceBlendGreyRow(uint8_t* intensity, const uint8_t* source, int width, float beta) {
  blendGrey(intensity, source, width, beta);
}

void referenceBlendGreyRow(uint16_t* intensity, const uint16_t* source, int width, float beta) {
  blendGrey(intensity, source, width, beta);
}

void referenceBlendRgbRow(uint8_t* source, const uint8_t* intensity, int width, float beta) {
  blendRgb(source, intensity, width, beta, false);
}

void referenceBlendRgbRow(uint16_t* source, const uint16_t* intensity, int width, float beta) {
  blendRgb(source, intensity, width, beta, true);
}

int referenceRun(std::vector<uint8_t>& image, int width, int height, int channels, float alpha,
                 float beta, float gamma, float delta) {
  return run(image, width, height, channels, alpha, beta, gamma, delta, false);
}

int referenceRun(std::vector<uint16_t>& image, int width, int height, int channels, float alpha,
                 float beta, float gamma, float delta) {
  return run(image, width, height, channels, alpha, beta, gamma, delta, true);
}
