// applyFile.h -- one image file through the filter
#pragma once

#include <string>

#include "cli/arguments.h"
#include "cli/userFiles.h"
#include "pluginHost/pluginHost.h"

// Filters input into output (in a batch: quietly, no record, no values
// printed). Returns the exit code; errors are printed, and the run's
// unfinished files removed, whatever stops it.
int applyFile(const Arguments& args, const std::string& input, const std::string& output,
              bool batch);

// Writes a replay record into a stream target (-, /dev/stdout, /dev/fd/N)
// where it stands, never truncating or replacing what it leads to.
bool writeRecordIntoStream(const OutputTarget& target, const std::string& path,
                           const HostDescriptor& descriptor, std::string* error);
