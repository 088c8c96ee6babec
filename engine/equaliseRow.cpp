// equaliseRow.cpp -- the row step of neighbourhood equalisation, the RGB row collapse and the blend
//
// The output of a pixel depends only on the count of neighbourhood samples at
// or below its lookup bin. Histogram counters that only ever gain or lose 1.0,
// summed in double in bin order, give that count exactly: every counter and
// every partial sum is a whole number of at most 225, well inside the exact
// integers of a float and of a double. So K = count / N, and the curve is
// tabulated once per count (N + 1 values). The count comes from byte counters
// kept per column and summed over the 2R + 1 columns of a pixel's
// neighbourhood, a group of 16 bins at a time.
#include "engine/equaliseRow.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if !defined(__GNUC__)
#error "the byte-lane counters use the GNU vector extension (GCC, Clang)"
#endif

namespace {

// The single-precision weights the arithmetic is defined with, used as the
// floats they are (0.0833333358168602 and 0.3333333432674408), not as 1/12 and 1/3.
constexpr float kNeighbourWeight = 0.083333336f;
constexpr float kThird = 0.33333334f;

// 7 edge columns replicated on each side of a row: enough for every radius.
constexpr int32_t kPad = kMaxRadius;
constexpr int32_t kBins = 256;  // bins 0..255 held; 16-bit bin 256 is counted apart
constexpr int32_t kMaxNeighbourSum8 = 12 * 255;
constexpr int32_t kMaxRgbSum8 = 3 * 255;

// ---- byte lanes ----

// 16 byte counters side by side, one SSE2 register where there is one: the
// counts of a group's 16 bins, or of the 16 groups. Lane sums never carry: a
// lane never holds more than the 225 samples of a neighbourhood, plus the 15
// of a column slid in before the leaving one is taken out.
typedef uint8_t Lanes __attribute__((vector_size(16)));

inline Lanes loadLanes(const uint8_t* at) {
  Lanes lanes;
  std::memcpy(&lanes, at, sizeof lanes);  // rows of counters have no 16-byte alignment
  return lanes;
}

// Sum of the lanes of counters that total at most 255 (one neighbourhood).
inline int32_t sumLanes(Lanes lanes) {
#if defined(__SSE2__)
  const __m128i sums = _mm_sad_epu8(__m128i(lanes), _mm_setzero_si128());
  return _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
#else
  // Fold the two halves, then multiplying by 0x0101... adds the eight lanes
  // into the top byte, none of the partial sums below reaching 256.
  uint64_t halves[2];
  std::memcpy(halves, &lanes, sizeof halves);
  return int32_t(((halves[0] + halves[1]) * 0x0101010101010101ULL) >> 56);
#endif
}

// below[k]: all bits set in lanes 0 .. k-1; one[k]: 1 in lane k alone.
struct LaneMasks {
  Lanes below[17];
  Lanes one[16];
};

LaneMasks makeLaneMasks() {
  LaneMasks masks;
  for (int32_t k = 0; k <= 16; ++k) {
    uint8_t bytes[16];
    for (int32_t lane = 0; lane < 16; ++lane) bytes[lane] = lane < k ? 0xFF : 0;
    std::memcpy(&masks.below[k], bytes, sizeof bytes);
  }
  for (int32_t k = 0; k < 16; ++k) {
    uint8_t bytes[16] = {};
    bytes[k] = 1;
    std::memcpy(&masks.one[k], bytes, sizeof bytes);
  }
  return masks;
}

const LaneMasks kLaneMasks = makeLaneMasks();

// The sum of `Span` consecutive columns' counters of one group, in four
// independent chains so that the additions overlap.
template <int32_t Span>
inline Lanes sumColumns(const uint8_t* first) {
  Lanes chains[4] = {};
  for (int32_t k = 0; k < Span; ++k) chains[k & 3] += loadLanes(first + k * kBins);
  return (chains[0] + chains[1]) + (chains[2] + chains[3]);
}

// ---- depths ----

struct Depth8 {
  typedef uint8_t Sample;
  static constexpr bool kTopBin = false;  // no bin past 255
  static constexpr double kScale = 255.0;
  static constexpr int32_t kMax = 255;
  static int32_t read(Sample sample) { return sample; }
  static int32_t binOf(int32_t sample) { return sample; }
  // The blended value never passes 255; the bound keeps the index in range.
  static int32_t lookupBin(int32_t value) { return value < 0 ? 0 : value > 255 ? 255 : value; }
};

struct Depth16 {
  typedef uint16_t Sample;
  static constexpr bool kTopBin = true;  // bin 256: the sample 32768
  static constexpr double kScale = 32768.0;
  static constexpr int32_t kMax = kMaxSample16;
  static int32_t read(Sample sample) { return sample > kMaxSample16 ? kMaxSample16 : sample; }
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
  for (int32_t count = 0; count < kLevelCount; ++count) {
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
inline typename D::Sample intensityOf(const typename D::Sample* pixel) {
  return typename D::Sample((D::read(pixel[0]) + D::read(pixel[1]) + D::read(pixel[2]) + 1) / 3);
}

template <class D>
void collapseRgbRow(typename D::Sample* row, int32_t pixelCount, int32_t channelCount) {
  if (channelCount != 3) return;
  // Pixel p is written to sample p, never ahead of sample 3p still to be read.
  for (int32_t p = 0; p < pixelCount; ++p) row[p] = intensityOf<D>(row + 3 * p);
}

template <class D>
void collapseRgbRowInto(const typename D::Sample* __restrict rgb, int32_t pixelCount,
                        typename D::Sample* __restrict intensities) {
  for (int32_t p = 0; p < pixelCount; ++p) intensities[p] = intensityOf<D>(rgb + 3 * p);
}

// intensity[x] = trunc(beta source[x] + (1 - beta) E[x]); the two products
// come from `terms`, the sum and its truncation are done here. A convex blend
// of two samples in 0..M stays in 0..M.
template <class D, class Terms>
void blendGrey(typename D::Sample* intensity, const typename D::Sample* source, int32_t width,
               Terms terms) {
  for (int32_t x = 0; x < width; ++x) {
    const double value = terms.source(D::read(source[x])) + terms.level(intensity[x]);
    intensity[x] = typename D::Sample(int32_t(value));
  }
}

// Values outside 0..top are the exception (saturated colours): one
// well-predicted test for the common case.
inline int32_t clampLevel(int32_t value, int32_t top) {
  if (__builtin_expect(uint32_t(value) > uint32_t(top), 0)) return value < 0 ? 0 : top;
  return value;
}

// One RGB pixel: J = trunc((1 - beta) E + beta (R + G + B + 1) t) from the
// first product and sourceTerm(R + G + B), then the pixel's chroma around J.
template <class D, class SourceTerm>
inline void blendRgbPixel(typename D::Sample* pixel, double levelTerm, SourceTerm sourceTerm) {
  const int32_t r = D::read(pixel[0]);
  const int32_t g = D::read(pixel[1]);
  const int32_t b = D::read(pixel[2]);
  const int32_t j = int32_t(levelTerm + sourceTerm(r + g + b));
  // Chroma: the sums are never negative, so (r + g) / 2 is the floor; Kc may
  // be negative, and / truncates toward zero: (2 Kc) / 3, not 2 (Kc / 3).
  const int32_t kc = (r + g) / 2 - b;
  const int32_t l = (r - g) / 2;
  pixel[0] = typename D::Sample(clampLevel(j + kc / 3 + l, D::kMax));
  pixel[1] = typename D::Sample(clampLevel(j + kc / 3 - l, D::kMax));
  pixel[2] = typename D::Sample(clampLevel(j - (2 * kc) / 3, D::kMax));
}

// The RGB blend of a row; `terms` gives the two products.
template <class D, class Terms>
void blendRgb(typename D::Sample* source, const typename D::Sample* intensity, int32_t width,
              Terms terms) {
  for (int32_t x = 0; x < width; ++x) {
    blendRgbPixel<D>(source + 3 * x, terms.level(intensity[x]),
                     [&](int32_t sum) { return terms.source(sum); });
  }
}

// Products formed per sample (16-bit) ...
struct GreyProducts {
  double b;
  double keep;
  double source(int32_t s) const { return b * double(s); }
  double level(int32_t e) const { return keep * double(e); }
};

struct RgbProducts {
  double b;
  double keep;
  double source(int32_t sum) const { return b * double(sum + 1) * double(kThird); }
  double level(int32_t e) const { return keep * double(e); }
};

// ... or looked up in tables of the same products (8-bit): the same operations
// give the same bits.
struct TabledProducts {
  const double* sources;
  const double* levels;
  double source(int32_t s) const { return sources[s]; }
  double level(int32_t e) const { return levels[e]; }
};

// ---- column histograms ----

// Adds (step 1) or removes (step 255, wrapping) one sample's bin in a column.
// Bin 256 (the 16-bit sample 32768) is not held: every sample lies at or below
// it, so a lookup of bin 256 counts the whole window without them.
template <class D>
inline void countSample(uint8_t* fine, uint8_t* coarse, ptrdiff_t column, int32_t bin,
                        uint8_t step) {
  if (D::kTopBin && bin > 255) return;
  uint8_t& binCount = fine[column * kBins + bin];
  uint8_t& groupCount = coarse[column * 16 + (bin >> 4)];
  binCount = uint8_t(binCount + step);
  groupCount = uint8_t(groupCount + step);
}

// Counts one row in every column; the 7 columns on each side repeat the row's
// first and last sample.
template <class D>
void countRow(ColumnHistograms* histograms, const typename D::Sample* row) {
  uint8_t* fine = histograms->fine;
  uint8_t* coarse = histograms->coarse;
  const int32_t width = histograms->width;
  const int32_t first = D::binOf(D::read(row[0]));
  const int32_t last = D::binOf(D::read(row[width - 1]));
  for (ptrdiff_t column = 0; column < kPad; ++column) {
    countSample<D>(fine, coarse, column, first, 1);
  }
  for (int32_t x = 0; x < width; ++x) {
    countSample<D>(fine, coarse, x + kPad, D::binOf(D::read(row[x])), 1);
  }
  for (ptrdiff_t column = width + kPad; column < width + 2 * kPad; ++column) {
    countSample<D>(fine, coarse, column, last, 1);
  }
}

// One sample fewer of `leaving` and one more of `entering` in a column: two
// byte counters, and the column's 16 group counters as one vector.
template <class D>
inline void moveSample(uint8_t* fine, uint8_t* coarse, ptrdiff_t column, int32_t leaving,
                       int32_t entering) {
  if (D::kTopBin && (leaving > 255 || entering > 255)) {
    countSample<D>(fine, coarse, column, leaving, 255);
    countSample<D>(fine, coarse, column, entering, 1);
    return;
  }
  uint8_t* bins = fine + column * kBins;
  bins[leaving] = uint8_t(bins[leaving] - 1);
  bins[entering] = uint8_t(bins[entering] + 1);
  uint8_t* groups = coarse + column * 16;
  Lanes counts = loadLanes(groups) + kLaneMasks.one[entering >> 4];
  counts -= kLaneMasks.one[leaving >> 4];
  std::memcpy(groups, &counts, sizeof counts);
}

template <class D>
void moveRow(ColumnHistograms* histograms, const typename D::Sample* leaving,
             const typename D::Sample* entering) {
  uint8_t* fine = histograms->fine;
  uint8_t* coarse = histograms->coarse;
  const int32_t width = histograms->width;
  auto move = [&](ptrdiff_t column, int32_t x) {
    moveSample<D>(fine, coarse, column, D::binOf(D::read(leaving[x])),
                  D::binOf(D::read(entering[x])));
  };
  for (ptrdiff_t column = 0; column < kPad; ++column) move(column, 0);
  for (int32_t x = 0; x < width; ++x) move(x + kPad, x);
  for (ptrdiff_t column = width + kPad; column < width + 2 * kPad; ++column)
    move(column, width - 1);
}

template <class D>
void loadColumnHistograms(ColumnHistograms* histograms, const typename D::Sample* const* window,
                          int32_t radius) {
  const int32_t r = clampRadius(radius);
  const size_t columns = size_t(histograms->columns);
  std::memset(histograms->fine, 0, columns * kBins);
  std::memset(histograms->coarse, 0, columns * 16);
  for (int32_t slot = kCentreSlot - r; slot <= kCentreSlot + r; ++slot) {
    countRow<D>(histograms, window[slot]);
  }
}

// ---- lookup values ----

// The 3x3 neighbour sums S of the current row: edge-adjacent neighbours
// weighted 2, diagonal ones 1, the centre left out, mirrored at the row's ends.
template <class D>
void sumNeighbours(const typename D::Sample* const* window, int32_t width, int32_t* sums) {
  const typename D::Sample* up = window[kCentreSlot - 1];
  const typename D::Sample* mid = window[kCentreSlot];
  const typename D::Sample* down = window[kCentreSlot + 1];
  auto sumAt = [&](int32_t x, int32_t left, int32_t right) {
    return 2 * (D::read(up[x]) + D::read(down[x]) + D::read(mid[left]) + D::read(mid[right])) +
           (D::read(up[left]) + D::read(up[right]) + D::read(down[left]) + D::read(down[right]));
  };
  if (width == 1) {  // no neighbour column to mirror: the pixel stands in for both
    sums[0] = sumAt(0, 0, 0);
    return;
  }
  sums[0] = sumAt(0, 1, 1);
  for (int32_t x = 1; x < width - 1; ++x) sums[x] = sumAt(x, x - 1, x + 1);
  sums[width - 1] = sumAt(width - 1, width - 2, width - 2);
}

// The bin each pixel looks up: its own intensity's bin, or with noise
// rejection the bin of v = trunc((1 - delta) Ic + delta S w).
template <class D>
void computeLookupBins(ColumnHistograms* histograms, const typename D::Sample* const* window,
                       float delta) {
  const int32_t width = histograms->width;
  int32_t* lookup = histograms->lookup;
  const typename D::Sample* mid = window[kCentreSlot];
  if (!(delta > 0.0f)) {
    for (int32_t x = 0; x < width; ++x) lookup[x] = D::lookupBin(D::read(mid[x]));
    return;
  }
  sumNeighbours<D>(window, width, lookup);  // S first, replaced by the bin below
  const double d = delta;
  const double keep = 1.0 - d;
  const double w = kNeighbourWeight;
  if (sizeof(typename D::Sample) == 1) {
    // 8-bit: both products come from tables made with the very same
    // operations, so the sum and its truncation are unchanged.
    double* centre = histograms->centreTerms;
    double* neighbours = histograms->neighbourTerms;
    if (histograms->termsDelta != delta) {
      for (int32_t ic = 0; ic <= 255; ++ic) centre[ic] = keep * double(ic);
      for (int32_t sum = 0; sum <= kMaxNeighbourSum8; ++sum) neighbours[sum] = d * double(sum) * w;
      histograms->termsDelta = delta;
    }
    for (int32_t x = 0; x < width; ++x) {
      lookup[x] = D::lookupBin(int32_t(centre[D::read(mid[x])] + neighbours[lookup[x]]));
    }
  } else {
    for (int32_t x = 0; x < width; ++x) {
      const double value = keep * double(D::read(mid[x])) + d * double(lookup[x]) * w;
      lookup[x] = D::lookupBin(int32_t(value));
    }
  }
}

// ---- row step ----

// One row for radius R. Per pixel: slide the group counts (16 groups) one
// column on; take the fine counts of the lookup bin's group over the 2R + 1
// columns, slid on from the pixel before when it used the same group and
// summed afresh otherwise; count = samples in the groups below plus samples in
// the group's bins up to the lookup bin. Columns slid in are added before the
// leaving ones are subtracted, so no lane goes below 0. emit(x, count) writes
// the pixel's result; counts are byte-lane sums, always below 256.
template <class D, int32_t R, class Emit>
void equaliseRadius(const ColumnHistograms* histograms, const EqualiseCurve* curve, Emit emit) {
  constexpr int32_t kSpan = 2 * R + 1;
  const int32_t width = histograms->width;
  const uint8_t* coarse = histograms->coarse;
  const uint8_t* fine = histograms->fine;
  const int32_t* lookup = histograms->lookup;
  const Lanes* below = kLaneMasks.below;

  Lanes groups = {};
  for (ptrdiff_t column = kPad - R; column <= kPad + R; ++column) {
    groups += loadLanes(coarse + column * 16);
  }
  int32_t group = -1;  // the group `bins` holds, for the pixel before
  Lanes bins = {};
  for (int32_t x = 0; x < width; ++x) {
    if (x > 0) {
      groups += loadLanes(coarse + (x + kPad + R) * 16);
      groups -= loadLanes(coarse + (x + kPad - R - 1) * 16);
    }
    const int32_t bin = lookup[x];
    int32_t count;
    if (D::kTopBin && bin > 255) {
      count = curve->area;
      group = -1;
    } else {
      const uint8_t* columns = fine + ptrdiff_t(x + kPad - R) * kBins + (bin & ~15);
      if ((bin >> 4) == group) {
        bins += loadLanes(columns + (kSpan - 1) * kBins);
        bins -= loadLanes(columns - kBins);
      } else {
        bins = sumColumns<kSpan>(columns);
        group = bin >> 4;
      }
      // Groups below and the group's bins up to the lookup bin count disjoint
      // samples, so their lanes add without carrying.
      count = sumLanes((groups & below[bin >> 4]) + (bins & below[(bin & 15) + 1]));
    }
    emit(x, count);
  }
}

template <class D, class Emit>
void equaliseWith(ColumnHistograms* histograms, const typename D::Sample* const* window,
                  const EqualiseCurve* curve, Emit emit) {
  computeLookupBins<D>(histograms, window, curve->delta);
  switch (clampRadius(curve->radius)) {
    case 3:
      equaliseRadius<D, 3>(histograms, curve, emit);
      break;
    case 4:
      equaliseRadius<D, 4>(histograms, curve, emit);
      break;
    case 5:
      equaliseRadius<D, 5>(histograms, curve, emit);
      break;
    case 6:
      equaliseRadius<D, 6>(histograms, curve, emit);
      break;
    default:
      equaliseRadius<D, 7>(histograms, curve, emit);
      break;
  }
}

// The curve's output intensity E for each pixel.
template <class D>
void equaliseLoadedRow(ColumnHistograms* histograms, const typename D::Sample* const* window,
                       const EqualiseCurve* curve, typename D::Sample* out) {
  const uint16_t* level = curve->level;
  equaliseWith<D>(histograms, window, curve,
                  [&](int32_t x, int32_t count) { out[x] = typename D::Sample(level[count]); });
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

void collapseRgbRowInto8(const uint8_t* rgb, int32_t pixelCount, uint8_t* intensities) {
  collapseRgbRowInto<Depth8>(rgb, pixelCount, intensities);
}

void collapseRgbRowInto16(const uint16_t* rgb, int32_t pixelCount, uint16_t* intensities) {
  collapseRgbRowInto<Depth16>(rgb, pixelCount, intensities);
}

// ---- column histograms ----

OSErr createColumnHistograms(int32_t width, ColumnHistograms** slot) {
  *slot = nullptr;
  if (width < 1) return memFullErr;
  // One block: the record, the term tables, the fine and coarse counters and
  // the lookup row, each part starting on a multiple of 16 bytes.
  auto rounded = [](int64_t bytes) { return (bytes + 15) / 16 * 16; };
  const int64_t columns = int64_t(width) + 2 * kPad;
  const int64_t recordBytes = rounded(int64_t(sizeof(ColumnHistograms)));
  const int64_t centreBytes = rounded(256 * int64_t(sizeof(double)));
  const int64_t neighbourBytes = rounded((kMaxNeighbourSum8 + 1) * int64_t(sizeof(double)));
  const int64_t fineBytes = columns * kBins;
  const int64_t coarseBytes = columns * 16;
  const int64_t lookupBytes = rounded(int64_t(width) * 4);
  const int64_t levelTermBytes = kLevelCount * int64_t(sizeof(double));
  const int64_t sumTermBytes = rounded((kMaxRgbSum8 + 1) * int64_t(sizeof(double)));
  const int64_t greyBlendBytes = kLevelCount * 256;
  const int64_t total = recordBytes + centreBytes + neighbourBytes + levelTermBytes + sumTermBytes +
                        greyBlendBytes + fineBytes + coarseBytes + lookupBytes;
  if (total > INT32_MAX) return memFullErr;
  uint8_t* block = static_cast<uint8_t*>(allocBlock(int32_t(total)));
  if (block == nullptr) return memFullErr;
  ColumnHistograms* histograms = reinterpret_cast<ColumnHistograms*>(block);
  uint8_t* part = block + recordBytes;
  histograms->width = width;
  histograms->columns = int32_t(columns);
  histograms->centreTerms = reinterpret_cast<double*>(part);
  part += centreBytes;
  histograms->neighbourTerms = reinterpret_cast<double*>(part);
  part += neighbourBytes;
  histograms->termsDelta = -1.0f;
  histograms->levelTerms = reinterpret_cast<double*>(part);
  part += levelTermBytes;
  histograms->sumTerms = reinterpret_cast<double*>(part);
  part += sumTermBytes;
  histograms->greyBlend8 = part;
  part += greyBlendBytes;
  histograms->fine = part;
  part += fineBytes;
  histograms->coarse = part;
  part += coarseBytes;
  histograms->lookup = reinterpret_cast<int32_t*>(part);
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

void moveHistogramRow8(ColumnHistograms* histograms, const uint8_t* leaving,
                       const uint8_t* entering) {
  moveRow<Depth8>(histograms, leaving, entering);
}

void moveHistogramRow16(ColumnHistograms* histograms, const uint16_t* leaving,
                        const uint16_t* entering) {
  moveRow<Depth16>(histograms, leaving, entering);
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

// ---- row step with the blend ----

void prepareBlend8(ColumnHistograms* histograms, const EqualiseCurve* curve, float beta) {
  const double b = clampParameter(beta);
  const double keep = 1.0 - b;
  const RgbProducts rgb = {b, keep};
  histograms->blendBeta = b;
  for (int32_t sum = 0; sum <= kMaxRgbSum8; ++sum) histograms->sumTerms[sum] = rgb.source(sum);
  double sources[256];
  for (int32_t s = 0; s < 256; ++s) sources[s] = b * double(s);
  // The same products and sums as blendGreyRow8 and blendRgbRow8, by count.
  for (int32_t count = 0; count < kLevelCount; ++count) {
    const double level = keep * double(curve->level[count]);
    histograms->levelTerms[count] = level;
    uint8_t* results = histograms->greyBlend8 + count * 256;
    for (int32_t s = 0; s < 256; ++s) results[s] = uint8_t(int32_t(sources[s] + level));
  }
}

void prepareBlend16(ColumnHistograms* histograms, const EqualiseCurve* curve, float beta) {
  const double b = clampParameter(beta);
  const double keep = 1.0 - b;
  histograms->blendBeta = b;
  for (int32_t count = 0; count < kLevelCount; ++count) {
    histograms->levelTerms[count] = keep * double(curve->level[count]);
  }
}

void equaliseGreyRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                      const EqualiseCurve* curve, const uint8_t* source, uint8_t* out) {
  const uint8_t* results = histograms->greyBlend8;
  equaliseWith<Depth8>(histograms, window, curve, [&](int32_t x, int32_t count) {
    out[x] = results[count * 256 + source[x]];
  });
}

void equaliseGreyRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                       const EqualiseCurve* curve, const uint16_t* source, uint16_t* out) {
  const double b = histograms->blendBeta;
  const double* levels = histograms->levelTerms;
  equaliseWith<Depth16>(histograms, window, curve, [&](int32_t x, int32_t count) {
    out[x] = uint16_t(int32_t(b * double(Depth16::read(source[x])) + levels[count]));
  });
}

void equaliseRgbRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                     const EqualiseCurve* curve, uint8_t* source) {
  const double* levels = histograms->levelTerms;
  const double* sums = histograms->sumTerms;
  equaliseWith<Depth8>(histograms, window, curve, [&](int32_t x, int32_t count) {
    blendRgbPixel<Depth8>(source + 3 * x, levels[count], [&](int32_t sum) { return sums[sum]; });
  });
}

void equaliseRgbRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                      const EqualiseCurve* curve, uint16_t* source) {
  const double* levels = histograms->levelTerms;
  const RgbProducts rgb = {histograms->blendBeta, 1.0 - histograms->blendBeta};
  equaliseWith<Depth16>(histograms, window, curve, [&](int32_t x, int32_t count) {
    blendRgbPixel<Depth16>(source + 3 * x, levels[count],
                           [&](int32_t sum) { return rgb.source(sum); });
  });
}

// ---- blends ----

void blendGreyRow8(uint8_t* intensity, const uint8_t* source, int32_t width, float beta) {
  const double b = clampParameter(beta);
  const double keep = 1.0 - b;
  double sources[256];
  double levels[256];
  for (int32_t s = 0; s < 256; ++s) {
    sources[s] = b * double(s);
    levels[s] = keep * double(s);
  }
  blendGrey<Depth8>(intensity, source, width, TabledProducts{sources, levels});
}

void blendGreyRow16(uint16_t* intensity, const uint16_t* source, int32_t width, float beta) {
  const double b = clampParameter(beta);
  blendGrey<Depth16>(intensity, source, width, GreyProducts{b, 1.0 - b});
}

void blendRgbRow8(uint8_t* source, const uint8_t* intensity, int32_t width, float beta) {
  const double b = clampParameter(beta);
  const RgbProducts products = {b, 1.0 - b};
  double sources[kMaxRgbSum8 + 1];
  double levels[256];
  for (int32_t sum = 0; sum <= kMaxRgbSum8; ++sum) sources[sum] = products.source(sum);
  for (int32_t e = 0; e < 256; ++e) levels[e] = products.level(e);
  blendRgb<Depth8>(source, intensity, width, TabledProducts{sources, levels});
}

void blendRgbRow16(uint16_t* source, const uint16_t* intensity, int32_t width, float beta) {
  const double b = clampParameter(beta);
  blendRgb<Depth16>(source, intensity, width, RgbProducts{b, 1.0 - b});
}

void clampSamples16(uint16_t* samples, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if (samples[i] > kMaxSample16) samples[i] = kMaxSample16;
  }
}
