// dialogRules.cpp -- the parameter dialog's rules: values, positions, texts, scrolling, panning
#include "ui/dialogRules.h"

#include <cstdlib>

#include "core/runContext.h"
#include "resources/filterParameters.h"

namespace {

// The float32 nearest 0.01 (0.0099999998); positions scale by it, not by 0.01.
constexpr float kPositionStep = 0.01f;

bool validParameter(int32_t parameter) { return parameter >= 0 && parameter < kParameterCount; }

// Sets the rectangle in view to `start` .. start + span along one axis.
void moveSpan(int16_t* low, int16_t* high, int32_t start, int32_t span) {
  *low = int16_t(start);
  *high = int16_t(start + span);
}

}  // namespace

int32_t editForParameter(int32_t parameter) {
  return validParameter(parameter) ? kFilterParameters[parameter].editId : -1;
}

int32_t barForParameter(int32_t parameter) {
  return validParameter(parameter) ? kFilterParameters[parameter].barId : -1;
}

int32_t parameterForEdit(int32_t controlId) {
  for (int32_t p = 0; p < kParameterCount; ++p) {
    if (editForParameter(p) == controlId) return p;
  }
  return -1;
}

int32_t parameterForBar(int32_t controlId) {
  for (int32_t p = 0; p < kParameterCount; ++p) {
    if (barForParameter(p) == controlId) return p;
  }
  return -1;
}

int32_t positionForValue(float value) {
  const double scaled = double(value) * 100.0;
  // The comparisons also send NaN to 0, and keep the conversion in range.
  if (!(scaled > 0.0)) return 0;
  if (scaled >= double(kPositionMax)) return kPositionMax;
  return int32_t(scaled);
}

float valueForPosition(int32_t position) {
  const int32_t p = clampPosition(position, 0, kPositionMax);
  return float(double(p) * double(kPositionStep));
}

double numberFromText(const char* text) {
  if (text == nullptr) return 0.0;
  char bounded[kEditTextMax + 1];
  int32_t n = 0;
  while (n < kEditTextMax && text[n] != '\0') {
    bounded[n] = text[n];
    ++n;
  }
  bounded[n] = '\0';
  return std::atof(bounded);
}

bool acceptTypedNumber(double number) {
  // A double above 2 is above 1 after rounding too; testing it first keeps the
  // float conversion in range (1e300 would not fit).
  if (!(number >= 0.0) || number > 2.0) return false;
  return float(number) <= 1.0f;
}

bool acceptConfirmedNumber(double number) { return number >= 0.0 && number <= 1.0; }

int32_t frameWidth(const DialogState* state) {
  return int32_t(state->previewFrame.right) - int32_t(state->previewFrame.left);
}

int32_t frameHeight(const DialogState* state) {
  return int32_t(state->previewFrame.bottom) - int32_t(state->previewFrame.top);
}

void beginDialogState(DialogState* state, const DialogParams* params) {
  state->target = params->values;
  state->context = params->context;
  if (state->context != nullptr) state->context->previewStore = params->store;
  for (int32_t p = 0; p < kParameterCount; ++p) {
    state->values.value[p] = state->target != nullptr ? state->target->value[p] : 0.0f;
    state->position[p] = positionForValue(state->values.value[p]);
  }
  state->imageWidth = 0;
  state->imageHeight = 0;
  state->previewFrame = Rect{0, 0, 0, 0};
  state->sourceRect = Rect{0, 0, 0, 0};
  state->panRangeH = 0;
  state->panRangeV = 0;
}

void setPreviewArea(DialogState* state, Rect frame) {
  state->imageWidth = state->context != nullptr ? state->context->width : 0;
  state->imageHeight = state->context != nullptr ? state->context->height : 0;
  if (state->imageWidth < 0) state->imageWidth = 0;
  if (state->imageHeight < 0) state->imageHeight = 0;
  state->previewFrame = frame;
  const int32_t w = frameWidth(state) > 0 ? frameWidth(state) : 0;
  const int32_t h = frameHeight(state) > 0 ? frameHeight(state) : 0;
  state->sourceRect.top = 0;
  state->sourceRect.left = 0;
  state->sourceRect.bottom = int16_t(state->imageHeight < h ? state->imageHeight : h);
  state->sourceRect.right = int16_t(state->imageWidth < w ? state->imageWidth : w);
  const int32_t rangeH = state->imageWidth - w + 1;
  const int32_t rangeV = state->imageHeight - h + 1;
  // A frame with no pixels has nothing to pan.
  state->panRangeH = rangeH > 0 && w > 0 ? rangeH : 0;
  state->panRangeV = rangeV > 0 && h > 0 ? rangeV : 0;
}

int32_t applyEditText(DialogState* state, int32_t parameter, const char* text, bool setByScroll) {
  if (!validParameter(parameter)) return 0;
  const double t = numberFromText(text);
  if (acceptTypedNumber(t)) {
    state->values.value[parameter] = clampParameter(float(t));
    if (!setByScroll) {
      state->position[parameter] = positionForValue(state->values.value[parameter]);
    }
  }
  return state->position[parameter];
}

int32_t confirmEditTexts(DialogState* state, const char* const texts[kParameterCount]) {
  for (int32_t p = 0; p < kParameterCount; ++p) {
    const double t = numberFromText(texts[p]);
    if (!acceptConfirmedNumber(t)) return p;
    state->values.value[p] = clampParameter(float(t));
  }
  return -1;
}

void writeBackValues(const DialogState* state) {
  if (state->target != nullptr) *state->target = state->values;
}

bool scrollCodePosition(int32_t code, int32_t current, int32_t thumb, int32_t maximum,
                        int32_t* position) {
  switch (code) {
    case ScrollLineUp:
      *position = current - 1;
      return true;
    case ScrollLineDown:
      *position = current + 1;
      return true;
    case ScrollPageUp:
      *position = current - kPageStep;
      return true;
    case ScrollPageDown:
      *position = current + kPageStep;
      return true;
    case ScrollThumbPosition:
    case ScrollThumbTrack:
      *position = thumb;
      return true;
    case ScrollTop:
      *position = 0;
      return true;
    case ScrollBottom:
      *position = maximum;
      return true;
    default:
      return false;
  }
}

int32_t clampPosition(int32_t position, int32_t low, int32_t high) {
  if (position < low) return low;
  if (position > high) return high;
  return position;
}

bool scrollParameterBar(DialogState* state, int32_t parameter, int32_t code, int32_t current,
                        int32_t thumb, int32_t* position) {
  if (!validParameter(parameter)) return false;
  int32_t wanted = 0;
  if (!scrollCodePosition(code, current, thumb, kPositionMax, &wanted)) return false;
  *position = clampPosition(wanted, 0, kPositionMax);
  state->position[parameter] = *position;
  state->values.value[parameter] = valueForPosition(*position);
  return true;
}

bool panHorizontal(DialogState* state, int32_t code, int32_t current, int32_t thumb,
                   int32_t* position) {
  if (state->panRangeH <= 0) return false;
  int32_t wanted = 0;
  if (!scrollCodePosition(code, current, thumb, state->panRangeH, &wanted)) return false;
  // The bar's range ends at panRangeH, one past the last position kept.
  *position = clampPosition(wanted, 0, state->panRangeH - 1);
  moveSpan(&state->sourceRect.left, &state->sourceRect.right, *position, frameWidth(state));
  return true;
}

bool panVertical(DialogState* state, int32_t code, int32_t current, int32_t thumb,
                 int32_t* position) {
  if (state->panRangeV <= 0) return false;
  int32_t wanted = 0;
  if (!scrollCodePosition(code, current, thumb, state->panRangeV, &wanted)) return false;
  *position = clampPosition(wanted, 0, state->panRangeV - 1);
  moveSpan(&state->sourceRect.top, &state->sourceRect.bottom, *position, frameHeight(state));
  return true;
}
