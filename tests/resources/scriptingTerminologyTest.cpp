// scriptingTerminologyTest.cpp -- the scripting terminology built from its tables
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "resources/resourceBytes.h"
#include "resources/scriptingTerminology.h"
#include "tests/resources/resourceExpectations.h"

namespace {

std::vector<uint8_t> buildTerminology() {
  int32_t length = 0;
  EXPECT_EQ(buildScriptingTerminology(nullptr, 0, &length), noErr);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  EXPECT_EQ(buildScriptingTerminology(bytes.data(), length, &length), noErr);
  return bytes;
}

TEST(ScriptingTerminologyTest, BuildsThePublishedTerminology) {
  expectPublishedTerminology(buildTerminology());
}

TEST(ScriptingTerminologyTest, ShortBufferFailsWithoutOverrun) {
  int32_t needed = 0;
  ASSERT_EQ(buildScriptingTerminology(nullptr, 0, &needed), noErr);
  std::vector<uint8_t> bytes(size_t(needed), 0xA5);
  int32_t length = 0;
  EXPECT_EQ(buildScriptingTerminology(bytes.data(), needed / 2, &length), memFullErr);
  EXPECT_EQ(length, needed);
  for (size_t i = size_t(needed / 2); i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0xA5) << i;
}

TEST(ScriptingTerminologyTest, TablesHaveUniqueKeysAndCodes) {
  int32_t parameterCount = 0;
  const TerminologyParameter* parameters = getTerminologyParameters(&parameterCount);
  std::set<std::string> keys;
  for (int32_t i = 0; i < parameterCount; ++i) keys.insert(parameters[i].key);
  EXPECT_EQ(int32_t(keys.size()), parameterCount);

  int32_t enumerationCount = 0;
  const TerminologyEnumeration* enumerations = getTerminologyEnumerations(&enumerationCount);
  std::set<std::string> codes;
  for (int32_t e = 0; e < enumerationCount; ++e) {
    codes.insert(enumerations[e].code);
    EXPECT_EQ(getParameterFlags(enumerations[e].code), kEnumeratedParameterFlags);
    // Names within one enumeration are told apart by a script.
    std::set<std::string> names;
    for (int16_t i = 0; i < enumerations[e].itemCount; ++i) names.insert(enumerations[e].items[i]);
    EXPECT_EQ(int32_t(names.size()), enumerations[e].itemCount) << enumerations[e].code;
  }
  EXPECT_EQ(int32_t(codes.size()), enumerationCount);
  EXPECT_EQ(getParameterFlags("doub"), 0);
  EXPECT_EQ(getParameterFlags("TEXT"), 0);
}

TEST(ResourceBytesTest, WritesLittleEndianAndReversedCodes) {
  uint8_t bytes[16] = {};
  ByteWriter writer;
  startByteWriter(&writer, bytes, sizeof bytes);
  putInt16(&writer, -2);
  putInt32(&writer, 0x00040000);
  putCode(&writer, codeFromText("8BIM"));
  putLengthPrefixed(&writer, "ab");
  EXPECT_EQ(writer.error, noErr);
  ASSERT_EQ(writer.length, 13);
  const uint8_t expected[] = {0xFE, 0xFF, 0, 0, 4, 0, 'M', 'I', 'B', '8', 2, 'a', 'b'};
  EXPECT_EQ(std::memcmp(bytes, expected, sizeof expected), 0);
}

TEST(ResourceBytesTest, RefusesTextsTooLongForTheLengthByte) {
  uint8_t bytes[300] = {};
  ByteWriter writer;
  startByteWriter(&writer, bytes, sizeof bytes);
  const std::string text(256, 'x');
  putLengthPrefixed(&writer, text.c_str());
  EXPECT_NE(writer.error, noErr);
  EXPECT_EQ(writer.length, 0) << "nothing a reader would misparse";
  EXPECT_EQ(codeFromText("abc"), 0u);
  EXPECT_EQ(codeFromText("abcde"), 0u);
}

}  // namespace
