// pluginProperties.cpp -- the plug-in property list resource: tables and byte builder
#include "resources/pluginProperties.h"

#include <iterator>

#include "core/hostErrors.h"
#include "resources/resourceBytes.h"
#include "resources/resourceIds.h"

namespace {

// One entry of the list, in list order: its key and the data length its header
// declares. The data is padded with zero bytes up to that length and then to a
// multiple of 4.
struct PluginProperty {
  OSType key;
  int32_t length;
};

constexpr OSType kKindKey = fourCharCode("kind");
constexpr OSType kNameKey = fourCharCode("name");
constexpr OSType kCategoryKey = fourCharCode("catg");
constexpr OSType kVersionKey = fourCharCode("vers");
// Stands in the table for the entry point; written as the machine's own key.
constexpr OSType kEntryPointKey = fourCharCode("wx86");
constexpr OSType kEntryPointKeyX64 = fourCharCode("8664");
constexpr OSType kTerminologyKey = fourCharCode("hstm");
constexpr OSType kModeKey = fourCharCode("mode");
constexpr OSType kFilterCaseKey = fourCharCode("fici");

constexpr FilterProperties kFilter = {
    kFilterKindCode,
    "Adapt.Equalize",
    "OM*Process",
    0x00040000,  // filter interface 4.0
    "ENTRYPOINT",
    0,
    kSuiteCode,
    kFilterEventCode,
    int16_t(kTerminologyId),
    "OMKAAHEq",
    // Greyscale 0x40 and RGB 0x10; 16-bit greyscale 0x20 and 48-bit RGB 0x10:
    // exactly the modes the driver handles.
    {0x50, 0x30, 0x00, 0x00},
    // Straight data in and out (no matting, no zapping of transparent areas),
    // so transparency arrives as extra planes the driver carries through; flag
    // 0x01: the host need not copy source to destination, every row is written.
    {1, 1, 0x01, 0},
};

constexpr PluginProperty kProperties[] = {
    {kKindKey, 4},          // a code
    {kNameKey, 20},         // length byte + 14 characters, padding not significant
    {kCategoryKey, 20},     // length byte + 10 characters, padding not significant
    {kVersionKey, 4},       // an int32
    {kEntryPointKey, 12},   // 10 characters + zero, padded to 4
    {kTerminologyKey, 48},  // 4 + 4 + 4 + 2 + 9 = 23 bytes, zeros to 48
    {kModeKey, 4},          // four flag bytes
    {kFilterCaseKey, 28},   // 7 cases x 4 bytes
};

// Texts must fit their declared lengths; checked here so a longer name cannot
// reach a host as an overlapping property.
static_assert(1 + textLength(kFilter.menuName) <= 20, "menu name fits its property");
static_assert(1 + textLength(kFilter.category) <= 20, "category fits its property");
static_assert(textLength(kFilter.entryPoint) + 1 <= 12, "entry point fits its property");
static_assert(4 + 4 + 4 + 2 + textLength(kFilter.terminologyScope) + 1 <= 48,
              "terminology record fits its property");
static_assert(kFilterCaseCount * 4 == 28, "filter cases fill their property");

void putPropertyData(ByteWriter* writer, OSType key) {
  switch (key) {
    case kKindKey:
      putCode(writer, kFilter.kind);
      break;
    case kNameKey:
      putLengthPrefixed(writer, kFilter.menuName);
      break;
    case kCategoryKey:
      putLengthPrefixed(writer, kFilter.category);
      break;
    case kVersionKey:
      putInt32(writer, kFilter.interfaceVersion);
      break;
    case kEntryPointKey:
      putZeroTerminated(writer, kFilter.entryPoint);
      break;
    case kTerminologyKey:
      putInt32(writer, kFilter.terminologyVersion);
      putCode(writer, kFilter.terminologyClass);
      putCode(writer, kFilter.terminologyEvent);
      putInt16(writer, kFilter.terminologyId);
      putZeroTerminated(writer, kFilter.terminologyScope);
      break;
    case kModeKey:
      for (uint8_t flags : kFilter.modeFlags) putByte(writer, flags);
      break;
    case kFilterCaseKey:
      for (int32_t filterCase = 0; filterCase < kFilterCaseCount; ++filterCase) {
        for (uint8_t value : kFilter.filterCase) putByte(writer, value);
      }
      break;
    default:
      break;
  }
}

}  // namespace

const FilterProperties* getFilterProperties() { return &kFilter; }

OSType entryPointKeyFor(ModuleMachine machine) {
  return machine == ModuleMachineX64 ? kEntryPointKeyX64 : kEntryPointKey;
}

OSErr buildPluginProperties(uint8_t* bytes, int32_t capacity, int32_t* length) {
  return buildPluginPropertiesFor(kBuildMachine, bytes, capacity, length);
}

OSErr buildPluginPropertiesFor(ModuleMachine machine, uint8_t* bytes, int32_t capacity,
                               int32_t* length) {
  *length = 0;
  if (machine != ModuleMachineX86 && machine != ModuleMachineX64) return filterBadParameters;
  ByteWriter writer;
  startByteWriter(&writer, bytes, capacity);

  // Header: resource version, list version, property count.
  putInt16(&writer, 1);
  putInt32(&writer, 0);
  putInt32(&writer, int32_t(std::size(kProperties)));

  OSErr result = noErr;
  for (const PluginProperty& property : kProperties) {
    putCode(&writer, kVendorCode);
    // The same data form under either key; only the key tells the machine.
    putCode(&writer, property.key == kEntryPointKey ? entryPointKeyFor(machine) : property.key);
    putInt32(&writer, 0);  // property id
    putInt32(&writer, property.length);
    const int32_t start = writer.length;
    putPropertyData(&writer, property.key);
    if (writer.length - start > property.length) result = filterBadParameters;
    // Padded to a multiple of 4 counted from the data's start: the list header
    // is 10 bytes, so the data does not sit on 4-byte file offsets.
    padToLength(&writer, start + (property.length + 3) / 4 * 4);
  }

  // Three zero bytes close the list.
  putByte(&writer, 0);
  putByte(&writer, 0);
  putByte(&writer, 0);

  *length = writer.length;
  return result != noErr ? result : writer.error;
}
