// briselMain.cpp -- the command-line host: runs the filter module on image files, one or a batch
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/batch.h"
#include "cli/imageFiles.h"
#include "cli/interrupt.h"
#include "cli/moduleFiles.h"
#include "cli/pnm.h"
#include "cli/userFiles.h"
#include "hostSim/descriptorText.h"
#include "hostSim/testHost.h"
#include "resources/filterParameters.h"

namespace {

const char kUsage[] =
    "usage: brisel apply IN OUT [options]           filter one image\n"
    "       brisel apply IN... -o DIR [options]     filter a batch into folder DIR\n"
    "       brisel apply --help | brisel --help | brisel --version\n"
    "options: [--alpha A] [--beta B] [--gamma G] [--delta D] [--plugin PATH] [--dialog]\n"
    "         [--record FILE] [--replay FILE] [--select TOP,LEFT,BOTTOM,RIGHT] [--mask MASK.pgm]\n"
    "         [--suffix TEXT] [--jobs N] [--format png|tif|jpg|pgm|ppm] [--quality N]\n"
    "         [--] [IN...]\n"
    "  IN or OUT '-' is standard input or output.\n"
    "  Files: binary PGM/PPM (P5, P6)"
#if BRISEL_HAVE_CODECS
    ", TIFF, PNG and JPEG"
#else
    " (this build has no TIFF, PNG or JPEG)"
#endif
    ", 8 or 16 bits, told apart by their content.\n"
    "  OUT's kind follows --format, else its extension (.tif .tiff .png .jpg .jpeg .pgm .ppm\n"
    "  .pnm; any other is refused), else IN's; a stream OUT (-, /dev/stdout, /dev/fd/N)\n"
    "  follows --format, else IN's.\n"
    "  A parameter given neither here nor in the --replay file is read from the filter's\n"
    "  settings file OMKApref.xxx, which holds 0 for all four unless another filter put values\n"
    "  there (README, \"The settings file\"). Every successful run prints the four values it "
    "used.\n"
    "  'brisel apply --help' says what each parameter does.\n"
    "  Exit codes: 0 all files written, 1 a file failed, 2 a usage error, 130 or 143 interrupted.\n"
    "  Results go to stdout, errors and warnings to stderr (no colour is used).\n";

const char kApplyHelp[] =
    "usage: brisel apply IN OUT [options]\n"
    "       brisel apply IN... -o DIR [--suffix TEXT] [--jobs N] [options]\n"
    "\n"
    "Runs the Adaptive Equalization filter on IN and writes OUT, or on every IN into DIR.\n"
    "\n"
    "The filter's four parameters, each a number from 0 to 1:\n"
    "  --alpha A  window 15x15 at 0, 13x13 up to 0.25, 11x11 up to 0.5, 9x9 up to 0.75, else 7x7\n"
    "  --beta B   share of the original blended back: 0 none (full effect), 1 image unchanged\n"
    "  --gamma G  contrast expansion: 0 plain equalisation (rank in window), 1 steepest curve\n"
    "  --delta D  noise rejection: weight of the 3x3 neighbours' mean in the value ranked, 0 off\n"
    "A parameter not given is taken from the --replay file, else from the filter's settings file\n"
    "OMKApref.xxx. The file the filter makes when there is none holds 0 for all four: a 15x15\n"
    "window, plain equalisation at full strength, no original blended back, no noise rejection.\n"
    "README, \"The settings file\", says what the filter reads and writes there.\n"
    "\n"
    "Options:\n"
    "  --replay FILE         parameters recorded by --record\n"
    "  --record FILE         write the parameters used, for --replay\n"
    "  --dialog              show the filter's dialog (once for a batch; Windows only)\n"
    "  --select T,L,B,R      filter only this rectangle, in pixels\n"
    "  --mask MASK.pgm       an 8-bit PGM selection mask the image's size\n"
    "  --plugin PATH         the filter module to load (default: the one beside brisel, else\n"
    "                        the installed one in ../lib/brisel/ from brisel's folder)\n"
    "  --format KIND         OUT's kind: png, tif, jpg, pgm or ppm (else OUT's extension; for\n"
    "                        a stream OUT such as -, /dev/stdout or /dev/fd/N, IN's kind)\n"
    "  --quality N           a JPEG OUT's quality, 1 to 100 (default 95)\n"
    "  --                    what follows is files, even when a name begins with -\n"
    "  -o, --output-dir DIR  a batch: OUT is DIR/NAME with IN's name and kind; DIR is made\n"
    "                        when missing (one level, as mkdir makes it)\n"
    "  --suffix TEXT         a batch: put TEXT before the extension (photo.tif -> photoTEXT.tif)\n"
    "  -j, --jobs N          a batch: files filtered at once (default: the number of cores;\n"
    "                        always 1 on Windows, where the filter's temporary files have\n"
    "                        fixed names in c:\\ that two runs would share)\n"
    "\n"
    "Files: PGM/PPM (P5, P6)"
#if BRISEL_HAVE_CODECS
    "; TIFF (8/16-bit grey or RGB, extra planes such as unassociated alpha\n"
    "kept bit for bit, associated alpha refused, strips or tiles, none/LZW/Deflate/PackBits;\n"
    "the output keeps the compression, byte order, resolution, ICC profile, orientation,\n"
    "chromaticities and descriptive tags); PNG (8/16-bit grey, grey+alpha, RGB, RGBA;\n"
    "palettes become RGB; text, gAMA, cHRM, sRGB and sBIT kept); JPEG (8-bit grey or RGB;\n"
    "EXIF with its orientation, ICC profile and comments kept; CMYK and 12-bit refused).\n"
    "What OUT's kind cannot hold is left out with a warning"
#else
    " only in this build (TIFF, PNG and JPEG need the Linux build)"
#endif
    ". The input's kind is told by its content, the\n"
    "output's by OUT's extension (else the input's). 16-bit colour samples 0..65535 become\n"
    "the filter's 0..32768 as v * 32768 / 65535 rounded, and go back as s * 65535 / 32768\n"
    "rounded: the lowest bit of a 16-bit colour sample is not kept (maxval 32768 PGM/PPM\n"
    "files are taken as they are).\n"
    "\n"
    "A batch resolves the parameters once, prints them once, goes on past a file that fails\n"
    "(one line naming it), writes no partial output, and ends with a summary.\n"
    "\n"
    "IN '-' is read from standard input; OUT '-', /dev/stdout or /dev/fd/N is written into\n"
    "that open stream as it is (appended to, when it was opened so). Any other OUT is written\n"
    "beside itself and renamed over it when complete. An option's value may follow it or be\n"
    "joined to it with '=' (--alpha=0.3).\n"
    "\n"
    "Exit codes: 0 every file written, 1 a file failed, 2 a usage error, 130 or 143 interrupted.\n"
    "\n"
    "Examples:\n"
    "  brisel apply scan.tif scan-eq.tif --alpha 0.3 --beta 0.2 --gamma 0.5 --delta 0.3\n"
    "  brisel apply frames/*.tif -o equalized --suffix -eq --jobs 2 --alpha 0.3\n";

struct Arguments {
  std::vector<std::string> inputs;
  std::string output, plugin, recordPath, replayPath, maskPath;
  std::string outputFolder, suffix;
  std::string format;  // OUT's kind as an extension ("png"), when given
  int32_t quality = kDefaultJpegQuality;
  bool qualityGiven = false;
  int jobs = 0;  // 0: as many as there are cores
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
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("brisel %s\n", BRISEL_VERSION);
    std::exit(0);
  }
  if (argc < 2 || std::strcmp(argv[1], "apply") != 0) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "help") == 0)) {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    return usageError(argc < 2 ? "no command given" : std::string("unknown command ") + argv[1]);
  }
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    if (optionsEnded) {
      positional.push_back(argv[i]);
      continue;
    }
    // "--name=value" is "--name value".
    std::string arg = argv[i];
    const char* joined = nullptr;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      joined = argv[i] + equals + 1;
      arg.resize(equals);
    }
    auto value = [&](const char** out) {
      if (joined != nullptr) {
        *out = joined;
        joined = nullptr;
        return true;
      }
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
    if (joined != nullptr && (arg == "--help" || arg == "--dialog" || arg == "--")) {
      return usageError(arg + " takes no value");
    }
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kApplyHelp, stdout);
      std::exit(0);
    } else if (arg == "-o" || arg == "--output-dir") {
      if (!value(&v)) return usageError(arg + " needs a folder");
      args->outputFolder = v;
    } else if (arg == "--suffix") {
      if (!value(&v)) return usageError("--suffix needs a text");
      args->suffix = v;
    } else if (arg == "--jobs" || arg == "-j") {
      char* end = nullptr;
      if (!value(&v)) return usageError(arg + " needs a number");
      const long n = std::strtol(v, &end, 10);
      if (end == v || *end != '\0' || n < 1 || n > 256) {
        return usageError(arg + " needs a number from 1 to 256, not '" + v + "'");
      }
      args->jobs = int(n);
    } else if (arg == "--format") {
      if (!value(&v)) return usageError("--format needs png, tif, jpg, pgm or ppm");
      std::string format = v;
      for (char& c : format) c = char(std::tolower(static_cast<unsigned char>(c)));
      if (format != "png" && format != "tif" && format != "tiff" && format != "jpg" &&
          format != "jpeg" && format != "pgm" && format != "ppm" && format != "pnm") {
        return usageError(std::string("--format needs png, tif, jpg, pgm or ppm, not '") + v + "'");
      }
      args->format = format;
    } else if (arg == "--quality") {
      char* end = nullptr;
      if (!value(&v)) return usageError("--quality needs a number");
      const long n = std::strtol(v, &end, 10);
      if (end == v || *end != '\0' || n < 1 || n > 100) {
        return valueError(std::string("--quality must be a number from 1 to 100, not '") + v + "'");
      }
      args->quality = int32_t(n);
      args->qualityGiven = true;
    } else if (arg == "--plugin") {
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
      return usageError(
          "unknown option " + arg +
          (arg[1] != '-' ? " (for a file whose name begins with -, put -- first)" : ""));
    } else {
      positional.push_back(arg);
    }
  }
  if (!args->outputFolder.empty()) {
    if (positional.empty()) return usageError("apply -o DIR needs at least one input file");
    args->inputs = positional;
    return 0;
  }
  if (!args->suffix.empty() || args->jobs != 0) {
    return usageError("--suffix and --jobs go with -o DIR (a batch)");
  }
  if (positional.size() != 2) {
    return usageError("apply needs an input and an output file (or inputs and -o DIR)");
  }
  args->inputs = {positional[0]};
  args->output = positional[1];
  return 0;
}

// Only the Windows module has a dialog; elsewhere the filter would take the
// values as they stand without a word, so the run says so and goes on as
// without --dialog.
void settleDialogChoice(Arguments* args) {
#if !defined(_WIN32)
  if (!args->dialog) return;
  std::fputs(
      "brisel: warning: this build has no dialog; --dialog ignored, the filter runs with the "
      "values from the command line, --replay and the settings file\n",
      stderr);
  args->dialog = false;
#else
  (void)args;
#endif
}

const char* const kStoreNames[3] = {"BackingS.xxx", "OpacityS.xxx", "MaskImag.xxx"};

const char* fileErrorMeaning(int16_t code) {
  switch (code) {
    case -36:
      return "input/output error";
    case -37:
      return "bad file name";
    case -39:  // a store read short of the rows it was made with
      return "a temporary file ended early (cut short or lost data while the filter ran)";
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
  // Readable here while another run holds it under its lock (POSIX).
  settings.busy = isModuleFileInUse("OMKApref.xxx");
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

// The filter takes a settings value outside 0..1 as the nearest end, NaN
// as 0.
float clampAsFilter(float value) { return !(value > 0.0f) ? 0.0f : value > 1.0f ? 1.0f : value; }

// Says when a parameter not given was not the settings file's value. Either
// the file held values the filter cannot use (out of 0..1, NaN), which it
// took as the nearest it can; or the run could not open the file (another run
// held it) and went on with 0 for every parameter it would have read there.
void warnIfSettingsUnused(const SettingsValues& before, const bool given[4], const float used[4]) {
  const SettingsValues after = readSettingsValues();
  const bool held = before.busy || after.busy;
  const bool known = before.known || after.known;
  std::string instead, file;
  bool unopened = false;
  for (int p = 0; p < 4; ++p) {
    if (given[p]) continue;
    const bool matches = (before.known && sameValue(before.values[p], used[p])) ||
                         (after.known && sameValue(after.values[p], used[p]));
    if (matches || (!known && !(held && used[p] == 0))) continue;
    const float inFile = after.known ? after.values[p] : before.values[p];
    if (!known || clampAsFilter(inFile) != used[p]) unopened = true;
    const std::string name =
        std::string(instead.empty() ? "" : ", ") + kFilterParameters[p].name + " ";
    instead += name + formatValue(used[p]);
    if (known) file += name + formatValue(inFile);
  }
  if (instead.empty()) return;
  const std::string path = moduleFilePath("OMKApref.xxx");
  if (!unopened) {
    std::fprintf(stderr,
                 "brisel: warning: the settings file %s held values the filter cannot use (%s: "
                 "each must be a number from 0 to 1); it used %s\n",
                 path.c_str(), file.c_str(), instead.c_str());
    return;
  }
  std::fprintf(stderr,
               "brisel: warning: the filter ran without its settings file %s (%s) and used %s%s\n",
               path.c_str(), held ? "held by another run" : "it could not open it", instead.c_str(),
               file.empty() ? "" : (" instead of the file's " + file).c_str());
}

bool interrupted() { return *interruptFlag() != 0; }

// The descriptor and dialog choice from the command line and the replay file;
// given says which parameters do not come from the settings file. Returns 0,
// else the exit code of the reported problem.
int buildParameters(const Arguments& args, HostRunOptions* options, bool given[4]) {
  options->playInfo = args.dialog ? plugInDialogDisplay : plugInDialogDontDisplay;
  for (int p = 0; p < 4; ++p) given[p] = args.given[p];
  std::string error;
  if (!args.replayPath.empty()) {
    FILE* f = openPlainFile(args.replayPath, &error);
    if (f == nullptr) return fail(error);
    std::string text;
    char piece[4096];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, f)) > 0;) text.append(piece, n);
    std::fclose(f);
    if (!readDescriptorText(args.replayPath, &options->descriptor, &error)) return fail(error);
    if (const int code = checkReplayValues(args.replayPath, text, given)) return code;
    options->hasDescriptor = true;
  }
  for (int p = 0; p < 4; ++p) {
    if (!args.given[p]) continue;
    setDescriptorFloat(&options->descriptor, codeFromText(kFilterParameters[p].keyText),
                       args.values[p]);
    options->hasDescriptor = true;
  }
  return 0;
}

// Writes the record file beside itself and renames it into place.
int writeRecord(const std::string& path, const HostDescriptor& descriptor) {
  std::string error;
  OutputTarget target;
  if (!planOutput(path, &target, &error)) return fail(error);
  if (target.stream) {
    return writeDescriptorText(path, descriptor, &error) ? 0 : fail(error);
  }
  TemporaryFile record;
  if (!createTemporaryBeside(target, &record, &error) ||
      !writeDescriptorStream(record.stream, record.path, descriptor, &error) ||
      !commitTemporary(target, &record, &error)) {
    discardTemporary(&record);
    return fail(error);
  }
  return 0;
}

void printValues(FILE* to, const std::string& name, const float used[4]) {
  std::fprintf(to, "brisel: %s%salpha %s beta %s gamma %s delta %s\n", name.c_str(),
               name.empty() ? "" : ": ", formatValue(used[0]).c_str(), formatValue(used[1]).c_str(),
               formatValue(used[2]).c_str(), formatValue(used[3]).c_str());
  std::fflush(to);
}

void stopInterrupted(const std::string& output) {
  std::fprintf(stderr, "brisel: interrupted; %s left as it was\n", output.c_str());
  exitInterrupted();
}

// How the input is named in messages: "-" is standard input.
std::string inputName(const std::string& input) { return input == "-" ? "standard input" : input; }

// A reader's reason begins with the name it was given.
std::string nameReason(const std::string& input, const std::string& reason) {
  if (input == "-" && reason.compare(0, 3, "-: ") == 0) return "standard input" + reason.substr(1);
  return reason;
}

// The kind OUT is written as: --format when given; else OUT's extension, but
// a stream's name (/dev/fd/3) says nothing of it, so IN's kind then.
bool chooseKind(const Arguments& args, const std::string& output, const OutputTarget& target,
                const ImageSource& source, int32_t depth, ImageKind* kind, std::string* error) {
  std::string format = args.format;
  if (format.empty() && !target.stream) return chooseOutputKind(output, source, depth, kind, error);
  if (format.empty()) {
    format = source.kind == ImageKind::tiff   ? "tif"
             : source.kind == ImageKind::png  ? "png"
             : source.kind == ImageKind::jpeg ? "jpg"
                                              : "pnm";
  }
  // Judged as a file of that kind would be, and the reason given with OUT's own name.
  const std::string named = output + "." + format;
  if (chooseOutputKind(named, source, depth, kind, error)) return true;
  for (size_t at; (at = error->find(named)) != std::string::npos;) {
    error->replace(at, named.size(), output);
  }
  return false;
}

// Copies a finished file from its start into a stream; false with a reason
// naming the stream.
bool copyWhole(FILE* from, FILE* to, const std::string& toName, std::string* error) {
  if (std::fseek(from, 0, SEEK_SET) != 0) {
    *error = "cannot write " + toName + ": " + std::strerror(errno);
    return false;
  }
  char piece[65536];
  for (size_t n; (n = std::fread(piece, 1, sizeof piece, from)) > 0;) {
    if (std::fwrite(piece, 1, n, to) != n) {
      *error = "cannot write " + toName + ": " + std::strerror(errno);
      return false;
    }
  }
  if (std::ferror(from) || std::fflush(to) != 0) {
    *error = "cannot write " + toName + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Writes the image into a stream OUT where it stands. TIFF needs to seek,
// which a pipe cannot: it is made whole in an unnamed file first.
bool writeIntoStream(const OutputTarget& target, const std::string& output, const HostImage& image,
                     const ImageSource& source, ImageKind kind, int32_t quality,
                     std::string* error) {
  FILE* f = openStreamTarget(target, error);
  if (f == nullptr) return false;
  bool written = false;
  if (kind == ImageKind::tiff) {
    FILE* whole = createUnnamedFile(error);
    written = whole != nullptr &&
              writeImage(whole, true, output, image, source, kind, quality, error) &&
              copyWhole(whole, f, output, error);
    if (whole != nullptr) std::fclose(whole);
  } else {
    written = writeImage(f, false, output, image, source, kind, quality, error);
  }
  if (std::fclose(f) != 0 && written) {
    *error = "cannot write " + output + ": " + std::strerror(errno);
    written = false;
  }
  return written;
}

// The files a run has open for writing, removed when it fails.
struct RunFiles {
  TemporaryFile image, record;
};

// One file through the filter: read, filter in place, write beside OUT and
// rename. Returns the exit code; errors are printed here.
int runOneFile(const Arguments& args, const std::string& input, const std::string& output,
               bool batch, RunFiles* files) {
  std::string error;
  // Where the image and the record go, checked before the file is read.
  OutputTarget target, recordTarget;
  if (!planOutput(output, &target, &error)) return fail(error);
  // A name that says another kind is refused before the input is read.
  if (args.format.empty() && !target.stream && !checkOutputName(output, &error)) {
    return fail(error);
  }
  if (!batch && !args.recordPath.empty() && !planOutput(args.recordPath, &recordTarget, &error)) {
    return fail(error);
  }
  if (input == "-" && !args.maskPath.empty() && args.maskPath == "-") {
    return usageError("standard input cannot be both the image and the mask");
  }
  HostImage image;
  ImageSource source;
  if (!readImage(input, &image, &source, &error)) return fail(nameReason(input, error));
  ImageKind outputKind;
  if (!chooseKind(args, output, target, source, image.depth, &outputKind, &error)) {
    return fail(error);
  }

  HostRunOptions options;
  // The image read is the only copy: the filter works in it, and a failed
  // run writes nothing.
  options.inPlace = true;
  if (args.hasSelect) {
    const Rect& r = args.select;
    if (r.top >= r.bottom || r.left >= r.right || r.bottom > image.height ||
        r.right > image.width) {
      return fail("--select " + std::to_string(r.top) + "," + std::to_string(r.left) + "," +
                  std::to_string(r.bottom) + "," + std::to_string(r.right) +
                  " is empty or reaches outside the " + std::to_string(image.width) + "x" +
                  std::to_string(image.height) + " image " + inputName(input));
    }
    options.hasFilterRect = true;
    options.filterRect = r;
  }
  if (!args.maskPath.empty()) {
    // A masked run blends the module's result into the image at the end, so
    // the module works in a copy: the image, its copy and the mask (a byte a
    // pixel) are held at once, three images' worth for 8-bit grey.
    const uint64_t extra = uint64_t(image.data.size()) + uint64_t(image.width) * image.height;
    if (extra > memoryForImage()) {
      return fail(inputName(input) + ": the " + std::to_string(image.width) + "x" +
                  std::to_string(image.height) + " image with a mask needs " +
                  std::to_string(extra >> 20) +
                  " MiB more for the mask and the filter's copy, more memory than this machine " +
                  "has free");
    }
    if (!readPgmMask(args.maskPath, image.width, image.height, &options.mask, &error)) {
      return fail(inputName(input) + ": " + error);
    }
  }
  bool given[4];
  if (const int code = buildParameters(args, &options, given)) return code;

  const std::string plugin = args.plugin.empty() ? defaultModulePath() : args.plugin;
  HostSession session;
  if (!openHostSession(plugin, &session, &error)) return fail(error);

  const SettingsValues settingsBefore = readSettingsValues();
  ProgressLine progress(!batch && isTerminal(2));
  options.onProgress = [&progress](int32_t done, int32_t total) { progress.update(done, total); };
  options.stopRequested = interruptFlag();
  HostRunResult result;
  runFilter(&session, &image, options, &result);
  progress.finish();
  closeHostSession(&session);

  if (interrupted()) stopInterrupted(output);
  if (!result.hostError.empty()) {
    return fail(inputName(input) + ": plug-in broke the host protocol: " + result.hostError);
  }
  if (result.result != 0) {
    return fail(inputName(input) + ": " + describeResult(result.result, image, options, result));
  }
  float used[4];
  if (!findUsedValues(result, used)) return fail("the filter did not report the values it used");

  // Both files are written beside their destinations first and renamed over
  // them only when complete: a failure never leaves either one truncated.
  if (!batch && !args.recordPath.empty() && !recordTarget.stream) {
    if (!createTemporaryBeside(recordTarget, &files->record, &error) ||
        !writeDescriptorStream(files->record.stream, files->record.path, result.recordedDescriptor,
                               &error)) {
      return fail(error);
    }
  } else if (!batch && !args.recordPath.empty()) {
    FILE* f = openStreamTarget(recordTarget, &error);
    const bool written = f != nullptr && writeDescriptorStream(f, args.recordPath,
                                                               result.recordedDescriptor, &error);
    if (f != nullptr) std::fclose(f);
    if (!written) return fail(error);
  }
  if (target.stream) {
    // A pipe, a device or an open descriptor takes the image as it comes;
    // renaming over it would put a plain file in place of what it leads to.
    if (!writeIntoStream(target, output, image, source, outputKind, args.quality, &error)) {
      return fail(error);
    }
  } else if (!createTemporaryBeside(target, &files->image, &error) ||
             !writeImage(files->image.stream, true, output, image, source, outputKind, args.quality,
                         &error)) {
    return fail(error);
  }
  if (interrupted()) {
    discardTemporary(&files->image);
    discardTemporary(&files->record);
    stopInterrupted(output);
  }
  if (!target.stream && !commitTemporary(target, &files->image, &error)) return fail(error);
  if (files->record.stream != nullptr && !commitTemporary(recordTarget, &files->record, &error)) {
    return fail(error);
  }

  if (!args.dialog && !batch) warnIfSettingsUnused(settingsBefore, given, used);
  // One line a run for a log; on stderr when stdout may be the image.
  if (!batch) printValues(target.stream ? stderr : stdout, output, used);
  // Stopped only now: OUT holds the finished image, but the stop is still
  // reported as a stop.
  if (interrupted()) exitInterrupted();
  return 0;
}

// One file, its unfinished files removed whatever stops it: a failure, an
// interrupt, or memory running out anywhere on the way.
int applyFile(const Arguments& args, const std::string& input, const std::string& output,
              bool batch) {
  RunFiles files;
  int code;
  try {
    code = runOneFile(args, input, output, batch, &files);
  } catch (const std::bad_alloc&) {
    code = fail(inputName(input) + ": not enough memory to filter it");
  }
  discardTemporary(&files.image);
  discardTemporary(&files.record);
  return code;
}

// The four values every file of a batch gets, learnt by running the filter
// once on a small blank image with the batch's parameters: the settings file,
// the replay file and the dialog count exactly as in a single run.
int resolveBatchValues(const Arguments& args, float used[4]) {
  HostRunOptions options;
  bool given[4];
  if (const int code = buildParameters(args, &options, given)) return code;
  std::string error;
  const std::string plugin = args.plugin.empty() ? defaultModulePath() : args.plugin;
  HostSession session;
  if (!openHostSession(plugin, &session, &error)) return fail(error);
  HostImage blank = makeHostImage(16, 16, 8, plugInModeGrayScale, 1);
  options.stopRequested = interruptFlag();
  const SettingsValues settingsBefore = readSettingsValues();
  HostRunResult result;
  runFilter(&session, &blank, options, &result);
  closeHostSession(&session);
  if (interrupted()) exitInterrupted();
  if (!result.hostError.empty()) {
    return fail("plug-in broke the host protocol: " + result.hostError);
  }
  if (result.result != 0) return fail(describeResult(result.result, blank, options, result));
  if (!findUsedValues(result, used)) return fail("the filter did not report the values it used");
  if (!args.recordPath.empty()) {
    if (const int code = writeRecord(args.recordPath, result.recordedDescriptor)) return code;
  }
  if (!args.dialog) warnIfSettingsUnused(settingsBefore, given, used);
  return 0;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of(
#if defined(_WIN32)
      "/\\"
#else
      "/"
#endif
  );
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string batchOutputName(const Arguments& args, const std::string& input) {
  std::string name = baseName(input);
  const size_t dot = name.find_last_of('.');
  if (!args.suffix.empty()) {
    if (dot == std::string::npos || dot == 0) {
      name += args.suffix;
    } else {
      name = name.substr(0, dot) + args.suffix + name.substr(dot);
    }
  }
  const std::string& folder = args.outputFolder;
  const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
  return separated ? folder + name : folder + "/" + name;
}

// True when the line names path as a whole word: after a space, before a
// colon, space or the end.
bool mentions(const std::string& line, const std::string& path) {
  for (size_t at = line.find(path); at != std::string::npos; at = line.find(path, at + 1)) {
    const size_t end = at + path.size();
    if (at > 0 && line[at - 1] == ' ' &&
        (end == line.size() || line[end] == ':' || line[end] == ' ' || line[end] == ';')) {
      return true;
    }
  }
  return false;
}

// A run's error and warning lines, each naming the file it belongs to (the
// libraries' warnings name the file they read or wrote, the module's errors
// none).
std::string nameEachLine(const BatchFile& file, const std::string& lines) {
  std::string named;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    if (!mentions(line, file.input) && !mentions(line, file.output)) {
      for (const std::string prefix : {"brisel: error: ", "brisel: warning: "}) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
          line = prefix + file.input + ": " + line.substr(prefix.size());
          break;
        }
      }
    }
    named += line + "\n";
  }
  return named;
}

class BatchProgress {
 public:
  BatchProgress(size_t total, bool bar) : total_(total), bar_(bar) {}
  void clear() {
    if (bar_ && drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }
  void draw() {
    if (!bar_) return;
    const int width = 30;
    const int filled = total_ == 0 ? width : int(done_ * width / total_);
    std::string line(size_t(filled), '#');
    line.append(size_t(width - filled), '.');
    std::fprintf(stderr, "\rbrisel: [%s] %zu/%zu files", line.c_str(), done_, total_);
    std::fflush(stderr);
    drawn_ = true;
  }
  void fileDone(const BatchFile& file, bool ok, const std::string& lines) {
    ++done_;
    clear();
    // The run's warnings, as a single run shows them, and its failure.
    std::fputs(nameEachLine(file, lines).c_str(), stderr);
    std::fflush(stderr);
    if (ok) {
      ++written_;
      // Plain lines for a log; on a terminal the bar says it.
      if (!bar_) std::printf("brisel: [%zu/%zu] %s\n", done_, total_, file.output.c_str());
      std::fflush(stdout);
    } else {
      ++failed_;
    }
    draw();
  }
  size_t written() const { return written_; }
  size_t failed() const { return failed_; }

 private:
  size_t total_;
  bool bar_;
  bool drawn_ = false;
  size_t done_ = 0, written_ = 0, failed_ = 0;
};

// Refuses a batch that would write over one of its own inputs (by name,
// through a link, or by file identity) or write two files to one name. The
// outputs share one folder, so their names alone tell a collision of files
// not made yet. Returns false with one line naming both files.
bool checkBatchOutputs(const std::vector<BatchFile>& files, std::string* error) {
  std::vector<FileIdentity> inputs(files.size()), outputs(files.size());
  std::vector<bool> inputKnown(files.size()), outputKnown(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    inputKnown[i] = identifyFile(files[i].input, &inputs[i]);
    outputKnown[i] = identifyFile(files[i].output, &outputs[i]);
  }
  auto same = [](const FileIdentity& a, const FileIdentity& b) {
    return a.volume == b.volume && a.index == b.index;
  };
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t j = 0; j < files.size(); ++j) {
      if (!outputKnown[i] || !inputKnown[j] || !same(outputs[i], inputs[j])) continue;
      *error = i == j ? files[i].input + ": its output " + files[i].output +
                            " would replace it; nothing written (use --suffix or another folder)"
                      : files[i].input + ": its output " + files[i].output +
                            " would replace the input " + files[j].input +
                            "; nothing written (use --suffix or another folder)";
      return false;
    }
    for (size_t j = 0; j < i; ++j) {
      if (isSameEntryName(files[i].output, files[j].output) ||
          (outputKnown[i] && outputKnown[j] && same(outputs[i], outputs[j]))) {
        *error = files[j].input + " and " + files[i].input + " would both be written to " +
                 files[i].output + "; nothing written";
        return false;
      }
    }
  }
  return true;
}

int applyBatch(Arguments& args) {
  for (const std::string& input : args.inputs) {
    if (input == "-") {
      return usageError(
          "standard input (-) cannot be one of a batch's files; a file named - is ./-");
    }
  }
  // A missing folder is made only once the batch is sure to run: a refused
  // batch leaves no empty folder behind.
  bool folderMissing = false;
  {
    std::string error;
    if (!checkOutputFolder(args.outputFolder, &folderMissing, &error)) return fail(error);
  }
  std::vector<BatchFile> files;
  for (const std::string& input : args.inputs) {
    files.push_back(BatchFile{input, batchOutputName(args, input)});
  }
  std::string error;
  if (!checkBatchOutputs(files, &error)) return fail(error);
  float used[4];
  if (const int code = resolveBatchValues(args, used)) return code;
  if (folderMissing && !makeFolder(args.outputFolder, &error)) return fail(error);
  printValues(stdout, "", used);
  // Every file runs with the values just printed, and nothing else from the
  // settings file or the dialog.
  Arguments each = args;
  each.replayPath.clear();
  each.recordPath.clear();
  each.dialog = false;
  std::vector<std::string> arguments;
  for (int p = 0; p < 4; ++p) {
    each.given[p] = true;
    each.values[p] = std::strtod(formatValue(used[p]).c_str(), nullptr);
    arguments.push_back(std::string("--") + kFilterParameters[p].name);
    arguments.push_back(formatValue(used[p]));
  }
  if (args.hasSelect) {
    arguments.push_back("--select");
    arguments.push_back(std::to_string(args.select.top) + "," + std::to_string(args.select.left) +
                        "," + std::to_string(args.select.bottom) + "," +
                        std::to_string(args.select.right));
  }
  if (!args.maskPath.empty()) {
    arguments.push_back("--mask");
    arguments.push_back(args.maskPath);
  }
  if (!args.plugin.empty()) {
    arguments.push_back("--plugin");
    arguments.push_back(args.plugin);
  }
  if (args.qualityGiven) {
    arguments.push_back("--quality");
    arguments.push_back(std::to_string(args.quality));
  }

  BatchProgress progress(args.inputs.size(), isTerminal(2));
  const unsigned cores = std::thread::hardware_concurrency();
  int jobs = args.jobs > 0 ? args.jobs : int(cores > 0 ? cores : 1);
  jobs = maxBatchJobs(std::min<int>(jobs, int(std::max<size_t>(files.size(), 1))));
  progress.draw();
  const bool started = runBatch(
      files, arguments, jobs,
      [&each](const BatchFile& file) { return applyFile(each, file.input, file.output, true); },
      [&progress](const BatchFile& file, bool ok, const std::string& lines) {
        progress.fileDone(file, ok, lines);
      },
      &error);
  progress.clear();
  if (!started) std::fprintf(stderr, "brisel: error: %s\n", error.c_str());
  if (interrupted()) {
    std::fprintf(stderr, "brisel: interrupted; %zu of %zu files written\n", progress.written(),
                 args.inputs.size());
    exitInterrupted();
  }
  const size_t notRun = args.inputs.size() - progress.written() - progress.failed();
  std::printf("brisel: %zu of %zu files written, %zu failed\n", progress.written(),
              args.inputs.size(), progress.failed() + notRun);
  std::fflush(stdout);
  return progress.failed() + notRun == 0 && started ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  catchInterrupts();
  // Memory running out anywhere is one line and a failure, never an abort;
  // a file's run has already removed its unfinished files.
  try {
    Arguments args;
    if (const int code = parseArguments(argc, argv, &args)) return code;
    settleDialogChoice(&args);
    if (!args.outputFolder.empty()) return applyBatch(args);
    return applyFile(args, args.inputs[0], args.output, false);
  } catch (const std::bad_alloc&) {
    return fail("not enough memory");
  }
}
