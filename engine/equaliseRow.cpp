// equaliseRow.cpp -- the row step of neighbourhood equalisation, the RGB row collapse and the blend
#include "engine/equaliseRow.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "entry/hostErrors.h"
#include "entry/memory.h"

namespace {

// The single-precision weights the arithmetic is defined with, used as the
// floats they are (0.0833333358168602 and 0.3333333432674408), not as 1/12 and 1/3.
constexpr float kNeighbourWeight = 0.083333336f;
constexpr float kThird = 0.33333334f;

// 7 edge columns replicated on each side of a row: enough for every radius.
constexpr int32_t kPad = kMaxRadius;
constexpr int32_t kGroups = 16;  // groups of 16 bins cover bins 0..255

// Counters are byte lanes of 64-bit words, 8 lanes a word, two words for 16
// lanes; lane j lives in bits 8(j % 8) of word j / 8 on any byte order. Sums of
// lanes never carry into a neighbouring lane: a lane never holds more than the
// 225 samples of a neighbourhood, plus the 15 of the column being slid in.
constexpr uint64_t kLaneOnes = 0x0101010101010101ULL;

constexpr uint64_t laneUnit(int32_t lane) { return uint64_t(1) << (8 * (lane & 7)); }

// The lanes below `lanes` (0..16) of a lane pair, as two word masks.
constexpr uint64_t lowLanesMask(int32_t lanes) {
  return lanes <= 0 ? 0 : lanes >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * lanes)) - 1;
}

struct LaneMask {
  uint64_t lo;
  uint64_t hi;
};

constexpr LaneMask lanesBelow(int32_t lanes) { return {lowLanesMask(lanes), lowLanesMask(lanes - 8)}; }

constexpr LaneMask kLanesBelow[17] = {
    lanesBelow(0),  lanesBelow(1),  lanesBelow(2),  lanesBelow(3),  lanesBelow(4),  lanesBelow(5),
    lanesBelow(6),  lanesBelow(7),  lanesBelow(8),  lanesBelow(9),  lanesBelow(10), lanesBelow(11),
    lanesBelow(12), lanesBelow(13), lanesBelow(14), lanesBelow(15), lanesBelow(16),
};

// Sum of all byte lanes of a word whose lanes sum to at most 255: multiplying
// by 0x0101... adds every lane into the top byte, and the partial sums of the
// lower lanes are below 256, so nothing carries.
inline int32_t sumLanes(uint64_t lanes) { return int32_t((lanes * kLaneOnes) >> 56); }

struct Depth8 {
  typedef uint8_t Sample;
  static constexpr double kScale = 255.0;
  static constexpr int32_t kMax = 255;
  static int32_t read(Sample sample) { return sample; }
  static int32_t binOf(int32_t sample) { return sample; }
  // The blended value never passes 255; the bound keeps the index in range.
  static int32_t lookupBin(int32_t value) { return value < 0 ? 0 : value > 255 ? 255 : value; }
};

struct Depth16 {
  typedef uint16_t Sample;
  static constexpr double kScale = 32768.0;
  static constexpr int32_t kMax = kMaxSample16;
  static int32_t read(Sample sample) { return sample > kMaxSample16 ? kMaxSample16 : sample; }
  // 32768 falls in bin 256, which the histograms do not hold (see countRow).
  static int32_t binOf(int32_t sample) { return sample >> 7; }
  static int32_t lookupBin(int32_t value) {
    return (value < 0 ? 0 : value > kMaxSample16 ? kMaxSample16 : value) >> 7;
  }
};

inline int32_t clampRadius(int32_t radius) {
  return radius < kMinRadius ? kMinRadius : radius > kMaxRadius ? kMaxRadius : radius;
}

// ---- curve ----

void makeCurve(EqualiseCurve* curve, float alpha, float gamma, float delta, double scale,
               bool plainAtGammaZero) {
  curve->radius = radiusForAlpha(alpha);
  const float area = areaForRadius(curve->radius);
  curve->area = int32_t(area);
  curve->delta = clampParameter(delta);
  const double n = area;
  const double g = clampParameter(gamma);
  for (int32_t count = 0; count <= kMaxArea; ++count) {
    if (count > curve->area) {
      curve->level[count] = curve->level[curve->area];  // no window holds more
      continue;
    }
    // K is a count over an odd N, never exactly 1/2; at K = 0 and K = 1 the
    // power's base is 1 and f is exactly 0 or 1.
    const double k = double(count) / n;
    double f;
    if (plainAtGammaZero && g == 0.0) {
      f = k;
    } else if (k >= 0.5) {
      f = 0.5 + 0.5 * std::exp(std::log(2.0 * k - 1.0) / (g + 1.0));
    } else {
      f = 0.5 - 0.5 * std::exp(std::log(1.0 - 2.0 * k) / (g + 1.0));
    }
    const double level = scale * f;
    curve->level[count] = uint16_t(level <= 0.0 ? 0.0 : level >= scale ? scale : level);
  }
}

// ---- collapse and blends ----

template <class D>
void collapseRgbRow(typename D::Sample* row, int32_t pixelCount, int32_t channelCount) {
  if (channelCount != 3) return;
  // Pixel p is written to sample p, never ahead of sample 3p still to be read.
  for (int32_t p = 0; p < pixelCount; ++p) {
    const int32_t sum = D::read(row[3 * p]) + D::read(row[3 * p + 1]) + D::read(row[3 * p + 2]);
    row[p] = typename D::Sample((sum + 1) / 3);
  }
}

template <class D>
void blendGreyRow(typename D::Sample* intensity, const typename D::Sample* source, int32_t width,
                  float beta) {
  const double b = clampParameter(beta);
  const double keep = 1.0 - b;
  // A convex blend of two samples in 0..M stays in 0..M.
  for (int32_t x = 0; x < width; ++x) {
    const double value = b * double(D::read(source[x])) + keep * double(intensity[x]);
    intensity[x] = typename D::Sample(int32_t(value));
  }
}

inline int32_t clampLevel(int32_t value, int32_t top) {
  return value < 0 ? 0 : value > top ? top : value;
}

template <class D>
void blendRgbRow(typename D::Sample* source, const typename D::Sample* intensity, int32_t width,
                 float beta) {
  const double b = clampParameter(beta);
  const double keep = 1.0 - b;
  const double third = kThird;
  for (int32_t x = 0; x < width; ++x) {
    typename D::Sample* pixel = source + 3 * x;
    const int32_t r = D::read(pixel[0]);
    const int32_t g = D::read(pixel[1]);
    const int32_t bl = D::read(pixel[2]);
    const int32_t j = int32_t(keep * double(intensity[x]) + b * double(r + g + bl + 1) * third);
    // Chroma: the sums are never negative, so (r + g) / 2 is the floor; Kc may
    // be negative, and / truncates toward zero: (2 Kc) / 3, not 2 (Kc / 3).
    const int32_t kc = (r + g) / 2 - bl;
    const int32_t l = (r - g) / 2;
    pixel[0] = typename D::Sample(clampLevel(j + kc / 3 + l, D::kMax));
    pixel[1] = typename D::Sample(clampLevel(j + kc / 3 - l, D::kMax));
    pixel[2] = typename D::Sample(clampLevel(j - (2 * kc) / 3, D::kMax));
  }
}

// ---- column histograms ----

// Adds (unit 1) or removes (unit -1, wrapping) one row's samples in every
// column; the 7 columns on each side repeat the row's first and last sample.
template <class D>
void countRow(ColumnHistograms* histograms, const typename D::Sample* row, uint64_t sign) {
  uint64_t* fine = histograms->fine;
  uint64_t* coarse = histograms->coarse;
  const ptrdiff_t groupWords = ptrdiff_t(histograms->columns) * 2;
  const int32_t width = histograms->width;
  auto count = [&](ptrdiff_t column, int32_t bin) {
    // Bin 256 (the 16-bit sample 32768) is not held: every sample lies at or
    // below it, so a lookup of bin 256 counts the whole window without them.
    if (bin > 255) return;
    const int32_t group = bin >> 4;
    fine[group * groupWords + column * 2 + ((bin >> 3) & 1)] += sign * laneUnit(bin);
    coarse[column * 2 + (group >> 3)] += sign * laneUnit(group);
  };
  const int32_t first = D::binOf(D::read(row[0]));
  const int32_t last = D::binOf(D::read(row[width - 1]));
  for (ptrdiff_t column = 0; column < kPad; ++column) count(column, first);
  for (int32_t x = 0; x < width; ++x) count(x + kPad, D::binOf(D::read(row[x])));
  for (ptrdiff_t column = width + kPad; column < width + 2 * kPad; ++column) count(column, last);
}

template <class D>
void loadColumnHistograms(ColumnHistograms* histograms, const typename D::Sample* const* window,
                          int32_t radius) {
  const int32_t r = clampRadius(radius);
  const size_t columns = size_t(histograms->columns);
  std::memset(histograms->fine, 0, columns * kGroups * 16);
  std::memset(histograms->coarse, 0, columns * 16);
  for (int32_t slot = kCentreSlot - r; slot <= kCentreSlot + r; ++slot) {
    countRow<D>(histograms, window[slot], 1);
  }
}

// ---- lookup values ----

// The bin each pixel looks up: its own intensity's bin, or with noise
// rejection the bin of trunc((1 - delta) Ic + delta S w), S the 3x3 neighbours
// weighted 2 (edge-adjacent) and 1 (diagonal), mirrored at the row's ends.
template <class D>
void computeLookupBins(const typename D::Sample* const* window, int32_t width, float delta,
                       int32_t* lookup) {
  const typename D::Sample* up = window[kCentreSlot - 1];
  const typename D::Sample* mid = window[kCentreSlot];
  const typename D::Sample* down = window[kCentreSlot + 1];
  if (!(delta > 0.0f)) {
    for (int32_t x = 0; x < width; ++x) lookup[x] = D::lookupBin(D::read(mid[x]));
    return;
  }
  const double d = delta;
  const double keep = 1.0 - d;
  const double w = kNeighbourWeight;
  auto binAt = [&](int32_t x, int32_t left, int32_t right) {
    const int32_t sum =
        2 * (D::read(up[x]) + D::read(down[x]) + D::read(mid[left]) + D::read(mid[right])) +
        (D::read(up[left]) + D::read(up[right]) + D::read(down[left]) + D::read(down[right]));
    return D::lookupBin(int32_t(keep * double(D::read(mid[x])) + d * double(sum) * w));
  };
  if (width == 1) {  // no neighbour column to mirror: the pixel stands in for both
    lookup[0] = binAt(0, 0, 0);
    return;
  }
  lookup[0] = binAt(0, 1, 1);
  for (int32_t x = 1; x < width - 1; ++x) lookup[x] = binAt(x, x - 1, x + 1);
  lookup[width - 1] = binAt(width - 1, width - 2, width - 2);
}

// ---- row step ----

// A group of 16 fine bins is brought up to date by sliding when it was last
// used at most this many columns ago, and rebuilt from 2R + 1 columns otherwise.
constexpr int32_t kMaxSlideSteps = 6;

template <class D>
void equaliseLoadedRow(ColumnHistograms* histograms, const typename D::Sample* const* window,
                       const EqualiseCurve* curve, typename D::Sample* out) {
  const int32_t width = histograms->width;
  const int32_t r = clampRadius(curve->radius);
  int32_t* lookup = histograms->lookup;
  computeLookupBins<D>(window, width, curve->delta, lookup);

  const uint64_t* coarse = histograms->coarse;
  const uint64_t* fine = histograms->fine;
  const ptrdiff_t groupWords = ptrdiff_t(histograms->columns) * 2;

  // Coarse counts of the neighbourhood of column 0: padded columns 7-R .. 7+R.
  uint64_t rowLo = 0;
  uint64_t rowHi = 0;
  for (ptrdiff_t column = kPad - r; column <= kPad + r; ++column) {
    rowLo += coarse[column * 2];
    rowHi += coarse[column * 2 + 1];
  }

  // Fine counts per group, each valid for the neighbourhood of column fineAt.
  uint64_t fineLo[kGroups];
  uint64_t fineHi[kGroups];
  int32_t fineAt[kGroups];
  for (int32_t group = 0; group < kGroups; ++group) {
    fineLo[group] = 0;
    fineHi[group] = 0;
    fineAt[group] = -(1 << 30);
  }

  for (int32_t x = 0; x < width; ++x) {
    // slide the coarse counts: add before subtracting, so no lane goes below 0
    if (x > 0) {
      const ptrdiff_t enter = x + kPad + r;
      const ptrdiff_t leave = x + kPad - r - 1;
      rowLo += coarse[enter * 2];
      rowHi += coarse[enter * 2 + 1];
      rowLo -= coarse[leave * 2];
      rowHi -= coarse[leave * 2 + 1];
    }

    // rank: samples of the neighbourhood at or below the lookup bin
    const int32_t bin = lookup[x];
    int32_t count;
    if (bin > 255) {
      count = curve->area;
    } else {
      const int32_t group = bin >> 4;
      const uint64_t* columns = fine + group * groupWords;
      uint64_t lo = fineLo[group];
      uint64_t hi = fineHi[group];
      if (x - fineAt[group] > kMaxSlideSteps) {
        lo = 0;
        hi = 0;
        for (ptrdiff_t column = x + kPad - r; column <= x + kPad + r; ++column) {
          lo += columns[column * 2];
          hi += columns[column * 2 + 1];
        }
      } else {
        for (int32_t step = fineAt[group] + 1; step <= x; ++step) {
          const ptrdiff_t enter = step + kPad + r;
          const ptrdiff_t leave = step + kPad - r - 1;
          lo += columns[enter * 2];
          hi += columns[enter * 2 + 1];
          lo -= columns[leave * 2];
          hi -= columns[leave * 2 + 1];
        }
      }
      fineLo[group] = lo;
      fineHi[group] = hi;
      fineAt[group] = x;
      // Whole groups below the bin's group, then the bins of its group up to
      // it: disjoint samples, so the four words' lanes add without carrying.
      const LaneMask& groups = kLanesBelow[group];
      const LaneMask& bins = kLanesBelow[(bin & 15) + 1];
      count = sumLanes((rowLo & groups.lo) + (rowHi & groups.hi) + (lo & bins.lo) + (hi & bins.hi));
      if (count > kMaxArea) count = kMaxArea;  // only histograms out of step with the window
    }

    // curve: tabulated by count
    out[x] = typename D::Sample(curve->level[count]);
  }
}

}  // namespace

// ---- parameters ----

float clampParameter(float value) {
  if (!(value > 0.0f)) return 0.0f;  // NaN, negatives and -0 alike
  return value > 1.0f ? 1.0f : value;
}

void clampParameters(EqualiseParameters* parameters) {
  parameters->alpha = clampParameter(parameters->alpha);
  parameters->beta = clampParameter(parameters->beta);
  parameters->gamma = clampParameter(parameters->gamma);
  parameters->delta = clampParameter(parameters->delta);
}

int32_t radiusForAlpha(float alpha) {
  // In double: in single precision 7 - 4 alpha rounds up to 6 for alphas just
  // above 0.25.
  return int32_t(7.0 - 4.0 * double(clampParameter(alpha)));
}

float areaForRadius(int32_t radius) {
  static const float kAreas[] = {49.0f, 81.0f, 121.0f, 169.0f, 225.0f};
  return kAreas[clampRadius(radius) - kMinRadius];
}

void makeEqualiseCurve8(EqualiseCurve* curve, float alpha, float gamma, float delta) {
  makeCurve(curve, alpha, gamma, delta, Depth8::kScale, false);
}

void makeEqualiseCurve16(EqualiseCurve* curve, float alpha, float gamma, float delta) {
  makeCurve(curve, alpha, gamma, delta, Depth16::kScale, false);
}

void makePreviewCurve8(EqualiseCurve* curve, float alpha, float gamma, float delta) {
  makeCurve(curve, alpha, gamma, delta, Depth8::kScale, true);
}

void makePreviewCurve16(EqualiseCurve* curve, float alpha, float gamma, float delta) {
  makeCurve(curve, alpha, gamma, delta, Depth16::kScale, true);
}

// ---- collapse ----

void collapseRgbRow8(uint8_t* row, int32_t pixelCount, int32_t channelCount) {
  collapseRgbRow<Depth8>(row, pixelCount, channelCount);
}

void collapseRgbRow16(uint16_t* row, int32_t pixelCount, int32_t channelCount) {
  collapseRgbRow<Depth16>(row, pixelCount, channelCount);
}

// ---- column histograms ----

OSErr createColumnHistograms(int32_t width, ColumnHistograms** slot) {
  *slot = nullptr;
  if (width < 1) return memFullErr;
  // One block: the record, then the fine and coarse words, then the lookup row.
  const int64_t columns = int64_t(width) + 2 * kPad;
  const int64_t recordBytes = (int64_t(sizeof(ColumnHistograms)) + 15) / 16 * 16;
  const int64_t fineBytes = columns * kGroups * 16;
  const int64_t coarseBytes = columns * 16;
  const int64_t total = recordBytes + fineBytes + coarseBytes + int64_t(width) * 4;
  if (total > INT32_MAX) return memFullErr;
  uint8_t* block = static_cast<uint8_t*>(allocBlock(int32_t(total)));
  if (block == nullptr) return memFullErr;
  ColumnHistograms* histograms = reinterpret_cast<ColumnHistograms*>(block);
  histograms->width = width;
  histograms->columns = int32_t(columns);
  histograms->fine = reinterpret_cast<uint64_t*>(block + recordBytes);
  histograms->coarse = reinterpret_cast<uint64_t*>(block + recordBytes + fineBytes);
  histograms->lookup = reinterpret_cast<int32_t*>(block + recordBytes + fineBytes + coarseBytes);
  *slot = histograms;
  return noErr;
}

void disposeColumnHistograms(ColumnHistograms* histograms) { freeBlock(histograms); }

void loadColumnHistograms8(ColumnHistograms* histograms, const uint8_t* const* window,
                           int32_t radius) {
  loadColumnHistograms<Depth8>(histograms, window, radius);
}

void loadColumnHistograms16(ColumnHistograms* histograms, const uint16_t* const* window,
                            int32_t radius) {
  loadColumnHistograms<Depth16>(histograms, window, radius);
}

void addHistogramRow8(ColumnHistograms* histograms, const uint8_t* row) {
  countRow<Depth8>(histograms, row, 1);
}

void addHistogramRow16(ColumnHistograms* histograms, const uint16_t* row) {
  countRow<Depth16>(histograms, row, 1);
}

void removeHistogramRow8(ColumnHistograms* histograms, const uint8_t* row) {
  countRow<Depth8>(histograms, row, ~uint64_t(0));
}

void removeHistogramRow16(ColumnHistograms* histograms, const uint16_t* row) {
  countRow<Depth16>(histograms, row, ~uint64_t(0));
}

// ---- row step ----

void equaliseLoadedRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                        const EqualiseCurve* curve, uint8_t* out) {
  equaliseLoadedRow<Depth8>(histograms, window, curve, out);
}

void equaliseLoadedRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                         const EqualiseCurve* curve, uint16_t* out) {
  equaliseLoadedRow<Depth16>(histograms, window, curve, out);
}

void equaliseRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                  const EqualiseCurve* curve, uint8_t* out) {
  loadColumnHistograms<Depth8>(histograms, window, curve->radius);
  equaliseLoadedRow<Depth8>(histograms, window, curve, out);
}

void equaliseRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                   const EqualiseCurve* curve, uint16_t* out) {
  loadColumnHistograms<Depth16>(histograms, window, curve->radius);
  equaliseLoadedRow<Depth16>(histograms, window, curve, out);
}

// ---- blends ----

void blendGreyRow8(uint8_t* intensity, const uint8_t* source, int32_t width, float beta) {
  blendGreyRow<Depth8>(intensity, source, width, beta);
}

void blendGreyRow16(uint16_t* intensity, const uint16_t* source, int32_t width, float beta) {
  blendGreyRow<Depth16>(intensity, source, width, beta);
}

void blendRgbRow8(uint8_t* source, const uint8_t* intensity, int32_t width, float beta) {
  blendRgbRow<Depth8>(source, intensity, width, beta);
}

void blendRgbRow16(uint16_t* source, const uint16_t* intensity, int32_t width, float beta) {
  blendRgbRow<Depth16>(source, intensity, width, beta);
}

void clampSamples16(uint16_t* samples, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if (samples[i] > kMaxSample16) samples[i] = kMaxSample16;
  }
}
