// equaliseRun.cpp -- the equalisation run over rows held in a row store or in memory
#include "engine/equaliseRun.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "store/rowBatch.h"

namespace {

// Store rows move in batches of consecutive rows: one file operation for
// several rows costs far less than one for each. A batch holds at most this
// many bytes, and at least one row.
constexpr int64_t kBatchBytes = 1024 * 1024;
constexpr int32_t kBatchRows = 256;

// The rows of a run, read ahead and written behind in batches when they live
// in a store, copied one at a time when they live in memory.
struct RowTraffic {
  RunRows rows;
  int32_t rowBytes;
  RowBatch reads;
  RowBatch writes;  // finished rows, written in ascending order, each once
};

OSErr openTraffic(RunRows rows, int32_t height, int32_t rowBytes, RowTraffic* traffic) {
  std::memset(traffic, 0, sizeof *traffic);
  traffic->rows = rows;
  traffic->rowBytes = rowBytes;
  if (rows.store == nullptr) return noErr;
  const int64_t fit = kBatchBytes / (rowBytes > 0 ? rowBytes : 1);
  const int32_t batchRows = int32_t(fit < 1 ? 1 : fit > kBatchRows ? kBatchRows : fit);
  const OSErr err = openRowBatch(rows.store, height, rowBytes, batchRows, &traffic->reads);
  if (err != noErr) return err;
  return openRowBatch(rows.store, height, rowBytes, batchRows, &traffic->writes);
}

OSErr readRunRow(RowTraffic* traffic, int32_t row, void* buffer) {
  if (traffic->rows.store != nullptr) return readBatchedRow(&traffic->reads, row, buffer);
  std::memcpy(buffer,
              static_cast<const uint8_t*>(traffic->rows.memory) + int64_t(row) * traffic->rowBytes,
              size_t(traffic->rowBytes));
  return noErr;
}

OSErr writeRunRow(RowTraffic* traffic, int32_t row, const void* buffer) {
  if (traffic->rows.store != nullptr) return writeBatchedRow(&traffic->writes, row, buffer);
  std::memcpy(static_cast<uint8_t*>(traffic->rows.memory) + int64_t(row) * traffic->rowBytes,
              buffer, size_t(traffic->rowBytes));
  return noErr;
}

OSErr flushRunRows(RowTraffic* traffic) {
  return traffic->rows.store != nullptr ? flushRowBatch(&traffic->writes) : noErr;
}

void closeTraffic(RowTraffic* traffic) {
  closeRowBatch(&traffic->reads);
  closeRowBatch(&traffic->writes);
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
  RowTraffic traffic;
  if (openTraffic(rows, height, rowBytes, &traffic) != noErr) {
    closeTraffic(&traffic);
    releaseWindowRows(&buffers);
    return memFullErr;
  }
  Sample** window = buffers.window;
  Sample* result = buffers.work[0];
  Sample*& spare = buffers.work[1];
  EqualiseWorkspace* workspace = buffers.workspace;
  prepareBlend<D>(&workspace->blend, &curve, parameters.beta);

  // A window row: the stored samples, and their intensities for RGB. 16-bit
  // samples above 32768 need no pass of their own: every step reads them as 32768.
  const int32_t lastRow = height - 1;
  auto fetch = [&](int32_t row, Sample* buffer) {
    OSErr err = readRunRow(&traffic, row < lastRow ? row : lastRow, buffer);
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
    err = writeRunRow(&traffic, i, output);

    // shift: the top row's buffer becomes slot 14
    rotateWindow(window);
  }

  // Rows finished before an abort or an error are written all the same.
  const OSErr flushed = flushRunRows(&traffic);
  if (err == noErr) err = flushed;
  closeTraffic(&traffic);
  releaseWindowRows(&buffers);
  return err;
}

template OSErr equaliseRows<Depth8>(RunRows, int32_t, int32_t, int32_t, const EqualiseParameters*,
                                    const RunContext*);
template OSErr equaliseRows<Depth16>(RunRows, int32_t, int32_t, int32_t, const EqualiseParameters*,
                                     const RunContext*);
