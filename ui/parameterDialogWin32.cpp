// parameterDialogWin32.cpp -- the modal parameter dialog: Win32 messages into the dialog's rules
#include <windows.h>

#include "core/moduleInstance.h"
#include "core/runContext.h"
#include "params/textFormat.h"
#include "resources/resourceIds.h"
#include "ui/dialogRules.h"
#include "ui/parameterDialog.h"
#include "ui/previewRenderWin32.h"

namespace {

// The open dialog: the dialog is modal and the module shows one at a time, so
// one record serves both depths and keeps its state while the dialog is open.
struct OpenDialog {
  int32_t depth;  // bits per channel of the image previewed
  DialogParams params;
  DialogState state;
  // Set while a scroll handler puts a value's text into its field: the change
  // notification that raises (before the setting call returns) must not move
  // the bar back to the position the rounded text reads as.
  bool settingFromScroll;
};

OpenDialog openDialog{8, {}, {}, false};

// The order the fields are filled in at opening, and the bars set up.
const int32_t kFillOrder[kParameterCount] = {ParameterAlpha, ParameterGamma, ParameterDelta,
                                             ParameterBeta};

Rect controlClientRect(HWND dialog, int32_t controlId) {
  RECT window{0, 0, 0, 0};
  GetWindowRect(GetDlgItem(dialog, controlId), &window);
  POINT topLeft{window.left, window.top};
  POINT bottomRight{window.right, window.bottom};
  ScreenToClient(dialog, &topLeft);
  ScreenToClient(dialog, &bottomRight);
  return Rect{int16_t(topLeft.y), int16_t(topLeft.x), int16_t(bottomRight.y),
              int16_t(bottomRight.x)};
}

// A pan bar with nothing to pan is disabled: it looks it and takes no input.
// Disabling sends the control its WM_ENABLE message.
void disableControl(HWND dialog, int32_t controlId) {
  EnableWindow(GetDlgItem(dialog, controlId), FALSE);
}

void setEditNumber(HWND dialog, int32_t controlId, float value) {
  char text[kNumberTextBytes];
  formatFloat(value, text);
  SetDlgItemTextA(dialog, controlId, text);  // raises EN_CHANGE before it returns
}

void selectAllText(HWND dialog, int32_t controlId) {
  SendDlgItemMessageA(dialog, controlId, EM_SETSEL, 0, -1);
}

void invalidateArea(HWND dialog, Rect area) {
  RECT r{area.left, area.top, area.right, area.bottom};
  InvalidateRect(dialog, &r, TRUE);
}

void setBarPosition(HWND dialog, int32_t controlId, int32_t position, BOOL redraw) {
  SetScrollPos(GetDlgItem(dialog, controlId), SB_CTL, position, redraw);
}

// Text of a field: the first kEditTextMax characters are all that is read.
void readEditText(HWND dialog, int32_t controlId, char* text) {
  text[0] = '\0';
  GetDlgItemTextA(dialog, controlId, text, kEditTextMax + 1);
}

INT_PTR initialiseDialog(OpenDialog* v, HWND dialog, LPARAM lParam) {
  const DialogParams* params = reinterpret_cast<const DialogParams*>(lParam);
  if (params == nullptr) {
    EndDialog(dialog, kButtonCancelId);
    return 0;
  }
  DialogState* state = &v->state;
  v->settingFromScroll = false;
  beginDialogState(state, params);
  for (int32_t parameter : kFillOrder) {
    const int32_t edit = editForParameter(parameter);
    setEditNumber(dialog, edit, state->values.value[parameter]);
    selectAllText(dialog, edit);
  }
  SetFocus(GetDlgItem(dialog, editForParameter(ParameterAlpha)));
  for (int32_t parameter : kFillOrder) {
    const HWND bar = GetDlgItem(dialog, barForParameter(parameter));
    SetScrollRange(bar, SB_CTL, 0, kPositionMax, FALSE);
    SetScrollPos(bar, SB_CTL, state->position[parameter], FALSE);
  }
  setPreviewArea(state, controlClientRect(dialog, kPreviewFrameId));
  if (state->panRangeH > 0) {
    const HWND bar = GetDlgItem(dialog, kPanHorizontalId);
    SetScrollRange(bar, SB_CTL, 0, state->panRangeH, FALSE);
    SetScrollPos(bar, SB_CTL, 0, FALSE);
  } else {
    disableControl(dialog, kPanHorizontalId);
  }
  if (state->panRangeV > 0) {
    const HWND bar = GetDlgItem(dialog, kPanVerticalId);
    SetScrollRange(bar, SB_CTL, 0, state->panRangeV, FALSE);
    SetScrollPos(bar, SB_CTL, 0, FALSE);
  } else {
    disableControl(dialog, kPanVerticalId);
  }
  InvalidateRect(dialog, nullptr, TRUE);
  return 0;  // the focus is set
}

INT_PTR handleCommand(OpenDialog* v, HWND dialog, WPARAM wParam) {
  DialogState* state = &v->state;
  const int32_t id = LOWORD(wParam);
  const int32_t notification = HIWORD(wParam);
  const int32_t parameter = parameterForEdit(id);
  if (parameter >= 0) {
    if (notification != EN_CHANGE) return 1;
    char text[kEditTextMax + 1];
    readEditText(dialog, id, text);
    const int32_t position = applyEditText(state, parameter, text, v->settingFromScroll);
    setBarPosition(dialog, barForParameter(parameter), position, TRUE);
    invalidateArea(dialog, state->previewFrame);
    return 1;
  }
  if (id == kButtonOkId) {
    char texts[kParameterCount][kEditTextMax + 1];
    const char* views[kParameterCount];
    for (int32_t p = 0; p < kParameterCount; ++p) {
      readEditText(dialog, editForParameter(p), texts[p]);
      views[p] = texts[p];
    }
    const int32_t refused = confirmEditTexts(state, views);
    if (refused >= 0) {
      SetFocus(GetDlgItem(dialog, editForParameter(refused)));
      MessageBeep(0xFFFFFFFF);
      return 1;
    }
    writeBackValues(state);
    EndDialog(dialog, kButtonOkId);
    return 1;
  }
  if (id == kButtonCancelId) {
    EndDialog(dialog, kButtonCancelId);
    return 1;
  }
  return 0;
}

INT_PTR handleScroll(OpenDialog* v, HWND dialog, bool vertical, WPARAM wParam, LPARAM lParam) {
  DialogState* state = &v->state;
  const HWND bar = reinterpret_cast<HWND>(lParam);
  if (bar == nullptr) return 0;
  const int32_t id = GetDlgCtrlID(bar);
  const int32_t code = LOWORD(wParam);
  const int32_t thumb = HIWORD(wParam);
  const int32_t current = GetScrollPos(bar, SB_CTL);
  int32_t position = 0;

  const int32_t parameter = vertical ? -1 : parameterForBar(id);
  if (parameter >= 0) {
    if (!scrollParameterBar(state, parameter, code, current, thumb, &position)) return 0;
    SetScrollPos(bar, SB_CTL, position, TRUE);
    const int32_t edit = editForParameter(parameter);
    v->settingFromScroll = true;
    setEditNumber(dialog, edit, state->values.value[parameter]);
    v->settingFromScroll = false;
    selectAllText(dialog, edit);
    SetFocus(GetDlgItem(dialog, edit));
    invalidateArea(dialog, state->previewFrame);
    return 1;
  }
  if (id == (vertical ? kPanVerticalId : kPanHorizontalId)) {
    if ((vertical ? state->panRangeV : state->panRangeH) <= 0) return 1;  // nothing to pan
    const bool moved = vertical ? panVertical(state, code, current, thumb, &position)
                                : panHorizontal(state, code, current, thumb, &position);
    if (!moved) return 0;
    SetScrollPos(bar, SB_CTL, position, TRUE);
    invalidateArea(dialog, state->previewFrame);
    return 1;
  }
  return 0;
}

// The preview goes through a device context of the whole client area, then
// the frame's outline one pixel outside it on every side.
INT_PTR paintDialog(OpenDialog* v, HWND dialog) {
  const DialogState* state = &v->state;
  PAINTSTRUCT paint;
  BeginPaint(dialog, &paint);
  HDC dc = GetDC(dialog);
  if (dc != nullptr) {
    const Rect frame = state->previewFrame;
    renderPreview(dc, frame, state->sourceRect, state->context, &state->values, v->depth);
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(0, 0, 0));
    if (pen != nullptr) {
      SelectObject(dc, pen);
      MoveToEx(dc, frame.left - 1, frame.top - 1, nullptr);
      LineTo(dc, frame.left - 1, frame.bottom);
      LineTo(dc, frame.right, frame.bottom);
      LineTo(dc, frame.right, frame.top - 1);
      LineTo(dc, frame.left - 1, frame.top - 1);
      SelectObject(dc, GetStockObject(BLACK_PEN));
      DeleteObject(pen);
    }
    ReleaseDC(dialog, dc);
  }
  EndPaint(dialog, &paint);
  return 0;
}

INT_PTR handleMessage(OpenDialog* v, HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return initialiseDialog(v, dialog, lParam);
    case WM_COMMAND:
      return handleCommand(v, dialog, wParam);
    case WM_HSCROLL:
      return handleScroll(v, dialog, false, wParam, lParam);
    case WM_VSCROLL:
      return handleScroll(v, dialog, true, wParam, lParam);
    case WM_PAINT:
      return paintDialog(v, dialog);
    default:
      return 0;
  }
}

INT_PTR CALLBACK parameterDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  return handleMessage(&openDialog, dialog, message, wParam, lParam);
}

// The host's window, when it names one; a handle that is not a window would
// make the dialog fail to open, so the dialog then has no owner instead.
HWND ownerWindow(const RunContext* context) {
  if (context == nullptr || context->filterRecord == nullptr ||
      context->filterRecord->platformData == nullptr) {
    return nullptr;
  }
  const HWND owner = reinterpret_cast<HWND>(context->filterRecord->platformData->hwnd);
  return owner != nullptr && IsWindow(owner) ? owner : nullptr;
}

}  // namespace

int32_t showParameterDialog(RowStore* store, RunContext* context, FilterValues* values,
                            int32_t depth) {
  if (context == nullptr) return -1;
  OpenDialog* v = &openDialog;
  v->depth = depth;
  v->params = DialogParams{values, context, store};
  context->previewStore = store;
  const INT_PTR answer = DialogBoxParamA(static_cast<HINSTANCE>(getModuleInstance()),
                                         MAKEINTRESOURCEA(kDialogTemplateId), ownerWindow(context),
                                         parameterDialogProc, reinterpret_cast<LPARAM>(&v->params));
  // Only OK ends the dialog with 1. Cancel gives 2, a dialog that could not be
  // made -1, and an owner the system refused 0: none of them is a confirmation.
  return answer == kButtonOkId ? 0 : -1;
}
