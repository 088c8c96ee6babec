// applyBatch.cpp -- many image files into one folder: output names, collisions, values resolved
// once
#include "cli/applyBatch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/applyFile.h"
#include "cli/batch.h"
#include "cli/interrupt.h"
#include "cli/moduleFiles.h"
#include "cli/runReport.h"
#include "cli/userFiles.h"
#include "pluginHost/descriptorText.h"
#include "resources/filterParameters.h"

namespace {

// Writes the record file beside itself and renames it into place.
int writeRecord(const std::string& path, const HostDescriptor& descriptor) {
  std::string error;
  OutputTarget target;
  if (!planOutput(path, &target, &error)) return fail(error);
  if (target.stream)
    return writeRecordIntoStream(target, path, descriptor, &error) ? 0 : fail(error);
  TemporaryFile record;
  if (!createTemporaryBeside(target, &record, &error) ||
      !writeDescriptorStream(record.stream, record.path, descriptor, &error) ||
      !commitTemporary(target, &record, &error)) {
    discardTemporary(&record);
    return fail(error);
  }
  return 0;
}

// The four values every file of a batch gets, learnt by running the filter
// once on a small blank image with the batch's parameters: the settings file,
// the replay file and the dialog count exactly as in a single run.
int resolveBatchValues(const Arguments& args, FilterValues* used) {
  HostRunOptions options;
  bool given[kParameterCount];
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
  if (!args.dialog) warnIfSettingsUnused(settingsBefore, given, *used);
  return 0;
}

// The characters that end a folder's name: a backslash is one only on Windows.
#if defined(_WIN32)
constexpr char kSeparators[] = "/\\";
#else
constexpr char kSeparators[] = "/";
#endif

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of(kSeparators);
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
  const bool separated = !folder.empty() && std::strchr(kSeparators, folder.back()) != nullptr;
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

}  // namespace

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
  FilterValues used;
  if (const int code = resolveBatchValues(args, &used)) return code;
  if (folderMissing && !makeFolder(args.outputFolder, &error)) return fail(error);
  printValues(stdout, "", used);
  // Every file runs with the values just printed, and nothing else from the
  // settings file or the dialog.
  Arguments each = args;
  each.replayPath.clear();
  each.recordPath.clear();
  each.dialog = false;
  std::vector<std::string> arguments;
  for (int32_t p = 0; p < kParameterCount; ++p) {
    each.given[p] = true;
    each.values[p] = std::strtod(formatValue(used.value[p]).c_str(), nullptr);
    arguments.push_back(std::string("--") + kFilterParameters[p].name);
    arguments.push_back(formatValue(used.value[p]));
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
