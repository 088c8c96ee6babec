// runContext.cpp -- the run's working record: string slots, settings values, progress and abort
#include "core/runContext.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"

RunContext* createRunContext() { return static_cast<RunContext*>(allocBlock(sizeof(RunContext))); }

void disposeRunContext(RunContext* context) {
  if (context == nullptr) return;
  for (char*& slot : context->strings) {
    freeBlock(slot);
    slot = nullptr;
  }
  freeBlock(context);
}

int16_t channelsForMode(int16_t imageMode) {
  return imageMode == plugInModeRGBColor || imageMode == plugInModeRGB48 ? 3 : 1;
}

float readSettingsFloat(const RunContext* context, int32_t offset) {
  float value;
  std::memcpy(&value, context->settings + offset, sizeof value);
  return value;
}

OSErr setStringSlot(RunContext* context, int32_t index, const char* text) {
  if (index < 0 || index >= kRunStringSlots) return noErr;
  freeBlock(context->strings[index]);
  context->strings[index] = nullptr;
  char* block = static_cast<char*>(allocBlock(kStringSlotBytes));
  if (block == nullptr) return memFullErr;
  if (text != nullptr) {
    // Copy up to the terminator or 514 bytes; a longer text keeps 513 characters.
    for (int32_t i = 0; i < kStringSlotBytes; ++i) {
      block[i] = text[i];
      if (text[i] == '\0') break;
    }
    block[kStringSlotBytes - 1] = '\0';
  }
  context->strings[index] = block;
  return noErr;
}

const char* getStringSlot(const RunContext* context, int32_t index) {
  if (index < 0 || index >= kRunStringSlots) return nullptr;
  return context->strings[index];
}

void reportProgress(const RunContext* context, int32_t row, int32_t height) {
  const FilterRecord* record = context->filterRecord;
  if (record == nullptr || record->progressProc == nullptr) return;
  record->progressProc(height + 4 * row, 6 * height);
}

bool testAbort(const RunContext* context) {
  const FilterRecord* record = context->filterRecord;
  if (record == nullptr || record->abortProc == nullptr) return false;
  return record->abortProc() != 0;
}
