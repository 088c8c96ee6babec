// equaliseRow.cpp -- the row step's entries and the RGB collapse, each run by the build picked
#include "engine/rowCounts.h"

#if defined(BRISEL_AVX2_KERNELS)
#include <cpuid.h>

namespace {

// The AVX2 loops need the instructions and an operating system that keeps the
// 256-bit registers across thread switches: OSXSAVE set, and XCR0 holding both
// the SSE and the AVX state. A CPU with AVX2 under a system that saves only
// the SSE state would lose the upper halves at every switch.
bool cpuRunsAvx2() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  if (!(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
  unsigned low, high;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  (void)high;
  constexpr unsigned kSseAndAvxState = 0x6;
  if ((low & kSseAndAvxState) != kSseAndAvxState) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & bit_AVX2) != 0;
}

}  // namespace
#endif

bool hasRowKernels(int32_t build) {
  switch (build) {
    case kPlainKernels:
      return true;
    case kSse2Kernels:
#if defined(__SSE2__)
      return true;
#else
      return false;
#endif
    case kAvx2Kernels:
#if defined(BRISEL_AVX2_KERNELS)
      return cpuRunsAvx2();
#else
      return false;
#endif
    default:
      return false;
  }
}

int32_t fastestRowKernels() {
  static const int32_t fastest = hasRowKernels(kAvx2Kernels)   ? kAvx2Kernels
                                 : hasRowKernels(kSse2Kernels) ? kSse2Kernels
                                                               : kPlainKernels;
  return fastest;
}

template <class D>
const RowKernels<D>* rowKernelsOf(int32_t build) {
#if defined(BRISEL_AVX2_KERNELS)
  if (build == kAvx2Kernels) return avx2RowKernels<D>();
#endif
#if defined(__SSE2__)
  if (build == kSse2Kernels || build == kAvx2Kernels)
    return rowKernelsWith<Sse2LaneSum, Lanes, D>();
#endif
  (void)build;
  return rowKernelsWith<PlainLaneSum, Lanes, D>();
}

template <class D>
void equaliseRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                 const EqualiseCurve* curve, typename D::Sample* out) {
  const RowKernels<D>* kernels = rowKernelsOf<D>(workspace->kernels);
  if (kernels->readsHistograms)
    loadColumnHistograms<D>(&workspace->histograms, window, curve->radius);
  kernels->equaliseLoaded(workspace, window, curve, out);
}

template <class D>
void equaliseLoadedRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                       const EqualiseCurve* curve, typename D::Sample* out) {
  rowKernelsOf<D>(workspace->kernels)->equaliseLoaded(workspace, window, curve, out);
}

template <class D>
void equaliseAndBlendGreyRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                             const EqualiseCurve* curve, const typename D::Sample* source,
                             typename D::Sample* out) {
  rowKernelsOf<D>(workspace->kernels)->blendGrey(workspace, window, curve, source, out);
}

template <class D>
void equaliseAndBlendRgbRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                            const EqualiseCurve* curve, typename D::Sample* rgb) {
  rowKernelsOf<D>(workspace->kernels)->blendRgb(workspace, window, curve, rgb);
}

template <class D>
void collapseRgbRowInto(const typename D::Sample* rgb, int32_t pixelCount,
                        typename D::Sample* intensities) {
  rowKernelsOf<D>(fastestRowKernels())->collapseRgbInto(rgb, pixelCount, intensities);
}

template const RowKernels<Depth8>* rowKernelsOf<Depth8>(int32_t);
template const RowKernels<Depth16>* rowKernelsOf<Depth16>(int32_t);
template void collapseRgbRowInto<Depth8>(const uint8_t*, int32_t, uint8_t*);
template void collapseRgbRowInto<Depth16>(const uint16_t*, int32_t, uint16_t*);
template void equaliseRow<Depth8>(EqualiseWorkspace*, const uint8_t* const*, const EqualiseCurve*,
                                  uint8_t*);
template void equaliseRow<Depth16>(EqualiseWorkspace*, const uint16_t* const*, const EqualiseCurve*,
                                   uint16_t*);
template void equaliseLoadedRow<Depth8>(EqualiseWorkspace*, const uint8_t* const*,
                                        const EqualiseCurve*, uint8_t*);
template void equaliseLoadedRow<Depth16>(EqualiseWorkspace*, const uint16_t* const*,
                                         const EqualiseCurve*, uint16_t*);
template void equaliseAndBlendGreyRow<Depth8>(EqualiseWorkspace*, const uint8_t* const*,
                                              const EqualiseCurve*, const uint8_t*, uint8_t*);
template void equaliseAndBlendGreyRow<Depth16>(EqualiseWorkspace*, const uint16_t* const*,
                                               const EqualiseCurve*, const uint16_t*, uint16_t*);
template void equaliseAndBlendRgbRow<Depth8>(EqualiseWorkspace*, const uint8_t* const*,
                                             const EqualiseCurve*, uint8_t*);
template void equaliseAndBlendRgbRow<Depth16>(EqualiseWorkspace*, const uint16_t* const*,
                                              const EqualiseCurve*, uint16_t*);
