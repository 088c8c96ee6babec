// dialogRules.h -- the parameter dialog's rules: values, positions, texts, scroll codes and panning
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "resources/filterParameters.h"

struct RowStore;
struct RunContext;

constexpr int32_t kPositionMax = 100;  // a parameter bar runs 0..100
constexpr int32_t kPageStep = 15;      // positions per page step
constexpr int32_t kEditTextMax = 31;   // characters of an edit field that are read

// Scroll codes of the scroll messages (the low word of wParam).
enum : int32_t {
  ScrollLineUp = 0,
  ScrollLineDown = 1,
  ScrollPageUp = 2,
  ScrollPageDown = 3,
  ScrollThumbPosition = 4,
  ScrollThumbTrack = 5,
  ScrollTop = 6,
  ScrollBottom = 7,
  ScrollEnd = 8,  // this one and all above change nothing
};

// What the dialog is handed: where the caller's values live (clamped), the run
// and the colour store the preview reads from.
struct DialogParams {
  FilterValues* values;
  RunContext* context;
  RowStore* store;
};

// The open dialog's working state; the caller's values are untouched until OK.
// The values are in 0..1 throughout: every value the dialog accepts is clamped
// as it is taken.
struct DialogState {
  FilterValues* target;  // null: nothing is written back
  RunContext* context;
  FilterValues values;
  int32_t position[kParameterCount];  // 0..100
  int32_t imageWidth;
  int32_t imageHeight;
  Rect previewFrame;  // control 13 in client coordinates
  Rect sourceRect;    // image rows top..bottom-1, columns left..right-1 in view
  int32_t panRangeH;  // number of pan positions; 0: no panning that way
  int32_t panRangeV;
};

// Control ids of a parameter's edit field and bar, and back; -1 for other ids.
int32_t editForParameter(int32_t parameter);
int32_t barForParameter(int32_t parameter);
int32_t parameterForEdit(int32_t controlId);
int32_t parameterForBar(int32_t controlId);

// trunc(100 v) at double precision: 0.29f (0.28999999) gives 28. Values outside
// 0..1 (a damaged settings file) are held to 0..100; NaN gives 0.
int32_t positionForValue(float value);
// float32(p x 0.01f) formed at double precision; positions are held to 0..100.
float valueForPosition(int32_t position);
// atof of at most the first 31 characters; 0 for null, empty or no number.
double numberFromText(const char* text);
// While typing: t >= 0 and t rounded to float32 <= 1 (1.00000001 passes).
bool acceptTypedNumber(double number);
// At OK: 0 <= t <= 1 as a double (1.00000001 fails).
bool acceptConfirmedNumber(double number);

int32_t frameWidth(const DialogState* state);
int32_t frameHeight(const DialogState* state);

// Takes the pointers and values from params, derives the positions and points
// the run's previewStore at the colour store. A null context leaves it alone.
void beginDialogState(DialogState* state, const DialogParams* params);
// Image size from the run, the frame, the rectangle in view at the top left
// and the pan ranges (image size - frame size + 1, or 0).
void setPreviewArea(DialogState* state, Rect frame);

// An edit field's text changed: the value follows a valid text (clamped, so "-0"
// is 0), and the result is
// the position the paired bar is to show. Text typed by the user re-derives the
// position from the value; text a scroll handler set (setByScroll) keeps the
// position scrolled to, so a line step is not undone by the text's rounding.
int32_t applyEditText(DialogState* state, int32_t parameter, const char* text, bool setByScroll);

// OK: checks the texts in the order of the parameters, storing each accepted
// value (clamped) at once. Returns the first parameter refused, or -1 when all
// were accepted.
int32_t confirmEditTexts(DialogState* state, const char* const texts[kParameterCount]);
// Writes the values to the caller's (a null target is skipped).
void writeBackValues(const DialogState* state);

// The position a scroll code asks for, from the bar's current position, the
// thumb position and the bar's maximum, not yet clamped. False for the end of
// scrolling and unknown codes: the message changes nothing.
bool scrollCodePosition(int32_t code, int32_t current, int32_t thumb, int32_t maximum,
                        int32_t* position);
int32_t clampPosition(int32_t position, int32_t low, int32_t high);

// A parameter bar scrolled: the new bar position clamped to 0..100 into
// *position, the parameter's position and value follow. False: nothing changes.
bool scrollParameterBar(DialogState* state, int32_t parameter, int32_t code, int32_t current,
                        int32_t thumb, int32_t* position);
// A pan bar scrolled: the position clamped to 0..range-1 into *position and the
// rectangle in view moved. False when the bar has no range or the code changes
// nothing.
bool panHorizontal(DialogState* state, int32_t code, int32_t current, int32_t thumb,
                   int32_t* position);
bool panVertical(DialogState* state, int32_t code, int32_t current, int32_t thumb,
                 int32_t* position);
