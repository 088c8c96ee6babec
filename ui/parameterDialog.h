// parameterDialog.h -- the modal dialog that sets the four parameters
#pragma once

#include <cstdint>

#include "resources/filterParameters.h"

struct RowStore;
struct RunContext;

// The dialog over the values (clamped) for an image of `depth` bits per
// channel (16, else 8). 0 when the user confirmed (the values written back,
// clamped), -1 when the user cancelled or the dialog could not be created
// (nothing written).
int32_t showParameterDialog(RowStore* store, RunContext* context, FilterValues* values,
                            int32_t depth);
