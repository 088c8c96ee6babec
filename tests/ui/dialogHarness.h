// dialogHarness.h -- drives the real dialog: timer-run scripts, screen grabs, expected previews
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/hostInterface.h"
#include "pluginHost/pluginHost.h"
#include "tests/support/hostFixture.h"
#include "ui/previewRender.h"

// ---- driving the open dialog ----

HWND item(HWND dialog, int id);
int barPosition(HWND dialog, int id);
std::string editText(HWND dialog, int id);
// All at once, as a paste would: one change notification.
void setText(HWND dialog, int id, const char* text);
// Key by key into the selected field.
void typeText(HWND dialog, int id, const char* text);
void scroll(HWND dialog, int id, int code, int thumb = 0);
// True when the dialog closed.
bool press(HWND dialog, int id);
Rect clientRectOf(HWND dialog, int id);
// formatFloat's text of value.
std::string formatted(float value);

// ---- what the screen shows ----

// The preview frame's pixels (0x00RRGGBB, top-down) as the dialog shows them.
std::vector<uint32_t> grabFrame(HWND dialog);
// The whole dialog window, frame included.
std::vector<uint32_t> grabWindow(HWND dialog, int* width, int* height);
// A 5-5-5 preview pixel against a screen pixel: the same 5 bits per colour.
bool samePixel(uint16_t preview, uint32_t screen);

// ---- images and expectations ----

// A ramp with a disc and noise, grey or RGB, 8 or 16 bits.
HostImage makePatternImage(int width, int height, int depth, bool rgb);
// The bits the portable renderer makes of the image for the frame and rectangle.
std::vector<uint16_t> portablePreview(const HostImage& image, Rect frame, Rect source,
                                      const FilterValues& parameters);
// Compares the frame as shown with the preview bits; the frame control's own
// black border covers the outermost ring of the frame, so that ring is skipped.
::testing::AssertionResult previewShown(const std::vector<uint32_t>& shown, Rect frame,
                                        const std::vector<uint16_t>& bits);
// The float the run recorded under key, or -1.
double recordedValue(const HostRunResult& result, const char* key);
std::string readText(const std::string& path);

// A host window, the module's dialog frame measured on its own template, and
// runs with the dialog requested. Skips without a display.
class ParameterDialogTest : public HostTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the filter with the dialog requested; script acts on the open dialog,
  // which is cancelled when the script leaves it open. With opened given, a
  // dialog that never opened is reported there instead of failing the test.
  HostRunResult runWithDialog(HostImage* image, std::function<void(HWND)> script,
                              HostRunOptions options = HostRunOptions(), bool* opened = nullptr);
  // A file in the build tree's screenshot folder.
  std::string screenshotPath(const char* name) const;

  HWND host_ = nullptr;
  Rect frame_{0, 0, 0, 0};
  int frameW_ = 0;
  int frameH_ = 0;
};
