// pluginPropertiesTest.cpp -- the property list built from its tables, byte for byte
#include <gtest/gtest.h>

#include <vector>

#include "core/hostErrors.h"
#include "resources/pluginProperties.h"
#include "resources/resourceIds.h"
#include "resources/scriptingTerminology.h"
#include "tests/resources/resourceExpectations.h"

namespace {

std::vector<uint8_t> buildBytes(OSErr (*build)(uint8_t*, int32_t, int32_t*)) {
  int32_t length = 0;
  EXPECT_EQ(build(nullptr, 0, &length), noErr);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  int32_t written = 0;
  EXPECT_EQ(build(bytes.data(), length, &written), noErr);
  EXPECT_EQ(written, length);
  return bytes;
}

std::vector<uint8_t> buildFor(ModuleMachine machine) {
  int32_t length = 0;
  EXPECT_EQ(buildPluginPropertiesFor(machine, nullptr, 0, &length), noErr);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  EXPECT_EQ(buildPluginPropertiesFor(machine, bytes.data(), length, &length), noErr);
  return bytes;
}

// Each machine's list carries its own entry-point key and nothing else differs.
TEST(PluginPropertiesTest, BuildsThePublishedListForEachMachine) {
  expectPublishedPropertyList(buildFor(ModuleMachineX86), "wx86");
  expectPublishedPropertyList(buildFor(ModuleMachineX64), "8664");
  expectPublishedPropertyList(buildBytes(buildPluginProperties),
                              sizeof(void*) == 8 ? "8664" : "wx86");

  int32_t length = -1;
  EXPECT_EQ(buildPluginPropertiesFor(ModuleMachine(7), nullptr, 0, &length), filterBadParameters);
}

TEST(PluginPropertiesTest, ShortBufferFailsWithoutOverrun) {
  int32_t needed = 0;
  ASSERT_EQ(buildPluginProperties(nullptr, 0, &needed), noErr);
  const uint8_t guard = 0xA5;
  std::vector<uint8_t> bytes(size_t(needed), guard);
  int32_t length = 0;
  EXPECT_EQ(buildPluginProperties(bytes.data(), needed - 1, &length), memFullErr);
  EXPECT_EQ(length, needed) << "the size needed is still reported";
  EXPECT_EQ(bytes.back(), guard);
}

// The hstm record must name the terminology resource the host will look up.
TEST(PluginPropertiesTest, TerminologyRecordMatchesTheTerminologyTables) {
  const FilterProperties* filter = getFilterProperties();
  const TerminologySuite* suite = getTerminologySuite();
  EXPECT_EQ(filter->terminologyId, kTerminologyId);
  EXPECT_EQ(filter->terminologyEvent, suite->eventCode);
  EXPECT_EQ(filter->terminologyClass, suite->eventClass);

  expectPropertyListNamesTerminology(buildBytes(buildPluginProperties),
                                     buildBytes(buildScriptingTerminology), kTerminologyId);
}

}  // namespace
