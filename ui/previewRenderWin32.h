// previewRenderWin32.h -- the preview drawn into the dialog's device context
#pragma once

#include <windows.h>

#include "core/hostInterface.h"

struct RunContext;

// Equalises source (the part of the image in view) with the four values and
// copies it, one image pixel per screen pixel, to the frame's top-left corner
// of target. Draws nothing when memory or a drawing object cannot be had.
void renderPreview8(HDC target, Rect frame, Rect source, const RunContext* context, float alpha,
                    float beta, float gamma, float delta);
void renderPreview16(HDC target, Rect frame, Rect source, const RunContext* context, float alpha,
                     float beta, float gamma, float delta);
