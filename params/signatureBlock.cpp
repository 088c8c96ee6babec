// signatureBlock.cpp -- the big-endian, self-describing parameter list of one run
#include "params/signatureBlock.h"

#include <cstring>

#include "core/memory.h"
#include "core/runContext.h"
#include "resources/filterParameters.h"

namespace {

// Header fields, bytes from the start of the block.
constexpr int32_t kInputCountOffset = 12;
constexpr int32_t kOutputCountOffset = 16;
constexpr int32_t kSignatureOffset = 20;
constexpr int32_t kNeedsMaskOffset = 24;
constexpr int32_t kNoWritebackOffset = 28;

// Entry fields, bytes from the start of the entry.
constexpr int32_t kKeyField = 0;
constexpr int32_t kTypeField = 4;
constexpr int32_t kFlagsField = 8;
constexpr int32_t kMinField = 12;
constexpr int32_t kMaxField = 16;
constexpr int32_t kValueField = 20;

constexpr int32_t kHeaderSlots = kSignatureHeaderBytes / kSignatureSlotBytes;

// Fields are stored most significant byte first whatever the machine's order.
uint32_t loadBig(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void storeBig(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value >> 24);
  p[1] = uint8_t(value >> 16);
  p[2] = uint8_t(value >> 8);
  p[3] = uint8_t(value);
}

uint32_t floatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float bitsFloat(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

int32_t entryCapacity(const SignatureBlock* block) { return block->slotCount - kHeaderSlots; }

// The entry's bytes, or null for an index outside the block. Callers are trusted
// to pass valid indexes; the check only keeps a stray index from touching
// memory beyond the block.
uint8_t* entryAt(const SignatureBlock* block, int32_t index) {
  if (block == nullptr || index < 0 || index >= entryCapacity(block)) return nullptr;
  return block->bytes + kSignatureHeaderBytes + kSignatureSlotBytes * index;
}

uint32_t loadEntryField(const SignatureBlock* block, int32_t index, int32_t field) {
  const uint8_t* entry = entryAt(block, index);
  return entry == nullptr ? 0 : loadBig(entry + field);
}

uint32_t loadHeaderField(const SignatureBlock* block, int32_t offset) {
  return block == nullptr ? 0 : loadBig(block->bytes + offset);
}

void releaseText(SignatureBlock* block, int32_t index) {
  freeBlock(block->texts[index]);
  block->texts[index] = nullptr;
}

// Writes every field of the slot at index; returns the index or -1 when the
// block has no room left there.
int32_t writeEntry(SignatureBlock* block, int32_t index, DescriptorKeyID key, DescriptorTypeID type,
                   int32_t flags, uint32_t min, uint32_t max, uint32_t value) {
  uint8_t* entry = entryAt(block, index);
  if (entry == nullptr) return -1;
  releaseText(block, index);  // a text left by an earlier entry in this slot
  storeBig(entry + kKeyField, key);
  storeBig(entry + kTypeField, type);
  storeBig(entry + kFlagsField, uint32_t(flags));
  storeBig(entry + kMinField, min);
  storeBig(entry + kMaxField, max);
  storeBig(entry + kValueField, value);
  return index;
}

// Stores a copy of text[0..z] where z is the first zero at or after the length
// byte, looking at no more than limit bytes; without a zero in reach the copy
// is cut at limit bytes and terminated.
void storeText(SignatureBlock* block, int32_t index, const uint8_t* text, int32_t limit) {
  if (entryAt(block, index) == nullptr) return;
  releaseText(block, index);
  if (text == nullptr || limit <= 0) return;
  const int32_t length = text[0];
  int32_t end = length < limit ? length : limit;
  while (end < limit && text[end] != 0) ++end;
  // end is the zero's offset or limit (< INT32_MAX), so end + 1 bytes fit.
  uint8_t* copy = static_cast<uint8_t*>(allocBlock(end + 1));
  if (copy == nullptr) return;  // out of memory: the entry holds no text
  std::memcpy(copy, text, size_t(end));
  copy[end] = 0;
  block->texts[index] = copy;
}

}  // namespace

SignatureBlock* createSignatureBlock(int32_t slotCount) {
  if (slotCount < kHeaderSlots || slotCount > INT32_MAX / kSignatureSlotBytes) return nullptr;
  SignatureBlock* block = static_cast<SignatureBlock*>(allocBlock(sizeof(SignatureBlock)));
  if (block == nullptr) return nullptr;
  const int32_t entries = slotCount - kHeaderSlots;
  block->slotCount = slotCount;
  block->bytes = static_cast<uint8_t*>(allocBlock(slotCount * kSignatureSlotBytes));
  block->texts = entries > INT32_MAX / int32_t(sizeof(uint8_t*))
                     ? nullptr
                     : static_cast<uint8_t**>(allocBlock(entries * int32_t(sizeof(uint8_t*))));
  if (block->bytes == nullptr || block->texts == nullptr) {
    freeBlock(block->texts);
    freeBlock(block->bytes);
    freeBlock(block);
    return nullptr;
  }
  return block;
}

void disposeSignatureBlock(SignatureBlock* block) {
  if (block == nullptr) return;
  if (block->texts != nullptr) {
    for (int32_t i = 0; i < entryCapacity(block); ++i) freeBlock(block->texts[i]);
  }
  freeBlock(block->texts);
  freeBlock(block->bytes);
  freeBlock(block);
}

void setSignatureHeader(SignatureBlock* block, OSType signature, int8_t needsMask,
                        int8_t noWriteback) {
  if (block == nullptr) return;
  storeBig(block->bytes + kSignatureOffset, signature);
  storeBig(block->bytes + kNeedsMaskOffset, uint32_t(int32_t(needsMask)));
  storeBig(block->bytes + kNoWritebackOffset, uint32_t(int32_t(noWriteback)));
  storeBig(block->bytes + kInputCountOffset, 0);
  storeBig(block->bytes + kOutputCountOffset, 0);
}

int32_t addParameter(SignatureBlock* block, DescriptorKeyID key, DescriptorTypeID type,
                     uint32_t min, uint32_t max, uint32_t value) {
  // Inputs come first; one added after outputs would land on an output's slot.
  if (block == nullptr || getOutputCount(block) != 0) return -1;
  const int32_t index = getInputCount(block);
  if (writeEntry(block, index, key, type, 1, min, max, value) < 0) return -1;
  storeBig(block->bytes + kInputCountOffset, uint32_t(index + 1));
  return index;
}

int32_t addFloatParameter(SignatureBlock* block, DescriptorKeyID key, float min, float max,
                          float value) {
  return addParameter(block, key, kTypeFloat, floatBits(min), floatBits(max), floatBits(value));
}

int32_t addOutputParameter(SignatureBlock* block, DescriptorKeyID key, DescriptorTypeID type,
                           uint32_t min, uint32_t max, uint32_t value) {
  if (block == nullptr) return -1;
  const int32_t outputs = getOutputCount(block);
  const int32_t inputs = getInputCount(block);
  if (inputs < 0 || outputs < 0 || outputs > INT32_MAX - 1 - inputs) return -1;
  if (writeEntry(block, inputs + outputs, key, type, 1, min, max, value) < 0) return -1;
  storeBig(block->bytes + kOutputCountOffset, uint32_t(outputs + 1));
  return inputs + outputs;
}

int32_t getInputCount(const SignatureBlock* block) {
  return int32_t(loadHeaderField(block, kInputCountOffset));
}
int32_t getOutputCount(const SignatureBlock* block) {
  return int32_t(loadHeaderField(block, kOutputCountOffset));
}
int32_t getSignature(const SignatureBlock* block) {
  return int32_t(loadHeaderField(block, kSignatureOffset));
}
int32_t getNeedsMask(const SignatureBlock* block) {
  return int32_t(loadHeaderField(block, kNeedsMaskOffset));
}
int32_t getNoWriteback(const SignatureBlock* block) {
  return int32_t(loadHeaderField(block, kNoWritebackOffset));
}

DescriptorKeyID getEntryKey(const SignatureBlock* block, int32_t index) {
  return loadEntryField(block, index, kKeyField);
}
DescriptorTypeID getEntryType(const SignatureBlock* block, int32_t index) {
  return loadEntryField(block, index, kTypeField);
}
int32_t getEntryFlags(const SignatureBlock* block, int32_t index) {
  return int32_t(loadEntryField(block, index, kFlagsField));
}
float getFloatMin(const SignatureBlock* block, int32_t index) {
  return bitsFloat(loadEntryField(block, index, kMinField));
}
float getFloatMax(const SignatureBlock* block, int32_t index) {
  return bitsFloat(loadEntryField(block, index, kMaxField));
}
int32_t getLongMin(const SignatureBlock* block, int32_t index) {
  return int32_t(loadEntryField(block, index, kMinField));
}
int32_t getLongMax(const SignatureBlock* block, int32_t index) {
  return int32_t(loadEntryField(block, index, kMaxField));
}

int32_t getLongValue(const SignatureBlock* block, int32_t index) {
  return int32_t(loadEntryField(block, index, kValueField));
}
float getFloatValue(const SignatureBlock* block, int32_t index) {
  return bitsFloat(loadEntryField(block, index, kValueField));
}
int32_t getBooleanValue(const SignatureBlock* block, int32_t index) {
  return loadEntryField(block, index, kValueField) != 0 ? 1 : 0;
}
const uint8_t* getTextValue(const SignatureBlock* block, int32_t index) {
  return entryAt(block, index) == nullptr ? nullptr : block->texts[index];
}

void setLongValue(SignatureBlock* block, int32_t index, int32_t value) {
  uint8_t* entry = entryAt(block, index);
  if (entry != nullptr) storeBig(entry + kValueField, uint32_t(value));
}
void setFloatValue(SignatureBlock* block, int32_t index, float value) {
  uint8_t* entry = entryAt(block, index);
  if (entry != nullptr) storeBig(entry + kValueField, floatBits(value));
}

void setTextValue(SignatureBlock* block, int32_t index, const uint8_t* text) {
  // A trusted text: its zero lies at or after the length byte.
  storeText(block, index, text, INT32_MAX - 1);
}

void setTextValueBounded(SignatureBlock* block, int32_t index, const uint8_t* text, int32_t size) {
  if (text != nullptr && size <= 0) {
    // Nothing readable: an empty text.
    static const uint8_t empty[1] = {0};
    storeText(block, index, empty, 1);
    return;
  }
  storeText(block, index, text, size);
}

OSErr fillFilterSignature(const RunContext* context, SignatureBlock* block) {
  setSignatureHeader(block, kFilterEventCode, 0, 0);
  // Table order: the entries' indexes are ParameterAlpha .. ParameterDelta.
  for (int32_t p = 0; p < kParameterCount; ++p) {
    const int32_t offset = kFilterParameters[p].settingsOffset;
    const float value = context == nullptr ? 0.0f : readSettingsFloat(context, offset);
    addFloatParameter(block, parameterKey(p), 0.0f, 1.0f, value);
  }
  return 0;
}
