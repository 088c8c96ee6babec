// pluginProperties.h -- the plug-in property list resource: tables and byte builder
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

// What the properties say about the filter.
struct FilterProperties {
  OSType kind;
  const char* menuName;        // length-prefixed
  const char* category;        // length-prefixed: the submenu
  int32_t interfaceVersion;    // version in the high half, subversion in the low half
  const char* entryPoint;      // zero-terminated: the export the host calls
  int32_t terminologyVersion;  // the has-terminology record ...
  OSType terminologyClass;
  OSType terminologyEvent;
  int16_t terminologyId;         // ... naming the terminology resource
  const char* terminologyScope;  // zero-terminated
  uint8_t modeFlags[4];          // image modes, most significant bit of byte 0 first
  uint8_t filterCase[4];         // input handling, output handling, flags, reserved
};

constexpr int32_t kFilterCaseCount = 7;  // every case gets the same four bytes

const FilterProperties* getFilterProperties();

// Writes the resource into bytes[0 .. capacity) and its size to *length; with
// bytes null only the size is computed. Returns 0, memFullErr when the capacity
// is too small (*length still tells the size needed), or filterBadParameters
// when a property's data would overrun its declared length.
OSErr buildPluginProperties(uint8_t* bytes, int32_t capacity, int32_t* length);
