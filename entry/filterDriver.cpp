// filterDriver.cpp -- the continue selector: rows into the stores, one run, rows back out
#include <cstring>

#include "core/hostErrors.h"
#include "core/runContext.h"
#include "entry/filterGlobals.h"
#include "store/rowBatch.h"
#include "store/rowStore.h"

namespace {

// Values derived from the host's record at the start of every continue call.
// Byte counts are 32-bit: a 16-bit RGB row can exceed 32,767 bytes.
struct RowGeometry {
  int32_t bytesPerSample;
  int16_t width;
  int16_t height;
  int32_t channels;
  int32_t planes;
  int32_t extraPlanes;
  int32_t row;
  int32_t packedRowBytes;
  int32_t extraRowBytes;
};

RowGeometry deriveGeometry(const FilterGlobals* globals) {
  const FilterRecord* record = globals->filterRecord;
  RowGeometry g;
  g.bytesPerSample = globals->bitsPerChannel == 16 ? 2 : 1;
  g.width = int16_t(record->filterRect.right - record->filterRect.left);
  g.height = int16_t(record->filterRect.bottom - record->filterRect.top);
  g.channels = channelsForMode(record->imageMode);
  g.planes = record->planes;
  g.extraPlanes = g.planes - g.channels;
  g.row = record->outRect.top - record->filterRect.top;
  g.packedRowBytes = g.bytesPerSample * g.width * g.channels;
  g.extraRowBytes = g.bytesPerSample * g.width * g.extraPlanes;
  return g;
}

void emptyRect(Rect* rect) { *rect = Rect{0, 0, 0, 0}; }

void requestRow(FilterGlobals* globals, int32_t row, bool withMask) {
  FilterRecord* record = globals->filterRecord;
  record->outRect.top = int16_t(record->filterRect.top + row);
  record->inRect.top = record->outRect.top;
  record->outRect.bottom = int16_t(record->outRect.top + 1);
  record->inRect.bottom = record->outRect.bottom;
  if (withMask && globals->useMask) {
    record->maskRect.top = int16_t(record->filterRect.top + row);
    record->maskRect.bottom = int16_t(record->filterRect.top + row + 1);
  }
}

void progress(const FilterGlobals* globals, int32_t done, int32_t total) {
  if (globals->filterRecord->progressProc != nullptr) {
    globals->filterRecord->progressProc(done, total);
  }
}

// Ends the run on a failure: the code goes to the host, whose undo keeps the
// user's image, the stores go at once and no further rows are asked for.
void failRun(FilterGlobals* globals, OSErr err) {
  FilterRecord* record = globals->filterRecord;
  globals->result = err;
  globals->phase = PhaseDone;
  disposeStores(globals);
  emptyRect(&record->inRect);
  emptyRect(&record->outRect);
  emptyRect(&record->maskRect);
}

// Colour rows go to and come from the store in blocks of about this size: one
// file call per block instead of one per row.
constexpr int32_t kBatchBytes = 256 * 1024;

void openColourBatch(FilterGlobals* globals, const RowGeometry& g) {
  const int32_t rows = g.packedRowBytes > 0 ? kBatchBytes / g.packedRowBytes : 0;
  const int32_t capacity = rows < g.height ? rows : g.height;
  // Rows that large gain nothing from a block; and without the memory for one
  // the rows simply go one at a time.
  (void)openRowBatch(globals->colourStore, g.height, g.packedRowBytes, capacity < 2 ? 0 : capacity,
                     &globals->colourBatch);
}

OSErr createStores(FilterGlobals* globals, const RowGeometry& g) {
  if (g.extraPlanes != 0) {
    OSErr err =
        createExtraStore(g.width, g.height, g.bytesPerSample * g.extraPlanes, &globals->extraStore);
    if (err != noErr) return err;
  }
  OSErr err =
      createColourStore(g.width, g.height, g.bytesPerSample * g.channels, &globals->colourStore);
  if (err != noErr) return err;
  if (globals->useMask) {
    // Without a mask store the run simply goes on without the mask.
    if (createMaskStore(g.width, g.height, 1, &globals->maskStore) != noErr) {
      disposeMaskStore(globals->maskStore);
      globals->maskStore = nullptr;
      globals->useMask = 0;
    }
  }
  openColourBatch(globals, g);
  return noErr;
}

// An out row handed over before the result exists holds whatever the host put
// there. A host that commits every delivered row (through a soft selection,
// say) would blend that in: the source row is the one safe thing to give back.
void giveBackSourceRow(const FilterRecord* record, const FilterGlobals* globals) {
  if (record->outData == nullptr || record->inData == nullptr ||
      record->outData == record->inData) {
    return;
  }
  std::memcpy(record->outData, record->inData, size_t(globals->rowBufferBytes));
}

// Moves the extra-plane samples out of the delivered row and packs the colour
// samples to the front. Forward is safe: a packed position never lies after
// the delivered one.
void splitRow(uint8_t* row, uint8_t* extra, const RowGeometry& g) {
  const int32_t s = g.bytesPerSample;
  for (int32_t p = 0; p < g.width; ++p) {
    std::memcpy(extra + p * g.extraPlanes * s, row + (p * g.planes + g.channels) * s,
                size_t(g.extraPlanes * s));
  }
  for (int32_t p = 0; p < g.width; ++p) {
    std::memmove(row + p * g.channels * s, row + p * g.planes * s, size_t(g.channels * s));
  }
}

// Re-interleaves in place from the last pixel down, so no sample is overwritten
// before it has moved.
void joinRow(uint8_t* row, const uint8_t* extra, const RowGeometry& g) {
  const int32_t s = g.bytesPerSample;
  for (int32_t p = g.width - 1; p >= 0; --p) {
    std::memmove(row + p * g.planes * s, row + p * g.channels * s, size_t(g.channels * s));
    std::memcpy(row + (p * g.planes + g.channels) * s, extra + p * g.extraPlanes * s,
                size_t(g.extraPlanes * s));
  }
}

void continueRead(FilterGlobals* globals, const RowGeometry& g) {
  FilterRecord* record = globals->filterRecord;
  // A host must deliver the rows it was asked for; the stores would be short
  // of a row otherwise.
  if (record->inData == nullptr || (globals->useMask && record->maskData == nullptr)) {
    failRun(globals, filterBadParameters);
    return;
  }
  // Before the row is packed in place below.
  giveBackSourceRow(record, globals);
  if (globals->colourStore == nullptr) {
    const OSErr err = createStores(globals, g);
    if (err != noErr) {
      failRun(globals, err);
      return;
    }
  }

  uint8_t* row = static_cast<uint8_t*>(record->inData);
  OSErr err = noErr;
  if (g.extraPlanes > 0) {
    splitRow(row, globals->rowBuffer, g);
    err = writeStoreRow(globals->extraStore, 0, g.row, g.extraRowBytes, globals->rowBuffer);
  }
  if (err == noErr) err = writeBatchedRow(&globals->colourBatch, g.row, row);
  // Every row is in the store before the run starts.
  if (err == noErr && g.row + 1 == g.height) err = flushRowBatch(&globals->colourBatch);
  if (err == noErr && globals->useMask) {
    err = writeStoreRow(globals->maskStore, 0, g.row, g.width, record->maskData);
  }
  if (err != noErr) {
    failRun(globals, err);
    return;
  }
  progress(globals, g.row, 6 * g.height);

  if (g.row + 1 < g.height) {
    requestRow(globals, g.row + 1, true);
  } else {
    globals->phase = PhaseRun;
    requestRow(globals, 0, true);
  }
}

void continueRun(FilterGlobals* globals) {
  // Row 0 comes back with the next call (or not at all when the run fails).
  giveBackSourceRow(globals->filterRecord, globals);
  doRunStage(globals);
  if (globals->phase == PhaseRun) {
    globals->phase = PhaseWrite;  // the rectangles still name row 0
    return;
  }
  if (globals->phase == PhaseDone) {
    disposeStores(globals);
    emptyRect(&globals->filterRecord->inRect);
    emptyRect(&globals->filterRecord->outRect);
  }
}

void continueWrite(FilterGlobals* globals, const RowGeometry& g) {
  FilterRecord* record = globals->filterRecord;
  if (record->outData == nullptr) {
    failRun(globals, filterBadParameters);
    return;
  }
  uint8_t* row = static_cast<uint8_t*>(record->outData);
  OSErr err = readBatchedRow(&globals->colourBatch, g.row, row);
  if (err == noErr && g.extraPlanes > 0) {
    err = readStoreRow(globals->extraStore, 0, g.row, g.extraRowBytes, globals->rowBuffer);
    if (err == noErr) joinRow(row, globals->rowBuffer, g);
  }
  if (err != noErr) {
    // Whatever part of the row arrived is not the result: the source goes
    // back instead, and the code makes the host undo the rows before it.
    giveBackSourceRow(record, globals);
    failRun(globals, err);
    return;
  }
  progress(globals, 5 * g.height + g.row, 6 * g.height);

  if (g.row + 1 < g.height) {
    requestRow(globals, g.row + 1, false);
  } else {
    // The mask rectangle stays: with a mask the host calls once more, and that
    // call disposes of the stores.
    globals->phase = PhaseDone;
    emptyRect(&record->inRect);
    emptyRect(&record->outRect);
  }
}

}  // namespace

void doContinue(FilterGlobals* globals) {
  FilterRecord* record = globals->filterRecord;
  const RowGeometry g = deriveGeometry(globals);
  globals->result = noErr;

  // A record that changed shape since start would send rows outside the buffers:
  // the row buffer holds exactly the row that start saw.
  const bool rowInRange = g.row >= 0 && g.row < g.height;
  const bool sameRow =
      g.width > 0 && int32_t(g.width) * g.planes * g.bytesPerSample == globals->rowBufferBytes;
  if ((globals->phase == PhaseRead || globals->phase == PhaseRun || globals->phase == PhaseWrite) &&
      (!rowInRange || !sameRow || g.extraPlanes < 0 || globals->rowBuffer == nullptr)) {
    globals->result = filterBadParameters;
    globals->phase = PhaseDone;
  }

  switch (globals->phase) {
    case PhaseIdle:
      emptyRect(&record->inRect);
      emptyRect(&record->outRect);
      break;
    case PhaseRead:
      continueRead(globals, g);
      break;
    case PhaseRun:
      continueRun(globals);
      break;
    case PhaseWrite:
      continueWrite(globals, g);
      break;
    case PhaseDone:
      disposeStores(globals);
      emptyRect(&record->inRect);
      emptyRect(&record->outRect);
      emptyRect(&record->maskRect);
      break;
    default:
      break;
  }
}
