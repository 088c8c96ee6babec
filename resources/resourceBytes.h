// resourceBytes.h -- little-endian byte writer for the property list and terminology
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

// Writes into a caller's buffer. With bytes null nothing is stored and only the
// length is counted, so a caller can size its buffer first. Writing past the
// capacity stores nothing more, counts on and sets the error to memFullErr.
struct ByteWriter {
  uint8_t* bytes;
  int32_t capacity;
  int32_t length;
  OSErr error;
};

void startByteWriter(ByteWriter* writer, uint8_t* bytes, int32_t capacity);

void putByte(ByteWriter* writer, uint8_t value);
void putInt16(ByteWriter* writer, int16_t value);
void putInt32(ByteWriter* writer, int32_t value);
// A four-character code byte-reversed: its 32-bit value little-endian.
void putCode(ByteWriter* writer, OSType code);
// A length byte, then the characters. Longer than 255 characters sets the error
// to filterBadParameters and writes nothing.
void putLengthPrefixed(ByteWriter* writer, const char* text);
// The characters and their terminating zero.
void putZeroTerminated(ByteWriter* writer, const char* text);
// Zero bytes until the length reaches `length`; nothing when already past it.
void padToLength(ByteWriter* writer, int32_t length);

// The code of four characters given as text, first character most significant;
// 0 unless the text has exactly four characters.
constexpr OSType codeFromText(const char* text) {
  OSType code = 0;
  int count = 0;
  for (; text[count] != '\0'; ++count) {
    if (count == 4) return 0;
    code = (code << 8) | uint8_t(text[count]);
  }
  return count == 4 ? code : 0;
}

// Length of a zero-terminated text, usable in constant expressions.
constexpr int32_t textLength(const char* text) {
  int32_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}
