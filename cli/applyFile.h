// applyFile.h -- one image file through the filter
#pragma once

#include <string>

#include "cli/arguments.h"

// Filters input into output (in a batch: quietly, no record, no values
// printed). Returns the exit code; errors are printed, and the run's
// unfinished files removed, whatever stops it.
int applyFile(const Arguments& args, const std::string& input, const std::string& output,
              bool batch);
