// settingsFile.cpp -- the last-used settings file, carried through byte for byte
#include "entry/settingsFile.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"

namespace {

constexpr int32_t kStringReadBytes = 800;

// Opens the existing file, or creates it when it is missing. A file that
// exists but cannot be opened (held by another program, no access) is left
// alone: deleting and recreating it would destroy settings other filters share.
FileHandle openSettingsFile() {
  FileHandle file = kNoFile;
  const OSErr err = fileOpen(kSettingsFileName, &file);
  if (err == noErr) return file;
  if (err != fnfErr) return kNoFile;
  (void)fileDelete(kSettingsFileName);
  (void)fileCreate(kSettingsFileName, fourCharCode("CREA"), fourCharCode("TYPE"));
  if (fileOpen(kSettingsFileName, &file) != noErr) return kNoFile;
  return file;
}

// False when a slot could not be read or kept: the file then holds strings the
// run does not have, and must not be rewritten from it.
bool loadStringSlots(RunContext* context, FileHandle file) {
  char* buffer = static_cast<char*>(allocBlock(kSettingsStringBlockBytes));
  if (buffer == nullptr) return false;
  bool complete = true;
  for (int32_t slot = 0; complete && slot < kSettingsStringSlots; ++slot) {
    std::memset(buffer, 0, kSettingsStringBlockBytes);
    int32_t count = kStringReadBytes;
    // A string area that ends early leaves the later slots empty: that is
    // what the file holds, not a failure.
    complete = fileSetPosition(file, kPositionFromStart,
                               int64_t(kSettingsStringBlockBytes) * (slot + 1)) == noErr &&
               fileRead(file, &count, buffer) == noErr;
    if (complete && count > 0 && buffer[0] != '\0') {
      complete = setStringSlot(context, slot, buffer) == noErr;
    }
  }
  freeBlock(buffer);
  return complete;
}

}  // namespace

void loadSettings(RunContext* context, FileHandle* file) {
  FileHandle opened = kNoFile;
  const OSErr err = fileOpen(kSettingsFileName, &opened);
  if (err != noErr) {
    // A fresh or missing file: nothing to load, but it is there for saving.
    *file = err == fnfErr ? openSettingsFile() : kNoFile;
    return;
  }
  int32_t count = kSettingsBlockBytes;
  bool complete = fileRead(opened, &count, context->settings) == noErr;
  // A short file keeps what it had in the block's first bytes and no strings.
  if (complete && count == kSettingsBlockBytes) complete = loadStringSlots(context, opened);
  if (!complete) {
    // The run goes on with what arrived, but the file is shared with other
    // filters: what was not loaded is not rewritten, so it is left as it is.
    (void)fileClose(opened);
    opened = kNoFile;
  }
  *file = opened;
}

// Only through the handle loadSettings kept: a file that could not be opened
// or fully loaded then (held by another run, say) is someone else's to write.
void saveSettings(RunContext* context, FileHandle* file) {
  if (*file == kNoFile) return;

  char* block = static_cast<char*>(allocBlock(kSettingsStringBlockBytes));
  if (block != nullptr && fileSetPosition(*file, kPositionFromStart, 0) == noErr) {
    int32_t written = kSettingsBlockBytes;
    (void)fileWrite(*file, &written, context->settings);
    // The zero run makes up to 1024 whatever part of the block went out.
    int32_t zeros = kSettingsStringBlockBytes - written;
    (void)fileWrite(*file, &zeros, block);
    for (int32_t slot = 0; slot < kSettingsStringSlots; ++slot) {
      std::memset(block, 0, kSettingsStringBlockBytes);
      if (context->strings[slot] != nullptr) {
        // Slots hold at most 513 characters and a zero.
        std::memcpy(block, context->strings[slot], kStringSlotBytes);
        freeBlock(context->strings[slot]);
        context->strings[slot] = nullptr;
      }
      block[513] = '\0';
      int32_t count = kSettingsStringBlockBytes;
      (void)fileWrite(*file, &count, block);
    }
  }
  (void)fileClose(*file);
  *file = kNoFile;
  freeBlock(block);
}
