// resourceReaders.cpp -- readers of property list, terminology and dialog template bytes
#include "tests/resources/resourceReaders.h"

namespace {

// A zero-terminated UTF-16 string; characters above 0xFF become '?'.
std::string readWideString(ByteReader* reader) {
  std::string text;
  for (;;) {
    const uint16_t c = uint16_t(readInt16(reader));
    if (c == 0 || reader->failed) return text;
    text.push_back(c <= 0xFF ? char(c) : '?');
  }
}

// Menu, class or caption field: 0 none, 0xFFFF an ordinal ("#n"), else a string.
std::string readNameOrOrdinal(ByteReader* reader, uint16_t* ordinal) {
  const int32_t start = reader->offset;
  const uint16_t first = uint16_t(readInt16(reader));
  if (ordinal != nullptr) *ordinal = 0;
  if (first == 0) return std::string();
  if (first == 0xFFFF) {
    const uint16_t value = uint16_t(readInt16(reader));
    if (ordinal != nullptr) *ordinal = value;
    return "#" + std::to_string(value);
  }
  reader->offset = start;
  return readWideString(reader);
}

void alignTo4(ByteReader* reader) { reader->offset = (reader->offset + 3) / 4 * 4; }

}  // namespace

ByteReader makeByteReader(const std::vector<uint8_t>& bytes) {
  return ByteReader{bytes.data(), int32_t(bytes.size()), 0, false};
}

uint8_t readByte(ByteReader* reader) {
  if (reader->offset >= reader->length) {
    reader->failed = true;
    return 0;
  }
  return reader->bytes[reader->offset++];
}

int16_t readInt16(ByteReader* reader) {
  const uint16_t low = readByte(reader);
  const uint16_t high = readByte(reader);
  return int16_t(low | (high << 8));
}

int32_t readInt32(ByteReader* reader) {
  uint32_t value = 0;
  for (int shift = 0; shift < 32; shift += 8) value |= uint32_t(readByte(reader)) << shift;
  return int32_t(value);
}

std::string readCode(ByteReader* reader) {
  std::string code(4, '\0');
  for (int i = 3; i >= 0; --i) code[size_t(i)] = char(readByte(reader));
  return code;
}

std::string readLengthPrefixed(ByteReader* reader) {
  const uint8_t length = readByte(reader);
  std::string text;
  for (uint8_t i = 0; i < length; ++i) text.push_back(char(readByte(reader)));
  return text;
}

PropertyList readPropertyList(const std::vector<uint8_t>& bytes) {
  ByteReader reader = makeByteReader(bytes);
  PropertyList list;
  list.resourceVersion = readInt16(&reader);
  list.listVersion = readInt32(&reader);
  const int32_t count = readInt32(&reader);
  for (int32_t i = 0; i < count && !reader.failed && count <= 1000; ++i) {
    PropertyRecord property;
    property.vendor = readCode(&reader);
    property.key = readCode(&reader);
    property.id = readInt32(&reader);
    property.length = readInt32(&reader);
    if (property.length < 0 || property.length > reader.length) {
      reader.failed = true;
      break;
    }
    const int32_t padded = (property.length + 3) / 4 * 4;
    for (int32_t b = 0; b < padded; ++b) {
      const uint8_t value = readByte(&reader);
      if (b < property.length) property.data.push_back(value);
    }
    list.properties.push_back(property);
  }
  while (reader.offset < reader.length) list.trailer.push_back(readByte(&reader));
  list.failed = reader.failed;
  return list;
}

Terminology readTerminology(const std::vector<uint8_t>& bytes) {
  ByteReader reader = makeByteReader(bytes);
  Terminology t;
  t.resourceVersion = readInt16(&reader);
  t.versionMajor = readByte(&reader);
  t.versionMinor = readByte(&reader);
  t.language = readInt16(&reader);
  t.script = readInt16(&reader);
  t.suiteCount = readInt16(&reader);
  t.suiteName = readLengthPrefixed(&reader);
  t.suiteDescription = readLengthPrefixed(&reader);
  t.suiteCode = readCode(&reader);
  t.suiteLevel = readInt16(&reader);
  t.suiteVersion = readInt16(&reader);
  t.eventCount = readInt16(&reader);
  t.eventName = readLengthPrefixed(&reader);
  t.eventDescription = readLengthPrefixed(&reader);
  t.eventClass = readCode(&reader);
  t.eventCode = readCode(&reader);
  t.replyType = readCode(&reader);
  t.replyDescription = readLengthPrefixed(&reader);
  t.replyFlags = readInt16(&reader);
  t.directType = readCode(&reader);
  t.directDescription = readLengthPrefixed(&reader);
  t.directFlags = readInt16(&reader);
  const int16_t parameterCount = readInt16(&reader);
  for (int16_t i = 0; i < parameterCount && !reader.failed; ++i) {
    TermParameter parameter;
    parameter.name = readLengthPrefixed(&reader);
    parameter.key = readCode(&reader);
    parameter.type = readCode(&reader);
    parameter.description = readLengthPrefixed(&reader);
    parameter.flags = readInt16(&reader);
    t.parameters.push_back(parameter);
  }
  t.classCount = readInt16(&reader);
  t.comparisonCount = readInt16(&reader);
  const int16_t enumerationCount = readInt16(&reader);
  for (int16_t e = 0; e < enumerationCount && !reader.failed; ++e) {
    TermEnumeration enumeration;
    enumeration.code = readCode(&reader);
    const int16_t itemCount = readInt16(&reader);
    for (int16_t i = 0; i < itemCount && !reader.failed; ++i) {
      TermEnumItem item;
      item.name = readLengthPrefixed(&reader);
      item.value = readInt32(&reader);
      item.description = readLengthPrefixed(&reader);
      enumeration.items.push_back(item);
    }
    t.enumerations.push_back(enumeration);
  }
  t.unreadBytes = reader.length - reader.offset;
  t.failed = reader.failed;
  return t;
}

DialogTemplate readDialogTemplate(const std::vector<uint8_t>& bytes) {
  constexpr uint32_t kSetFont = 0x40;  // DS_SETFONT
  ByteReader reader = makeByteReader(bytes);
  DialogTemplate dialog;
  dialog.style = uint32_t(readInt32(&reader));
  dialog.extendedStyle = uint32_t(readInt32(&reader));
  const uint16_t itemCount = uint16_t(readInt16(&reader));
  dialog.x = readInt16(&reader);
  dialog.y = readInt16(&reader);
  dialog.width = readInt16(&reader);
  dialog.height = readInt16(&reader);
  dialog.menu = readNameOrOrdinal(&reader, nullptr);
  dialog.className = readNameOrOrdinal(&reader, nullptr);
  dialog.caption = readWideString(&reader);
  dialog.pointSize = 0;
  if ((dialog.style & kSetFont) != 0) {
    dialog.pointSize = uint16_t(readInt16(&reader));
    dialog.typeface = readWideString(&reader);
  }
  for (uint16_t i = 0; i < itemCount && !reader.failed; ++i) {
    alignTo4(&reader);
    DialogItem item;
    item.style = uint32_t(readInt32(&reader));
    item.extendedStyle = uint32_t(readInt32(&reader));
    item.x = readInt16(&reader);
    item.y = readInt16(&reader);
    item.width = readInt16(&reader);
    item.height = readInt16(&reader);
    item.id = uint16_t(readInt16(&reader));
    item.className = readNameOrOrdinal(&reader, &item.classAtom);
    item.caption = readNameOrOrdinal(&reader, nullptr);
    item.creationDataLength = uint16_t(readInt16(&reader));
    reader.offset += item.creationDataLength;
    dialog.items.push_back(item);
  }
  dialog.failed = reader.failed || reader.offset > reader.length;
  return dialog;
}
