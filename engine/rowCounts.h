// rowCounts.h -- the row step's loops as templates over the vector set, for each dispatched build
//
// Included by equaliseRow.cpp (plain and SSE2 builds) and by
// equaliseRowAvx2.cpp inside a region compiled for AVX2. Everything here has
// internal linkage, so that no instruction set leaks from one file's copy into
// another's through the linker.
//
// The output of a pixel depends only on the count of neighbourhood samples at
// or below its lookup bin. Histogram counters that only ever gain or lose 1.0,
// summed in double in bin order, give that count exactly: every counter and
// every partial sum is a whole number of at most 225, well inside the exact
// integers of a float and of a double. So K = count / N, and the curve is
// tabulated once per count (N + 1 values). The count comes from byte counters
// kept per column (equaliseKernels.h) and summed over the 2R + 1 columns of a
// pixel's neighbourhood.
#pragma once

#include <cstddef>
#include <cstring>

#include "engine/byteLanes.h"
#include "engine/equaliseKernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr int32_t kPad = kHistogramPad;
constexpr int32_t kBins = kHistogramBins;

// The single-precision twelfth the lookup value is defined with, used as the
// float it is (0.0833333358168602), not as 1/12.
constexpr float kNeighbourWeight = 0.083333336f;

// The fine bins a pixel's count is taken from are held side by side in one
// vector: 16 bins (one group) in an SSE2 register, or 32 bins (two groups) in
// an AVX2 one, which spares most of the sums afresh when a level drifts across
// a group's edge. Split into two SSE2 registers the wider one costs more than
// it spares.
typedef uint8_t WideLanes __attribute__((vector_size(32)));

// Lanes 0 .. k-1 all ones: loaded from kLaneRun + 32 - k.
alignas(64) const uint8_t kLaneRun[64] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Vectors go by pointer and reference only: 32-byte ones passed by value
// would change the calling convention between the SSE2 and AVX2 builds.
template <class Held>
inline void loadHeld(Held* lanes, const uint8_t* at) {
  std::memcpy(lanes, at, sizeof *lanes);
}

// The held lanes folded onto 16; they count disjoint samples, so no lane carries.
inline Lanes foldHeld(const Lanes& lanes) { return lanes; }
inline Lanes foldHeld(const WideLanes& lanes) {
  Lanes halves[2];
  std::memcpy(halves, &lanes, sizeof halves);
  return halves[0] + halves[1];
}

// The sum of `Span` consecutive columns' counters of the held bins, in four
// independent chains so that the additions overlap.
template <int32_t Span, class Held>
inline void sumColumns(Held* sum, const uint8_t* first) {
  Held chains[4] = {};
  for (int32_t k = 0; k < Span; ++k) {
    Held column;
    loadHeld(&column, first + k * kBins);
    chains[k & 3] += column;
  }
  *sum = (chains[0] + chains[1]) + (chains[2] + chains[3]);
}

// The first of the bins held for a lookup bin: its group's first; with two
// groups held, the bin's group and the one on the side of the half it lies
// in, so that a level drifting a few bins either way stays inside.
template <class Held>
inline int32_t heldFirstBin(int32_t bin) {
  if (sizeof(Held) == 16) return bin & ~15;
  int32_t group = (bin >> 4) - ((bin & 8) ? 0 : 1);
  group = group < 0 ? 0 : group > 14 ? 14 : group;
  return group * 16;
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
void computeLookupBins(LookupBins* lookup, const typename D::Sample* const* window, int32_t width,
                       float delta) {
  int32_t* bins = lookup->bins;
  const typename D::Sample* mid = window[kCentreSlot];
  if (!(delta > 0.0f)) {
    for (int32_t x = 0; x < width; ++x) bins[x] = D::lookupBin(D::read(mid[x]));
    return;
  }
  sumNeighbours<D>(window, width, bins);  // S first, replaced by the bin below
  const double d = delta;
  const double keep = 1.0 - d;
  const double w = kNeighbourWeight;
  if (sizeof(typename D::Sample) == 1) {
    // 8-bit: both products come from tables made with the very same
    // operations, so the sum and its truncation are unchanged.
    double* centre = lookup->centreTerms;
    double* neighbours = lookup->neighbourTerms;
    if (lookup->termsDelta != delta) {
      for (int32_t ic = 0; ic <= 255; ++ic) centre[ic] = keep * double(ic);
      for (int32_t sum = 0; sum <= kMaxNeighbourSum8; ++sum) neighbours[sum] = d * double(sum) * w;
      lookup->termsDelta = delta;
    }
    for (int32_t x = 0; x < width; ++x) {
      bins[x] = D::lookupBin(int32_t(centre[D::read(mid[x])] + neighbours[bins[x]]));
    }
  } else {
    for (int32_t x = 0; x < width; ++x) {
      const double value = keep * double(D::read(mid[x])) + d * double(bins[x]) * w;
      bins[x] = D::lookupBin(int32_t(value));
    }
  }
}

// ---- counts ----

// One row for radius R. Per pixel: slide the 16 group counts and the held
// fine bins one column on; when the lookup bin lies outside the held bins,
// sum them afresh around it; count = samples in the groups below the held
// bins plus samples in the held bins up to the lookup bin. Columns slid in
// are added before the leaving ones are subtracted, so no lane goes below 0.
// emit(x, count) writes the pixel's result; counts are byte-lane sums, always
// below 256. SumLanes adds the 16 lanes of a vector; Held holds the fine bins.
template <class SumLanes, class Held, class D, int32_t R, class Emit>
void countRadius(const EqualiseWorkspace* workspace, const EqualiseCurve* curve, Emit emit) {
  constexpr int32_t kSpan = 2 * R + 1;
  constexpr int32_t kHeldBins = int32_t(sizeof(Held));
  const int32_t width = workspace->histograms.width;
  const int32_t* lookup = workspace->lookup.bins;

  // The coarse counters of columns x + R and x - R - 1: those entering and
  // leaving the neighbourhood of pixel x.
  const uint8_t* coarse = workspace->histograms.coarse;
  const uint8_t* enteringGroups = coarse + (kPad + R + 1) * 16;
  const uint8_t* leavingGroups = coarse + (kPad - R) * 16;
  Lanes groups = {};
  for (ptrdiff_t column = kPad - R; column <= kPad + R; ++column) {
    groups += loadLanes(coarse + column * 16);
  }

  // heldColumns: the first held bin in column x - R of the fine counters;
  // lanesUpTo - bin: the mask of the held lanes up to the lookup bin.
  const uint8_t* columns = workspace->histograms.fine + ptrdiff_t(kPad - R) * kBins;
  int32_t first = 0;
  const uint8_t* heldColumns = columns;
  const uint8_t* lanesUpTo = kLaneRun;
  Lanes groupsBelow = {};
  Held held;
  auto holdAround = [&](int32_t bin, const uint8_t* column) {
    first = heldFirstBin<Held>(bin);
    heldColumns = column + first;
    lanesUpTo = kLaneRun + 31 + first;
    groupsBelow = kLaneMasks.below[first >> 4];
    sumColumns<kSpan>(&held, heldColumns);
  };
  auto countAt = [&](int32_t x) {
    const int32_t bin = lookup[x];
    if (D::kTopBin && bin > 255) {
      emit(x, curve->area);
      return;
    }
    if (__builtin_expect(uint32_t(bin - first) >= uint32_t(kHeldBins), 0)) {
      holdAround(bin, heldColumns - first);
    }
    // The groups below the held bins and the held bins up to the lookup bin
    // count disjoint samples, so their lanes add without carrying.
    Held upTo;
    loadHeld(&upTo, lanesUpTo - bin);
    upTo &= held;
    emit(x, SumLanes::sum((groups & groupsBelow) + foldHeld(upTo)));
  };

  holdAround(lookup[0] > 255 ? 255 : lookup[0], columns);
  countAt(0);
  for (int32_t x = 1; x < width; ++x) {
    groups += loadLanes(enteringGroups);
    groups -= loadLanes(leavingGroups);
    enteringGroups += 16;
    leavingGroups += 16;
    Held entering, leaving;
    loadHeld(&entering, heldColumns + kSpan * kBins);
    loadHeld(&leaving, heldColumns);
    held += entering;
    held -= leaving;
    heldColumns += kBins;
    countAt(x);
  }
}

// ---- counts from the window's rows (8-bit, AVX2) ----

// Sixteen 16-bit words: a count and a sample side by side, for the blend table.
typedef uint16_t WideWords __attribute__((vector_size(32)));

// The x86 intrinsics below are looked up when the templates are read, so other
// processors, whose plain vectors hold 16 lanes and never count this way, do
// not see them.
#if defined(__x86_64__) || defined(__i386__)

// With 32 byte lanes, comparing every sample of the neighbourhood with the
// lookup bins of 32 pixels at once takes fewer instructions than sliding the
// column histograms (a compare and an add a sample, 225 samples for 32
// pixels at R = 7), and the histograms then need no moving at all.
template <class Held, class D>
constexpr bool kCountsFromRows = sizeof(Held) == 32 && sizeof(typename D::Sample) == 1;

typedef int8_t SignedWideLanes __attribute__((vector_size(32)));

// Columns from .. to - 1 (and a few past it) of rows 7 - R .. 7 + R of the
// window into the flipped rows, 32 at a time: the row's first sample in the
// edge columns, its samples, then its last sample up to the row's stride.
// (These loops are templates only so that no build but the one that counts
// from rows compiles them.)
template <class D>
void flipColumns(FlippedRows* flipped, const uint8_t* const* window, int32_t width, int32_t radius,
                 int32_t from, int32_t to) {
  const int32_t stride = flipped->stride;  // a multiple of 32, at least width + 46
  const int32_t end = width + kPad;        // the columns before it hold samples
  auto copy = [&](uint8_t* at, const uint8_t* row, int32_t j) {
    WideLanes samples;
    std::memcpy(&samples, row + (j - kPad), sizeof samples);
    samples ^= 0x80;
    std::memcpy(at + j, &samples, sizeof samples);
  };
  auto fill = [&](uint8_t* at, int32_t j, uint8_t sample) {
    WideLanes repeated;
    std::memset(&repeated, sample ^ 0x80, sizeof repeated);
    std::memcpy(at + j, &repeated, sizeof repeated);
  };
  for (int32_t slot = kCentreSlot - radius; slot <= kCentreSlot + radius; ++slot) {
    const uint8_t* row = window[slot];  // column j holds sample j - 7
    uint8_t* at = flipped->rows + size_t(slot) * size_t(stride);
    int32_t j = from;
    if (j < kPad) {
      fill(at, 0, row[0]);
      j = kPad;
    }
    const int32_t stop = to < end - 31 ? to : end - 31;
#pragma GCC unroll 4
    for (; j < stop; j += 32) copy(at, row, j);
    if (j < to && j < end) {  // the row's last samples, in one step ending at its end
      if (width >= 32) {
        copy(at, row, end - 32);
      } else {
        for (; j < end; ++j) at[j] = uint8_t(row[j - kPad] ^ 0x80);
      }
      j = end;
    }
    for (; j < to; j += 32) fill(at, j + 32 <= stride ? j : stride - 32, row[width - 1]);
  }
}

// One pixel's limit: its lookup bin + 1, wrapped to a byte and flipped.
inline uint8_t makeLimit(int32_t bin) { return uint8_t((bin + 1) ^ 0x80); }

// The 8-bit lookup value with noise rejection from the centre sample and the
// neighbour sum, computed with the very operations of the term tables of
// computeLookupBins, so that it truncates to the same bin.
inline int32_t computeWeightedBin(double keep, double d, int32_t centre, int32_t sum) {
  return Depth8::lookupBin(int32_t(keep * double(centre) + d * double(sum) * kNeighbourWeight));
}

// The limits of the current row's pixels (computeLookupBins, 8 pixels a step).
template <class D>
void computeLimits(FlippedRows* flipped, const uint8_t* const* window, int32_t width, float delta) {
  uint8_t* limits = flipped->limits;
  const uint8_t* up = window[kCentreSlot - 1];
  const uint8_t* mid = window[kCentreSlot];
  const uint8_t* down = window[kCentreSlot + 1];
  if (!(delta > 0.0f)) {
    int32_t x = 0;
    for (; x + 32 <= width; x += 32) {
      WideLanes samples;
      std::memcpy(&samples, mid + x, sizeof samples);
      samples = (samples + 1) ^ 0x80;
      std::memcpy(limits + x, &samples, sizeof samples);
    }
    for (; x < width; ++x) limits[x] = makeLimit(mid[x]);
    return;
  }
  const double d = delta;
  const double keep = 1.0 - d;
  auto binAt = [&](int32_t x, int32_t left, int32_t right) {
    const int32_t sum = 2 * (up[x] + down[x] + mid[left] + mid[right]) +
                        (up[left] + up[right] + down[left] + down[right]);
    return computeWeightedBin(keep, d, mid[x], sum);
  };
  if (width == 1) {
    limits[0] = makeLimit(binAt(0, 0, 0));
    return;
  }
  limits[0] = makeLimit(binAt(0, 1, 1));
  limits[width - 1] = makeLimit(binAt(width - 1, width - 2, width - 2));
  auto widened = [&](const uint8_t* at) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  };
  const __m256d keeps = _mm256_set1_pd(keep);
  const __m256d ds = _mm256_set1_pd(d);
  const __m256d ws = _mm256_set1_pd(double(kNeighbourWeight));
  // four pixels' bins from their centre samples and neighbour sums (32-bit lanes)
  auto binsOf = [&](__m128i centres, __m128i sums) {
    const __m256d value =
        _mm256_add_pd(_mm256_mul_pd(keeps, _mm256_cvtepi32_pd(centres)),
                      _mm256_mul_pd(_mm256_mul_pd(ds, _mm256_cvtepi32_pd(sums)), ws));
    return _mm256_cvttpd_epi32(value);
  };
  // eight pixels' bins (16-bit lanes), bounded as Depth8::lookupBin bounds them
  auto eightBins = [&](__m128i centres, __m128i sums) {
    const __m256i wideCentres = _mm256_cvtepu16_epi32(centres);
    const __m256i wideSums = _mm256_cvtepu16_epi32(sums);
    const __m128i low =
        binsOf(_mm256_castsi256_si128(wideCentres), _mm256_castsi256_si128(wideSums));
    const __m128i high =
        binsOf(_mm256_extracti128_si256(wideCentres, 1), _mm256_extracti128_si256(wideSums, 1));
    return _mm_packs_epi32(low, high);
  };
  int32_t x = 1;
  for (; x + 17 <= width; x += 16) {  // reads x - 1 .. x + 16
    const __m256i edges =
        _mm256_add_epi16(_mm256_add_epi16(widened(up + x), widened(down + x)),
                         _mm256_add_epi16(widened(mid + x - 1), widened(mid + x + 1)));
    const __m256i corners =
        _mm256_add_epi16(_mm256_add_epi16(widened(up + x - 1), widened(up + x + 1)),
                         _mm256_add_epi16(widened(down + x - 1), widened(down + x + 1)));
    const __m256i sums = _mm256_add_epi16(_mm256_add_epi16(edges, edges), corners);
    const __m256i centres = widened(mid + x);
    const __m128i low = eightBins(_mm256_castsi256_si128(centres), _mm256_castsi256_si128(sums));
    const __m128i high =
        eightBins(_mm256_extracti128_si256(centres, 1), _mm256_extracti128_si256(sums, 1));
    // packus bounds the bins to 0 .. 255; + 1 wraps 255 to 0
    const __m128i bins = _mm_packus_epi16(low, high);
    const __m128i limit = _mm_xor_si128(_mm_add_epi8(bins, _mm_set1_epi8(1)), _mm_set1_epi8(-128));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(limits + x), limit);
  }
  for (; x < width - 1; ++x) limits[x] = makeLimit(binAt(x, x - 1, x + 1));
}

// The counts of samples at or below each lookup bin, as the column histograms
// give them: a sample s is at or below bin b when s < b + 1, compared signed
// after flipping; b = 255 wraps to the limit 0, which counts every sample (N).
// The rows are flipped a stretch of columns at a time, just before they are
// counted, so that the columns counted are still in the first-level cache.
template <class D, int32_t R>
void countFromRows(FlippedRows* flipped, const uint8_t* const* window, int32_t width,
                   int32_t area) {
  constexpr int32_t kSpan = 2 * R + 1;
  constexpr int32_t kStretch = 512;  // pixels; 15 rows of its columns take about 8 KiB
  const int32_t stride = flipped->stride;
  const uint8_t* first = flipped->rows + size_t(kCentreSlot - R) * size_t(stride) + (kPad - R);
  WideLanes whole;
  SignedWideLanes wrapped;
  std::memset(&whole, area, sizeof whole);
  std::memset(&wrapped, 0x80, sizeof wrapped);
  int32_t flippedTo = 0;
  for (int32_t x = 0; x < width; x += 32) {
    if (x % kStretch == 0) {  // blocks x .. x + kStretch - 1 read columns before x + kStretch + 46
      const int32_t to = x + kStretch + 64 < stride ? x + kStretch + 64 : stride;
      flipColumns<D>(flipped, window, width, R, flippedTo, to);
      flippedTo = to;
    }
    SignedWideLanes limit;
    std::memcpy(&limit, flipped->limits + x, sizeof limit);
    // four chains, so that the additions overlap; unsigned lanes, whose
    // wrapping is defined, take the comparisons' all-ones
    WideLanes below[4] = {};
    const uint8_t* row = first + x;
#pragma GCC unroll 16
    for (int32_t dy = 0; dy < kSpan; ++dy) {
#pragma GCC unroll 16
      for (int32_t dx = 0; dx < kSpan; ++dx) {
        SignedWideLanes samples;
        std::memcpy(&samples, row + dx, sizeof samples);
        below[(dy * kSpan + dx) & 3] -= WideLanes(limit > samples);  // 1 a sample below
      }
      row += stride;
    }
    const WideLanes counts = (below[0] + below[1]) + (below[2] + below[3]);
    const WideLanes top = WideLanes(limit == wrapped);
    const WideLanes result = (counts & ~top) | (whole & top);
    std::memcpy(flipped->counts + x, &result, sizeof result);
  }
}

// The counts of the window's current row into flipped->counts, from the
// window's rows 7 - R .. 7 + R.
template <class D>
void countRowFromRows(EqualiseWorkspace* workspace, const uint8_t* const* window,
                      const EqualiseCurve* curve) {
  FlippedRows* flipped = &workspace->flipped;
  const int32_t width = workspace->histograms.width;
  const int32_t radius = clampRadius(curve->radius);
  computeLimits<D>(flipped, window, width, curve->delta);
  switch (radius) {
    case 3:
      countFromRows<D, 3>(flipped, window, width, curve->area);
      break;
    case 4:
      countFromRows<D, 4>(flipped, window, width, curve->area);
      break;
    case 5:
      countFromRows<D, 5>(flipped, window, width, curve->area);
      break;
    case 6:
      countFromRows<D, 6>(flipped, window, width, curve->area);
      break;
    default:
      countFromRows<D, 7>(flipped, window, width, curve->area);
      break;
  }
}
#else
template <class Held, class D>
constexpr bool kCountsFromRows = false;

template <class D>
void countRowFromRows(EqualiseWorkspace* workspace, const uint8_t* const* window,
                      const EqualiseCurve* curve);
#endif

// The counts of the window's current row, from histograms that hold slots
// 7 - R .. 7 + R (or from the rows themselves), handed to emit(x, count).
template <class SumLanes, class Held, class D, class Emit>
void emitCounts(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                const EqualiseCurve* curve, Emit emit) {
  const int32_t width = workspace->histograms.width;
  if constexpr (kCountsFromRows<Held, D>) {
    countRowFromRows<D>(workspace, window, curve);
    const uint8_t* counts = workspace->flipped.counts;
    for (int32_t x = 0; x < width; ++x) emit(x, counts[x]);
    return;
  }
  computeLookupBins<D>(&workspace->lookup, window, width, curve->delta);
  switch (clampRadius(curve->radius)) {
    case 3:
      countRadius<SumLanes, Held, D, 3>(workspace, curve, emit);
      break;
    case 4:
      countRadius<SumLanes, Held, D, 4>(workspace, curve, emit);
      break;
    case 5:
      countRadius<SumLanes, Held, D, 5>(workspace, curve, emit);
      break;
    case 6:
      countRadius<SumLanes, Held, D, 6>(workspace, curve, emit);
      break;
    default:
      countRadius<SumLanes, Held, D, 7>(workspace, curve, emit);
      break;
  }
}

// ---- the row step and the blends ----

template <class SumLanes, class Held, class D>
void equaliseLoadedRowWith(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                           const EqualiseCurve* curve, typename D::Sample* out) {
  const uint16_t* level = curve->level;
  emitCounts<SumLanes, Held, D>(workspace, window, curve, [&](int32_t x, int32_t count) {
    out[x] = typename D::Sample(level[count]);
  });
}

template <class SumLanes, class Held, class D>
void blendGreyRowWith(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                      const EqualiseCurve* curve, const typename D::Sample* source,
                      typename D::Sample* out) {
  const BlendTables* tables = &workspace->blend;
  if (sizeof(typename D::Sample) == 1) {
    const uint8_t* results = tables->grey8;
    if constexpr (kCountsFromRows<Held, D>) {
      // count * 256 + sample, 16 pixels a step, then one table load a pixel
      countRowFromRows<D>(workspace, window, curve);
      const int32_t width = workspace->histograms.width;
      const uint8_t* counts = workspace->flipped.counts;
      uint16_t* pairs = workspace->flipped.pairs;
      int32_t x = 0;
      for (; x + 16 <= width; x += 16) {
        Lanes count, sample;
        std::memcpy(&count, counts + x, sizeof count);
        std::memcpy(&sample, source + x, sizeof sample);
        const WideWords pair = __builtin_convertvector(count, WideWords) << 8 |
                               __builtin_convertvector(sample, WideWords);
        std::memcpy(pairs + x, &pair, sizeof pair);
      }
      for (; x < width; ++x) pairs[x] = uint16_t(counts[x] * 256 + source[x]);
#pragma GCC unroll 8
      for (x = 0; x < width; ++x) out[x] = results[pairs[x]];
      return;
    }
    emitCounts<SumLanes, Held, D>(workspace, window, curve, [&](int32_t x, int32_t count) {
      out[x] = typename D::Sample(results[count * 256 + source[x]]);
    });
  } else {
    const double b = tables->beta;
    const double* levels = tables->levelTerms;
    emitCounts<SumLanes, Held, D>(workspace, window, curve, [&](int32_t x, int32_t count) {
      out[x] = typename D::Sample(int32_t(b * double(D::read(source[x])) + levels[count]));
    });
  }
}

template <class SumLanes, class Held, class D>
void blendRgbRowWith(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                     const EqualiseCurve* curve, typename D::Sample* rgb) {
  const BlendTables* tables = &workspace->blend;
  const double b = tables->beta;
  const double* levels = tables->levelTerms;
  const double* sums = tables->sumTerms;
  emitCounts<SumLanes, Held, D>(workspace, window, curve, [&](int32_t x, int32_t count) {
    typename D::Sample* pixel = rgb + 3 * x;
    const int32_t r = D::read(pixel[0]);
    const int32_t g = D::read(pixel[1]);
    const int32_t bl = D::read(pixel[2]);
    // 8-bit sums are tabulated; 16-bit ones have too many values to.
    const double source =
        sizeof(typename D::Sample) == 1 ? sums[r + g + bl] : rgbSourceTerm(b, r + g + bl);
    const RgbLevels colour = recolour(int32_t(levels[count] + source), r, g, bl, D::kMax);
    pixel[0] = typename D::Sample(colour.red);
    pixel[1] = typename D::Sample(colour.green);
    pixel[2] = typename D::Sample(colour.blue);
  });
}

// ---- intensities ----

// (R + G + B + 1) / 3 of each pixel into a row of its own. AVX2 builds
// vectorise the loop; SSE2 has no 32-bit minimum and product for it.
template <class D>
void collapseRgbIntoWith(const typename D::Sample* __restrict rgb, int32_t pixelCount,
                         typename D::Sample* __restrict intensities) {
  for (int32_t p = 0; p < pixelCount; ++p) {
    const typename D::Sample* pixel = rgb + 3 * p;
    intensities[p] =
        typename D::Sample((D::read(pixel[0]) + D::read(pixel[1]) + D::read(pixel[2]) + 1) / 3);
  }
}

// The entries of one build, for one depth.
template <class SumLanes, class Held, class D>
const RowKernels<D>* rowKernelsWith() {
  static const RowKernels<D> kernels = {
      equaliseLoadedRowWith<SumLanes, Held, D>, blendGreyRowWith<SumLanes, Held, D>,
      blendRgbRowWith<SumLanes, Held, D>, collapseRgbIntoWith<D>, !kCountsFromRows<Held, D>};
  return &kernels;
}

}  // namespace
