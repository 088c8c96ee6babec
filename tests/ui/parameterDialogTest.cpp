// parameterDialogTest.cpp -- the real dialog in real runs: typing, OK, Cancel, bars, panning
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "pluginHost/descriptorText.h"
#include "resources/resourceIds.h"
#include "tests/ui/dialogHarness.h"
#include "tests/ui/pngFile.h"
#include "ui/dialogRules.h"

namespace {

HWND refusedParent = nullptr;

// Refuses every window the module would create under the host's window.
LRESULT CALLBACK refuseDialogs(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    const CBT_CREATEWNDA* create = reinterpret_cast<const CBT_CREATEWNDA*>(lParam);
    if (create->lpcs->hwndParent == refusedParent) return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// ---- typing and OK ----

TEST_F(ParameterDialogTest, TypedValuesMoveTheBarsAndOkChecksEveryField) {
  std::ofstream(fixedFilePath(kRunLogName), std::ios::binary).close();  // switches the log on
  HostImage image = makePatternImage(60, 50, 8, false);
  const HostImage original = image;
  HostRunResult result = runWithDialog(&image, [&](HWND d) {
    typeText(d, kEditAlphaId, "0.29");
    EXPECT_EQ(editText(d, kEditAlphaId), "0.29");
    EXPECT_EQ(barPosition(d, kScrollAlphaId), 28);
    const std::vector<uint32_t> before = grabFrame(d);

    // Out of range: the bar stays, and so does the value the preview uses.
    setText(d, kEditAlphaId, "1.5");
    EXPECT_EQ(barPosition(d, kScrollAlphaId), 28);
    EXPECT_EQ(grabFrame(d), before);
    SetFocus(item(d, kEditDeltaId));
    EXPECT_FALSE(press(d, IDOK));
    EXPECT_EQ(GetFocus(), item(d, kEditAlphaId));

    // Edits 6 and 4 both refused: OK names 6 first.
    setText(d, kEditAlphaId, "0.29");
    setText(d, kEditBetaId, "2");
    setText(d, kEditGammaId, "-1");
    EXPECT_FALSE(press(d, IDOK));
    EXPECT_EQ(GetFocus(), item(d, kEditBetaId));

    // Accepted while typing, refused by OK.
    setText(d, kEditBetaId, "0.5");
    setText(d, kEditGammaId, "1.00000001");
    EXPECT_EQ(barPosition(d, kScrollGammaId), 100);
    EXPECT_FALSE(press(d, IDOK));
    EXPECT_EQ(GetFocus(), item(d, kEditGammaId));

    setText(d, kEditGammaId, "");  // empty counts as 0
    EXPECT_EQ(barPosition(d, kScrollGammaId), 0);
    // 31 characters are read.
    setText(d, kEditDeltaId, "0.25000000000000000000000000000009999999");
    EXPECT_EQ(barPosition(d, kScrollDeltaId), 25);
    EXPECT_TRUE(press(d, IDOK));
  });
  ASSERT_EQ(result.result, noErr);
  EXPECT_EQ(recordedValue(result, "AEqa"), double(0.29f));
  EXPECT_EQ(recordedValue(result, "AEqb"), 0.5);
  EXPECT_EQ(recordedValue(result, "AEqg"), 0.0);
  EXPECT_EQ(recordedValue(result, "AEqd"), double(float(0.25)));
  const std::string log = readText(fixedFilePath(kRunLogName));
  EXPECT_NE(log.find("Key = AEqa\tMin = 0.0\tMax = 1.00000\tValue = " + formatted(0.29f)),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Key = AEqd\tMin = 0.0\tMax = 1.00000\tValue = 0.25000"), std::string::npos)
      << log;
  EXPECT_NE(image.data, original.data);

  // The same values replayed without the dialog give the same image.
  HostImage replayed = original;
  HostRunOptions replay;
  replay.playInfo = plugInDialogDontDisplay;
  replay.hasDescriptor = true;
  replay.descriptor = result.recordedDescriptor;
  HostRunResult second;
  runFilter(&session_, &replayed, replay, &second);
  ASSERT_EQ(second.result, noErr);
  EXPECT_EQ(replayed.data, image.data);
}

TEST_F(ParameterDialogTest, CancelWritesNothingBackButRecordsTheRun) {
  std::ofstream(fixedFilePath(kRunLogName), std::ios::binary).close();
  HostImage image = makePatternImage(40, 30, 16, true);
  const HostImage original = image;
  HostRunOptions options;
  options.hasDescriptor = true;
  setDescriptorFloat(&options.descriptor, codeFromText("AEqa"), 0.125);
  HostRunResult result = runWithDialog(
      &image,
      [&](HWND d) {
        EXPECT_EQ(editText(d, kEditAlphaId), "0.12500");
        EXPECT_EQ(barPosition(d, kScrollAlphaId), 12);
        typeText(d, kEditAlphaId, "0.9");  // float 0.89999998: position 89
        EXPECT_EQ(barPosition(d, kScrollAlphaId), 89);
        EXPECT_TRUE(press(d, IDCANCEL));
      },
      options);
  EXPECT_EQ(result.result, userCanceledErr);
  EXPECT_EQ(image.data, original.data);
  ASSERT_TRUE(result.recorded);
  EXPECT_EQ(recordedValue(result, "AEqa"), 0.125);  // the value from before the dialog
  const std::string log = readText(fixedFilePath(kRunLogName));
  EXPECT_NE(log.find("Result = -128"), std::string::npos) << log;
  EXPECT_TRUE(fixedFileExists(kSettingsFileName));
  EXPECT_FALSE(anyStoreFileLeft());
}

// ---- the bars ----

TEST_F(ParameterDialogTest, ScrollCodesMoveAParameterBarWithinItsRange) {
  HostImage image = makePatternImage(30, 30, 8, true);
  HostRunResult result = runWithDialog(&image, [&](HWND d) {
    setText(d, kEditGammaId, "0");
    ASSERT_EQ(barPosition(d, kScrollGammaId), 0);
    // Regression: line steps used to fall back wherever the text's cut-off
    // digits read below the new position (position 1 reads "0.00999").
    for (int p = 1; p <= 100; ++p) {
      scroll(d, kScrollGammaId, ScrollLineDown);
      ASSERT_EQ(barPosition(d, kScrollGammaId), p);
      ASSERT_EQ(editText(d, kEditGammaId), formatted(valueForPosition(p)));
    }
    EXPECT_EQ(GetFocus(), item(d, kEditGammaId));
    scroll(d, kScrollGammaId, ScrollLineDown);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 100);
    scroll(d, kScrollGammaId, ScrollTop);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 0);
    EXPECT_EQ(editText(d, kEditGammaId), "0.0");
    scroll(d, kScrollGammaId, ScrollLineUp);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 0);
    scroll(d, kScrollGammaId, ScrollPageDown);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 15);
    EXPECT_EQ(editText(d, kEditGammaId), formatted(valueForPosition(15)));
    scroll(d, kScrollGammaId, ScrollPageUp);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 0);
    scroll(d, kScrollGammaId, ScrollThumbPosition, 73);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 73);
    scroll(d, kScrollGammaId, ScrollThumbTrack, 150);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 100);
    scroll(d, kScrollGammaId, ScrollPageDown);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 100);
    scroll(d, kScrollGammaId, ScrollBottom);
    EXPECT_EQ(barPosition(d, kScrollGammaId), 100);
    scroll(d, kScrollGammaId, ScrollThumbTrack, 37);
    const std::string text = editText(d, kEditGammaId);
    scroll(d, kScrollGammaId, ScrollEnd);  // the end of scrolling changes nothing
    EXPECT_EQ(barPosition(d, kScrollGammaId), 37);
    EXPECT_EQ(editText(d, kEditGammaId), text);
    // Typing keeps the plain rule: the bar shows the typed value's position.
    typeText(d, kEditBetaId, "0.29");
    EXPECT_EQ(barPosition(d, kScrollBetaId), 28);
    EXPECT_TRUE(press(d, IDOK));
  });
  ASSERT_EQ(result.result, noErr);
  EXPECT_EQ(recordedValue(result, "AEqg"),
            double(float(std::atof(formatted(valueForPosition(37)).c_str()))));
  EXPECT_EQ(recordedValue(result, "AEqb"), double(0.29f));
}

TEST_F(ParameterDialogTest, ImageSmallerThanTheFrameCannotBePanned) {
  HostImage image = makePatternImage(frameW_ - 20, frameH_ - 30, 8, false);
  std::vector<uint32_t> shown;
  runWithDialog(&image, [&](HWND d) {
    EXPECT_FALSE(IsWindowEnabled(item(d, kPanHorizontalId)));
    EXPECT_FALSE(IsWindowEnabled(item(d, kPanVerticalId)));
    const std::vector<uint32_t> before = grabFrame(d);
    for (int code = 0; code <= 8; ++code) {
      scroll(d, kPanHorizontalId, code, 3);
      scroll(d, kPanVerticalId, code, 3);
    }
    const std::vector<uint32_t> after = grabFrame(d);
    EXPECT_EQ(after, before);
    ASSERT_EQ(after.size(), size_t(frameW_) * frameH_);
    // Rows below the image and columns past it stay white.
    for (int line = 1; line < frameH_ - 1; ++line) {
      for (int x = 1; x < frameW_ - 1; ++x) {
        if (line >= image.height || x >= image.width) {
          ASSERT_EQ(after[size_t(line) * frameW_ + x], 0xFFFFFFu) << line << "," << x;
        }
      }
    }
    shown = after;
    EXPECT_TRUE(press(d, IDCANCEL));
  });
  // The store is the run's while the dialog is open; the expectation comes after.
  const Rect whole{0, 0, int16_t(image.height), int16_t(image.width)};
  EXPECT_TRUE(
      previewShown(shown, frame_, portablePreview(image, frame_, whole, FilterValues{0, 0, 0, 0})));
}

TEST_F(ParameterDialogTest, ImageAsWideAsTheFrameHasOnePanPosition) {
  // As wide as the frame, then exactly the frame's size.
  for (int height : {frameH_ / 2, frameH_}) {
    SCOPED_TRACE(height);
    HostImage image = makePatternImage(frameW_, height, 8, true);
    std::vector<uint32_t> shown;
    runWithDialog(&image, [&](HWND d) {
      int low = -1, high = -1;
      GetScrollRange(item(d, kPanHorizontalId), SB_CTL, &low, &high);
      EXPECT_EQ(low, 0);
      EXPECT_EQ(high, 1);
      EXPECT_TRUE(IsWindowEnabled(item(d, kPanHorizontalId)));
      EXPECT_EQ(IsWindowEnabled(item(d, kPanVerticalId)) != FALSE, height == frameH_);
      const std::vector<uint32_t> before = grabFrame(d);
      for (int code : {ScrollLineDown, ScrollPageDown, ScrollThumbTrack, ScrollBottom, ScrollLineUp,
                       ScrollTop}) {
        scroll(d, kPanHorizontalId, code, 1);
        EXPECT_EQ(barPosition(d, kPanHorizontalId), 0) << code;
        scroll(d, kPanVerticalId, code, 1);
        EXPECT_EQ(barPosition(d, kPanVerticalId), 0) << code;
      }
      shown = grabFrame(d);
      EXPECT_EQ(shown, before);
      EXPECT_TRUE(press(d, IDCANCEL));
    });
    const Rect whole{0, 0, int16_t(image.height), int16_t(image.width)};
    EXPECT_TRUE(previewShown(shown, frame_,
                             portablePreview(image, frame_, whole, FilterValues{0, 0, 0, 0})));
  }
}

TEST_F(ParameterDialogTest, TallImagePansDownToItsLastRow) {
  HostImage image = makePatternImage(frameW_ - 10, frameH_ + 100, 8, false);
  std::vector<uint32_t> atBottom;
  runWithDialog(&image, [&](HWND d) {
    int low = -1, high = -1;
    GetScrollRange(item(d, kPanVerticalId), SB_CTL, &low, &high);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, 101);
    EXPECT_FALSE(IsWindowEnabled(item(d, kPanHorizontalId)));
    scroll(d, kPanVerticalId, ScrollBottom);
    EXPECT_EQ(barPosition(d, kPanVerticalId), 100);
    atBottom = grabFrame(d);
    scroll(d, kPanVerticalId, ScrollLineDown);
    EXPECT_EQ(barPosition(d, kPanVerticalId), 100);
    scroll(d, kPanVerticalId, ScrollPageUp);
    EXPECT_EQ(barPosition(d, kPanVerticalId), 85);
    scroll(d, kPanVerticalId, ScrollThumbTrack, 500);
    EXPECT_EQ(barPosition(d, kPanVerticalId), 100);
    scroll(d, kPanVerticalId, ScrollEnd);
    EXPECT_EQ(barPosition(d, kPanVerticalId), 100);
    EXPECT_TRUE(press(d, IDCANCEL));
  });
  const Rect rows100{100, 0, int16_t(frameH_ + 100), int16_t(image.width)};
  EXPECT_TRUE(previewShown(atBottom, frame_,
                           portablePreview(image, frame_, rows100, FilterValues{0, 0, 0, 0})));
}

// ---- the preview ----

struct ShownPreview {
  std::vector<uint32_t> pixels;
  Rect source{0, 0, 0, 0};
};

TEST_F(ParameterDialogTest, PreviewOnScreenIsThePortablePreview) {
  for (int depth : {8, 16}) {
    for (bool rgb : {true, false}) {
      SCOPED_TRACE(std::to_string(depth) + (rgb ? "-bit RGB" : "-bit grey"));
      HostImage image = makePatternImage(frameW_ + 41, frameH_ + 23, depth, rgb);
      const int h = 13;
      const int v = 7;
      ShownPreview shown;
      runWithDialog(&image, [&](HWND d) {
        setText(d, kEditAlphaId, "0.3");
        setText(d, kEditBetaId, "0.2");
        setText(d, kEditGammaId, "0.6");
        setText(d, kEditDeltaId, "0.4");
        scroll(d, kPanHorizontalId, ScrollThumbPosition, h);
        scroll(d, kPanVerticalId, ScrollThumbPosition, v);
        EXPECT_EQ(barPosition(d, kPanHorizontalId), h);
        EXPECT_EQ(barPosition(d, kPanVerticalId), v);
        shown.pixels = grabFrame(d);
        EXPECT_TRUE(press(d, IDCANCEL));
      });
      const Rect source{int16_t(v), int16_t(h), int16_t(v + frameH_), int16_t(h + frameW_)};
      const FilterValues parameters{0.3f, 0.2f, 0.6f, 0.4f};
      EXPECT_TRUE(
          previewShown(shown.pixels, frame_, portablePreview(image, frame_, source, parameters)));
    }
  }
}

TEST_F(ParameterDialogTest, ScreenshotsOfTheOpenDialog) {
  for (bool rgb : {true, false}) {
    HostImage image = makePatternImage(frameW_ + 60, frameH_ + 40, 8, rgb);
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
    runWithDialog(&image, [&](HWND d) {
      setText(d, kEditAlphaId, "0.4");
      setText(d, kEditBetaId, "0.25");
      setText(d, kEditGammaId, "0.5");
      setText(d, kEditDeltaId, "0.2");
      pixels = grabWindow(d, &width, &height);
      EXPECT_TRUE(press(d, IDCANCEL));
    });
    ASSERT_FALSE(pixels.empty());
    const std::string path = screenshotPath(rgb ? "dialog-rgb.png" : "dialog-grey.png");
    EXPECT_TRUE(writePng(path, width, height, pixels)) << path;
  }
}

// ---- failures ----

TEST_F(ParameterDialogTest, DialogThatCannotBeCreatedCancelsTheRun) {
  HostImage image = makePatternImage(30, 20, 8, false);
  const HostImage original = image;
  refusedParent = host_;
  HHOOK hook = SetWindowsHookExA(WH_CBT, refuseDialogs, nullptr, GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  bool opened = true;
  HostRunResult result = runWithDialog(
      &image, [](HWND) {}, HostRunOptions(), &opened);
  UnhookWindowsHookEx(hook);
  refusedParent = nullptr;
  EXPECT_FALSE(opened);
  EXPECT_EQ(result.result, userCanceledErr);
  EXPECT_EQ(image.data, original.data);
  EXPECT_TRUE(result.recorded);
  EXPECT_FALSE(anyStoreFileLeft());
}

TEST_F(ParameterDialogTest, HostWindowThatIsNoWindowStillGetsTheDialog) {
  HostImage image = makePatternImage(30, 20, 8, false);
  HostRunOptions options;
  options.parentWindow = 0x7FFF0;  // not a window handle
  HostRunResult result = runWithDialog(
      &image, [](HWND d) { EXPECT_TRUE(press(d, IDOK)); }, options);
  EXPECT_EQ(result.result, noErr);
}

}  // namespace
