// equaliseRowAvx2.cpp -- the row step's loops compiled for AVX2, picked at run time
#include "engine/byteLanes.h"
#include "engine/equaliseKernels.h"

#if defined(BRISEL_AVX2_KERNELS)

// Only the loops below are compiled for AVX2: the inline helpers of the
// headers above keep the module's baseline, so no AVX2 copy of them can reach
// a caller on a CPU without it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "engine/rowCounts.h"

template <class D>
const RowKernels<D>* avx2RowKernels() {
  return rowKernelsWith<Sse2LaneSum, WideLanes, D>();
}

template const RowKernels<Depth8>* avx2RowKernels<Depth8>();
template const RowKernels<Depth16>* avx2RowKernels<Depth16>();

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
