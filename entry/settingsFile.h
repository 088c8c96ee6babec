// settingsFile.h -- the last-used settings file, read at the start of a run and rewritten at its
// end
#pragma once

#include "core/hostInterface.h"
#include "store/fileLayer.h"

struct RunContext;

// Layout: the 800-byte settings block, zeros up to 1024, then sixteen 1024-byte
// string blocks, each a zero-terminated string of at most 513 characters.
constexpr int32_t kSettingsFileBytes = 17408;
constexpr int32_t kSettingsStringBlockBytes = 1024;
constexpr int32_t kSettingsStringSlots = 16;

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
