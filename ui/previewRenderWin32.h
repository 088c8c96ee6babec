// previewRenderWin32.h -- the preview drawn into the dialog's device context
#pragma once

#include <windows.h>

#include "core/hostInterface.h"
#include "resources/filterParameters.h"

struct RunContext;

// Equalises source (the part of the image in view, depth bits per channel:
// 16, else 8) with the dialog's values and copies it, one image pixel per
// screen pixel, to the frame's top-left corner of target. Draws nothing when
// memory or a drawing object cannot be had.
void renderPreview(HDC target, Rect frame, Rect source, const RunContext* context,
                   const FilterValues* values, int32_t depth);
