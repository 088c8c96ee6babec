// applyFile.cpp -- one image file through the filter: read, filter in place, write beside OUT
#include "cli/applyFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "cli/imageKinds.h"
#include "cli/interrupt.h"
#include "cli/pnm.h"
#include "cli/runReport.h"
#include "cli/userFiles.h"
#include "pluginHost/descriptorText.h"

bool writeRecordIntoStream(const OutputTarget& target, const std::string& path,
                           const HostDescriptor& descriptor, std::string* error) {
  FILE* f = openStreamTarget(target, error);
  const bool written = f != nullptr && writeDescriptorStream(f, path, descriptor, error);
  if (f != nullptr) std::fclose(f);
  return written;
}

namespace {

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
    format = kindExtension(source.kind);
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

// The area to filter and the mask, checked against the image. Returns 0,
// else the exit code of the reported problem.
int settleArea(const Arguments& args, const std::string& input, const HostImage& image,
               HostRunOptions* options) {
  std::string error;
  // The image read is the only copy: the filter works in it, and a failed
  // run writes nothing.
  options->inPlace = true;
  if (args.hasSelect) {
    const Rect& r = args.select;
    if (r.top >= r.bottom || r.left >= r.right || r.bottom > image.height ||
        r.right > image.width) {
      return fail("--select " + std::to_string(r.top) + "," + std::to_string(r.left) + "," +
                  std::to_string(r.bottom) + "," + std::to_string(r.right) +
                  " is empty or reaches outside the " + std::to_string(image.width) + "x" +
                  std::to_string(image.height) + " image " + inputName(input));
    }
    options->hasFilterRect = true;
    options->filterRect = r;
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
    if (!readPgmMask(args.maskPath, image.width, image.height, &options->mask, &error)) {
      return fail(inputName(input) + ": " + error);
    }
  }
  return 0;
}

// Writes the record and the image, each beside its target and renamed over
// it, or into a stream target where it stands. Returns 0, else the exit code
// of the reported problem.
int writeOutputs(const Arguments& args, const std::string& output, const OutputTarget& target,
                 const OutputTarget& recordTarget, const HostImage& image,
                 const ImageSource& source, ImageKind outputKind, const HostRunResult& result,
                 bool batch, RunFiles* files) {
  std::string error;
  // Both files are written beside their destinations first and renamed over
  // them only when complete: a failure never leaves either one truncated.
  if (!batch && !args.recordPath.empty() && !recordTarget.stream) {
    if (!createTemporaryBeside(recordTarget, &files->record, &error) ||
        !writeDescriptorStream(files->record.stream, files->record.path, result.recordedDescriptor,
                               &error)) {
      return fail(error);
    }
  } else if (!batch && !args.recordPath.empty() &&
             !writeRecordIntoStream(recordTarget, args.recordPath, result.recordedDescriptor,
                                    &error)) {
    return fail(error);
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
  return 0;
}

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
  if (const int code = settleArea(args, input, image, &options)) return code;
  bool given[kParameterCount];
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
  FilterValues used;
  if (!findUsedValues(result, &used)) return fail("the filter did not report the values it used");

  if (const int code = writeOutputs(args, output, target, recordTarget, image, source, outputKind,
                                    result, batch, files)) {
    return code;
  }

  if (!args.dialog && !batch) warnIfSettingsUnused(settingsBefore, given, used);
  // One line a run for a log; on stderr when stdout may be the image.
  if (!batch) printValues(target.stream ? stderr : stdout, output, used);
  // Stopped only now: OUT holds the finished image, but the stop is still
  // reported as a stop.
  if (interrupted()) exitInterrupted();
  return 0;
}

}  // namespace

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
