// batch.h -- many files through the filter: each in a child process with its own store folder
// (POSIX) or one after another (Windows)
#pragma once

#include <functional>
#include <string>
#include <vector>

struct BatchFile {
  std::string input, output;
};

// Called as each file ends: ok, and the lines the run wrote on failure.
using BatchDone = std::function<void(const BatchFile& file, bool ok, const std::string& lines)>;
// Runs one file in this process; returns its exit code (POSIX does not use it).
using BatchRunHere = std::function<int(const BatchFile& file)>;

// The most runs at once this platform allows (the module's fixed file names
// on Windows allow one).
int maxBatchJobs(int requested);
// Runs every file: "brisel apply", the arguments, then "-- IN OUT", up to
// jobs at once. Stops starting files once an interrupt arrives. Returns false when a
// child could not be started at all (the reason in error).
bool runBatch(const std::vector<BatchFile>& files, const std::vector<std::string>& arguments,
              int jobs, const BatchRunHere& runHere, const BatchDone& done, std::string* error);
