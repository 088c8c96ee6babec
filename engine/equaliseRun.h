// equaliseRun.h -- the equalisation run over rows held in a row store or in memory
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "engine/equaliseKernels.h"

struct RowStore;
struct RunContext;

// Where the run's rows live: the colour store, or, when store is null, height
// consecutive rows of width x channels samples in memory.
struct RunRows {
  RowStore* store;
  void* memory;
};

// Rewrites every row in place with its equalised version, blended with beta of
// the unprocessed row; the values are clamped (clampFilterValues) by the
// caller. D is Depth8 or Depth16.
// Progress and abort go through the context; a null context has neither. 0,
// -128 (host abort), -108 (no working memory), or the first error of a store
// read or write.
template <class D>
OSErr equaliseRows(RunRows rows, int32_t width, int32_t height, int32_t channels,
                   const FilterValues* values, const RunContext* context);
