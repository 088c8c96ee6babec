// filterGlobals.h -- the record the host keeps for the module between calls
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "store/rowBatch.h"

struct RowStore;

enum : int16_t {
  PhaseIdle = 0,
  PhaseRead = 1,
  PhaseRun = 2,
  PhaseWrite = 3,
  PhaseDone = 4,
};

struct FilterGlobals {
  int16_t phase;
  int16_t result;              // code of the call under way, handed to the host
  RowStore* colourStore;       // packed colour samples of the filter rectangle
  FilterRecord* filterRecord;  // refreshed at the start of every call
  uint8_t* rowBuffer;          // one full row: width x planes x bytes per sample
  RowStore* extraStore;        // planes beyond the colour channels, when any
  RowStore* maskStore;         // the selection mask, one byte a pixel
  uint8_t useMask;
  int16_t bitsPerChannel;  // 8 or 16
  int32_t rowBufferBytes;  // size of rowBuffer, fixed at start
  // Whole packed colour rows between the host's row-at-a-time calls and the
  // colour store, so that the store is written and read in blocks of rows:
  // written behind while reading in, read ahead while writing out.
  RowBatch colourBatch;
};

void initGlobals(FilterGlobals* globals);
// Closes and deletes whichever stores exist, and clears them.
void disposeStores(FilterGlobals* globals);

// Selector handlers; each leaves its code in globals->result.
void doParameters(FilterGlobals* globals);
void doPrepare(FilterGlobals* globals);
void doStart(FilterGlobals* globals);
void doContinue(FilterGlobals* globals);
void doFinish(FilterGlobals* globals);
// The one continue call that runs the filter over the stores.
void doRunStage(FilterGlobals* globals);
