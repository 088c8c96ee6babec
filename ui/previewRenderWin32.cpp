// previewRenderWin32.cpp -- the preview bits made into a bitmap and copied into the dialog
#include "ui/previewRenderWin32.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/runContext.h"
#include "ui/previewRender.h"

namespace {

// The bits as a device-dependent bitmap of the screen, copied to the frame's
// top-left corner in the target's mapping mode. Any drawing object that cannot
// be had ends the drawing; whatever was made is released.
void drawPreviewBitmap(HDC target, Rect frame, const PreviewBitmap* bitmap) {
  BITMAPINFOHEADER header;
  std::memset(&header, 0, sizeof header);
  header.biSize = sizeof header;
  header.biWidth = bitmap->width;
  header.biHeight = bitmap->height;  // positive: bottom-up rows
  header.biPlanes = 1;
  header.biBitCount = 16;
  header.biCompression = BI_RGB;  // 5-5-5, no colour table
  header.biSizeImage = DWORD(bitmap->width) * DWORD(bitmap->height) * 2;

  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return;
  HBITMAP image = CreateDIBitmap(screen, &header, CBM_INIT, bitmap->bits,
                                 reinterpret_cast<const BITMAPINFO*>(&header), DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  if (image == nullptr) return;

  HDC memory = CreateCompatibleDC(target);
  if (memory == nullptr) {
    DeleteObject(image);
    return;
  }
  HGDIOBJ previous = SelectObject(memory, image);
  if (previous != nullptr && previous != HGDI_ERROR) {
    SetMapMode(memory, GetMapMode(target));
    BITMAP shape;
    std::memset(&shape, 0, sizeof shape);
    if (GetObjectA(image, sizeof shape, &shape) != 0) {
      POINT size{shape.bmWidth, shape.bmHeight};
      DPtoLP(target, &size, 1);
      POINT origin{0, 0};
      DPtoLP(memory, &origin, 1);
      BitBlt(target, frame.left, frame.top, size.x, size.y, memory, origin.x, origin.y, SRCCOPY);
    }
    SelectObject(memory, previous);
  }
  DeleteDC(memory);
  DeleteObject(image);
}

int32_t channelsOf(const RunContext* context) {
  return context->channels < 0 ? -int32_t(context->channels) : context->channels;
}

}  // namespace

void renderPreview(HDC target, Rect frame, Rect source, const RunContext* context,
                   const FilterValues* values, int32_t depth) {
  if (target == nullptr || context == nullptr) return;
  PreviewBitmap bitmap;
  if (createPreviewBitmap(frame, &bitmap) != noErr) return;
  if (renderPreviewBits(&bitmap, context->previewStore, channelsOf(context), depth, source,
                        values) == noErr) {
    drawPreviewBitmap(target, frame, &bitmap);
  }
  disposePreviewBitmap(&bitmap);
}
