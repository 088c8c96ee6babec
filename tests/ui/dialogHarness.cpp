// dialogHarness.cpp -- drives the real dialog: timer-run scripts, screen grabs, expected previews
#include "tests/ui/dialogHarness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "params/textFormat.h"
#include "pluginHost/descriptorText.h"
#include "resources/resourceIds.h"
#include "store/rowStore.h"

namespace {

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

LRESULT CALLBACK plainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

INT_PTR CALLBACK measuringProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
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

}  // namespace

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

void scroll(HWND dialog, int id, int code, int thumb) {
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
                                      const FilterValues& parameters) {
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
    const OSErr err = renderPreviewBits(&bitmap, store, channels, image.depth, source, &parameters);
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

void ParameterDialogTest::SetUp() {
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
  host_ = CreateWindowExA(0, "BriselTestHostWindow", "test host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                          0, 0, 300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
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

void ParameterDialogTest::TearDown() {
  if (host_ != nullptr) DestroyWindow(host_);
  HostTest::TearDown();
}

// Runs the filter with the dialog requested; script acts on the open dialog.
HostRunResult ParameterDialogTest::runWithDialog(HostImage* image, std::function<void(HWND)> script,
                                                 HostRunOptions options, bool* opened) {
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

std::string ParameterDialogTest::screenshotPath(const char* name) const {
  std::string dir = BRISEL_SCREENSHOT_DIR;
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir + "/" + name;
}
