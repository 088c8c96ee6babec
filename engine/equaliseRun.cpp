// equaliseRun.cpp -- the equalisation run over rows held in a row store or in memory
#include "engine/equaliseRun.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "engine/windowWalk.h"
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

  EqualiseCurve curve;
  const EqualiseParameters parameters = clampAndMakeCurve<D>(given, kRunCurve, &curve);

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
  EqualiseWorkspace* workspace = buffers.workspace;
  prepareBlend<D>(&workspace->blend, &curve, parameters.beta);

  // A window row: the stored samples, and their intensities for RGB. 16-bit
  // samples above 32768 need no pass of their own: every step reads them as 32768.
  struct StoredRows {
    RowTraffic* traffic;
    int32_t width;
    bool rgb;
    ptrdiff_t intensityOffset;
    OSErr fetch(int32_t row, Sample* buffer) {
      const OSErr err = readRunRow(traffic, row, buffer);
      if (rgb) collapseRgbRowInto<D>(buffer, width, buffer + intensityOffset);
      return err;
    }
    Sample* levels(Sample* buffer) { return buffer + intensityOffset; }
  } source{&traffic, width, rgb, intensityOffset};

  // equalise and blend with the unprocessed row i: slot 7 holds it as the
  // store does until it is written back, so it is not read again (later rows'
  // windows hold their own copies of it, read before now)
  auto equaliseRow = [&](int32_t i, Sample** window, Sample** levels) {
    Sample* stored = window[kCentreSlot];
    if (rgb) {
      equaliseAndBlendRgbRow<D>(workspace, levels, &curve, stored);  // recoloured in place
      return writeRunRow(&traffic, i, stored);
    }
    Sample* result = buffers.work[0];
    equaliseAndBlendGreyRow<D>(workspace, levels, &curve, stored, result);
    // Rows of other channel counts: samples past the first `width` pass
    // unchanged (but for the 16-bit bound).
    for (int32_t k = width; k < rowSamples; ++k) result[k] = Sample(D::read(stored[k]));
    return writeRunRow(&traffic, i, result);
  };
  OSErr err =
      walkWindow<D>(&buffers, bufferBytes, height, curve.radius, &source, context, equaliseRow);

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
