// pngFileTest.cpp -- the screenshot writer's checksums against known values
#include "tests/ui/pngFile.h"

#include <gtest/gtest.h>

namespace {

TEST(PngFile, ChecksumsOfKnownInputs) {
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(pngCrc32(text, sizeof text), 0xCBF43926u);
  EXPECT_EQ(adler32(reinterpret_cast<const uint8_t*>("Wikipedia"), 9), 0x11E60398u);
}

}  // namespace
