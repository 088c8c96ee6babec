// applyBatch.h -- many image files into one folder
#pragma once

#include "cli/arguments.h"

// Filters every input into args.outputFolder with the values resolved once.
// Returns the exit code: 0 every file written, 1 a file failed.
int applyBatch(Arguments& args);
