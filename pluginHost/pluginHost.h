// pluginHost.h -- plays the host's side of a filter run against a loaded module
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/hostInterface.h"
#include "pluginHost/moduleLoader.h"

// An image as the host holds it: planes interleaved per pixel, colour planes
// first, 16-bit samples (0..32768) in machine order.
struct HostImage {
  int32_t width = 0;
  int32_t height = 0;
  int32_t depth = 8;  // 8 or 16
  int16_t imageMode = plugInModeGrayScale;
  int32_t planes = 1;
  std::vector<uint8_t> data;

  int32_t bytesPerSample() const { return depth == 16 ? 2 : 1; }
  size_t rowBytes() const { return size_t(width) * size_t(planes) * size_t(bytesPerSample()); }
  uint32_t sample(int32_t x, int32_t y, int32_t plane) const;
  void setSample(int32_t x, int32_t y, int32_t plane, uint32_t value);
};

// Zero-filled image of the given shape.
HostImage makeHostImage(int32_t width, int32_t height, int32_t depth, int16_t imageMode,
                        int32_t planes);

// Composites over onto *under within rect through mask (one byte a pixel over
// the whole image), as a host applies a filter through its selection: per
// colour sample under + (over - under) x mask / 255, rounded to nearest; the
// extra planes keep under's samples.
void blendThroughMask(const HostImage& over, const std::vector<uint8_t>& mask, const Rect& rect,
                      HostImage* under);

// How a host with a selection mask applies the module's out rows.
enum class MaskBlend {
  Off,      // the out rows as they are (the module's own result)
  Once,     // the whole result through the mask after the run
  EachRow,  // every delivered out row through the mask as the call returns
};

// One recorded descriptor value. Types: "doub" (number), "long" and "bool"
// (integer), "enum" style codes (integer, with enumType), "TEXT" (text).
struct HostDescriptorItem {
  DescriptorKeyID key = 0;
  DescriptorTypeID type = 0;
  double number = 0;
  int32_t integer = 0;
  DescriptorTypeID enumType = 0;
  std::vector<uint8_t> text;
};

struct HostDescriptor {
  std::vector<HostDescriptorItem> items;
};

struct HostRunOptions {
  // The area to filter; the whole image when not set.
  bool hasFilterRect = false;
  Rect filterRect{0, 0, 0, 0};
  // Selection mask, one byte a pixel over the whole image; empty for none.
  std::vector<uint8_t> mask;
  MaskBlend maskBlend = MaskBlend::Once;
  // Out rows arrive holding this byte instead of the image's samples, as from
  // a host that does not copy the source to the destination; -1 for none.
  int32_t outRowFill = -1;
  // abortProc answers true from its n-th call on (0-based); -1 never.
  int32_t abortAtCall = -1;
  bool callParameters = true;

  // Scripting: descriptorParameters is offered unless scripting is false.
  bool scripting = true;
  // No dialog unless a test asks for one: under wine a real dialog would wait for a user.
  int16_t playInfo = plugInDialogDontDisplay;
  bool hasDescriptor = false;
  HostDescriptor descriptor;
  // Suites as a misbehaving host might offer them.
  int16_t descriptorParametersVersion = 0;
  int16_t numReadDescriptorProcs = 18;
  int16_t numWriteDescriptorProcs = 16;
  bool offerHandleProcs = true;
  int16_t handleProcsVersion = 1;

  // The parent window handed over in platformData (0: none).
  intptr_t parentWindow = 0;
  // Planes reported to the module, when not the image's own (hostile host).
  int32_t reportedPlanes = -1;
  // The host's depth field, when not the image's own.
  int32_t reportedDepth = -1;
  // Safety valve: more continue calls than this fail the run.
  int32_t maxContinueCalls = -1;
  // Called on every progress report, as the host draws its bar.
  std::function<void(int32_t done, int32_t total)> onProgress;
  // Set from outside (a signal handler) to stop the run: abortProc answers
  // true from then on and no further continue call is made, so the run ends
  // with -128 through finish, which disposes of the module's stores.
  const volatile std::sig_atomic_t* stopRequested = nullptr;
  // The module works in the image itself, with no undo copy: half the memory,
  // but a run that fails leaves the image part filtered (and, with extra
  // planes, part rearranged). For a caller that then discards the image.
  bool inPlace = false;
  // The memory the host offers the module (maxSpace).
  int32_t maxSpace = 64 * 1024 * 1024;
};

struct HostRunResult {
  int16_t result = 0;           // first non-zero selector result, else 0
  int16_t failedSelector = -1;  // the selector that returned it
  std::string hostError;        // the module broke the host protocol
  int32_t continueCalls = 0;
  int32_t abortCalls = 0;
  int32_t foreignThreadCalls = 0;  // progress or abort calls from another thread than the host's
  std::vector<std::pair<int32_t, int32_t>> progress;
  int16_t recordInfo = -1;
  bool recorded = false;  // a descriptor was left in descriptorParameters
  HostDescriptor recordedDescriptor;
  // Host handles still allocated, the recorded descriptor and the session's
  // parameters handle excluded.
  int32_t liveHostHandles = 0;
  std::vector<Rect> maskRequests;  // every non-empty mask rectangle asked for
  // The longest continue call, in seconds: the one in which the filter runs,
  // between the calls that hand rows over one at a time.
  double longestContinueSeconds = 0;
};

// A host session keeps the module's data slot across runs, as a host does
// while the module stays loaded. The parameters handle is the host's: with
// its handle suite offered it must be one of the suite's handles, and the
// session disposes of it through the suite when it closes.
struct HostSession {
  LoadedModule module;
  intptr data = 0;
  Handle parameters = nullptr;
  // Every call made with the stack off the 16-byte boundary (32-bit x86 only).
  bool misalignedStack = false;
};

bool openHostSession(const std::string& modulePath, HostSession* session, std::string* error);
void closeHostSession(HostSession* session);

// Runs parameters (optional), prepare, start, continue until the module asks for
// nothing, finish. The image receives the output rows only when the run ends
// without error, as a host keeps its undo state otherwise (unless inPlace).
// The module gets pointers into the rows of one working image for both its
// input and its output, rowBytes apart, as a host hands over its own rows;
// only a request for some of the planes is served from a gathered copy.
void runFilter(HostSession* session, HostImage* image, const HostRunOptions& options,
               HostRunResult* result);

// Calls one selector with a fresh record; for protocol tests.
int16_t callSelector(HostSession* session, int16_t selector, FilterRecord* record);
