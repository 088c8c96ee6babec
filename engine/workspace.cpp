// workspace.cpp -- the working storage of the row step and of the row window
#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "engine/equaliseKernels.h"

OSErr createEqualiseWorkspace(int32_t width, EqualiseWorkspace** slot) {
  *slot = nullptr;
  if (width < 1) return memFullErr;
  // One block: the record, the term tables, the fine and coarse counters and
  // the lookup row, each part starting on a multiple of 16 bytes.
  auto rounded = [](int64_t bytes) { return (bytes + 15) / 16 * 16; };
  const int64_t columns = int64_t(width) + 2 * kHistogramPad;
  const int64_t recordBytes = rounded(int64_t(sizeof(EqualiseWorkspace)));
  const int64_t centreBytes = rounded(256 * int64_t(sizeof(double)));
  const int64_t neighbourBytes = rounded((kMaxNeighbourSum8 + 1) * int64_t(sizeof(double)));
  const int64_t fineBytes = columns * kHistogramBins;
  const int64_t coarseBytes = columns * 16;
  const int64_t lookupBytes = rounded(int64_t(width) * 4);
  const int64_t levelTermBytes = kLevelCount * int64_t(sizeof(double));
  const int64_t sumTermBytes = rounded((kMaxRgbSum8 + 1) * int64_t(sizeof(double)));
  const int64_t greyBlendBytes = kLevelCount * 256;
  const int64_t flippedStride = (int64_t(width) + 2 * kHistogramPad + 32 + 31) / 32 * 32;
  const int64_t flippedBytes = (kWindowSlots + 4) * flippedStride;
  const int64_t total = recordBytes + centreBytes + neighbourBytes + levelTermBytes + sumTermBytes +
                        greyBlendBytes + fineBytes + coarseBytes + lookupBytes + flippedBytes;
  if (total > INT32_MAX) return memFullErr;
  uint8_t* block = static_cast<uint8_t*>(allocBlock(int32_t(total)));
  if (block == nullptr) return memFullErr;
  EqualiseWorkspace* workspace = reinterpret_cast<EqualiseWorkspace*>(block);
  uint8_t* part = block + recordBytes;
  workspace->lookup.centreTerms = reinterpret_cast<double*>(part);
  part += centreBytes;
  workspace->lookup.neighbourTerms = reinterpret_cast<double*>(part);
  part += neighbourBytes;
  workspace->lookup.termsDelta = -1.0f;
  workspace->kernels = fastestRowKernels();
  workspace->blend.levelTerms = reinterpret_cast<double*>(part);
  part += levelTermBytes;
  workspace->blend.sumTerms = reinterpret_cast<double*>(part);
  part += sumTermBytes;
  workspace->blend.grey8 = part;
  part += greyBlendBytes;
  workspace->histograms.width = width;
  workspace->histograms.columns = int32_t(columns);
  workspace->histograms.fine = part;
  part += fineBytes;
  workspace->histograms.coarse = part;
  part += coarseBytes;
  workspace->lookup.bins = reinterpret_cast<int32_t*>(part);
  part += lookupBytes;
  workspace->flipped.stride = int32_t(flippedStride);
  workspace->flipped.rows = part;
  part += kWindowSlots * flippedStride;
  workspace->flipped.limits = part;
  part += flippedStride;
  workspace->flipped.counts = part;
  part += flippedStride;
  workspace->flipped.pairs = reinterpret_cast<uint16_t*>(part);
  *slot = workspace;
  return noErr;
}

void disposeEqualiseWorkspace(EqualiseWorkspace* workspace) { freeBlock(workspace); }

template <class D>
OSErr allocateWindowRows(int32_t width, int64_t rowBytes, WindowRows<D>* rows) {
  typedef typename D::Sample Sample;
  std::memset(rows, 0, sizeof *rows);
  bool complete = rowBytes <= INT32_MAX;
  for (int32_t slot = 0; complete && slot < kWindowSlots; ++slot) {
    rows->window[slot] = static_cast<Sample*>(allocBlock(int32_t(rowBytes)));
    complete = rows->window[slot] != nullptr;
  }
  for (int32_t row = 0; complete && row < 2; ++row) {
    rows->work[row] = static_cast<Sample*>(allocBlock(int32_t(rowBytes)));
    complete = rows->work[row] != nullptr;
  }
  if (complete) complete = createEqualiseWorkspace(width, &rows->workspace) == noErr;
  if (complete) return noErr;
  releaseWindowRows(rows);
  return memFullErr;
}

template <class D>
void releaseWindowRows(WindowRows<D>* rows) {
  disposeEqualiseWorkspace(rows->workspace);
  freeBlock(rows->work[1]);
  freeBlock(rows->work[0]);
  for (int32_t slot = kWindowSlots - 1; slot >= 0; --slot) freeBlock(rows->window[slot]);
  std::memset(rows, 0, sizeof *rows);
}

template OSErr allocateWindowRows<Depth8>(int32_t, int64_t, WindowRows<Depth8>*);
template OSErr allocateWindowRows<Depth16>(int32_t, int64_t, WindowRows<Depth16>*);
template void releaseWindowRows<Depth8>(WindowRows<Depth8>*);
template void releaseWindowRows<Depth16>(WindowRows<Depth16>*);
