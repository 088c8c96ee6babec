// runContext.h -- the working record of one filter run
#pragma once

#include <cstdint>

#include "core/fixedFiles.h"
#include "core/hostInterface.h"

struct RowStore;

struct RunContext {
  int16_t width;
  int16_t height;
  int16_t channels;        // 3 for RGB modes, 1 otherwise
  RowStore* previewStore;  // set by the dialog just before it opens
  FilterRecord* filterRecord;
  uint8_t settings[kSettingsBlockBytes];
  char* strings[kRunStringSlots];  // null or a 514-byte zero-terminated block
};

// Zero-filled context from allocBlock, or null when memory is exhausted.
RunContext* createRunContext();
// Releases the string slots and the context; null is ignored.
void disposeRunContext(RunContext* context);

// 3 for image modes 3 and 11, else 1.
int16_t channelsForMode(int16_t imageMode);

// Reads a float32 (machine order) from the settings block at offset, e.g. a
// parameter's settingsOffset.
float readSettingsFloat(const RunContext* context, int32_t offset);

// Copies text into a fresh 514-byte slot block (cut at 513 characters);
// indexes outside 0..16 do nothing. Returns -108 when no block can be had.
OSErr setStringSlot(RunContext* context, int32_t index, const char* text);
// The slot's block, or null for an empty slot or an index outside 0..16.
const char* getStringSlot(const RunContext* context, int32_t index);

// The engine's progress: height + 4 x row of 6 x height.
void reportProgress(const RunContext* context, int32_t row, int32_t height);
// The host's abort answer; false when the host gave no abort test.
bool testAbort(const RunContext* context);
