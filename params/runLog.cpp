// runLog.cpp -- one text record per run, appended to the log file when it exists
#include "params/runLog.h"

#include "core/hostErrors.h"
#include "params/signatureBlock.h"
#include "params/textFormat.h"
#include "store/filePath.h"

namespace {

// Stored texts are copied into buffers of this size for printing.
constexpr int32_t kTextCopyBytes = 514;

// Writes count bytes; 0 or the failure's code (a short write counts as -36).
OSErr writeBytes(FileHandle file, const void* bytes, int32_t count) {
  if (count <= 0) return noErr;
  int32_t written = count;
  const OSErr err = fileWrite(file, &written, bytes);
  if (err != noErr) return err;
  return written == count ? noErr : ioErr;
}

OSErr writeEnding(FileHandle file, bool tab, bool newline) {
  if (tab) {
    const OSErr err = writeBytes(file, "\t", 1);
    if (err != noErr) return err;
  }
  if (newline) return writeBytes(file, "\r\n", 2);
  return noErr;
}

int32_t textLength(const char* text) {
  int32_t length = 0;
  if (text != nullptr) {
    while (text[length] != '\0' && length < INT32_MAX) ++length;
  }
  return length;
}

// Keeps the first failure of a line so the record's result names it; every
// piece is still attempted.
void keepFirst(OSErr* first, OSErr err) {
  if (*first == noErr) *first = err;
}

OSErr writeCode(FileHandle file, uint32_t code, bool tab, bool newline) {
  uint8_t text[8];
  fourCharText(code, text);
  return writeCountedText(file, text, tab, newline);
}

// "Key = AEqa" and a TAB: every entry line carries it after its type.
OSErr writeKey(FileHandle file, const SignatureBlock* block, int32_t index) {
  OSErr err = noErr;
  keepFirst(&err, writeText(file, "Key = ", false, false));
  keepFirst(&err, writeCode(file, getEntryKey(block, index), true, false));
  return err;
}

// "Min = a<TAB>Max = b<TAB>Value = c" as signed decimals, then CR LF.
OSErr writeLongFields(FileHandle file, const SignatureBlock* block, int32_t index) {
  OSErr err = noErr;
  keepFirst(&err, writeText(file, "Min = ", false, false));
  keepFirst(&err, writeInteger(file, getLongMin(block, index), true, false));
  keepFirst(&err, writeText(file, "Max = ", false, false));
  keepFirst(&err, writeInteger(file, getLongMax(block, index), true, false));
  keepFirst(&err, writeText(file, "Value = ", false, false));
  keepFirst(&err, writeInteger(file, getLongValue(block, index), false, true));
  return err;
}

// The characters of a stored text. The stored form starts with its length
// byte; only the characters after it are printed, up to that length or the
// first zero, so a length byte of 9, 10 or 13 cannot break the line apart.
OSErr writeStoredText(FileHandle file, const uint8_t* text) {
  char* copy = allocText(kTextCopyBytes);
  if (copy == nullptr) return memFullErr;
  if (text[0] != 0) {
    // text[0] >= 1, so the stored copy holds at least one byte after it.
    copyBoundedText(reinterpret_cast<const char*>(text + 1), copy, kTextCopyBytes);
    uint8_t* counted = reinterpret_cast<uint8_t*>(copy);
    toLengthPrefixed(counted);
    if (counted[0] > text[0]) counted[0] = text[0];
  }
  // An empty stored text leaves the zero-filled copy: length 0.
  const OSErr err = writeCountedText(file, reinterpret_cast<const uint8_t*>(copy), false, true);
  freeText(copy);
  return err;
}

}  // namespace

OSErr writeText(FileHandle file, const char* text, bool tab, bool newline) {
  const OSErr err = writeBytes(file, text, textLength(text));
  if (err != noErr) return err;
  return writeEnding(file, tab, newline);
}

OSErr writeCountedText(FileHandle file, const uint8_t* text, bool tab, bool newline) {
  const OSErr err = text == nullptr ? noErr : writeBytes(file, text + 1, text[0]);
  if (err != noErr) return err;
  return writeEnding(file, tab, newline);
}

OSErr writeInteger(FileHandle file, int32_t value, bool tab, bool newline) {
  char text[kNumberTextBytes];
  char digits[16];
  // Work in unsigned magnitude so that -2147483648 needs no negation overflow.
  uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
  int32_t count = 0;
  do {
    digits[count++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int32_t length = 0;
  if (value < 0) text[length++] = '-';
  while (count > 0) text[length++] = digits[--count];
  text[length] = '\0';
  return writeText(file, text, tab, newline);
}

OSErr writeFloat(FileHandle file, float value, bool tab, bool newline) {
  char text[kNumberTextBytes];
  formatFloat(value, text);
  return writeText(file, text, tab, newline);
}

OSErr logEntry(const SignatureBlock* block, int32_t index, FileHandle file) {
  OSErr err = noErr;
  const DescriptorTypeID type = getEntryType(block, index);
  keepFirst(&err, writeInteger(file, index, false, false));
  if (type == kTypeFloat) {
    keepFirst(&err, writeText(file, ": Type = FLOAT", true, false));
    keepFirst(&err, writeKey(file, block, index));
    keepFirst(&err, writeText(file, "Min = ", false, false));
    keepFirst(&err, writeFloat(file, getFloatMin(block, index), true, false));
    keepFirst(&err, writeText(file, "Max = ", false, false));
    keepFirst(&err, writeFloat(file, getFloatMax(block, index), true, false));
    keepFirst(&err, writeText(file, "Value = ", false, false));
    keepFirst(&err, writeFloat(file, getFloatValue(block, index), false, true));
  } else if (type == kTypeLong) {
    keepFirst(&err, writeText(file, ": Type = LONG", true, false));
    keepFirst(&err, writeKey(file, block, index));
    keepFirst(&err, writeLongFields(file, block, index));
  } else if (type == kTypeBoolean) {
    keepFirst(&err, writeText(file, ": Type = BOOLEAN", true, false));
    keepFirst(&err, writeKey(file, block, index));
    const bool value = getBooleanValue(block, index) != 0;
    keepFirst(&err, writeText(file, value ? "Value = TRUE" : "Value = FALSE", false, true));
  } else if (type == kTypeText) {
    keepFirst(&err, writeText(file, ": Type = STRING", true, false));
    keepFirst(&err, writeKey(file, block, index));
    keepFirst(&err, writeText(file, "Value = ", false, false));
    const uint8_t* text = getTextValue(block, index);
    if (text == nullptr) {
      keepFirst(&err, writeText(file, "NULL", false, true));
    } else {
      keepFirst(&err, writeStoredText(file, text));
    }
  } else {
    keepFirst(&err, writeText(file, ": Type = RADIO/", false, false));
    keepFirst(&err, writeCode(file, type, true, false));
    keepFirst(&err, writeKey(file, block, index));
    keepFirst(&err, writeLongFields(file, block, index));
  }
  return err;
}

OSErr logOutputEntry(const SignatureBlock* block, int32_t output, FileHandle file) {
  return logEntry(block, getInputCount(block) + output, file);
}

OSErr openLogForAppend(const char* path, FileHandle* file) {
  *file = kNoFile;
  FileHandle opened = kNoFile;
  const OSErr err = fileOpen(path, &opened);
  if (err != noErr) return err;
  // Straight to the end. Reading up to it instead would leave the position in
  // the middle after a failed read, and the record would overwrite the log.
  const OSErr seekErr = fileSetPosition(opened, kPositionFromEnd, 0);
  if (seekErr != noErr) {
    (void)fileClose(opened);
    return seekErr;
  }
  *file = opened;
  return noErr;
}

OSErr writeRunLog(const SignatureBlock* block, OSErr result) {
  if (block == nullptr) return noErr;
  const int32_t needsMask = getNeedsMask(block);
  const int32_t noWriteback = getNoWriteback(block);
  const int32_t inputs = getInputCount(block);
  const int32_t outputs = getOutputCount(block);
  // The counts never exceed the slots when the block was built by its own
  // operations; the bound keeps a damaged header from writing without end.
  const int32_t slots = block->slotCount - kSignatureHeaderBytes / kSignatureSlotBytes;

  FileHandle file = kNoFile;
  OSErr err = openLogForAppend(kRunLogName, &file);
  if (err == fnfErr) {
    // A user who may not make files in the root of C: switches the log on
    // with the same name in the per-user folder, which is never made here.
    char path[kFilePathBytes];
    if (resolveUserFilePath(kRunLogName, false, path, sizeof path) == noErr) {
      err = openLogForAppend(path, &file);
    }
  }
  if (err != noErr) return err;

  keepFirst(&err, writeText(file, "-----------------------------", false, true));
  keepFirst(&err, writeText(file, "Signature = ", false, false));
  keepFirst(&err, writeCode(file, uint32_t(getSignature(block)), true, false));
  keepFirst(&err, writeText(file, noWriteback == 0 ? "WRITEBACK" : "No Writeback", true, false));
  keepFirst(&err,
            writeText(file, needsMask != 0 ? "NEEDS MASK IMAGE" : "No Mask Image", false, true));
  if (inputs > 0) {
    keepFirst(&err, writeText(file, "# Inputs = ", false, false));
    keepFirst(&err, writeInteger(file, inputs, false, true));
    for (int32_t i = 0; i < inputs && i < slots; ++i) keepFirst(&err, logEntry(block, i, file));
  }
  if (outputs > 0) {
    keepFirst(&err, writeText(file, "# Outputs = ", false, false));
    keepFirst(&err, writeInteger(file, outputs, false, true));
    for (int32_t j = 0; j < outputs && j < slots; ++j)
      keepFirst(&err, logOutputEntry(block, j, file));
  }
  keepFirst(&err, writeText(file, "Result = ", false, false));
  keepFirst(&err, writeInteger(file, result, false, true));
  (void)fileClose(file);
  return err;
}
