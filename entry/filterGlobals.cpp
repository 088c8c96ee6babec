// filterGlobals.cpp -- the parameters, prepare, start and finish selectors
#include "entry/filterGlobals.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "params/scripting.h"
#include "store/rowStore.h"

namespace {

// Two int16 values the host keeps for the plug-in.
constexpr int32_t kParametersBytes = 4;

}  // namespace

void initGlobals(FilterGlobals* globals) {
  std::memset(globals, 0, sizeof *globals);
  globals->phase = PhaseIdle;
}

void doParameters(FilterGlobals* globals) {
  FilterRecord* record = globals->filterRecord;
  if (record->parameters == nullptr) {
    // The handle is the host's once stored, and a host may read and dispose of
    // it through its own suite: it is made there whenever the suite is offered.
    // The module's own handles stand in only for a host without one.
    Handle parameters = handleProcsAvailable(record->handleProcs)
                            ? newHostHandle(record->handleProcs, kParametersBytes)
                            : newMemHandle(kParametersBytes);
    if (parameters != nullptr && *parameters == nullptr) {
      // A host handle without a data block has nowhere to take the values.
      disposeHostHandle(record->handleProcs, parameters);
      parameters = nullptr;
    }
    if (parameters == nullptr) {
      globals->result = memFullErr;
      return;
    }
    reinterpret_cast<int16_t*>(*parameters)[0] = 50;
    record->parameters = parameters;
  }
  // A host handle whose data block is gone has nowhere to take the value.
  if (*record->parameters == nullptr) return;
  // Nothing reads these back; the host keeps them for the plug-in.
  reinterpret_cast<int16_t*>(*record->parameters)[1] = 1;
}

void doPrepare(FilterGlobals* globals) { globals->filterRecord->bufferSpace = 8192; }

void doStart(FilterGlobals* globals) {
  FilterRecord* record = globals->filterRecord;
  // A start without a finish in between must not leak the last run's stores.
  doFinish(globals);

  globals->bitsPerChannel = record->depth == 16 ? 16 : 8;
  globals->phase = PhaseRead;
  globals->useMask = 0;

  const int32_t bytesPerSample = globals->bitsPerChannel / 8;
  const int16_t width = int16_t(record->filterRect.right - record->filterRect.left);
  const int16_t height = int16_t(record->filterRect.bottom - record->filterRect.top);
  if (record->planes < channelsForMode(record->imageMode)) {
    globals->phase = PhaseIdle;
    globals->result = filterBadMode;
    return;
  }
  if (width <= 0 || height <= 0) {
    // Nothing to filter: ask for no rows, the image stays as it is.
    globals->phase = PhaseIdle;
    record->inRect = Rect{0, 0, 0, 0};
    record->outRect = Rect{0, 0, 0, 0};
    return;
  }

  // 32-bit row length: 16-bit RGB rows of wide images exceed 32,767 bytes.
  globals->rowBufferBytes = int32_t(width) * record->planes * bytesPerSample;
  globals->rowBuffer = static_cast<uint8_t*>(allocBlock(globals->rowBufferBytes));
  if (globals->rowBuffer == nullptr) {
    globals->phase = PhaseIdle;
    globals->result = memFullErr;
    return;
  }

  globals->useMask = record->haveMask != 0;
  record->inRect = record->filterRect;
  record->outRect = record->filterRect;
  if (globals->useMask) {
    record->maskRect = record->filterRect;
    record->maskRect.bottom = int16_t(record->filterRect.top + 1);
  }
  record->outRect.bottom = int16_t(record->filterRect.top + 1);
  record->inRect.bottom = record->outRect.bottom;
  record->outLoPlane = 0;
  record->inLoPlane = 0;
  record->outHiPlane = int16_t(record->planes - 1);
  record->inHiPlane = int16_t(record->planes - 1);
}

void disposeStores(FilterGlobals* globals) {
  disposeExtraStore(globals->extraStore);
  globals->extraStore = nullptr;
  disposeColourStore(globals->colourStore);
  globals->colourStore = nullptr;
  disposeMaskStore(globals->maskStore);
  globals->maskStore = nullptr;
  closeRowBatch(&globals->colourBatch);
}

void doFinish(FilterGlobals* globals) {
  disposeStores(globals);
  freeBlock(globals->rowBuffer);
  globals->rowBuffer = nullptr;
  globals->rowBufferBytes = 0;
}
