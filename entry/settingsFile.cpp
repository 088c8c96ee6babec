// settingsFile.cpp -- the last-used settings file, carried through byte for byte
#include "entry/settingsFile.h"

#include <cstring>

#include "core/fixedFiles.h"
#include "core/hostErrors.h"
#include "core/memory.h"
#include "core/runContext.h"
#include "store/filePath.h"

namespace {

constexpr int32_t kCopyPieceBytes = 32768;

// Replaces whatever is at path by an empty file and opens it. The create's
// refusal (-49) is what a caller needs to hear, not the open's -43 after it.
OSErr createSettingsFile(const char* path, FileHandle* file) {
  (void)fileDelete(path);
  const OSErr created = fileCreate(path, fourCharCode("CREA"), fourCharCode("TYPE"));
  const OSErr err = fileOpen(path, file);
  if (err == noErr) return noErr;
  return created != noErr ? created : err;
}

// False when a slot could not be read or kept: the file then holds strings the
// run does not have, and must not be rewritten from it.
bool loadStringSlots(RunContext* context, FileHandle file) {
  char* buffer = static_cast<char*>(allocBlock(kSettingsStringBlockBytes));
  if (buffer == nullptr) return false;
  bool complete = true;
  for (int32_t slot = 0; complete && slot < kSettingsFileStringSlots; ++slot) {
    std::memset(buffer, 0, kSettingsStringBlockBytes);
    int32_t count = kStringBlockReadBytes;
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

// Loads the block and the slots from an open file: the file back, to be
// saved through, or kNoFile (closed) when not all of it could be loaded.
FileHandle loadFrom(RunContext* context, FileHandle opened) {
  int32_t count = kSettingsBlockBytes;
  bool complete = fileRead(opened, &count, context->settings) == noErr;
  // A short file keeps what it had in the block's first bytes and no strings.
  if (complete && count == kSettingsBlockBytes) complete = loadStringSlots(context, opened);
  if (!complete) {
    // The run goes on with what arrived, but the file is shared with other
    // filters: what was not loaded is not rewritten, so it is left as it is.
    (void)fileClose(opened);
    return kNoFile;
  }
  return opened;
}

// The per-user copy starts as a byte-for-byte copy of the "c:\" file, so the
// settings and strings other filters keep there come along. False when that
// file is there but could not be copied whole (held open elsewhere, say).
bool copyFixedSettings(FileHandle into) {
  FileHandle from = kNoFile;
  const OSErr err = fileOpen(kSettingsFileName, &from);
  if (err == fnfErr) return true;  // nothing to start from: a fresh file
  if (err != noErr) return false;
  char* piece = static_cast<char*>(allocBlock(kCopyPieceBytes));
  bool copied = piece != nullptr;
  while (copied) {
    int32_t count = kCopyPieceBytes;
    copied = fileRead(from, &count, piece) == noErr;
    if (!copied || count == 0) break;
    int32_t written = count;
    copied = fileWrite(into, &written, piece) == noErr && written == count;
  }
  freeBlock(piece);
  (void)fileClose(from);
  return copied && fileSetPosition(into, kPositionFromStart, 0) == noErr;
}

// The settings in the per-user folder, for a user "c:\" refuses.
FileHandle openUserSettings(RunContext* context, const char* path) {
  FileHandle opened = kNoFile;
  const OSErr err = fileOpenWritable(path, &opened);
  if (err == noErr) return loadFrom(context, opened);
  if (err != fnfErr || createSettingsFile(path, &opened) != noErr) return kNoFile;
  if (!copyFixedSettings(opened)) {
    // Tried again next run; an empty copy now would hide the shared settings.
    (void)fileClose(opened);
    (void)fileDelete(path);
    return kNoFile;
  }
  return loadFrom(context, opened);
}

}  // namespace

void loadSettings(RunContext* context, FileHandle* file) {
  *file = kNoFile;
  FileHandle opened = kNoFile;
  OSErr err = fileOpenWritable(kSettingsFileName, &opened);
  if (err == noErr) {
    *file = loadFrom(context, opened);
    return;
  }
  if (err == fnfErr) {
    // A fresh file: nothing to load, but it is there for saving.
    err = createSettingsFile(kSettingsFileName, &opened);
    if (err == noErr) {
      *file = opened;
      return;
    }
  }
  // The file may not be written, or not made, where it is shared: the user's
  // own copy is read and written instead, where the platform has one.
  if (err == wrPermErr || err == opWrErr) {
    char path[kFilePathBytes];
    if (resolveUserFilePath(kSettingsFileName, true, path, sizeof path) == noErr) {
      *file = openUserSettings(context, path);
      return;
    }
  }
  // Without one, a file that may only be read is still loaded; it stays as it is.
  if (err == wrPermErr && fileOpen(kSettingsFileName, &opened) == noErr) {
    *file = loadFrom(context, opened);
  }
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
    for (int32_t slot = 0; slot < kSettingsFileStringSlots; ++slot) {
      std::memset(block, 0, kSettingsStringBlockBytes);
      if (context->strings[slot] != nullptr) {
        // Slots hold at most 513 characters and a zero.
        std::memcpy(block, context->strings[slot], kStringSlotBytes);
        freeBlock(context->strings[slot]);
        context->strings[slot] = nullptr;
      }
      block[kStringSlotBytes - 1] = '\0';
      int32_t count = kSettingsStringBlockBytes;
      (void)fileWrite(*file, &count, block);
    }
  }
  (void)fileClose(*file);
  *file = kNoFile;
  freeBlock(block);
}
