// equaliseRun.cpp -- the equalisation run over rows held in a row store or in memory
#include "engine/equaliseRun.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "store/rowStore.h"

namespace {

struct RunDepth8 {
  typedef uint8_t Sample;
  static void clampRow(Sample*, int32_t) {}
  static void collapse(const Sample* rgb, int32_t width, Sample* intensities) {
    collapseRgbRowInto8(rgb, width, intensities);
  }
  static void makeCurve(EqualiseCurve* curve, const EqualiseParameters* p) {
    makeEqualiseCurve8(curve, p->alpha, p->gamma, p->delta);
  }
  static void load(ColumnHistograms* h, Sample* const* window, int32_t radius) {
    loadColumnHistograms8(h, window, radius);
  }
  static void move(ColumnHistograms* h, const Sample* leaving, const Sample* entering) {
    moveHistogramRow8(h, leaving, entering);
  }
  static void equaliseRgb(ColumnHistograms* h, Sample* const* window, const EqualiseCurve* curve,
                          Sample* source) {
    equaliseRgbRow8(h, window, curve, source);
  }
  static void prepareBlend(ColumnHistograms* h, const EqualiseCurve* curve, float beta) {
    prepareBlend8(h, curve, beta);
  }
  static void equaliseGrey(ColumnHistograms* h, Sample* const* window, const EqualiseCurve* curve,
                           const Sample* source, Sample* out) {
    equaliseGreyRow8(h, window, curve, source, out);
  }
};

struct RunDepth16 {
  typedef uint16_t Sample;
  static void clampRow(Sample* row, int32_t count) { clampSamples16(row, count); }
  static void collapse(const Sample* rgb, int32_t width, Sample* intensities) {
    collapseRgbRowInto16(rgb, width, intensities);
  }
  static void makeCurve(EqualiseCurve* curve, const EqualiseParameters* p) {
    makeEqualiseCurve16(curve, p->alpha, p->gamma, p->delta);
  }
  static void load(ColumnHistograms* h, Sample* const* window, int32_t radius) {
    loadColumnHistograms16(h, window, radius);
  }
  static void move(ColumnHistograms* h, const Sample* leaving, const Sample* entering) {
    moveHistogramRow16(h, leaving, entering);
  }
  static void equaliseRgb(ColumnHistograms* h, Sample* const* window, const EqualiseCurve* curve,
                          Sample* source) {
    equaliseRgbRow16(h, window, curve, source);
  }
  static void prepareBlend(ColumnHistograms* h, const EqualiseCurve* curve, float beta) {
    prepareBlend16(h, curve, beta);
  }
  static void equaliseGrey(ColumnHistograms* h, Sample* const* window, const EqualiseCurve* curve,
                           const Sample* source, Sample* out) {
    equaliseGreyRow16(h, window, curve, source, out);
  }
};

// The run's working storage: the 15 window rows, the grey result row, a spare
// row that takes each new window row while the row it replaces is still
// counted out of the histograms (each (width + 4) x channels samples, and for
// RGB the row's intensities after them), and the column histograms.
struct RunBuffers {
  void* window[kWindowSlots];
  void* result;
  void* spare;
  ColumnHistograms* histograms;
};

void releaseRunBuffers(RunBuffers* buffers) {
  disposeColumnHistograms(buffers->histograms);
  freeBlock(buffers->spare);
  freeBlock(buffers->result);
  for (int32_t slot = kWindowSlots - 1; slot >= 0; --slot) freeBlock(buffers->window[slot]);
}

// 0, or -108 with whatever was had released again.
OSErr allocateRunBuffers(int32_t width, int64_t bufferBytes, RunBuffers* buffers) {
  std::memset(buffers, 0, sizeof *buffers);
  bool complete = bufferBytes <= INT32_MAX;
  for (int32_t slot = 0; complete && slot < kWindowSlots; ++slot) {
    buffers->window[slot] = allocBlock(int32_t(bufferBytes));
    complete = buffers->window[slot] != nullptr;
  }
  if (complete) complete = (buffers->result = allocBlock(int32_t(bufferBytes))) != nullptr;
  if (complete) complete = (buffers->spare = allocBlock(int32_t(bufferBytes))) != nullptr;
  if (complete) complete = createColumnHistograms(width, &buffers->histograms) == noErr;
  if (complete) return noErr;
  releaseRunBuffers(buffers);
  return memFullErr;
}

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
  D::makeCurve(&curve, &parameters);
  const int32_t radius = curve.radius;

  RunBuffers buffers;
  if (allocateRunBuffers(width, bufferBytes, &buffers) != noErr) return memFullErr;
  Sample* window[kWindowSlots];
  for (int32_t slot = 0; slot < kWindowSlots; ++slot) {
    window[slot] = static_cast<Sample*>(buffers.window[slot]);
  }
  Sample* result = static_cast<Sample*>(buffers.result);
  Sample* spare = static_cast<Sample*>(buffers.spare);
  ColumnHistograms* histograms = buffers.histograms;
  D::prepareBlend(histograms, &curve, parameters.beta);

  // A window row: the stored samples, and their intensities for RGB. 16-bit
  // samples above 32768 need no pass of their own: every step reads them as 32768.
  const int32_t lastRow = height - 1;
  auto fetch = [&](int32_t row, Sample* buffer) {
    OSErr err = readRunRow(rows, row < lastRow ? row : lastRow, rowBytes, buffer);
    if (rgb) D::collapse(buffer, width, buffer + intensityOffset);
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
      D::load(histograms, levels, radius);
    } else {
      err = fetch(i + kCentreSlot, spare);
      if (err != noErr) break;
      Sample* stale = window[kWindowSlots - 1];
      Sample* leaving = radius == kMaxRadius ? stale : window[kCentreSlot - radius - 1];
      Sample* entering = radius == kMaxRadius ? spare : window[kCentreSlot + radius];
      D::move(histograms, intensities(leaving), intensities(entering));
      window[kWindowSlots - 1] = spare;
      spare = stale;
      for (int32_t slot = 0; slot < kWindowSlots; ++slot) levels[slot] = intensities(window[slot]);
    }

    // equalise and blend with the unprocessed row i: slot 7 holds it as the
    // store does until it is written back below, so it is not read again
    Sample* stored = window[kCentreSlot];
    const Sample* output;
    if (rgb) {
      D::equaliseRgb(histograms, levels, &curve, stored);  // recoloured in place
      output = stored;
    } else {
      D::equaliseGrey(histograms, levels, &curve, stored, result);
      // Rows of other channel counts: samples past the first `width` pass
      // unchanged (but for the 16-bit bound).
      if (rowSamples > width) {
        std::memcpy(result + width, stored + width, size_t(rowSamples - width) * sizeof(Sample));
        D::clampRow(result + width, rowSamples - width);
      }
      output = result;
    }
    // Later rows' windows hold their own copies of this row, read before now.
    err = writeRunRow(rows, i, rowBytes, output);

    // shift: the top row's buffer becomes slot 14
    Sample* top = window[0];
    std::memmove(window, window + 1, (kWindowSlots - 1) * sizeof window[0]);
    window[kWindowSlots - 1] = top;
  }

  releaseRunBuffers(&buffers);
  return err;
}

}  // namespace

OSErr equaliseRows8(RunRows rows, int32_t width, int32_t height, int32_t channels,
                    const EqualiseParameters* parameters, const RunContext* context) {
  return equaliseRows<RunDepth8>(rows, width, height, channels, parameters, context);
}

OSErr equaliseRows16(RunRows rows, int32_t width, int32_t height, int32_t channels,
                     const EqualiseParameters* parameters, const RunContext* context) {
  return equaliseRows<RunDepth16>(rows, width, height, channels, parameters, context);
}
