// scriptingTerminology.h -- the scripting terminology resource: tables and byte builder
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

// The one suite with its one event: the filter as the host's scripting sees it.
struct TerminologySuite {
  const char* name;         // the module
  const char* description;  // the module and its version
  OSType code;
  int16_t level;
  int16_t version;
  const char* eventName;
  const char* eventDescription;
  OSType eventClass;
  OSType eventCode;
  OSType replyType;
  int16_t replyFlags;
  OSType directType;  // the direct parameter: the image the event works on
  int16_t directFlags;
};

// A parameter of the shared dictionary. Codes are four characters; the type is
// "doub", "long", "bool", "TEXT" or the code of one of the enumerations.
struct TerminologyParameter {
  const char* key;
  const char* name;
  const char* type;
};

// Items take consecutive values from firstValue on.
struct TerminologyEnumeration {
  const char* code;
  int32_t firstValue;
  int16_t itemCount;
  const char* const* items;
};

// Parameter flags: an enumerated parameter carries this one, all others none.
constexpr int16_t kEnumeratedParameterFlags = 0x2000;
// Direct parameter flags: optional, enumerated, changes state.
constexpr int16_t kDirectParameterFlags = int16_t(0xB000);

const TerminologySuite* getTerminologySuite();
const TerminologyParameter* getTerminologyParameters(int32_t* count);
const TerminologyEnumeration* getTerminologyEnumerations(int32_t* count);

// Flags a parameter of this type carries in the resource.
int16_t getParameterFlags(const char* type);

// Writes the resource into bytes[0 .. capacity) and its size to *length; with
// bytes null only the size is computed. Returns 0, or memFullErr when the
// capacity is too small (*length still tells the size needed).
OSErr buildScriptingTerminology(uint8_t* bytes, int32_t capacity, int32_t* length);
