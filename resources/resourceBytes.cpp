// resourceBytes.cpp -- little-endian byte writer for the property list and terminology
#include "resources/resourceBytes.h"

#include <cstring>

#include "core/hostErrors.h"

void startByteWriter(ByteWriter* writer, uint8_t* bytes, int32_t capacity) {
  writer->bytes = bytes;
  writer->capacity = bytes != nullptr && capacity > 0 ? capacity : 0;
  writer->length = 0;
  writer->error = noErr;
}

void putByte(ByteWriter* writer, uint8_t value) {
  if (writer->bytes != nullptr) {
    if (writer->length < writer->capacity) {
      writer->bytes[writer->length] = value;
    } else if (writer->error == noErr) {
      writer->error = memFullErr;
    }
  }
  // Resources are a few kilobytes; the count cannot come near the int32 limit.
  writer->length++;
}

void putInt16(ByteWriter* writer, int16_t value) {
  const uint16_t bits = uint16_t(value);
  putByte(writer, uint8_t(bits));
  putByte(writer, uint8_t(bits >> 8));
}

void putInt32(ByteWriter* writer, int32_t value) {
  const uint32_t bits = uint32_t(value);
  for (int shift = 0; shift < 32; shift += 8) putByte(writer, uint8_t(bits >> shift));
}

void putCode(ByteWriter* writer, OSType code) { putInt32(writer, int32_t(code)); }

void putLengthPrefixed(ByteWriter* writer, const char* text) {
  const size_t length = std::strlen(text);
  if (length > 255) {
    if (writer->error == noErr) writer->error = filterBadParameters;
    return;
  }
  putByte(writer, uint8_t(length));
  for (size_t i = 0; i < length; ++i) putByte(writer, uint8_t(text[i]));
}

void putZeroTerminated(ByteWriter* writer, const char* text) {
  for (const char* c = text; *c != '\0'; ++c) putByte(writer, uint8_t(*c));
  putByte(writer, 0);
}

void padToLength(ByteWriter* writer, int32_t length) {
  while (writer->length < length) putByte(writer, 0);
}
