// columnHistograms.cpp -- the per-column byte histograms: counted from the window, moved down a row
#include <cstddef>
#include <cstring>

#include "engine/equaliseKernels.h"

namespace {

constexpr int32_t kPad = kHistogramPad;
constexpr int32_t kBins = kHistogramBins;

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

// One sample fewer of `leaving` and one more of `entering` in a column: four
// byte counters, none of which can pass 255 or go below 0 in between.
template <class D>
inline void moveSample(uint8_t* fine, uint8_t* coarse, ptrdiff_t column, int32_t leaving,
                       int32_t entering) {
  if (D::kTopBin && (leaving | entering) > 255) {
    countSample<D>(fine, coarse, column, leaving, 255);
    countSample<D>(fine, coarse, column, entering, 1);
    return;
  }
  uint8_t* bins = fine + column * kBins;
  uint8_t* groups = coarse + column * 16;
  bins[entering] = uint8_t(bins[entering] + 1);
  groups[entering >> 4] = uint8_t(groups[entering >> 4] + 1);
  bins[leaving] = uint8_t(bins[leaving] - 1);
  groups[leaving >> 4] = uint8_t(groups[leaving >> 4] - 1);
}

}  // namespace

template <class D>
void moveHistogramRow(ColumnHistograms* histograms, const typename D::Sample* leaving,
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

template void loadColumnHistograms<Depth8>(ColumnHistograms*, const uint8_t* const*, int32_t);
template void loadColumnHistograms<Depth16>(ColumnHistograms*, const uint16_t* const*, int32_t);
template void moveHistogramRow<Depth8>(ColumnHistograms*, const uint8_t*, const uint8_t*);
template void moveHistogramRow<Depth16>(ColumnHistograms*, const uint16_t*, const uint16_t*);
