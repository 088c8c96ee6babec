// dialogRulesTest.cpp -- the dialog's values, positions, texts, OK checks, scroll codes, panning
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/runContext.h"
#include "params/textFormat.h"
#include "resources/resourceIds.h"
#include "ui/dialogRules.h"

namespace {

std::string formatted(float value) {
  char text[kNumberTextBytes];
  formatFloat(value, text);
  return text;
}

// A dialog opened on the four values, with an image and frame of the given sizes.
struct OpenDialog {
  FilterValues values;
  RunContext context{};
  DialogState state{};

  OpenDialog(float alpha, float beta, float gamma, float delta, int16_t width = 400,
             int16_t height = 300, Rect frame = Rect{10, 12, 210, 212})
      : values{alpha, beta, gamma, delta} {
    context.width = width;
    context.height = height;
    context.channels = 1;
    const DialogParams params{&values, &context, reinterpret_cast<RowStore*>(&context)};
    beginDialogState(&state, &params);
    setPreviewArea(&state, frame);
  }
};

TEST(DialogRules, ControlIdsPairEditsAndBarsByParameter) {
  EXPECT_EQ(parameterForEdit(kEditAlphaId), ParameterAlpha);
  EXPECT_EQ(parameterForEdit(kEditGammaId), ParameterGamma);
  EXPECT_EQ(parameterForEdit(kEditDeltaId), ParameterDelta);
  EXPECT_EQ(parameterForEdit(kEditBetaId), ParameterBeta);
  EXPECT_EQ(parameterForBar(kScrollAlphaId), ParameterAlpha);
  EXPECT_EQ(parameterForBar(kScrollGammaId), ParameterGamma);
  EXPECT_EQ(parameterForBar(kScrollDeltaId), ParameterDelta);
  EXPECT_EQ(parameterForBar(kScrollBetaId), ParameterBeta);
  for (int32_t id : {kButtonOkId, kButtonCancelId, kPanHorizontalId, kPanVerticalId,
                     kPreviewFrameId, kLabelId, 0, 14}) {
    EXPECT_EQ(parameterForEdit(id), -1) << id;
    EXPECT_EQ(parameterForBar(id), -1) << id;
  }
}

TEST(DialogRules, PositionTruncatesAndValueScalesByTheSingleHundredth) {
  EXPECT_EQ(positionForValue(0.29f), 28);  // 0.28999999 x 100
  EXPECT_EQ(positionForValue(0.5f), 50);
  EXPECT_EQ(positionForValue(1.0f), 100);
  EXPECT_EQ(positionForValue(0.0f), 0);
  // Out of range or not a number: held to the bar.
  EXPECT_EQ(positionForValue(1.5f), 100);
  EXPECT_EQ(positionForValue(-0.5f), 0);
  EXPECT_EQ(positionForValue(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(positionForValue(std::numeric_limits<float>::infinity()), 100);

  EXPECT_EQ(valueForPosition(1), 0.0099999998f);
  EXPECT_EQ(valueForPosition(1), float(double(0.01f)));
  EXPECT_EQ(valueForPosition(15), float(15.0 * double(0.01f)));
  EXPECT_EQ(valueForPosition(100), float(100.0 * double(0.01f)));
  EXPECT_EQ(valueForPosition(-3), 0.0f);
  EXPECT_EQ(valueForPosition(250), valueForPosition(100));
}

TEST(DialogRules, TextReadsLikeAtofOverItsFirst31Characters) {
  EXPECT_EQ(numberFromText("0.29"), 0.29);
  EXPECT_EQ(numberFromText("  0.5xyz"), 0.5);
  EXPECT_EQ(numberFromText(""), 0.0);
  EXPECT_EQ(numberFromText("abc"), 0.0);
  EXPECT_EQ(numberFromText(nullptr), 0.0);
  // 31 characters are read: the 32nd and later do not count.
  const std::string spaces(31, ' ');
  EXPECT_EQ(numberFromText((spaces + "0.7").c_str()), 0.0);
  EXPECT_EQ(numberFromText((std::string(30, ' ') + "1.5").c_str()), 1.0);
  EXPECT_EQ(numberFromText((std::string(28, ' ') + "0.7").c_str()), 0.7);
  EXPECT_EQ(numberFromText("0.12345678901234567890123456789999999"),
            std::atof("0.12345678901234567890123456789"));
}

TEST(DialogRules, TypingAcceptsWhatRoundsIntoRangeAndOkTheExactDouble) {
  EXPECT_TRUE(acceptTypedNumber(0.0));
  EXPECT_TRUE(acceptTypedNumber(1.0));
  EXPECT_TRUE(acceptTypedNumber(1.00000001));  // rounds to 1 as a float
  EXPECT_FALSE(acceptConfirmedNumber(1.00000001));
  EXPECT_FALSE(acceptTypedNumber(1.5));
  EXPECT_FALSE(acceptTypedNumber(-0.001));
  EXPECT_FALSE(acceptTypedNumber(1e300));  // far beyond a float
  EXPECT_FALSE(acceptTypedNumber(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(acceptTypedNumber(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(acceptConfirmedNumber(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_TRUE(acceptConfirmedNumber(0.0));
  EXPECT_TRUE(acceptConfirmedNumber(1.0));
}

TEST(DialogRules, OpeningReadsValuesDerivesPositionsAndPointsThePreviewAtTheStore) {
  OpenDialog d(0.29f, 0.5f, 1.0f, 0.0f);
  EXPECT_EQ(d.state.values.value[ParameterAlpha], 0.29f);
  EXPECT_EQ(d.state.position[ParameterAlpha], 28);
  EXPECT_EQ(d.state.position[ParameterBeta], 50);
  EXPECT_EQ(d.state.position[ParameterGamma], 100);
  EXPECT_EQ(d.state.position[ParameterDelta], 0);
  EXPECT_EQ(d.context.previewStore, reinterpret_cast<RowStore*>(&d.context));
  EXPECT_EQ(d.state.context, &d.context);
  EXPECT_EQ(d.state.imageWidth, 400);
  EXPECT_EQ(d.state.imageHeight, 300);
}

TEST(DialogRules, TypedTextSetsValueAndPositionOnlyWhenValid) {
  OpenDialog d(0.5f, 0.5f, 0.5f, 0.5f);
  EXPECT_EQ(applyEditText(&d.state, ParameterAlpha, "0.29", false), 28);
  EXPECT_EQ(d.state.values.value[ParameterAlpha], float(0.29));

  // Out of range: value and position stay, and the bar is put back to them.
  EXPECT_EQ(applyEditText(&d.state, ParameterAlpha, "1.5", false), 28);
  EXPECT_EQ(d.state.values.value[ParameterAlpha], float(0.29));
  EXPECT_EQ(applyEditText(&d.state, ParameterAlpha, "-0.2", false), 28);
  EXPECT_EQ(applyEditText(&d.state, ParameterAlpha, "1e300", false), 28);

  // Empty and non-numeric texts are 0.
  EXPECT_EQ(applyEditText(&d.state, ParameterGamma, "", false), 0);
  EXPECT_EQ(d.state.values.value[ParameterGamma], 0.0f);
  EXPECT_EQ(applyEditText(&d.state, ParameterDelta, "x", false), 0);

  EXPECT_EQ(applyEditText(&d.state, ParameterBeta, "1.00000001", false), 100);
  EXPECT_EQ(d.state.values.value[ParameterBeta], 1.0f);
  EXPECT_EQ(applyEditText(&d.state, 7, "0.3", false), 0);  // no such parameter: nothing
}

// Regression: with the position re-derived from the text a scroll handler sets,
// a line step from p to p + 1 formats p x 0.01f with digits cut off, reads back
// below p + 1 hundredths and the bar falls back: the arrows looked dead.
TEST(DialogRules, LineArrowsMoveEveryPositionDespiteTheTextsRounding) {
  int32_t fallsBack = 0;
  for (int32_t p = 0; p <= kPositionMax; ++p) {
    const std::string text = formatted(valueForPosition(p));
    if (positionForValue(float(numberFromText(text.c_str()))) < p) ++fallsBack;
  }
  EXPECT_EQ(fallsBack, 54);
  EXPECT_EQ(formatted(valueForPosition(1)), "0.00999");

  // The scroll handler's own text keeps the bar where the user scrolled to,
  // while the value follows the text the field shows.
  OpenDialog d(0.0f, 0.0f, 0.0f, 0.0f);
  int32_t bar = 0;
  for (int32_t step = 1; step <= kPositionMax; ++step) {
    int32_t position = -1;
    ASSERT_TRUE(scrollParameterBar(&d.state, ParameterGamma, ScrollLineDown, bar, 0, &position));
    ASSERT_EQ(position, step);
    const std::string text = formatted(d.state.values.value[ParameterGamma]);
    bar = applyEditText(&d.state, ParameterGamma, text.c_str(), true);
    ASSERT_EQ(bar, step) << text;
    ASSERT_EQ(d.state.position[ParameterGamma], step);
    ASSERT_EQ(d.state.values.value[ParameterGamma], float(numberFromText(text.c_str())));
  }
  // Typing afterwards follows the plain rule again.
  EXPECT_EQ(applyEditText(&d.state, ParameterGamma, "0.29", false), 28);
}

TEST(DialogRules, OkChecksInTheOrderAlphaBetaGammaDeltaAndStoresAsItGoes) {
  OpenDialog d(0.1f, 0.2f, 0.3f, 0.4f);
  const char* allValid[] = {"0.25", "", "1", "abc"};
  EXPECT_EQ(confirmEditTexts(&d.state, allValid), -1);
  EXPECT_EQ(d.state.values.value[ParameterAlpha], 0.25f);
  EXPECT_EQ(d.state.values.value[ParameterBeta], 0.0f);
  EXPECT_EQ(d.state.values.value[ParameterGamma], 1.0f);
  EXPECT_EQ(d.state.values.value[ParameterDelta], 0.0f);
  writeBackValues(&d.state);
  EXPECT_EQ(d.values.value[ParameterAlpha], 0.25f);
  EXPECT_EQ(d.values.value[ParameterGamma], 1.0f);

  OpenDialog e(0.1f, 0.2f, 0.3f, 0.4f);
  // Edits 6 (beta) and 4 (gamma) both invalid: beta is named first.
  const char* betaAndGamma[] = {"0.75", "2", "-1", "0.5"};
  EXPECT_EQ(confirmEditTexts(&e.state, betaAndGamma), ParameterBeta);
  EXPECT_EQ(e.state.values.value[ParameterAlpha], 0.75f);  // taken before the refusal
  EXPECT_EQ(e.state.values.value[ParameterGamma], 0.3f);
  EXPECT_EQ(e.values.value[ParameterAlpha], 0.1f);  // nothing written back

  const char* justAboveOne[] = {"1.00000001", "0", "0", "0"};
  EXPECT_EQ(confirmEditTexts(&e.state, justAboveOne), ParameterAlpha);
  const char* deltaOnly[] = {"0", "0", "0", "1.5"};
  EXPECT_EQ(confirmEditTexts(&e.state, deltaOnly), ParameterDelta);

  // "-0" is a number from 0 to 1: taken, typed or confirmed, as 0.
  applyEditText(&e.state, ParameterBeta, "-0", false);
  EXPECT_FALSE(std::signbit(e.state.values.value[ParameterBeta]));
  const char* negativeZero[] = {"-0", "-0.0", "0", "0"};
  EXPECT_EQ(confirmEditTexts(&e.state, negativeZero), -1);
  EXPECT_FALSE(std::signbit(e.state.values.value[ParameterAlpha]));
  EXPECT_FALSE(std::signbit(e.state.values.value[ParameterBeta]));
}

TEST(DialogRules, ScrollCodesStepPageJumpAndStopAtTheEnd) {
  int32_t position = -1;
  EXPECT_TRUE(scrollCodePosition(ScrollLineUp, 50, 0, 100, &position));
  EXPECT_EQ(position, 49);
  EXPECT_TRUE(scrollCodePosition(ScrollLineDown, 50, 0, 100, &position));
  EXPECT_EQ(position, 51);
  EXPECT_TRUE(scrollCodePosition(ScrollPageUp, 50, 0, 100, &position));
  EXPECT_EQ(position, 35);
  EXPECT_TRUE(scrollCodePosition(ScrollPageDown, 50, 0, 100, &position));
  EXPECT_EQ(position, 65);
  EXPECT_TRUE(scrollCodePosition(ScrollThumbPosition, 50, 77, 100, &position));
  EXPECT_EQ(position, 77);
  EXPECT_TRUE(scrollCodePosition(ScrollThumbTrack, 50, 12, 100, &position));
  EXPECT_EQ(position, 12);
  EXPECT_TRUE(scrollCodePosition(ScrollTop, 50, 0, 100, &position));
  EXPECT_EQ(position, 0);
  EXPECT_TRUE(scrollCodePosition(ScrollBottom, 50, 0, 42, &position));
  EXPECT_EQ(position, 42);
  position = -1;
  EXPECT_FALSE(scrollCodePosition(ScrollEnd, 50, 0, 100, &position));
  EXPECT_FALSE(scrollCodePosition(9, 50, 0, 100, &position));
  EXPECT_FALSE(scrollCodePosition(0xFFFF, 50, 0, 100, &position));
  EXPECT_EQ(position, -1);
}

TEST(DialogRules, ParameterBarsClampTo0Through100AndSetTheValue) {
  OpenDialog d(0.0f, 0.0f, 0.0f, 0.0f);
  int32_t position = -1;
  ASSERT_TRUE(scrollParameterBar(&d.state, ParameterBeta, ScrollPageDown, 0, 0, &position));
  EXPECT_EQ(position, 15);
  EXPECT_EQ(d.state.values.value[ParameterBeta], valueForPosition(15));
  ASSERT_TRUE(scrollParameterBar(&d.state, ParameterBeta, ScrollLineUp, 0, 0, &position));
  EXPECT_EQ(position, 0);
  ASSERT_TRUE(scrollParameterBar(&d.state, ParameterBeta, ScrollPageDown, 95, 0, &position));
  EXPECT_EQ(position, 100);
  ASSERT_TRUE(scrollParameterBar(&d.state, ParameterBeta, ScrollThumbTrack, 3, 0xFFFF, &position));
  EXPECT_EQ(position, 100);
  ASSERT_TRUE(scrollParameterBar(&d.state, ParameterBeta, ScrollPageUp, 10, 0, &position));
  EXPECT_EQ(position, 0);
  ASSERT_TRUE(scrollParameterBar(&d.state, ParameterBeta, ScrollBottom, 10, 0, &position));
  EXPECT_EQ(position, 100);
  EXPECT_EQ(d.state.position[ParameterBeta], 100);
  EXPECT_FALSE(scrollParameterBar(&d.state, ParameterBeta, ScrollEnd, 40, 0, &position));
  EXPECT_EQ(d.state.position[ParameterBeta], 100);
  EXPECT_FALSE(scrollParameterBar(&d.state, -1, ScrollTop, 40, 0, &position));
}

TEST(DialogRules, ImageSmallerThanTheFrameHasNothingToPan) {
  OpenDialog d(0, 0, 0, 0, 50, 40, Rect{7, 9, 207, 196});  // frame 187 x 200, odd width
  EXPECT_EQ(d.state.panRangeH, 0);
  EXPECT_EQ(d.state.panRangeV, 0);
  EXPECT_EQ(d.state.sourceRect.top, 0);
  EXPECT_EQ(d.state.sourceRect.left, 0);
  EXPECT_EQ(d.state.sourceRect.bottom, 40);
  EXPECT_EQ(d.state.sourceRect.right, 50);
  const Rect before = d.state.sourceRect;
  int32_t position = -1;
  for (int32_t code = 0; code <= 8; ++code) {
    EXPECT_FALSE(panHorizontal(&d.state, code, 0, 5, &position));
    EXPECT_FALSE(panVertical(&d.state, code, 0, 5, &position));
  }
  EXPECT_EQ(std::memcmp(&before, &d.state.sourceRect, sizeof before), 0);
}

TEST(DialogRules, ImageAsWideAsTheFrameHasOnePanPosition) {
  OpenDialog d(0, 0, 0, 0, 187, 40, Rect{7, 9, 207, 196});
  EXPECT_EQ(d.state.panRangeH, 1);
  EXPECT_EQ(d.state.sourceRect.right, 187);
  for (int32_t code :
       {ScrollLineDown, ScrollPageDown, ScrollThumbTrack, ScrollBottom, ScrollLineUp, ScrollTop}) {
    int32_t position = -1;
    ASSERT_TRUE(panHorizontal(&d.state, code, 0, 1, &position)) << code;
    EXPECT_EQ(position, 0) << code;
    EXPECT_EQ(d.state.sourceRect.left, 0);
    EXPECT_EQ(d.state.sourceRect.right, 187);
  }
}

TEST(DialogRules, TallImagePansOverEveryRow) {
  OpenDialog d(0, 0, 0, 0, 100, 300, Rect{7, 9, 207, 196});  // 200-row frame
  ASSERT_EQ(d.state.panRangeV, 101);
  EXPECT_EQ(d.state.sourceRect.bottom, 200);
  int32_t position = -1;
  ASSERT_TRUE(panVertical(&d.state, ScrollBottom, 0, 0, &position));
  EXPECT_EQ(position, 100);
  EXPECT_EQ(d.state.sourceRect.top, 100);
  EXPECT_EQ(d.state.sourceRect.bottom, 300);
  ASSERT_TRUE(panVertical(&d.state, ScrollThumbPosition, 100, 60, &position));
  EXPECT_EQ(position, 60);
  EXPECT_EQ(d.state.sourceRect.top, 60);
  EXPECT_EQ(d.state.sourceRect.bottom, 260);
  ASSERT_TRUE(panVertical(&d.state, ScrollPageDown, 95, 0, &position));
  EXPECT_EQ(position, 100);
  ASSERT_TRUE(panVertical(&d.state, ScrollLineUp, 0, 0, &position));
  EXPECT_EQ(position, 0);
  EXPECT_FALSE(panVertical(&d.state, ScrollEnd, 50, 0, &position));
  EXPECT_EQ(d.state.sourceRect.top, 0);
  // The horizontal bar stays out of it: the image is narrower than the frame.
  EXPECT_EQ(d.state.panRangeH, 0);
  EXPECT_EQ(d.state.sourceRect.right, 100);
}

TEST(DialogRules, FrameWithNoPixelsPansNothing) {
  OpenDialog d(0, 0, 0, 0, 100, 100, Rect{10, 10, 10, 10});
  EXPECT_EQ(d.state.panRangeH, 0);
  EXPECT_EQ(d.state.panRangeV, 0);
  EXPECT_EQ(d.state.sourceRect.right, 0);
  EXPECT_EQ(d.state.sourceRect.bottom, 0);
}

}  // namespace
