// equaliseFilter.cpp -- the run stage's filter call: parameters, dialog, the engine's run
#include "entry/equaliseFilter.h"

#include "core/hostErrors.h"
#include "core/runContext.h"
#include "engine/equaliseRun.h"
#include "params/signatureBlock.h"
#include "resources/filterParameters.h"
#include "ui/parameterDialog.h"

namespace {

// The block's entries 0 .. kParameterCount - 1 are the parameters, in the
// table's order (fillFilterSignature).
FilterValues readValues(const SignatureBlock* block) {
  FilterValues values;
  for (int32_t p = 0; p < kParameterCount; ++p) values.value[p] = getFloatValue(block, p);
  return values;
}

void writeValues(SignatureBlock* block, const FilterValues& values) {
  for (int32_t p = 0; p < kParameterCount; ++p) setFloatValue(block, p, values.value[p]);
}

// Everything before the rows are touched: the values (clamped here, where
// they enter the run, so that a settings file or descriptor with values out of
// range can neither pick a radius without a window area nor index past the
// histogram), the dialog (which clamps what it accepts), the values used
// written back, the minimum width. 0 when the rows are to be equalised.
OSErr settleValues(RowStore* store, RunContext* context, SignatureBlock* block, bool skipDialog,
                   int32_t depth, FilterValues* values) {
  if (store == nullptr || context == nullptr || block == nullptr) return userCanceledErr;
  *values = clampFilterValues(readValues(block));
  if (!skipDialog && showParameterDialog(store, context, values, depth) != 0) {
    return userCanceledErr;  // cancelled: nothing written back
  }
  writeValues(block, *values);
  if (context->width < kMinAreaWidth) return userCanceledErr;
  return noErr;
}

int32_t channelsOf(const RunContext* context) {
  const int32_t channels = context->channels;
  return channels < 0 ? -channels : channels;
}

}  // namespace

OSErr adaptiveEqualize(RowStore* store, RunContext* context, SignatureBlock* block, bool skipDialog,
                       int32_t depth) {
  FilterValues values;
  const OSErr err = settleValues(store, context, block, skipDialog, depth, &values);
  if (err != noErr) return err;
  const RunRows rows{store, nullptr};
  return depth == 16 ? equaliseRows<Depth16>(rows, context->width, context->height,
                                             channelsOf(context), &values, context)
                     : equaliseRows<Depth8>(rows, context->width, context->height,
                                            channelsOf(context), &values, context);
}
