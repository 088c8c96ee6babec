// arguments.cpp -- brisel's command line: usage texts, options and the replay file
#include "cli/arguments.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "cli/runReport.h"
#include "cli/userFiles.h"
#include "pluginHost/descriptorText.h"
#include "resources/filterParameters.h"

namespace {

const char kUsageHead[] =
    "usage: brisel apply IN OUT [options]           filter one image\n"
    "       brisel apply IN... -o DIR [options]     filter a batch into folder DIR\n"
    "       brisel apply --help | brisel --help | brisel --version\n"
    "options:";
const char kUsageTail[] =
    " [--plugin PATH] [--dialog]\n"
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

const char kApplyHelpHead[] =
    "usage: brisel apply IN OUT [options]\n"
    "       brisel apply IN... -o DIR [--suffix TEXT] [--jobs N] [options]\n"
    "\n"
    "Runs the Adaptive Equalization filter on IN and writes OUT, or on every IN into DIR.\n"
    "\n"
    "The filter's four parameters, each a number from 0 to 1:\n";

// What each parameter does, in the table's order.
const char* const kParameterHelp[kParameterCount] = {
    "window 15x15 at 0, 13x13 up to 0.25, 11x11 up to 0.5, 9x9 up to 0.75, else 7x7",
    "share of the original blended back: 0 none (full effect), 1 image unchanged",
    "contrast expansion: 0 plain equalisation (rank in window), 1 steepest curve",
    "noise rejection: weight of the 3x3 neighbours' mean in the value ranked, 0 off",
};

// Where the parameters' help begins on their lines.
constexpr size_t kHelpColumn = 13;

// The values of the examples, in the table's order.
const char* const kExampleValues[kParameterCount] = {"0.3", "0.2", "0.5", "0.3"};

const char kApplyHelpBody[] =
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
    "joined to it with '=' (";
const char kApplyHelpTail[] =
    ").\n"
    "\n"
    "Exit codes: 0 every file written, 1 a file failed, 2 a usage error, 130 or 143 interrupted.\n"
    "\n"
    "Examples:\n";

// "--name", and its value's name in the usage: the name's first letter in capitals.
std::string optionOf(int32_t parameter) {
  return std::string("--") + kFilterParameters[parameter].name;
}

std::string valueNameOf(int32_t parameter) {
  return std::string(
      1, char(std::toupper(static_cast<unsigned char>(kFilterParameters[parameter].name[0]))));
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

}  // namespace

std::string usageText() {
  std::string text = kUsageHead;
  for (int32_t p = 0; p < kParameterCount; ++p) {
    text += " [" + optionOf(p) + " " + valueNameOf(p) + "]";
  }
  return text + kUsageTail;
}

std::string applyHelpText() {
  std::string text = kApplyHelpHead;
  for (int32_t p = 0; p < kParameterCount; ++p) {
    std::string option = "  " + optionOf(p) + " " + valueNameOf(p);
    option.resize(kHelpColumn, ' ');
    text += option + kParameterHelp[p] + "\n";
  }
  const std::string first = optionOf(0) + "=" + kExampleValues[0];
  text += kApplyHelpBody + first + kApplyHelpTail + "  brisel apply scan.tif scan-eq.tif";
  for (int32_t p = 0; p < kParameterCount; ++p) {
    text += " " + optionOf(p) + " " + kExampleValues[p];
  }
  text += "\n  brisel apply frames/*.tif -o equalized --suffix -eq --jobs 2 " + optionOf(0) + " " +
          kExampleValues[0] + "\n";
  return text;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "brisel: error: %s\n%s", message.c_str(), usageText().c_str());
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

namespace {

// The arguments after "apply", one at a time. An option's value follows it,
// or is joined to it with '=' ("--name=value" is "--name value").
struct OptionCursor {
  int argc;
  char** argv;
  int at;
  const char* joined;
};

bool takeValue(OptionCursor* cursor, const char** out) {
  if (cursor->joined != nullptr) {
    *out = cursor->joined;
    cursor->joined = nullptr;
    return true;
  }
  if (cursor->at + 1 >= cursor->argc) return false;
  *out = cursor->argv[++cursor->at];
  return true;
}

// One argument other than the four parameters: an option, "--", or a file.
// Returns 0, else the exit code of the reported problem.
int parseOption(const std::string& arg, OptionCursor* cursor, Arguments* args, bool* optionsEnded,
                std::vector<std::string>* positional) {
  const char* v = nullptr;
  if (cursor->joined != nullptr && (arg == "--help" || arg == "--dialog" || arg == "--")) {
    return usageError(arg + " takes no value");
  }
  if (arg == "--") {
    *optionsEnded = true;
  } else if (arg == "--help" || arg == "-h") {
    std::fputs(applyHelpText().c_str(), stdout);
    std::exit(0);
  } else if (arg == "-o" || arg == "--output-dir") {
    if (!takeValue(cursor, &v)) return usageError(arg + " needs a folder");
    args->outputFolder = v;
  } else if (arg == "--suffix") {
    if (!takeValue(cursor, &v)) return usageError("--suffix needs a text");
    args->suffix = v;
  } else if (arg == "--jobs" || arg == "-j") {
    char* end = nullptr;
    if (!takeValue(cursor, &v)) return usageError(arg + " needs a number");
    const long n = std::strtol(v, &end, 10);
    if (end == v || *end != '\0' || n < 1 || n > 256) {
      return usageError(arg + " needs a number from 1 to 256, not '" + v + "'");
    }
    args->jobs = int(n);
  } else if (arg == "--format") {
    if (!takeValue(cursor, &v)) return usageError("--format needs png, tif, jpg, pgm or ppm");
    std::string format = v;
    for (char& c : format) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (format != "png" && format != "tif" && format != "tiff" && format != "jpg" &&
        format != "jpeg" && format != "pgm" && format != "ppm" && format != "pnm") {
      return usageError(std::string("--format needs png, tif, jpg, pgm or ppm, not '") + v + "'");
    }
    args->format = format;
  } else if (arg == "--quality") {
    char* end = nullptr;
    if (!takeValue(cursor, &v)) return usageError("--quality needs a number");
    const long n = std::strtol(v, &end, 10);
    if (end == v || *end != '\0' || n < 1 || n > 100) {
      return valueError(std::string("--quality must be a number from 1 to 100, not '") + v + "'");
    }
    args->quality = int32_t(n);
    args->qualityGiven = true;
  } else if (arg == "--plugin") {
    if (!takeValue(cursor, &v)) return usageError("--plugin needs a path");
    args->plugin = v;
  } else if (arg == "--dialog") {
    args->dialog = true;
  } else if (arg == "--record") {
    if (!takeValue(cursor, &v)) return usageError("--record needs a file");
    args->recordPath = v;
  } else if (arg == "--replay") {
    if (!takeValue(cursor, &v)) return usageError("--replay needs a file");
    args->replayPath = v;
  } else if (arg == "--mask") {
    if (!takeValue(cursor, &v)) return usageError("--mask needs a file");
    args->maskPath = v;
  } else if (arg == "--select") {
    if (!takeValue(cursor, &v) || !parseSelect(v, &args->select)) {
      return usageError("--select needs TOP,LEFT,BOTTOM,RIGHT in pixels");
    }
    args->hasSelect = true;
  } else if (arg.size() > 1 && arg[0] == '-') {
    return usageError(
        "unknown option " + arg +
        (arg[1] != '-' ? " (for a file whose name begins with -, put -- first)" : ""));
  } else {
    positional->push_back(arg);
  }
  return 0;
}

}  // namespace

// Returns 0 when parsed, else the exit code of the reported problem.
int parseArguments(int argc, char** argv, Arguments* args) {
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("brisel %s\n", BRISEL_VERSION);
    std::exit(0);
  }
  if (argc < 2 || std::strcmp(argv[1], "apply") != 0) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "help") == 0)) {
      std::fputs(usageText().c_str(), stdout);
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
    std::string arg = argv[i];
    OptionCursor cursor{argc, argv, i, nullptr};
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      cursor.joined = argv[i] + equals + 1;
      arg.resize(equals);
    }
    const char* v = nullptr;
    bool matched = false;
    for (int32_t p = 0; p < kParameterCount; ++p) {
      if (arg == optionOf(p)) {
        matched = true;
        if (!takeValue(&cursor, &v)) return usageError(arg + " needs a value");
        if (!parseUnitValue(v, &args->values[p])) {
          return valueError(arg + " must be a number from 0 to 1, not '" + v + "'");
        }
        args->given[p] = true;
      }
    }
    if (!matched) {
      if (const int code = parseOption(arg, &cursor, args, &optionsEnded, &positional)) {
        return code;
      }
    }
    i = cursor.at;
  }
  if (!args->outputFolder.empty()) {
    if (positional.empty()) return usageError("apply -o DIR needs at least one input file");
    // a batch writes each file in its input's kind, and its children are not
    // told of a kind for OUT
    if (!args->format.empty()) return usageError("--format goes with one OUT, not with -o DIR");
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

namespace {

// The replay file's parameters must be what their options accept: a number from 0 to 1, recorded as
// "doub". The filter would quietly drop a number out of range (and use the settings file's value
// instead), and this host's descriptors would hand it a "bool" or "long" as a number. Returns 0,
// else the exit code of the reported problem.
int checkReplayValues(const std::string& path, const std::vector<DescriptorLine>& lines,
                      bool given[kParameterCount]) {
  for (const DescriptorLine& line : lines) {
    for (int32_t p = 0; p < kParameterCount; ++p) {
      if (line.key != kFilterParameters[p].keyText) continue;
      double number;
      if (line.type != "doub" || !parseUnitValue(line.value.c_str(), &number)) {
        return valueError(path + ":" + std::to_string(line.number) + ": " + line.key + " " +
                          line.type + " " + line.value + ": " + kFilterParameters[p].name +
                          " must be a doub number from 0 to 1");
      }
      given[p] = true;
    }
  }
  return 0;
}

}  // namespace

// The descriptor and dialog choice from the command line and the replay file;
// given says which parameters do not come from the settings file. Returns 0,
// else the exit code of the reported problem.
int buildParameters(const Arguments& args, HostRunOptions* options, bool given[kParameterCount]) {
  options->playInfo = args.dialog ? plugInDialogDisplay : plugInDialogDontDisplay;
  for (int32_t p = 0; p < kParameterCount; ++p) given[p] = args.given[p];
  std::string error;
  if (!args.replayPath.empty()) {
    FILE* f = openPlainFile(args.replayPath, &error);
    if (f == nullptr) return fail(error);
    std::string text;
    char piece[4096];
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, f)) > 0;) text.append(piece, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    // a read cut short must not pass for the whole file
    if (failed) return fail("cannot read " + args.replayPath);
    // Read once and parsed once: the items and the lines they came from.
    std::vector<DescriptorLine> lines;
    if (!parseDescriptorText(text, args.replayPath, &options->descriptor, &lines, &error)) {
      return fail(error);
    }
    if (const int code = checkReplayValues(args.replayPath, lines, given)) return code;
    options->hasDescriptor = true;
  }
  for (int32_t p = 0; p < kParameterCount; ++p) {
    if (!args.given[p]) continue;
    setDescriptorFloat(&options->descriptor, parameterKey(p), args.values[p]);
    options->hasDescriptor = true;
  }
  return 0;
}
