// runLog.h -- one text record per run, appended to the log file when it exists
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "store/fileLayer.h"

struct SignatureBlock;

// Appends the run's record (signature, flags, entries, the run's result) to an
// existing kRunLogName, else to an existing file of that name in the per-user
// folder (filePath.h). fileOpen's codes (-43: no log, the normal case) or the
// first failed write; callers drop it, as the log never fails a run.
OSErr writeRunLog(const SignatureBlock* block, OSErr result);
// Opens an existing file and moves to its end. fileOpen's codes; -40 or -51
// when the end cannot be reached (the file is closed again then).
OSErr openLogForAppend(const char* path, FileHandle* file);

// One entry line: "i: Type = ..." with its key, bounds and value.
OSErr logEntry(const SignatureBlock* block, int32_t index, FileHandle file);
// The entry line of output j, read at index inputCount + j.
OSErr logOutputEntry(const SignatureBlock* block, int32_t output, FileHandle file);

// The pieces of a line: the text (none for null), then a TAB if tab, then CR LF
// if newline. The first failed write ends the call and its code is returned.
OSErr writeText(FileHandle file, const char* text, bool tab, bool newline);
OSErr writeCountedText(FileHandle file, const uint8_t* text, bool tab, bool newline);
OSErr writeInteger(FileHandle file, int32_t value, bool tab, bool newline);
OSErr writeFloat(FileHandle file, float value, bool tab, bool newline);
