// runStage.cpp -- the one continue call that runs the filter over the stores
#include "engine/adaptiveEqualize.h"
#include "entry/filterGlobals.h"
#include "entry/hostErrors.h"
#include "entry/runContext.h"
#include "params/signatureBlock.h"

void doRunStage(FilterGlobals* globals) {
  const FilterRecord* record = globals->filterRecord;
  RunContext* context = createRunContext();
  SignatureBlock* block = createSignatureBlock(kRunSignatureSlots);
  if (context == nullptr || block == nullptr) {
    disposeSignatureBlock(block);
    disposeRunContext(context);
    globals->phase = PhaseDone;
    globals->result = memFullErr;
    return;
  }
  context->width = int16_t(record->filterRect.right - record->filterRect.left);
  context->height = int16_t(record->filterRect.bottom - record->filterRect.top);
  context->channels = channelsForMode(record->imageMode);
  context->filterRecord = globals->filterRecord;

  setSignatureHeader(block, fourCharCode("udef"), 0, 0);
  fillFilterSignature(context, block);

  const OSErr err = globals->bitsPerChannel == 16
                        ? adaptiveEqualize16(globals->colourStore, context, block, false)
                        : adaptiveEqualize8(globals->colourStore, context, block, false);
  if (err != noErr) {
    globals->phase = PhaseDone;
    globals->result = err;
  }

  disposeSignatureBlock(block);
  disposeRunContext(context);
}
