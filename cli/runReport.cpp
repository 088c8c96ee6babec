// runReport.cpp -- what a run tells its user: errors described, the settings-file warning, values
// used
#include "cli/runReport.h"

#include <cmath>
#include <cstring>

#include "cli/interrupt.h"
#include "cli/moduleFiles.h"
#include "cli/userFiles.h"
#include "core/fixedFiles.h"
#include "core/hostErrors.h"
#include "pluginHost/descriptorText.h"
#include "resources/filterParameters.h"

namespace {

const char* const kStoreNames[3] = {plainFileName(kColourStoreName), plainFileName(kExtraStoreName),
                                    plainFileName(kMaskStoreName)};
const char* const kSettingsName = plainFileName(kSettingsFileName);

const char* fileErrorMeaning(int16_t code) {
  switch (code) {
    case ioErr:
      return "input/output error";
    case bdNamErr:
      return "bad file name";
    case eofErr:  // a store read short of the rows it was made with
      return "a temporary file ended early (cut short or lost data while the filter ran)";
    case posErr:
      return "bad position";
    case tmfoErr:
      return "too many files open";
    case fnfErr:
      return "file not found";
    case fLckdErr:
      return "file busy";
    case opWrErr:
      return "file already open for writing";
    case rfNumErr:
      return "bad file reference";
    case wrPermErr:
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
  if (code == fLckdErr || (code == ioErr && result.continueCalls == 1)) {
    return "the filter's temporary files in " + moduleFolder() + " are in use by another run (" +
           "file error " + std::to_string(code) + ")";
  }
  return "the filter's temporary files in " + moduleFolder() +
         " could not be used: " + fileErrorMeaning(code) + " (file error " + std::to_string(code) +
         ")";
}

bool sameValue(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

int fail(const std::string& message) {
  std::fprintf(stderr, "brisel: error: %s\n", message.c_str());
  return 1;
}

std::string describeResult(int16_t code, const HostImage& image, const HostRunOptions& options,
                           const HostRunResult& result) {
  const Rect area = options.hasFilterRect ? options.filterRect
                                          : Rect{0, 0, int16_t(image.height), int16_t(image.width)};
  const std::string number = std::to_string(code);
  switch (code) {
    case userCanceledErr:
      if (area.right - area.left < kMinAreaWidth) {
        return "the area to filter is " + std::to_string(area.right - area.left) +
               " pixels wide; the filter needs at least " + std::to_string(kMinAreaWidth) +
               " (cancelled, " + number + ")";
      }
      return "the filter was cancelled (" + number + ")";
    case memFullErr:
      return "the filter ran out of memory (" + number + ")";
    case dskFulErr:
      return "the disk is full: the filter's temporary files in " + moduleFolder() +
             " could not be written (" + number + ")";
    case filterBadParameters:
      return "the filter refused the host's parameters (" + number + ")";
    case filterBadMode:
      return "the filter does not support this image mode (" + number + ")";
    default:
      if (code <= dirFulErr && code >= wrPermErr) return describeFileError(code, result);
      return "the filter failed with code " + std::to_string(code);
  }
}

SettingsValues readSettingsValues() {
  SettingsValues settings;
  const std::string path = moduleFilePath(kSettingsName);
  std::string ignored;
  FILE* f = path.empty() ? nullptr : openPlainFile(path, &ignored);
  if (f == nullptr) {
    settings.busy = isModuleFileInUse(kSettingsName);
    return settings;
  }
  // Readable here while another run holds it under its lock (POSIX).
  settings.busy = isModuleFileInUse(kSettingsName);
  unsigned char bytes[4 * kParameterCount];
  if (std::fseek(f, kSettingsParametersOffset, SEEK_SET) == 0 &&
      std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes) {
    for (int32_t p = 0; p < kParameterCount; ++p) {
      const uint32_t bits = uint32_t(bytes[4 * p]) | uint32_t(bytes[4 * p + 1]) << 8 |
                            uint32_t(bytes[4 * p + 2]) << 16 | uint32_t(bytes[4 * p + 3]) << 24;
      std::memcpy(&settings.values.value[p], &bits, 4);
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
bool findUsedValues(const HostRunResult& result, FilterValues* used) {
  if (!result.recorded) return false;
  bool found[kParameterCount] = {};
  for (const HostDescriptorItem& item : result.recordedDescriptor.items) {
    for (int32_t p = 0; p < kParameterCount; ++p) {
      if (item.key == parameterKey(p) && item.type == codeFromText("doub")) {
        used->value[p] = float(item.number);
        found[p] = true;
      }
    }
  }
  for (bool one : found) {
    if (!one) return false;
  }
  return true;
}

// Says when a parameter not given was not the settings file's value. Either
// the file held values the filter cannot use (out of 0..1, NaN), which it
// took as the nearest it can; or the run could not open the file (another run
// held it) and went on with 0 for every parameter it would have read there.
void warnIfSettingsUnused(const SettingsValues& before, const bool given[kParameterCount],
                          const FilterValues& used) {
  const SettingsValues after = readSettingsValues();
  const bool held = before.busy || after.busy;
  const bool known = before.known || after.known;
  std::string instead, file;
  bool unopened = false;
  for (int32_t p = 0; p < kParameterCount; ++p) {
    if (given[p]) continue;
    const float value = used.value[p];
    const bool matches = (before.known && sameValue(before.values.value[p], value)) ||
                         (after.known && sameValue(after.values.value[p], value));
    if (matches || (!known && !(held && value == 0))) continue;
    const float inFile = after.known ? after.values.value[p] : before.values.value[p];
    // The filter takes a value outside 0..1 as the nearest end, NaN as 0.
    if (!known || clampParameter(inFile) != value) unopened = true;
    const std::string name =
        std::string(instead.empty() ? "" : ", ") + kFilterParameters[p].name + " ";
    instead += name + formatValue(value);
    if (known) file += name + formatValue(inFile);
  }
  if (instead.empty()) return;
  const std::string path = moduleFilePath(kSettingsName);
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

void printValues(FILE* to, const std::string& name, const FilterValues& used) {
  std::string line = "brisel: " + name + (name.empty() ? "" : ": ");
  for (int32_t p = 0; p < kParameterCount; ++p) {
    line += std::string(p == 0 ? "" : " ") + kFilterParameters[p].name + " " +
            formatValue(used.value[p]);
  }
  std::fprintf(to, "%s\n", line.c_str());
  std::fflush(to);
}
