// parameterDialogTest.cpp -- the real dialog in real runs, driven with window messages from a timer
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "hostSim/descriptorText.h"
#include "params/textFormat.h"
#include "resources/resourceIds.h"
#include "store/rowStore.h"
#include "tests/support/hostFixture.h"
#include "tests/ui/pngFile.h"
#include "ui/dialogRules.h"
#include "ui/previewRender.h"
#include "ui/previewRenderWin32.h"

namespace {

// ---- driving the modal dialog ----

// The modal loop dispatches thread timers, so a timer on the test's thread runs
// the script while the dialog is up. A script that leaves the dialog open is
// followed by Cancel, so no failed expectation leaves a run hanging.
struct DialogDriver {
  std::function<void(HWND)> script;
  HWND dialog = nullptr;
  int ticks = 0;
  bool leftOpen = false;
};

DialogDriver* activeDriver = nullptr;

BOOL CALLBACK findVisibleDialog(HWND window, LPARAM found) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") == 0 && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK driveDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  DialogDriver* driver = activeDriver;
  if (driver == nullptr || driver->dialog != nullptr) return;
  HWND dialog = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), findVisibleDialog, reinterpret_cast<LPARAM>(&dialog));
  if (dialog == nullptr) {
    if (++driver->ticks > 400) KillTimer(nullptr, timer);
    return;
  }
  KillTimer(nullptr, timer);
  driver->dialog = dialog;
  driver->script(dialog);
  if (IsWindowVisible(dialog)) {
    driver->leftOpen = true;
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
}

HWND item(HWND dialog, int id) { return GetDlgItem(dialog, id); }

int barPosition(HWND dialog, int id) { return GetScrollPos(item(dialog, id), SB_CTL); }

std::string editText(HWND dialog, int id) {
  char text[256] = {};
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

// All at once, as a paste would: one change notification.
void setText(HWND dialog, int id, const char* text) { SetDlgItemTextA(dialog, id, text); }

// Key by key into the selected field.
void typeText(HWND dialog, int id, const char* text) {
  HWND edit = item(dialog, id);
  SetFocus(edit);
  SendMessageA(edit, EM_SETSEL, 0, -1);
  for (const char* c = text; *c != '\0'; ++c) SendMessageA(edit, WM_CHAR, WPARAM(uint8_t(*c)), 1);
}

void scroll(HWND dialog, int id, int code, int thumb = 0) {
  const UINT message = id == kPanVerticalId ? WM_VSCROLL : WM_HSCROLL;
  SendMessageA(dialog, message, MAKEWPARAM(code, thumb),
               reinterpret_cast<LPARAM>(item(dialog, id)));
}

// True when the dialog closed.
bool press(HWND dialog, int id) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(item(dialog, id)));
  return !IsWindowVisible(dialog);
}

Rect clientRectOf(HWND dialog, int id) {
  RECT r{};
  GetWindowRect(item(dialog, id), &r);
  POINT a{r.left, r.top};
  POINT b{r.right, r.bottom};
  ScreenToClient(dialog, &a);
  ScreenToClient(dialog, &b);
  return Rect{int16_t(a.y), int16_t(a.x), int16_t(b.y), int16_t(b.x)};
}

std::string formatted(float value) {
  char text[kNumberTextBytes];
  formatFloat(value, text);
  return text;
}

// Pixels (0x00RRGGBB, top-down) of the area of dc, after every pending paint.
std::vector<uint32_t> grab(HDC dc, int left, int top, int width, int height) {
  std::vector<uint32_t> pixels;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HDC memory = CreateCompatibleDC(dc);
  if (section != nullptr && memory != nullptr) {
    HGDIOBJ old = SelectObject(memory, section);
    BitBlt(memory, 0, 0, width, height, dc, left, top, SRCCOPY);
    GdiFlush();
    const uint32_t* p = static_cast<const uint32_t*>(bits);
    pixels.assign(p, p + size_t(width) * height);
    for (uint32_t& pixel : pixels) pixel &= 0xFFFFFF;
    SelectObject(memory, old);
  }
  if (memory != nullptr) DeleteDC(memory);
  if (section != nullptr) DeleteObject(section);
  return pixels;
}

void repaint(HWND dialog) {
  RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// The preview frame's pixels as the dialog shows them.
std::vector<uint32_t> grabFrame(HWND dialog) {
  repaint(dialog);
  const Rect f = clientRectOf(dialog, kPreviewFrameId);
  HDC dc = GetDC(dialog);
  std::vector<uint32_t> pixels = grab(dc, f.left, f.top, f.right - f.left, f.bottom - f.top);
  ReleaseDC(dialog, dc);
  return pixels;
}

// The whole dialog window, frame included.
std::vector<uint32_t> grabWindow(HWND dialog, int* width, int* height) {
  repaint(dialog);
  RECT r{};
  GetWindowRect(dialog, &r);
  *width = r.right - r.left;
  *height = r.bottom - r.top;
  HDC dc = GetWindowDC(dialog);
  std::vector<uint32_t> pixels = grab(dc, 0, 0, *width, *height);
  ReleaseDC(dialog, dc);
  return pixels;
}

// A 5-5-5 preview pixel against a screen pixel: the same 5 bits per colour.
bool samePixel(uint16_t preview, uint32_t screen) {
  return ((screen >> 19) & 31) == ((preview >> 10) & 31u) &&
         ((screen >> 11) & 31) == ((preview >> 5) & 31u) && ((screen >> 3) & 31) == (preview & 31u);
}

// ---- images and expectations ----

HostImage makePatternImage(int width, int height, int depth, bool rgb) {
  HostImage image = makeHostImage(width, height, depth,
                                  rgb ? (depth == 16 ? plugInModeRGB48 : plugInModeRGBColor)
                                      : (depth == 16 ? plugInModeGray16 : plugInModeGrayScale),
                                  rgb ? 3 : 1);
  const int top = depth == 16 ? 32768 : 255;
  uint32_t state = uint32_t(width * 31 + height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      const int dx = x - width / 3;
      const int dy = y - height / 2;
      const bool disc = dx * dx + dy * dy < (height / 4) * (height / 4);
      const int shade =
          (x * 160) / (width > 1 ? width : 1) + (disc ? 70 : 10) + int((state >> 10) % 25);
      for (int p = 0; p < image.planes; ++p) {
        int v = rgb ? (shade * (p == 0   ? 3
                                : p == 1 ? 2
                                         : 1)) /
                              3 +
                          (p == 2 && (y / 12) % 2 ? 40 : 0)
                    : shade;
        if (v > 255) v = 255;
        image.setSample(x, y, p, uint32_t(depth == 16 ? v * top / 255 : v));
      }
    }
  }
  return image;
}

// The bits the portable renderer makes of the image for the frame and rectangle.
std::vector<uint16_t> portablePreview(const HostImage& image, Rect frame, Rect source,
                                      const EqualiseParameters& parameters) {
  std::vector<uint16_t> bits;
  RowStore* store = nullptr;
  const int32_t channels = image.planes;
  if (createColourStore(image.width, image.height, channels * image.bytesPerSample(), &store) !=
      0) {
    disposeColourStore(store);
    return bits;
  }
  for (int32_t y = 0; y < image.height; ++y) {
    writeStoreRow(store, 0, y, int32_t(image.rowBytes()),
                  image.data.data() + size_t(y) * image.rowBytes());
  }
  PreviewBitmap bitmap;
  if (createPreviewBitmap(frame, &bitmap) == 0) {
    const OSErr err = image.depth == 16
                          ? renderPreviewBits16(&bitmap, store, channels, source, &parameters)
                          : renderPreviewBits8(&bitmap, store, channels, source, &parameters);
    if (err == 0) bits.assign(bitmap.bits, bitmap.bits + size_t(bitmap.width) * bitmap.height);
    disposePreviewBitmap(&bitmap);
  }
  disposeColourStore(store);
  return bits;
}

// Compares the frame as shown with the preview bits; the frame control's own
// black border covers the outermost ring of the frame, so that ring is skipped.
::testing::AssertionResult previewShown(const std::vector<uint32_t>& shown, Rect frame,
                                        const std::vector<uint16_t>& bits) {
  const int w = frame.right - frame.left;
  const int h = frame.bottom - frame.top;
  const int bitmapWidth = previewBitmapWidth(frame);
  if (shown.size() != size_t(w) * h) return ::testing::AssertionFailure() << "nothing grabbed";
  if (bits.size() != size_t(bitmapWidth) * h)
    return ::testing::AssertionFailure() << "no preview bits";
  int differences = 0;
  std::string first;
  for (int line = 1; line < h - 1; ++line) {
    for (int x = 1; x < w - 1; ++x) {
      const uint16_t expected = bits[size_t(h - 1 - line) * bitmapWidth + x];
      const uint32_t actual = shown[size_t(line) * w + x];
      if (!samePixel(expected, actual)) {
        if (differences++ == 0) {
          char text[128];
          std::snprintf(text, sizeof text, "line %d column %d: shown %06x, preview %04x", line, x,
                        unsigned(actual), expected);
          first = text;
        }
      }
    }
  }
  if (differences == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differences << " pixels differ; first at " << first;
}

double recordedValue(const HostRunResult& result, const char* key) {
  for (const HostDescriptorItem& i : result.recordedDescriptor.items) {
    if (i.key == codeFromText(key)) return i.number;
  }
  return -1.0;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

LRESULT CALLBACK plainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

INT_PTR CALLBACK measuringProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

HWND refusedParent = nullptr;

// Refuses every window the module would create under the host's window.
LRESULT CALLBACK refuseDialogs(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    const CBT_CREATEWNDA* create = reinterpret_cast<const CBT_CREATEWNDA*>(lParam);
    if (create->lpcs->hwndParent == refusedParent) return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Under wine each hidden top-level window waits up to two seconds for a window
// manager to confirm it, and none runs under Xvfb: this program's windows are
// left unmanaged instead. Read when the display driver loads, at the first window.
void leaveWindowsUnmanagedUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return;
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  const char* name = std::strrchr(exe, '\\') != nullptr ? std::strrchr(exe, '\\') + 1 : exe;
  const std::string path = std::string("Software\\Wine\\AppDefaults\\") + name + "\\X11 Driver";
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
    RegCloseKey(key);
  }
}

class ParameterDialogTest : public HostTest {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
      GTEST_SKIP() << "no display: run under xvfb-run to open the dialog";
    }
    leaveWindowsUnmanagedUnderWine();
    HostTest::SetUp();
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = plainWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "BriselTestHostWindow";
    RegisterClassA(&windowClass);  // a second registration fails harmlessly
    host_ =
        CreateWindowExA(0, "BriselTestHostWindow", "test host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                        0, 300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(host_, nullptr);
    // The frame's size in pixels depends on the dialog font: measure it on the
    // module's own template.
    HWND probe = CreateDialogParamA(static_cast<HINSTANCE>(session_.module.library),
                                    MAKEINTRESOURCEA(kDialogTemplateId), host_, measuringProc, 0);
    ASSERT_NE(probe, nullptr);
    frame_ = clientRectOf(probe, kPreviewFrameId);
    DestroyWindow(probe);
    frameW_ = frame_.right - frame_.left;
    frameH_ = frame_.bottom - frame_.top;
    ASSERT_GT(frameW_, 40);
    ASSERT_GT(frameH_, 40);
  }

  void TearDown() override {
    if (host_ != nullptr) DestroyWindow(host_);
    HostTest::TearDown();
  }

  // Runs the filter with the dialog requested; script acts on the open dialog.
  HostRunResult runWithDialog(HostImage* image, std::function<void(HWND)> script,
                              HostRunOptions options = HostRunOptions(), bool* opened = nullptr) {
    DialogDriver driver;
    driver.script = std::move(script);
    activeDriver = &driver;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, driveDialog);
    options.playInfo = plugInDialogDisplay;
    if (options.parentWindow == 0) options.parentWindow = reinterpret_cast<intptr_t>(host_);
    HostRunResult result;
    runFilter(&session_, image, options, &result);
    KillTimer(nullptr, timer);
    activeDriver = nullptr;
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    if (opened != nullptr) {
      *opened = driver.dialog != nullptr;
    } else {
      EXPECT_NE(driver.dialog, nullptr) << "the dialog never opened";
      EXPECT_FALSE(driver.leftOpen) << "the script left the dialog open";
    }
    return result;
  }

  std::string screenshotPath(const char* name) const {
    std::string dir = BRISEL_SCREENSHOT_DIR;
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir + "/" + name;
  }

  HWND host_ = nullptr;
  Rect frame_{0, 0, 0, 0};
  int frameW_ = 0;
  int frameH_ = 0;
};

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
  EXPECT_TRUE(previewShown(shown, frame_,
                           portablePreview(image, frame_, whole, EqualiseParameters{0, 0, 0, 0})));
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
    EXPECT_TRUE(previewShown(
        shown, frame_, portablePreview(image, frame_, whole, EqualiseParameters{0, 0, 0, 0})));
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
  EXPECT_TRUE(previewShown(
      atBottom, frame_, portablePreview(image, frame_, rows100, EqualiseParameters{0, 0, 0, 0})));
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
      const EqualiseParameters parameters{0.3f, 0.2f, 0.6f, 0.4f};
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

// ---- the renderer's drawing on its own ----

class PreviewDrawingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
      GTEST_SKIP() << "no display for the screen's bitmaps";
    removeFixedFile(kColourStoreName);
  }
  void TearDown() override {
    setAllocationBudget(-1);
    removeFixedFile(kColourStoreName);
  }
};

// A memory context over 64 x 48 pixels of one colour, drawn on by renderPreview8.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  uint32_t* pixels = nullptr;
  static constexpr int kWidth = 64;
  static constexpr int kHeight = 48;

  Canvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    pixels = static_cast<uint32_t*>(bits);
    previous = SelectObject(dc, bitmap);
    for (int i = 0; i < kWidth * kHeight; ++i) pixels[i] = 0x123456;
  }
  ~Canvas() {
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  bool untouched() const {
    GdiFlush();
    for (int i = 0; i < kWidth * kHeight; ++i) {
      if ((pixels[i] & 0xFFFFFF) != 0x123456) return false;
    }
    return true;
  }
};

TEST_F(PreviewDrawingTest, FailuresDrawNothingAndSuccessDrawsTheBitsAtTheFrame) {
  HostImage image = makePatternImage(50, 40, 8, true);
  RowStore* store = nullptr;
  ASSERT_EQ(createColourStore(image.width, image.height, 3, &store), 0);
  for (int32_t y = 0; y < image.height; ++y) {
    writeStoreRow(store, 0, y, int32_t(image.rowBytes()),
                  image.data.data() + size_t(y) * image.rowBytes());
  }
  RunContext* context = createRunContext();
  ASSERT_NE(context, nullptr);
  context->width = int16_t(image.width);
  context->height = int16_t(image.height);
  context->channels = 3;
  context->previewStore = store;
  const Rect frame{4, 6, 35, 47};  // 41 wide: the bitmap is 42
  const Rect source{3, 5, 34, 46};
  const EqualiseParameters parameters{0.4f, 0.3f, 0.2f, 0.1f};

  // The bits, the 17 rows and the histograms: every allocation failing in turn.
  for (int32_t budget = 0; budget < 19; ++budget) {
    Canvas canvas;
    setAllocationBudget(budget);
    renderPreview8(canvas.dc, frame, source, context, 0.4f, 0.3f, 0.2f, 0.1f);
    setAllocationBudget(-1);
    EXPECT_TRUE(canvas.untouched()) << budget;
  }
  {
    Canvas canvas;
    renderPreview8(canvas.dc, Rect{10, 10, 10, 30}, source, context, 0, 0, 0, 0);  // no pixels
    renderPreview8(canvas.dc, frame, source, nullptr, 0, 0, 0, 0);
    renderPreview8(nullptr, frame, source, context, 0, 0, 0, 0);
    context->channels = 2;
    renderPreview8(canvas.dc, frame, source, context, 0, 0, 0, 0);
    context->channels = 3;
    EXPECT_TRUE(canvas.untouched());
  }
  {
    // A context that is gone: the blit fails, and nothing else happens.
    HDC gone = CreateCompatibleDC(nullptr);
    DeleteDC(gone);
    renderPreview8(gone, frame, source, context, 0.4f, 0.3f, 0.2f, 0.1f);
  }
  Canvas canvas;
  renderPreview8(canvas.dc, frame, source, context, 0.4f, 0.3f, 0.2f, 0.1f);
  GdiFlush();
  disposeRunContext(context);
  disposeColourStore(store);
  const std::vector<uint16_t> bits = portablePreview(image, frame, source, parameters);
  ASSERT_EQ(bits.size(), size_t(42 * 31));
  for (int y = 0; y < Canvas::kHeight; ++y) {
    for (int x = 0; x < Canvas::kWidth; ++x) {
      const uint32_t shown = canvas.pixels[y * Canvas::kWidth + x] & 0xFFFFFF;
      // The bitmap's extra column lands at x = frame.right.
      if (y >= frame.top && y < frame.bottom && x >= frame.left && x <= frame.right) {
        const uint16_t expected = bits[size_t(frame.bottom - 1 - y) * 42 + size_t(x - frame.left)];
        ASSERT_TRUE(samePixel(expected, shown)) << x << "," << y;
      } else {
        ASSERT_EQ(shown, 0x123456u) << x << "," << y;
      }
    }
  }
}

TEST(PngFile, ChecksumsOfKnownInputs) {
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(pngCrc32(text, sizeof text), 0xCBF43926u);
  EXPECT_EQ(adler32(reinterpret_cast<const uint8_t*>("Wikipedia"), 9), 0x11E60398u);
}

}  // namespace
