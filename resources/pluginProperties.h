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

// The processor a module is built for: it picks the property key under which
// the entry point is listed, and a host calls only a module of its own kind.
enum ModuleMachine : int32_t {
  ModuleMachineX86 = 0,  // 32-bit: key wx86
  ModuleMachineX64 = 1,  // 64-bit: key 8664
};

// The machine of the code this is compiled into.
constexpr ModuleMachine kBuildMachine = sizeof(void*) == 8 ? ModuleMachineX64 : ModuleMachineX86;

OSType entryPointKeyFor(ModuleMachine machine);

// Writes the resource for machine into bytes[0 .. capacity) and its size to
// *length; with bytes null only the size is computed. Returns 0, memFullErr when
// the capacity is too small (*length still tells the size needed), or
// filterBadParameters when a property's data would overrun its declared length
// or the machine is not one of the above.
OSErr buildPluginPropertiesFor(ModuleMachine machine, uint8_t* bytes, int32_t capacity,
                               int32_t* length);

// The same for the machine this is compiled for.
OSErr buildPluginProperties(uint8_t* bytes, int32_t capacity, int32_t* length);
