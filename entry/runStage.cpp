// runStage.cpp -- the one continue call that runs the filter over the stores
#include "core/hostErrors.h"
#include "core/runContext.h"
#include "entry/equaliseFilter.h"
#include "entry/filterGlobals.h"
#include "entry/settingsFile.h"
#include "params/runLog.h"
#include "params/scripting.h"
#include "params/signatureBlock.h"

void doRunStage(FilterGlobals* globals) {
  const FilterRecord* record = globals->filterRecord;
  RunContext* context = createRunContext();
  if (context == nullptr) {
    globals->phase = PhaseDone;
    globals->result = memFullErr;
    return;
  }
  context->width = int16_t(record->filterRect.right - record->filterRect.left);
  context->height = int16_t(record->filterRect.bottom - record->filterRect.top);
  context->channels = channelsForMode(record->imageMode);
  context->filterRecord = globals->filterRecord;

  FileHandle settings = kNoFile;
  loadSettings(context, &settings);

  SignatureBlock* block = createSignatureBlock(kRunSignatureSlots);
  if (block == nullptr) {
    (void)fileClose(settings);
    disposeRunContext(context);
    globals->phase = PhaseDone;
    globals->result = memFullErr;
    return;
  }
  setSignatureHeader(block, fourCharCode("udef"), 0, 0);
  (void)fillFilterSignature(context, block);

  const bool skipDialog = readScriptingParameters(record, block);
  const OSErr err =
      adaptiveEqualize(globals->colourStore, context, block, skipDialog, globals->bitsPerChannel);
  if (err != noErr) {
    globals->phase = PhaseDone;
    globals->result = err;
  }

  // Cancelled runs are recorded too; none of these can fail the run.
  (void)writeScriptingParameters(record, block);
  (void)writeRunLog(block, globals->result);
  disposeSignatureBlock(block);
  saveSettings(context, &settings);
  disposeRunContext(context);
}
