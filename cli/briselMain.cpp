// briselMain.cpp -- the command-line host: runs the filter module on PGM/PPM files
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/pnm.h"
#include "cli/replaceFile.h"
#include "hostSim/descriptorText.h"
#include "hostSim/testHost.h"

namespace {

const char kUsage[] =
    "usage: brisel apply IN OUT [--plugin PATH] [--alpha A] [--beta B] [--gamma G] [--delta D]\n"
    "                           [--dialog] [--record FILE] [--replay FILE]\n"
    "                           [--select TOP,LEFT,BOTTOM,RIGHT] [--mask MASK.pgm]\n"
    "  IN and OUT are binary PGM (P5) or PPM (P6) files; OUT gets IN's format and depth.\n"
    "  A parameter not given keeps the filter's last-used value.\n";

struct Arguments {
  std::string input, output, plugin, recordPath, replayPath, maskPath;
  bool dialog = false;
  bool hasSelect = false;
  Rect select{0, 0, 0, 0};
  // alpha, beta, gamma, delta
  bool given[4] = {false, false, false, false};
  double values[4] = {0, 0, 0, 0};
};

const char* const kParameterNames[4] = {"alpha", "beta", "gamma", "delta"};
const char* const kParameterKeys[4] = {"AEqa", "AEqb", "AEqg", "AEqd"};

int fail(const std::string& message) {
  std::fprintf(stderr, "brisel: error: %s\n", message.c_str());
  return 1;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "brisel: error: %s\n%s", message.c_str(), kUsage);
  return 2;
}

bool parseUnitValue(const char* text, double* value) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
  *value = v;
  return true;
}

bool parseSelect(const char* text, Rect* rect) {
  long v[4];
  char tail;
  if (std::sscanf(text, "%ld,%ld,%ld,%ld%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4) return false;
  for (long x : v) {
    if (x < 0 || x > 32767) return false;
  }
  *rect = Rect{int16_t(v[0]), int16_t(v[1]), int16_t(v[2]), int16_t(v[3])};
  return true;
}

// Returns 0 when parsed, else the exit code of the reported problem.
int parseArguments(int argc, char** argv, Arguments* args) {
  if (argc < 2 || std::strcmp(argv[1], "apply") != 0) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    return usageError(argc < 2 ? "no command given" : std::string("unknown command ") + argv[1]);
  }
  std::vector<std::string> positional;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    bool matched = false;
    for (int p = 0; p < 4; ++p) {
      if (arg == std::string("--") + kParameterNames[p]) {
        matched = true;
        if (!value(&v)) return usageError(arg + " needs a value");
        if (!parseUnitValue(v, &args->values[p])) {
          return usageError(arg + " must be a number from 0 to 1, not '" + v + "'");
        }
        args->given[p] = true;
      }
    }
    if (matched) continue;
    if (arg == "--plugin") {
      if (!value(&v)) return usageError("--plugin needs a path");
      args->plugin = v;
    } else if (arg == "--dialog") {
      args->dialog = true;
    } else if (arg == "--record") {
      if (!value(&v)) return usageError("--record needs a file");
      args->recordPath = v;
    } else if (arg == "--replay") {
      if (!value(&v)) return usageError("--replay needs a file");
      args->replayPath = v;
    } else if (arg == "--mask") {
      if (!value(&v)) return usageError("--mask needs a file");
      args->maskPath = v;
    } else if (arg == "--select") {
      if (!value(&v) || !parseSelect(v, &args->select)) {
        return usageError("--select needs TOP,LEFT,BOTTOM,RIGHT in pixels");
      }
      args->hasSelect = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) return usageError("apply needs an input and an output file");
  args->input = positional[0];
  args->output = positional[1];
  return 0;
}

std::string describeResult(int16_t code, const HostImage& image, const HostRunOptions& options) {
  const Rect area = options.hasFilterRect ? options.filterRect
                                          : Rect{0, 0, int16_t(image.height), int16_t(image.width)};
  switch (code) {
    case -128:
      if (area.right - area.left < 15) {
        return "the area to filter is " + std::to_string(area.right - area.left) +
               " pixels wide; the filter needs at least 15 (cancelled, -128)";
      }
      return "the filter was cancelled (-128)";
    case -108:
      return "the filter ran out of memory (-108)";
    case -34:
      return "the disk is full: the filter's temporary files could not be written (-34)";
    case -30100:
      return "the filter refused the host's parameters (-30100)";
    case -30101:
      return "the filter does not support this image mode (-30101)";
    default:
      if (code <= -33 && code >= -61) {
        return "the filter's temporary files could not be used (file error " +
               std::to_string(code) + ")";
      }
      return "the filter failed with code " + std::to_string(code);
  }
}

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled) {}
  void update(int32_t done, int32_t total) {
    if (!enabled_ || total <= 0) return;
    const int percent = int(int64_t(done) * 100 / total);
    if (percent == last_) return;
    last_ = percent;
    std::fprintf(stderr, "\rbrisel: %3d%%", percent);
    std::fflush(stderr);
  }
  void finish() {
    if (enabled_ && last_ >= 0) std::fputs("\r              \r", stderr);
  }

 private:
  bool enabled_;
  int last_ = -1;
};

}  // namespace

#ifndef BRISEL_VERSION
#error "BRISEL_VERSION must be defined by the build"
#endif

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("brisel %s\n", BRISEL_VERSION);
    return 0;
  }
  Arguments args;
  if (const int code = parseArguments(argc, argv, &args)) return code;

  HostImage image;
  PnmFormat format;
  std::string error;
  if (!readPnm(args.input, &image, &format, &error)) return fail(error);

  HostRunOptions options;
  options.playInfo = args.dialog ? plugInDialogDisplay : plugInDialogDontDisplay;
  if (args.hasSelect) {
    const Rect& r = args.select;
    if (r.top >= r.bottom || r.left >= r.right || r.bottom > image.height ||
        r.right > image.width) {
      return fail("--select " + std::to_string(r.top) + "," + std::to_string(r.left) + "," +
                  std::to_string(r.bottom) + "," + std::to_string(r.right) +
                  " is empty or reaches outside the " + std::to_string(image.width) + "x" +
                  std::to_string(image.height) + " image");
    }
    options.hasFilterRect = true;
    options.filterRect = r;
  }
  if (!args.maskPath.empty() &&
      !readPgmMask(args.maskPath, image.width, image.height, &options.mask, &error)) {
    return fail(error);
  }
  if (!args.replayPath.empty()) {
    if (!readDescriptorText(args.replayPath, &options.descriptor, &error)) return fail(error);
    options.hasDescriptor = true;
  }
  for (int p = 0; p < 4; ++p) {
    if (!args.given[p]) continue;
    setDescriptorFloat(&options.descriptor, codeFromText(kParameterKeys[p]), args.values[p]);
    options.hasDescriptor = true;
  }

  const std::string plugin = args.plugin.empty() ? defaultModulePath() : args.plugin;
  HostSession session;
  if (!openHostSession(plugin, &session, &error)) return fail(error);

  ProgressLine progress(isTerminal(2));
  options.onProgress = [&progress](int32_t done, int32_t total) { progress.update(done, total); };
  HostRunResult result;
  runFilter(&session, &image, options, &result);
  progress.finish();

  if (!args.recordPath.empty() && result.recorded &&
      !writeDescriptorText(args.recordPath, result.recordedDescriptor, &error)) {
    closeHostSession(&session);
    return fail(error);
  }
  closeHostSession(&session);
  if (!result.hostError.empty())
    return fail("plug-in broke the host protocol: " + result.hostError);
  if (result.result != 0) return fail(describeResult(result.result, image, options));

  // A pipe or a device takes the image as it comes; renaming over it would put
  // a plain file in its place.
  if (!isPlainFileOrMissing(args.output)) {
    return writePnm(args.output, image, format, &error) ? 0 : fail(error);
  }
  // Write beside the destination first: a failure never leaves OUT truncated.
  const std::string temporary = args.output + ".brisel-tmp";
  if (!writePnm(temporary, image, format, &error)) {
    std::remove(temporary.c_str());
    return fail(error);
  }
  if (!replaceFile(temporary, args.output)) {
    std::remove(temporary.c_str());
    return fail("cannot replace " + args.output);
  }
  return 0;
}
