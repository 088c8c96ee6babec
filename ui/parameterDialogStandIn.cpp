// parameterDialogStandIn.cpp -- the dialog without a window system: OK with the values given
#include "core/runContext.h"
#include "ui/parameterDialog.h"

int32_t showParameterDialog(RowStore* store, RunContext* context, FilterValues*, int32_t) {
  if (context != nullptr) context->previewStore = store;
  return 0;
}
