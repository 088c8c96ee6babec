// resourceIds.h -- resource ids, dialog control ids and four-character codes of the module
#pragma once

// The resource compiler reads this file too: everything above the RC_INVOKED
// guard is a plain decimal integer, the only form it evaluates. The C++
// constants below take their values from these macros, so every number has one
// home.

#define BRISEL_LANGUAGE_ID 1033  // U.S. English: LANG_ENGLISH, SUBLANG_ENGLISH_US

#define BRISEL_PROPERTY_LIST_ID 16000
#define BRISEL_TERMINOLOGY_ID 16000
#define BRISEL_DIALOG_TEMPLATE_ID 9522

// Controls of the parameter dialog (1 and 2 are the system's OK and Cancel ids).
#define BRISEL_ID_BUTTON_OK 1
#define BRISEL_ID_BUTTON_CANCEL 2
#define BRISEL_ID_EDIT_ALPHA 3
#define BRISEL_ID_EDIT_GAMMA 4
#define BRISEL_ID_EDIT_DELTA 5
#define BRISEL_ID_EDIT_BETA 6
#define BRISEL_ID_SCROLL_ALPHA 7
#define BRISEL_ID_SCROLL_GAMMA 8
#define BRISEL_ID_SCROLL_DELTA 9
#define BRISEL_ID_SCROLL_BETA 10
#define BRISEL_ID_PAN_HORIZONTAL 11
#define BRISEL_ID_PAN_VERTICAL 12
#define BRISEL_ID_PREVIEW_FRAME 13
#define BRISEL_ID_LABEL -1  // every static label shares it

#ifndef RC_INVOKED

#include <cstdint>

#include "core/hostInterface.h"

constexpr int32_t kResourceLanguageId = BRISEL_LANGUAGE_ID;
constexpr int32_t kPropertyListId = BRISEL_PROPERTY_LIST_ID;
constexpr int32_t kTerminologyId = BRISEL_TERMINOLOGY_ID;
constexpr int32_t kDialogTemplateId = BRISEL_DIALOG_TEMPLATE_ID;

constexpr int32_t kButtonOkId = BRISEL_ID_BUTTON_OK;
constexpr int32_t kButtonCancelId = BRISEL_ID_BUTTON_CANCEL;
constexpr int32_t kEditAlphaId = BRISEL_ID_EDIT_ALPHA;
constexpr int32_t kEditGammaId = BRISEL_ID_EDIT_GAMMA;
constexpr int32_t kEditDeltaId = BRISEL_ID_EDIT_DELTA;
constexpr int32_t kEditBetaId = BRISEL_ID_EDIT_BETA;
constexpr int32_t kScrollAlphaId = BRISEL_ID_SCROLL_ALPHA;
constexpr int32_t kScrollGammaId = BRISEL_ID_SCROLL_GAMMA;
constexpr int32_t kScrollDeltaId = BRISEL_ID_SCROLL_DELTA;
constexpr int32_t kScrollBetaId = BRISEL_ID_SCROLL_BETA;
constexpr int32_t kPanHorizontalId = BRISEL_ID_PAN_HORIZONTAL;
constexpr int32_t kPanVerticalId = BRISEL_ID_PAN_VERTICAL;
constexpr int32_t kPreviewFrameId = BRISEL_ID_PREVIEW_FRAME;
constexpr int32_t kLabelId = BRISEL_ID_LABEL;

// Four-character codes, first character in the most significant byte. The
// resources store them byte-reversed (the value little-endian).
constexpr OSType kVendorCode = fourCharCode("8BIM");       // property vendor
constexpr OSType kFilterKindCode = fourCharCode("8BFM");   // an image filter
constexpr OSType kSuiteCode = fourCharCode("uMLq");        // suite and event class
constexpr OSType kFilterEventCode = fourCharCode("AHEq");  // the filter's event
constexpr OSType kImageReferenceType = fourCharCode("#ImR");
constexpr OSType kNullType = fourCharCode("null");

#endif  // RC_INVOKED
