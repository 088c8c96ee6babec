// equaliseFilter.cpp -- the run stage's filter call: parameters, dialog, the engine's run
#include "entry/equaliseFilter.h"

#include "core/hostErrors.h"
#include "core/runContext.h"
#include "engine/equaliseRun.h"
#include "params/signatureBlock.h"
#include "resources/filterParameters.h"
#include "ui/parameterDialog.h"

namespace {

void readParameters(const SignatureBlock* block, EqualiseParameters* parameters) {
  parameters->alpha = getFloatValue(block, ParameterAlpha);
  parameters->beta = getFloatValue(block, ParameterBeta);
  parameters->gamma = getFloatValue(block, ParameterGamma);
  parameters->delta = getFloatValue(block, ParameterDelta);
}

void writeParameters(SignatureBlock* block, const EqualiseParameters* parameters) {
  setFloatValue(block, ParameterAlpha, parameters->alpha);
  setFloatValue(block, ParameterBeta, parameters->beta);
  setFloatValue(block, ParameterGamma, parameters->gamma);
  setFloatValue(block, ParameterDelta, parameters->delta);
}

// Everything before the rows are touched: the parameters (clamped, so that a
// settings file with values out of range can neither pick a radius without a
// window area nor index past the histogram), the dialog, the values used
// written back, the minimum width. 0 when the rows are to be equalised.
OSErr settleParameters(RowStore* store, RunContext* context, SignatureBlock* block, bool skipDialog,
                       bool sixteenBit, EqualiseParameters* parameters) {
  if (store == nullptr || context == nullptr || block == nullptr) return userCanceledErr;
  readParameters(block, parameters);
  clampParameters(parameters);
  if (!skipDialog) {
    float* a = &parameters->alpha;
    float* b = &parameters->beta;
    float* g = &parameters->gamma;
    float* d = &parameters->delta;
    const int32_t answer = sixteenBit ? showParameterDialog16(store, context, a, b, g, d)
                                      : showParameterDialog8(store, context, a, b, g, d);
    if (answer != 0) return userCanceledErr;  // cancelled: nothing written back
    clampParameters(parameters);
  }
  writeParameters(block, parameters);
  if (context->width < kMinAreaWidth) return userCanceledErr;
  return noErr;
}

int32_t channelsOf(const RunContext* context) {
  const int32_t channels = context->channels;
  return channels < 0 ? -channels : channels;
}

template <class D>
OSErr runFilter(RowStore* store, RunContext* context, SignatureBlock* block, bool skipDialog) {
  EqualiseParameters parameters;
  const bool sixteenBit = sizeof(typename D::Sample) == 2;
  const OSErr err = settleParameters(store, context, block, skipDialog, sixteenBit, &parameters);
  if (err != noErr) return err;
  return equaliseRows<D>(RunRows{store, nullptr}, context->width, context->height,
                         channelsOf(context), &parameters, context);
}

}  // namespace

OSErr adaptiveEqualize8(RowStore* store, RunContext* context, SignatureBlock* block,
                        bool skipDialog) {
  return runFilter<Depth8>(store, context, block, skipDialog);
}

OSErr adaptiveEqualize16(RowStore* store, RunContext* context, SignatureBlock* block,
                         bool skipDialog) {
  return runFilter<Depth16>(store, context, block, skipDialog);
}
