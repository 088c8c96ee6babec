// parameterDialogStandIn.cpp -- the dialog without a window system: OK with the values given
#include "core/runContext.h"
#include "ui/parameterDialog.h"

int32_t showParameterDialog8(RowStore* store, RunContext* context, float*, float*, float*, float*) {
  if (context != nullptr) context->previewStore = store;
  return 0;
}

int32_t showParameterDialog16(RowStore* store, RunContext* context, float*, float*, float*,
                              float*) {
  if (context != nullptr) context->previewStore = store;
  return 0;
}
