// textFormatTest.cpp -- number texts of the log and dialog, and the text conversions
#include "params/textFormat.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

namespace {

std::string formatted(float value) {
  char buffer[kNumberTextBytes];
  std::memset(buffer, 'x', sizeof buffer);
  formatFloat(value, buffer);
  return buffer;
}

float fromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

TEST(FormatFloat, ReproducesTheTableOfTexts) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {0.0f, "0.0"},
      {1.0f, "1.00000"},
      {0.5f, "0.50000"},
      {-0.25f, "-0.25000"},
      {0.7f, "0.70000"},
      {0.123456789f, "0.12345"},
      {0.0025f, "0.00249"},
      {0.0015f, "0.00150"},
      {12.5f, "12.5000"},
      {123.456f, "123.456"},
      {1234.56f, "1234.60"},
      {0.0005f, "0.500000e-3"},
      {0.0001f, "1.000000e-4"},
  };
  for (const Case& c : cases) EXPECT_EQ(formatted(c.value), c.text) << c.value;
}

TEST(FormatFloat, ZeroMinusZeroAndNaNPrintAsZero) {
  EXPECT_EQ(formatted(-0.0f), "0.0");
  EXPECT_EQ(formatted(std::nanf("")), "0.0");
  EXPECT_EQ(formatted(-std::nanf("")), "0.0");
  EXPECT_EQ(formatted(fromBits(0x7F800001u)), "0.0");  // signalling NaN
}

TEST(FormatFloat, CountedFormHasTheLengthByteAndNoTerminator) {
  uint8_t buffer[32];
  std::memset(buffer, 0xEE, sizeof buffer);
  formatFloatCounted(0.5f, buffer);
  ASSERT_EQ(buffer[0], 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), 7), "0.50000");
  EXPECT_EQ(buffer[8], 0xEE);
}

// Values the general rule would print with a leading "digit" of 10 or more.
TEST(FormatFloat, HugeValuesAndInfinitiesPrintShortPlainTexts) {
  EXPECT_EQ(formatted(INFINITY), "inf");
  EXPECT_EQ(formatted(-INFINITY), "-inf");
  EXPECT_EQ(formatted(FLT_MAX), "3.402823e+38");
  EXPECT_EQ(formatted(-FLT_MAX), "-3.402823e+38");
  EXPECT_EQ(formatted(1e8f), "1.000000e+8");
  EXPECT_EQ(formatted(9.6e7f), "9.600000e+7");
  EXPECT_EQ(formatted(1e20f), "1.000000e+20");
  // Below 9.5e7 the leading digit can still carry over near the top of a decade.
  EXPECT_EQ(formatted(99999.0f), "9.999900e+4");
  EXPECT_EQ(formatted(-9999999.0f), "-9.999999e+6");
}

TEST(FormatFloat, SmallestMagnitudesUseTwoExponentDigits) {
  EXPECT_EQ(formatted(-fromBits(1)), "-0.140130e-44");
  EXPECT_EQ(formatted(FLT_MIN), "0.117549e-37");
}

// Every text of every float stays within 13 characters of a known alphabet and
// never writes past its 14 bytes; a sweep over bit patterns with all edges.
TEST(FormatFloat, AnyBitPatternGivesABoundedText) {
  auto check = [](uint32_t bits) {
    char buffer[kNumberTextBytes];
    std::memset(buffer, 'x', sizeof buffer);
    formatFloat(fromBits(bits), buffer);
    const size_t length = std::strlen(buffer);
    ASSERT_GE(length, 3u) << bits;
    ASSERT_LE(length, size_t(kFloatTextMax)) << bits;
    EXPECT_EQ(buffer[kFloatTextMax + 1], 'x') << bits;
    for (size_t i = 0; i < length; ++i) {
      ASSERT_NE(std::strchr("0123456789.-+einf", buffer[i]), nullptr) << bits << " " << buffer;
    }
  };
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 65521) check(uint32_t(bits));
  const uint32_t edges[] = {0x00000001u, 0x007FFFFFu, 0x00800000u, 0x7F7FFFFFu,
                            0x7F800000u, 0x7FC00000u, 0x80000001u, 0xFF7FFFFFu,
                            0xFF800000u, 0xFFFFFFFFu, 0x4CB2D05Eu, 0x4CB5E620u};
  for (uint32_t bits : edges) check(bits);
}

TEST(FourCharText, KeepsAllFourBytesMostSignificantFirst) {
  uint8_t buffer[8] = {};
  fourCharText(0x50746820u, buffer);  // "Pth "
  EXPECT_EQ(buffer[0], 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), 4), "Pth ");
  fourCharText(0x41004200u, buffer);
  EXPECT_EQ(buffer[0], 4);
  EXPECT_EQ(buffer[1], 'A');
  EXPECT_EQ(buffer[2], 0);
  EXPECT_EQ(buffer[3], 'B');
  EXPECT_EQ(buffer[4], 0);
}

TEST(CopyBoundedText, CopiesUpToTheZeroOrCutsAtTheSize) {
  char destination[8];
  std::memset(destination, 'x', sizeof destination);
  copyBoundedText("abc", destination, 8);
  EXPECT_STREQ(destination, "abc");
  EXPECT_EQ(destination[4], 'x');  // nothing after the zero

  std::memset(destination, 'x', sizeof destination);
  copyBoundedText("abcdefghijk", destination, 5);
  EXPECT_STREQ(destination, "abcd");
  EXPECT_EQ(destination[5], 'x');

  copyBoundedText(nullptr, destination, 5);
  EXPECT_STREQ(destination, "");
  copyBoundedText("abc", nullptr, 5);  // nothing happens
  std::memset(destination, 'x', sizeof destination);
  copyBoundedText("abc", destination, 0);
  EXPECT_EQ(destination[0], 'x');
}

TEST(LengthPrefixed, ConvertsBothWaysInPlace) {
  uint8_t buffer[300];
  std::memcpy(buffer, "hello", 6);
  toLengthPrefixed(buffer);
  EXPECT_EQ(buffer[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 1), 5), "hello");
  fromLengthPrefixed(buffer);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "hello");

  buffer[0] = 0;
  toLengthPrefixed(buffer);
  EXPECT_EQ(buffer[0], 0);
  fromLengthPrefixed(buffer);
  EXPECT_EQ(buffer[0], 0);

  toLengthPrefixed(nullptr);
  fromLengthPrefixed(nullptr);
}

TEST(LengthPrefixed, KeepsAtMost255Characters) {
  uint8_t buffer[300];
  std::memset(buffer, 'a', 299);
  buffer[299] = 0;
  toLengthPrefixed(buffer);
  EXPECT_EQ(buffer[0], 255);
  fromLengthPrefixed(buffer);
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(buffer)), 255u);
}

TEST(TextBuffers, AreZeroFilledAndReleaseNull) {
  char* text = allocText(514);
  ASSERT_NE(text, nullptr);
  for (int i = 0; i < 514; ++i) ASSERT_EQ(text[i], 0);
  freeText(text);
  freeText(nullptr);
}

}  // namespace
