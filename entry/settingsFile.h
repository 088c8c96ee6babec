// settingsFile.h -- the last-used settings file, read at the start of a run and rewritten at its
// end
#pragma once

#include "core/hostInterface.h"
#include "store/fileLayer.h"

struct RunContext;

// The file's layout is in core/fixedFiles.h.

// Opens the settings file (creating it when missing) and loads the block and
// the string slots into the context. Where the file may not be written or made
// (a standard user and the root of C:), the per-user copy (filePath.h) is used
// instead, started from the shared file when there is none yet. *file stays open for saveSettings,
// or is kNoFile when the run has no settings file or could not load all of it. Failures are not
// reported: the context keeps zeros where nothing arrived.
void loadSettings(RunContext* context, FileHandle* file);

// Writes the block and the slots back (emptying the slots) and closes *file;
// with *file kNoFile nothing is written.
void saveSettings(RunContext* context, FileHandle* file);
