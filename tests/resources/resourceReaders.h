// resourceReaders.h -- readers of property list, terminology and dialog template bytes
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads little-endian fields; past the end every read gives 0 and sets failed.
struct ByteReader {
  const uint8_t* bytes;
  int32_t length;
  int32_t offset;
  bool failed;
};

ByteReader makeByteReader(const std::vector<uint8_t>& bytes);
uint8_t readByte(ByteReader* reader);
int16_t readInt16(ByteReader* reader);
int32_t readInt32(ByteReader* reader);
// A byte-reversed four-character code, returned as its four characters.
std::string readCode(ByteReader* reader);
std::string readLengthPrefixed(ByteReader* reader);

struct PropertyRecord {
  std::string vendor;
  std::string key;
  int32_t id;
  int32_t length;
  std::vector<uint8_t> data;  // the declared length, padding excluded
};

struct PropertyList {
  int16_t resourceVersion;
  int32_t listVersion;
  std::vector<PropertyRecord> properties;
  std::vector<uint8_t> trailer;  // whatever follows the last property
  bool failed;
};

PropertyList readPropertyList(const std::vector<uint8_t>& bytes);

struct TermParameter {
  std::string name;
  std::string key;
  std::string type;
  std::string description;
  int16_t flags;
};

struct TermEnumItem {
  std::string name;
  int32_t value;
  std::string description;
};

struct TermEnumeration {
  std::string code;
  std::vector<TermEnumItem> items;
};

struct Terminology {
  int16_t resourceVersion;
  uint8_t versionMajor;
  uint8_t versionMinor;
  int16_t language;
  int16_t script;
  int16_t suiteCount;
  std::string suiteName;
  std::string suiteDescription;
  std::string suiteCode;
  int16_t suiteLevel;
  int16_t suiteVersion;
  int16_t eventCount;
  std::string eventName;
  std::string eventDescription;
  std::string eventClass;
  std::string eventCode;
  std::string replyType;
  std::string replyDescription;
  int16_t replyFlags;
  std::string directType;
  std::string directDescription;
  int16_t directFlags;
  std::vector<TermParameter> parameters;
  int16_t classCount;
  int16_t comparisonCount;
  std::vector<TermEnumeration> enumerations;
  int32_t unreadBytes;  // left after the last enumeration
  bool failed;
};

// Reads one suite with one event, as the module writes it.
Terminology readTerminology(const std::vector<uint8_t>& bytes);

struct DialogItem {
  uint32_t style;
  uint32_t extendedStyle;
  int16_t x, y, width, height;
  uint16_t id;
  uint16_t classAtom;  // 0 when the class is named
  std::string className;
  std::string caption;
  uint16_t creationDataLength;
};

struct DialogTemplate {
  uint32_t style;
  uint32_t extendedStyle;
  int16_t x, y, width, height;
  std::string menu;       // "" for none
  std::string className;  // "" for the default dialog class
  std::string caption;
  uint16_t pointSize;  // with DS_SETFONT
  std::string typeface;
  std::vector<DialogItem> items;
  bool failed;
};

// Reads a classic (not extended) dialog template, items aligned to 4 bytes.
DialogTemplate readDialogTemplate(const std::vector<uint8_t>& bytes);
