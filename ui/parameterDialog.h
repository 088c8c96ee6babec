// parameterDialog.h -- the modal dialog that sets the four parameters
#pragma once

#include <cstdint>

struct RowStore;
struct RunContext;

// 0 when the user confirmed (the four values written back), -1 when the user
// cancelled or the dialog could not be created (nothing written).
int32_t showParameterDialog8(RowStore* store, RunContext* context, float* alpha, float* beta,
                             float* gamma, float* delta);
int32_t showParameterDialog16(RowStore* store, RunContext* context, float* alpha, float* beta,
                              float* gamma, float* delta);
