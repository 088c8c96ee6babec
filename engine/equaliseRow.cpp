// equaliseRow.cpp -- the row step: lookup bins, neighbourhood counts, the curve's levels
//
// The output of a pixel depends only on the count of neighbourhood samples at
// or below its lookup bin. Histogram counters that only ever gain or lose 1.0,
// summed in double in bin order, give that count exactly: every counter and
// every partial sum is a whole number of at most 225, well inside the exact
// integers of a float and of a double. So K = count / N, and the curve is
// tabulated once per count (N + 1 values). The count comes from byte counters
// kept per column and summed over the 2R + 1 columns of a pixel's
// neighbourhood, a group of 16 bins at a time.
#include <cstddef>

#include "engine/byteLanes.h"
#include "engine/equaliseKernels.h"

namespace {

constexpr int32_t kPad = kHistogramPad;
constexpr int32_t kBins = kHistogramBins;

// The single-precision twelfth the lookup value is defined with, used as the
// float it is (0.0833333358168602), not as 1/12.
constexpr float kNeighbourWeight = 0.083333336f;

// The sum of `Span` consecutive columns' counters of one group, in four
// independent chains so that the additions overlap.
template <int32_t Span>
inline Lanes sumColumns(const uint8_t* first) {
  Lanes chains[4] = {};
  for (int32_t k = 0; k < Span; ++k) chains[k & 3] += loadLanes(first + k * kBins);
  return (chains[0] + chains[1]) + (chains[2] + chains[3]);
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

// One row for radius R. Per pixel: slide the group counts (16 groups) one
// column on; take the fine counts of the lookup bin's group over the 2R + 1
// columns, slid on from the pixel before when it used the same group and
// summed afresh otherwise; count = samples in the groups below plus samples in
// the group's bins up to the lookup bin. Columns slid in are added before the
// leaving ones are subtracted, so no lane goes below 0. emit(x, count) writes
// the pixel's result; counts are byte-lane sums, always below 256.
template <class D, int32_t R, class Emit>
void countRadius(const EqualiseWorkspace* workspace, const EqualiseCurve* curve, Emit emit) {
  constexpr int32_t kSpan = 2 * R + 1;
  const int32_t width = workspace->histograms.width;
  const uint8_t* coarse = workspace->histograms.coarse;
  const uint8_t* fine = workspace->histograms.fine;
  const int32_t* lookup = workspace->lookup.bins;
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

// The counts of the window's current row, from histograms that hold slots
// 7 - R .. 7 + R, handed to emit(x, count).
template <class D, class Emit>
void emitCounts(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                const EqualiseCurve* curve, Emit emit) {
  computeLookupBins<D>(&workspace->lookup, window, workspace->histograms.width, curve->delta);
  switch (clampRadius(curve->radius)) {
    case 3:
      countRadius<D, 3>(workspace, curve, emit);
      break;
    case 4:
      countRadius<D, 4>(workspace, curve, emit);
      break;
    case 5:
      countRadius<D, 5>(workspace, curve, emit);
      break;
    case 6:
      countRadius<D, 6>(workspace, curve, emit);
      break;
    default:
      countRadius<D, 7>(workspace, curve, emit);
      break;
  }
}

}  // namespace

template <class D>
void equaliseRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                 const EqualiseCurve* curve, typename D::Sample* out) {
  loadColumnHistograms<D>(&workspace->histograms, window, curve->radius);
  const uint16_t* level = curve->level;
  emitCounts<D>(workspace, window, curve,
                [&](int32_t x, int32_t count) { out[x] = typename D::Sample(level[count]); });
}

template <class D>
void equaliseAndBlendGreyRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                             const EqualiseCurve* curve, const typename D::Sample* source,
                             typename D::Sample* out) {
  const BlendTables* tables = &workspace->blend;
  if (sizeof(typename D::Sample) == 1) {
    const uint8_t* results = tables->grey8;
    emitCounts<D>(workspace, window, curve, [&](int32_t x, int32_t count) {
      out[x] = typename D::Sample(results[count * 256 + source[x]]);
    });
  } else {
    const double b = tables->beta;
    const double* levels = tables->levelTerms;
    emitCounts<D>(workspace, window, curve, [&](int32_t x, int32_t count) {
      out[x] = typename D::Sample(int32_t(b * double(D::read(source[x])) + levels[count]));
    });
  }
}

template <class D>
void equaliseAndBlendRgbRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                            const EqualiseCurve* curve, typename D::Sample* rgb) {
  const BlendTables* tables = &workspace->blend;
  const double b = tables->beta;
  const double* levels = tables->levelTerms;
  const double* sums = tables->sumTerms;
  emitCounts<D>(workspace, window, curve, [&](int32_t x, int32_t count) {
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

template void equaliseRow<Depth8>(EqualiseWorkspace*, const uint8_t* const*, const EqualiseCurve*,
                                  uint8_t*);
template void equaliseRow<Depth16>(EqualiseWorkspace*, const uint16_t* const*, const EqualiseCurve*,
                                   uint16_t*);
template void equaliseAndBlendGreyRow<Depth8>(EqualiseWorkspace*, const uint8_t* const*,
                                              const EqualiseCurve*, const uint8_t*, uint8_t*);
template void equaliseAndBlendGreyRow<Depth16>(EqualiseWorkspace*, const uint16_t* const*,
                                               const EqualiseCurve*, const uint16_t*, uint16_t*);
template void equaliseAndBlendRgbRow<Depth8>(EqualiseWorkspace*, const uint8_t* const*,
                                             const EqualiseCurve*, uint8_t*);
template void equaliseAndBlendRgbRow<Depth16>(EqualiseWorkspace*, const uint16_t* const*,
                                              const EqualiseCurve*, uint16_t*);
