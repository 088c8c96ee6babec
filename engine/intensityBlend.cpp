// intensityBlend.cpp -- RGB rows collapsed to intensities in place, and the blend back tabulated by
// count
#include "engine/equaliseKernels.h"

namespace {

template <class D>
inline typename D::Sample intensityOf(const typename D::Sample* pixel) {
  return typename D::Sample((D::read(pixel[0]) + D::read(pixel[1]) + D::read(pixel[2]) + 1) / 3);
}

}  // namespace

template <class D>
void collapseRgbRow(typename D::Sample* row, int32_t pixelCount, int32_t channelCount) {
  if (channelCount != 3) return;
  // Pixel p is written to sample p, never ahead of sample 3p still to be read.
  for (int32_t p = 0; p < pixelCount; ++p) row[p] = intensityOf<D>(row + 3 * p);
}

// The products of the blend, formed with the very operations the blend is
// defined with, so that the sums and their truncations give the same bits.
// 8-bit rows look every product up; 16-bit rows look up (1 - beta) E and form
// the source's product per sample.
template <class D>
void prepareBlend(BlendTables* tables, const EqualiseCurve* curve) {
  const double b = curve->beta;
  const double keep = 1.0 - b;
  tables->beta = b;
  for (int32_t count = 0; count < kLevelCount; ++count) {
    tables->levelTerms[count] = keep * double(curve->level[count]);
  }
  if (sizeof(typename D::Sample) != 1) return;
  for (int32_t sum = 0; sum <= kMaxRgbSum8; ++sum) tables->sumTerms[sum] = rgbSourceTerm(b, sum);
  double sources[256];
  for (int32_t s = 0; s < 256; ++s) sources[s] = b * double(s);
  for (int32_t count = 0; count < kLevelCount; ++count) {
    const double level = tables->levelTerms[count];
    uint8_t* results = tables->grey8 + count * 256;
    for (int32_t s = 0; s < 256; ++s) results[s] = uint8_t(int32_t(sources[s] + level));
  }
}

template void collapseRgbRow<Depth8>(uint8_t*, int32_t, int32_t);
template void collapseRgbRow<Depth16>(uint16_t*, int32_t, int32_t);
template void prepareBlend<Depth8>(BlendTables*, const EqualiseCurve*);
template void prepareBlend<Depth16>(BlendTables*, const EqualiseCurve*);
