// windowWalk.h -- the 15-row window walked down a run's or a preview's rows, one row at a time
#pragma once

#include <cstdint>
#include <cstring>

#include "core/hostErrors.h"
#include "core/runContext.h"
#include "engine/equaliseKernels.h"

// Walks the window down rows 0 .. rowCount - 1 of a row source, which has
//   OSErr fetch(int32_t row, Sample* buffer): row 0 .. rowCount - 1 into a
//     window buffer of bufferBytes, with its intensities where levels finds them;
//   Sample* levels(Sample* buffer): the intensities of a window buffer.
// Rows above the first replicate it, rows below the last the last. For each
// row i in order, with the histograms holding levels slots 7 - R .. 7 + R and
// window[7] row i as fetched, visit(i, window, levels) returns 0 or the walk's
// error. Between visits both work rows are free. Progress and abort go through
// the context (a null one has neither). 0, -128 (host abort), or the first
// error of a fetch or a visit.
template <class D, class Source, class Visit>
OSErr walkWindow(WindowRows<D>* rows, int64_t bufferBytes, int32_t rowCount, int32_t radius,
                 Source* source, const RunContext* context, Visit visit) {
  typedef typename D::Sample Sample;
  Sample** window = rows->window;
  ColumnHistograms* histograms = &rows->workspace->histograms;
  const bool histogramsRead = rowKernelsOf<D>(rows->workspace->kernels)->readsHistograms;
  const int32_t last = rowCount - 1;
  auto fetch = [&](int32_t row, Sample* buffer) {
    return source->fetch(row < last ? row : last, buffer);
  };

  // prime the window: rows above the area replicate row 0, rows below it the last row
  OSErr err = fetch(0, window[0]);
  for (int32_t slot = 1; err == noErr && slot < kCentreSlot; ++slot) {
    std::memcpy(window[slot], window[0], size_t(bufferBytes));
  }
  for (int32_t k = 0; err == noErr && k < kCentreSlot; ++k) err = fetch(k, window[kCentreSlot + k]);

  for (int32_t i = 0; err == noErr && i < rowCount; ++i) {
    // progress and abort, once per row
    if (context != nullptr) {
      reportProgress(context, i, rowCount);
      if (testAbort(context)) {
        err = userCanceledErr;
        break;
      }
    }

    // the row seven below enters the window; the histograms move down a row:
    // the row R + 1 above leaves them (for R = 7 that is the row slot 14 held
    // until now, so the new row goes to the spare work row first), the row R
    // below enters
    Sample* levels[kWindowSlots];
    if (i == 0) {
      err = fetch(i + kCentreSlot, window[kWindowSlots - 1]);
      if (err != noErr) break;
      for (int32_t slot = 0; slot < kWindowSlots; ++slot)
        levels[slot] = source->levels(window[slot]);
      if (histogramsRead) loadColumnHistograms<D>(histograms, levels, radius);
    } else {
      Sample*& spare = rows->work[1];
      err = fetch(i + kCentreSlot, spare);
      if (err != noErr) break;
      Sample* stale = window[kWindowSlots - 1];
      Sample* leaving = radius == kMaxRadius ? stale : window[kCentreSlot - radius - 1];
      Sample* entering = radius == kMaxRadius ? spare : window[kCentreSlot + radius];
      if (histogramsRead)
        moveHistogramRow<D>(histograms, source->levels(leaving), source->levels(entering));
      window[kWindowSlots - 1] = spare;
      spare = stale;
      for (int32_t slot = 0; slot < kWindowSlots; ++slot)
        levels[slot] = source->levels(window[slot]);
    }

    err = visit(i, window, levels);

    // shift: the top row's buffer becomes slot 14
    rotateWindow(window);
  }
  return err;
}
