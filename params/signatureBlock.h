// signatureBlock.h -- the big-endian, self-describing parameter list of one run
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

struct RunContext;

constexpr int32_t kSignatureSlotBytes = 24;
constexpr int32_t kSignatureHeaderBytes = 48;
constexpr int32_t kRunSignatureSlots = 22;  // the header and room for 20 entries

// Value types of entries.
constexpr DescriptorTypeID kTypeFloat = fourCharCode("doub");
constexpr DescriptorTypeID kTypeLong = fourCharCode("long");
constexpr DescriptorTypeID kTypeBoolean = fourCharCode("bool");
constexpr DescriptorTypeID kTypeText = fourCharCode("Pth ");
// Radio-group enumerations are "rB" and two more characters.
constexpr bool isRadioType(DescriptorTypeID type) { return (type >> 16) == 0x7242; }
// The "long" entry of this key is exchanged as an enumeration of units.
constexpr DescriptorKeyID kUnitsKey = fourCharCode("unCd");
constexpr DescriptorTypeID kUnitsEnumType = fourCharCode("UniT");

struct SignatureBlock {
  uint8_t* bytes;  // slotCount x 24 bytes, big-endian fields
  int32_t slotCount;
  uint8_t** texts;  // text references of "Pth " entries, one per entry slot:
                    // pointers may be wider than the 4-byte value field
};

// A zero-filled block of slotCount slots, or null when memory is exhausted.
SignatureBlock* createSignatureBlock(int32_t slotCount);
// Releases the entries' texts, then the block; null is ignored.
void disposeSignatureBlock(SignatureBlock* block);

void setSignatureHeader(SignatureBlock* block, OSType signature, int8_t needsMask,
                        int8_t noWriteback);
// Appends an input entry of type "doub" (flags 1); returns its index, or -1
// when the block is full.
int32_t addFloatParameter(SignatureBlock* block, DescriptorKeyID key, float min, float max,
                          float value);
// Appends an input entry of any type with raw 32-bit min, max and value (flags 1);
// -1 when the block is full or already holds outputs.
int32_t addParameter(SignatureBlock* block, DescriptorKeyID key, DescriptorTypeID type,
                     uint32_t min, uint32_t max, uint32_t value);
// Appends an output entry after the inputs; -1 when the block is full.
int32_t addOutputParameter(SignatureBlock* block, DescriptorKeyID key, DescriptorTypeID type,
                           uint32_t min, uint32_t max, uint32_t value);

int32_t getInputCount(const SignatureBlock* block);
int32_t getOutputCount(const SignatureBlock* block);
int32_t getSignature(const SignatureBlock* block);
int32_t getNeedsMask(const SignatureBlock* block);
int32_t getNoWriteback(const SignatureBlock* block);

// Entry fields. Callers pass valid indexes; an index outside the block's slots
// reads 0 (or null) and writes nothing.
DescriptorKeyID getEntryKey(const SignatureBlock* block, int32_t index);
DescriptorTypeID getEntryType(const SignatureBlock* block, int32_t index);
int32_t getEntryFlags(const SignatureBlock* block, int32_t index);
float getFloatMin(const SignatureBlock* block, int32_t index);
float getFloatMax(const SignatureBlock* block, int32_t index);
int32_t getLongMin(const SignatureBlock* block, int32_t index);
int32_t getLongMax(const SignatureBlock* block, int32_t index);

int32_t getLongValue(const SignatureBlock* block, int32_t index);
float getFloatValue(const SignatureBlock* block, int32_t index);
int32_t getBooleanValue(const SignatureBlock* block, int32_t index);
const uint8_t* getTextValue(const SignatureBlock* block, int32_t index);
void setLongValue(SignatureBlock* block, int32_t index, int32_t value);
void setFloatValue(SignatureBlock* block, int32_t index, float value);
// Copies a length-prefixed text up to the first zero at or after its length
// byte, releasing the entry's previous text; null stores null.
void setTextValue(SignatureBlock* block, int32_t index, const uint8_t* text);
// The same for a text of size readable bytes (a host's handle): the copy never
// reads past them and is terminated when no zero came within them.
void setTextValueBounded(SignatureBlock* block, int32_t index, const uint8_t* text, int32_t size);

// Signature "AHEq" and the four parameters' float entries in 0..1 from the
// context's settings, in the order of kFilterParameters. Always 0.
OSErr fillFilterSignature(const RunContext* context, SignatureBlock* block);
