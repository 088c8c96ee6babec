// equaliseRun.cpp -- the equalisation run over rows held in a row store or in memory
#include "engine/equaliseRun.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/runContext.h"
#include "store/rowStore.h"

namespace {

OSErr readRunRow(RunRows rows, int32_t row, int32_t rowBytes, void* buffer) {
  if (rows.store != nullptr) return readStoreRow(rows.store, 0, row, rowBytes, buffer);
  std::memcpy(buffer, static_cast<const uint8_t*>(rows.memory) + int64_t(row) * rowBytes,
              size_t(rowBytes));
  return noErr;
}

OSErr writeRunRow(RunRows rows, int32_t row, int32_t rowBytes, const void* buffer) {
  if (rows.store != nullptr) return writeStoreRow(rows.store, 0, row, rowBytes, buffer);
  std::memcpy(static_cast<uint8_t*>(rows.memory) + int64_t(row) * rowBytes, buffer,
              size_t(rowBytes));
  return noErr;
}

}  // namespace

template <class D>
OSErr equaliseRows(RunRows rows, int32_t width, int32_t height, int32_t channels,
                   const EqualiseParameters* given, const RunContext* context) {
  typedef typename D::Sample Sample;
  if (width < 1 || height < 1) return noErr;
  if (channels < 1) channels = 1;
  const bool rgb = channels == 3;

  // Sizes in 64 bits first: a 16-bit RGB row of 30000 pixels is 180000 bytes,
  // and nothing may wrap before the check against the 32-bit block size. A
  // window buffer keeps the row as stored and, for RGB, its intensities after it.
  const int64_t rowSamples64 = int64_t(width) * channels;
  const int64_t storedSamples = (int64_t(width) + 4) * channels;
  const int64_t bufferBytes = (storedSamples + (rgb ? width : 0)) * int64_t(sizeof(Sample));
  if (bufferBytes > INT32_MAX) return memFullErr;
  const int32_t rowSamples = int32_t(rowSamples64);
  const int32_t rowBytes = rowSamples * int32_t(sizeof(Sample));
  const ptrdiff_t intensityOffset = rgb ? ptrdiff_t(storedSamples) : 0;

  EqualiseParameters parameters = *given;
  clampParameters(&parameters);
  EqualiseCurve curve;
  makeEqualiseCurve<D>(&curve, parameters.alpha, parameters.gamma, parameters.delta);
  const int32_t radius = curve.radius;

  // The window rows, the grey result row, and a spare row that takes each new
  // window row while the row it replaces is still counted in the histograms.
  WindowRows<D> buffers;
  if (allocateWindowRows(width, bufferBytes, &buffers) != noErr) return memFullErr;
  Sample** window = buffers.window;
  Sample* result = buffers.work[0];
  Sample*& spare = buffers.work[1];
  EqualiseWorkspace* workspace = buffers.workspace;
  prepareBlend<D>(&workspace->blend, &curve, parameters.beta);

  // A window row: the stored samples, and their intensities for RGB. 16-bit
  // samples above 32768 need no pass of their own: every step reads them as 32768.
  const int32_t lastRow = height - 1;
  auto fetch = [&](int32_t row, Sample* buffer) {
    OSErr err = readRunRow(rows, row < lastRow ? row : lastRow, rowBytes, buffer);
    if (rgb) collapseRgbRowInto<D>(buffer, width, buffer + intensityOffset);
    return err;
  };
  auto intensities = [&](Sample* buffer) { return buffer + intensityOffset; };

  // prime the window: rows above the area replicate row 0, rows below it the last row
  OSErr err = fetch(0, window[0]);
  for (int32_t slot = 1; err == noErr && slot < kCentreSlot; ++slot) {
    std::memcpy(window[slot], window[0], size_t(bufferBytes));
  }
  for (int32_t k = 0; err == noErr && k < kCentreSlot; ++k) err = fetch(k, window[kCentreSlot + k]);

  for (int32_t i = 0; err == noErr && i < height; ++i) {
    // progress and abort, once per row
    if (context != nullptr) {
      reportProgress(context, i, height);
      if (testAbort(context)) {
        err = userCanceledErr;
        break;
      }
    }

    // the row seven below enters the window; the histograms move down a row:
    // the row R + 1 above leaves them (for R = 7 that is the row slot 14 held
    // until now), the row R below enters
    Sample* levels[kWindowSlots];
    if (i == 0) {
      err = fetch(i + kCentreSlot, window[kWindowSlots - 1]);
      if (err != noErr) break;
      for (int32_t slot = 0; slot < kWindowSlots; ++slot) levels[slot] = intensities(window[slot]);
      loadColumnHistograms<D>(&workspace->histograms, levels, radius);
    } else {
      err = fetch(i + kCentreSlot, spare);
      if (err != noErr) break;
      Sample* stale = window[kWindowSlots - 1];
      Sample* leaving = radius == kMaxRadius ? stale : window[kCentreSlot - radius - 1];
      Sample* entering = radius == kMaxRadius ? spare : window[kCentreSlot + radius];
      moveHistogramRow<D>(&workspace->histograms, intensities(leaving), intensities(entering));
      window[kWindowSlots - 1] = spare;
      spare = stale;
      for (int32_t slot = 0; slot < kWindowSlots; ++slot) levels[slot] = intensities(window[slot]);
    }

    // equalise and blend with the unprocessed row i: slot 7 holds it as the
    // store does until it is written back below, so it is not read again
    Sample* stored = window[kCentreSlot];
    const Sample* output;
    if (rgb) {
      equaliseAndBlendRgbRow<D>(workspace, levels, &curve, stored);  // recoloured in place
      output = stored;
    } else {
      equaliseAndBlendGreyRow<D>(workspace, levels, &curve, stored, result);
      // Rows of other channel counts: samples past the first `width` pass
      // unchanged (but for the 16-bit bound).
      for (int32_t k = width; k < rowSamples; ++k) result[k] = Sample(D::read(stored[k]));
      output = result;
    }
    // Later rows' windows hold their own copies of this row, read before now.
    err = writeRunRow(rows, i, rowBytes, output);

    // shift: the top row's buffer becomes slot 14
    rotateWindow(window);
  }

  releaseWindowRows(&buffers);
  return err;
}

template OSErr equaliseRows<Depth8>(RunRows, int32_t, int32_t, int32_t, const EqualiseParameters*,
                                    const RunContext*);
template OSErr equaliseRows<Depth16>(RunRows, int32_t, int32_t, int32_t, const EqualiseParameters*,
                                     const RunContext*);
