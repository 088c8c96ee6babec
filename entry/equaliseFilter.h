// equaliseFilter.h -- the run stage's filter call: parameters, dialog, the engine's run
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

struct RowStore;
struct RunContext;
struct SignatureBlock;

// Shows the dialog unless skipDialog, writes the parameters used back, rewrites
// every stored row (depth bits per channel: 16, else 8) in place. 0, -128
// (dialog cancelled, host abort, area narrower than 15 pixels), -108 (no
// working memory), a failed store transfer's code.
OSErr adaptiveEqualize(RowStore* store, RunContext* context, SignatureBlock* block, bool skipDialog,
                       int32_t depth);
