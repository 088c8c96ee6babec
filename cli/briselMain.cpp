// briselMain.cpp -- the command-line host: runs the filter module on PGM/PPM files
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/interrupt.h"
#include "cli/moduleFiles.h"
#include "cli/pnm.h"
#include "cli/userFiles.h"
#include "hostSim/descriptorText.h"
#include "hostSim/testHost.h"
#include "resources/filterParameters.h"

namespace {

const char kUsage[] =
    "usage: brisel apply IN OUT [--plugin PATH] [--alpha A] [--beta B] [--gamma G] [--delta D]\n"
    "                           [--dialog] [--record FILE] [--replay FILE]\n"
    "                           [--select TOP,LEFT,BOTTOM,RIGHT] [--mask MASK.pgm]\n"
    "  IN and OUT are binary PGM (P5) or PPM (P6) files; OUT gets IN's format and depth.\n"
    "  A parameter given neither here nor in the --replay file is read from the filter's\n"
    "  settings file (OMKApref.xxx, shared with sibling filters), which the filter reads but\n"
    "  never changes. Every successful run prints the four values it used.\n";

struct Arguments {
  std::string input, output, plugin, recordPath, replayPath, maskPath;
  bool dialog = false;
  bool hasSelect = false;
  Rect select{0, 0, 0, 0};
  // alpha, beta, gamma, delta
  bool given[4] = {false, false, false, false};
  double values[4] = {0, 0, 0, 0};
};

int fail(const std::string& message) {
  std::fprintf(stderr, "brisel: error: %s\n", message.c_str());
  return 1;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "brisel: error: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// A well-formed command with a value the filter cannot take: one line.
int valueError(const std::string& message) {
  std::fprintf(stderr, "brisel: error: %s\n", message.c_str());
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
      if (arg == std::string("--") + kFilterParameters[p].name) {
        matched = true;
        if (!value(&v)) return usageError(arg + " needs a value");
        if (!parseUnitValue(v, &args->values[p])) {
          return valueError(arg + " must be a number from 0 to 1, not '" + v + "'");
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

const char* const kStoreNames[3] = {"BackingS.xxx", "OpacityS.xxx", "MaskImag.xxx"};

const char* fileErrorMeaning(int16_t code) {
  switch (code) {
    case -36:
      return "input/output error";
    case -37:
      return "bad file name";
    case -40:
      return "bad position";
    case -42:
      return "too many files open";
    case -43:
      return "file not found";
    case -45:
      return "file busy";
    case -49:
      return "file already open for writing";
    case -51:
      return "bad file reference";
    case -61:
      return "write permission refused";
    default:
      return "file error";
  }
}

// A file error names the module's folder and, where it can be seen from
// here, the real cause.
std::string describeFileError(int16_t code, const HostRunResult& result) {
  const std::string folder = diagnoseModuleFolder();
  if (!folder.empty()) return folder + " (file error " + std::to_string(code) + ")";
  for (const char* name : kStoreNames) {
    if (isModuleFileInUse(name)) return moduleFilePath(name) + " is in use by another run";
  }
  // The stores are made and locked in the first continue call: a busy or
  // failed open there is another run holding them.
  if (code == -45 || (code == -36 && result.continueCalls == 1)) {
    return "the filter's temporary files in " + moduleFolder() + " are in use by another run (" +
           "file error " + std::to_string(code) + ")";
  }
  return "the filter's temporary files in " + moduleFolder() +
         " could not be used: " + fileErrorMeaning(code) + " (file error " + std::to_string(code) +
         ")";
}

std::string describeResult(int16_t code, const HostImage& image, const HostRunOptions& options,
                           const HostRunResult& result) {
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
      return "the disk is full: the filter's temporary files in " + moduleFolder() +
             " could not be written (-34)";
    case -30100:
      return "the filter refused the host's parameters (-30100)";
    case -30101:
      return "the filter does not support this image mode (-30101)";
    default:
      if (code <= -33 && code >= -61) return describeFileError(code, result);
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

// The replay file's four parameters must be what --alpha and the others
// accept: a number from 0 to 1, recorded as "doub". The filter would quietly
// drop a number out of range (and use the settings file's value instead), and
// this host's descriptors would hand it a "bool" or "long" as a number.
// Returns 0, else the exit code of the reported problem.
int checkReplayValues(const std::string& path, const std::string& text, bool given[4]) {
  std::istringstream lines(text);
  std::string line;
  int lineNumber = 0;
  while (std::getline(lines, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    std::string key, type, value;
    fields >> key >> type >> value;
    for (int p = 0; p < 4; ++p) {
      if (key != kFilterParameters[p].keyText) continue;
      double number;
      if (type != "doub" || !parseUnitValue(value.c_str(), &number)) {
        return valueError(path + ":" + std::to_string(lineNumber) + ": " + key + " " + type + " " +
                          value + ": " + kFilterParameters[p].name +
                          " must be a doub number from 0 to 1");
      }
      given[p] = true;
    }
  }
  return 0;
}

// The four parameters as the settings file holds them (little-endian floats
// at 484..496), when it can be read; where another run's hold keeps it from
// being read at all (Windows), busy says so.
struct SettingsValues {
  bool known = false;
  bool busy = false;
  float values[4] = {0, 0, 0, 0};
};

SettingsValues readSettingsValues() {
  SettingsValues settings;
  const std::string path = moduleFilePath("OMKApref.xxx");
  std::string ignored;
  FILE* f = path.empty() ? nullptr : openPlainFile(path, &ignored);
  if (f == nullptr) {
    settings.busy = isModuleFileInUse("OMKApref.xxx");
    return settings;
  }
  unsigned char bytes[16];
  if (std::fseek(f, 484, SEEK_SET) == 0 && std::fread(bytes, 1, 16, f) == 16) {
    for (int p = 0; p < 4; ++p) {
      const uint32_t bits = uint32_t(bytes[4 * p]) | uint32_t(bytes[4 * p + 1]) << 8 |
                            uint32_t(bytes[4 * p + 2]) << 16 | uint32_t(bytes[4 * p + 3]) << 24;
      std::memcpy(&settings.values[p], &bits, 4);
    }
    settings.known = true;
  }
  std::fclose(f);
  return settings;
}

// The shortest text that reads back as the same float.
std::string formatValue(float value) {
  char text[32];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, double(value));
    if (std::strtof(text, nullptr) == value) break;
  }
  return text;
}

// The values the filter recorded for the run, which are the values it used.
bool findUsedValues(const HostRunResult& result, float used[4]) {
  if (!result.recorded) return false;
  bool found[4] = {false, false, false, false};
  for (const HostDescriptorItem& item : result.recordedDescriptor.items) {
    for (int p = 0; p < 4; ++p) {
      if (item.key == codeFromText(kFilterParameters[p].keyText) &&
          item.type == codeFromText("doub")) {
        used[p] = float(item.number);
        found[p] = true;
      }
    }
  }
  return found[0] && found[1] && found[2] && found[3];
}

bool sameValue(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// A run that could not open the settings file (another run held it) goes on
// with 0 for every parameter it would have read there. Seen from here: a
// value not given that matches the file neither before nor after the run, or
// a 0 while the file was held and could not be read.
void warnIfSettingsUnused(const SettingsValues& before, const bool given[4], const float used[4]) {
  const SettingsValues after = readSettingsValues();
  const bool held = before.busy || after.busy;
  std::string instead, file;
  for (int p = 0; p < 4; ++p) {
    if (given[p]) continue;
    const bool matches = (before.known && sameValue(before.values[p], used[p])) ||
                         (after.known && sameValue(after.values[p], used[p]));
    if (matches || (!before.known && !after.known && !(held && used[p] == 0))) continue;
    const std::string name =
        std::string(instead.empty() ? "" : ", ") + kFilterParameters[p].name + " ";
    instead += name + formatValue(used[p]);
    if (before.known || after.known) {
      file += name + formatValue(after.known ? after.values[p] : before.values[p]);
    }
  }
  if (instead.empty()) return;
  std::fprintf(stderr,
               "brisel: warning: the filter ran without its settings file %s (%s) and used %s%s\n",
               moduleFilePath("OMKApref.xxx").c_str(),
               held ? "held by another run" : "probably held by another run", instead.c_str(),
               file.empty() ? "" : (" instead of the file's " + file).c_str());
}

bool interrupted() { return *interruptFlag() != 0; }

}  // namespace

#ifndef BRISEL_VERSION
#error "BRISEL_VERSION must be defined by the build"
#endif

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("brisel %s\n", BRISEL_VERSION);
    return 0;
  }
  catchInterrupts();
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
  // Parameters that do not come from the settings file.
  bool given[4] = {args.given[0], args.given[1], args.given[2], args.given[3]};
  if (!args.replayPath.empty()) {
    FILE* f = openPlainFile(args.replayPath, &error);
    if (f == nullptr) return fail(error);
    std::string text;
    char piece[4096];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, f)) > 0;) text.append(piece, n);
    std::fclose(f);
    if (!readDescriptorText(args.replayPath, &options.descriptor, &error)) return fail(error);
    if (const int code = checkReplayValues(args.replayPath, text, given)) return code;
    options.hasDescriptor = true;
  }
  for (int p = 0; p < 4; ++p) {
    if (!args.given[p]) continue;
    setDescriptorFloat(&options.descriptor, codeFromText(kFilterParameters[p].keyText),
                       args.values[p]);
    options.hasDescriptor = true;
  }
  // Where the image and the record go, checked before the filter spends its time.
  OutputTarget target, recordTarget;
  if (!planOutput(args.output, &target, &error)) return fail(error);
  if (!args.recordPath.empty() && !planOutput(args.recordPath, &recordTarget, &error)) {
    return fail(error);
  }

  const std::string plugin = args.plugin.empty() ? defaultModulePath() : args.plugin;
  HostSession session;
  if (!openHostSession(plugin, &session, &error)) return fail(error);

  const SettingsValues settingsBefore = readSettingsValues();
  ProgressLine progress(isTerminal(2));
  options.onProgress = [&progress](int32_t done, int32_t total) { progress.update(done, total); };
  options.stopRequested = interruptFlag();
  HostRunResult result;
  runFilter(&session, &image, options, &result);
  progress.finish();
  closeHostSession(&session);

  if (interrupted()) {
    std::fprintf(stderr, "brisel: interrupted; %s left as it was\n", args.output.c_str());
    exitInterrupted();
  }
  if (!result.hostError.empty()) {
    return fail("plug-in broke the host protocol: " + result.hostError);
  }
  if (result.result != 0) return fail(describeResult(result.result, image, options, result));
  float used[4];
  if (!findUsedValues(result, used)) return fail("the filter did not report the values it used");

  // Both files are written beside their destinations first and renamed over
  // them only when complete: a failure never leaves either one truncated.
  TemporaryFile imageFile, record;
  if (!args.recordPath.empty() && !recordTarget.stream) {
    if (!createTemporaryBeside(recordTarget, &record, &error) ||
        !writeDescriptorStream(record.stream, record.path, result.recordedDescriptor, &error)) {
      discardTemporary(&record);
      return fail(error);
    }
  } else if (!args.recordPath.empty() &&
             !writeDescriptorText(args.recordPath, result.recordedDescriptor, &error)) {
    return fail(error);
  }
  if (target.stream) {
    // A pipe or a device takes the image as it comes; renaming over it would
    // put a plain file in its place.
    if (!writePnm(args.output, image, format, &error)) {
      discardTemporary(&record);
      return fail(error);
    }
  } else if (!createTemporaryBeside(target, &imageFile, &error) ||
             !writePnmStream(imageFile.stream, imageFile.path, image, format, &error)) {
    discardTemporary(&imageFile);
    discardTemporary(&record);
    return fail(error);
  }
  if (interrupted()) {
    discardTemporary(&imageFile);
    discardTemporary(&record);
    std::fprintf(stderr, "brisel: interrupted; %s left as it was\n", args.output.c_str());
    exitInterrupted();
  }
  if (!target.stream && !commitTemporary(target, &imageFile, &error)) {
    discardTemporary(&record);
    return fail(error);
  }
  if (record.stream != nullptr && !commitTemporary(recordTarget, &record, &error)) {
    return fail(error);
  }

  if (!args.dialog) warnIfSettingsUnused(settingsBefore, given, used);
  // One line a run for a batch's log; on stderr when stdout may be the image.
  std::fprintf(target.stream ? stderr : stdout, "brisel: %s: alpha %s beta %s gamma %s delta %s\n",
               args.output.c_str(), formatValue(used[0]).c_str(), formatValue(used[1]).c_str(),
               formatValue(used[2]).c_str(), formatValue(used[3]).c_str());
  std::fflush(stdout);
  // Stopped only now: OUT holds the finished image, but the stop is still
  // reported as a stop.
  if (interrupted()) exitInterrupted();
  return 0;
}
