// signatureBlockTest.cpp -- byte layout and operations of the parameter signature block
#include "params/signatureBlock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/memory.h"
#include "core/runContext.h"

namespace {

struct BlockDeleter {
  void operator()(SignatureBlock* block) const { disposeSignatureBlock(block); }
};
using BlockPtr = std::unique_ptr<SignatureBlock, BlockDeleter>;

BlockPtr makeBlock(int32_t slots = kRunSignatureSlots) {
  return BlockPtr(createSignatureBlock(slots));
}

std::vector<uint8_t> bytesAt(const SignatureBlock* block, int32_t offset, int32_t count) {
  return std::vector<uint8_t>(block->bytes + offset, block->bytes + offset + count);
}

void putSetting(RunContext* context, int32_t offset, float value) {
  std::memcpy(context->settings + offset, &value, sizeof value);
}

TEST(SignatureBlock, FilterFillLaysOutTheHeaderAndFourFloatEntries) {
  RunContext* context = createRunContext();
  ASSERT_NE(context, nullptr);
  putSetting(context, 484, 0.5f);  // the settings file's published places
  putSetting(context, 488, 0.25f);
  putSetting(context, 492, 0.7f);
  putSetting(context, 496, 0.0f);
  BlockPtr block = makeBlock();
  ASSERT_NE(block, nullptr);
  setSignatureHeader(block.get(), fourCharCode("udef"), 0, 0);
  EXPECT_EQ(fillFilterSignature(context, block.get()), 0);
  disposeRunContext(context);

  EXPECT_EQ(getInputCount(block.get()), 4);
  EXPECT_EQ(getOutputCount(block.get()), 0);
  EXPECT_EQ(uint32_t(getSignature(block.get())), fourCharCode("AHEq"));
  EXPECT_EQ(getNeedsMask(block.get()), 0);
  EXPECT_EQ(getNoWriteback(block.get()), 0);
  EXPECT_EQ(bytesAt(block.get(), 20, 4), (std::vector<uint8_t>{'A', 'H', 'E', 'q'}));
  EXPECT_EQ(bytesAt(block.get(), 48, 4), (std::vector<uint8_t>{'A', 'E', 'q', 'a'}));
  EXPECT_EQ(bytesAt(block.get(), 52, 4), (std::vector<uint8_t>{'d', 'o', 'u', 'b'}));
  EXPECT_EQ(bytesAt(block.get(), 56, 4), (std::vector<uint8_t>{0, 0, 0, 1}));
  EXPECT_EQ(bytesAt(block.get(), 60, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(bytesAt(block.get(), 64, 4), (std::vector<uint8_t>{0x3F, 0x80, 0, 0}));
  EXPECT_EQ(bytesAt(block.get(), 68, 4), (std::vector<uint8_t>{0x3F, 0, 0, 0}));
  // Reserved header bytes stay zero.
  EXPECT_EQ(bytesAt(block.get(), 0, 12), std::vector<uint8_t>(12, 0));
  EXPECT_EQ(bytesAt(block.get(), 32, 16), std::vector<uint8_t>(16, 0));

  const char* keys[] = {"AEqa", "AEqb", "AEqg", "AEqd"};
  const float values[] = {0.5f, 0.25f, 0.7f, 0.0f};
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(bytesAt(block.get(), 48 + 24 * i, 4), std::vector<uint8_t>(keys[i], keys[i] + 4));
    EXPECT_EQ(getEntryType(block.get(), i), kTypeFloat);
    EXPECT_EQ(getEntryFlags(block.get(), i), 1);
    EXPECT_EQ(getFloatMin(block.get(), i), 0.0f);
    EXPECT_EQ(getFloatMax(block.get(), i), 1.0f);
    EXPECT_EQ(getFloatValue(block.get(), i), values[i]);
  }
}

TEST(SignatureBlock, FloatValuesAreStoredBigEndian) {
  BlockPtr block = makeBlock();
  setSignatureHeader(block.get(), fourCharCode("AHEq"), 0, 0);
  ASSERT_EQ(addFloatParameter(block.get(), fourCharCode("AEqa"), 0, 1, 0), 0);
  setFloatValue(block.get(), 0, 0.5f);
  EXPECT_EQ(bytesAt(block.get(), 68, 4), (std::vector<uint8_t>{0x3F, 0x00, 0x00, 0x00}));
  EXPECT_EQ(getFloatValue(block.get(), 0), 0.5f);
  setLongValue(block.get(), 0, -2);
  EXPECT_EQ(bytesAt(block.get(), 68, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(getLongValue(block.get(), 0), -2);
}

TEST(SignatureBlock, HeaderFlagsAreSignExtendedAndResetTheCounts) {
  BlockPtr block = makeBlock();
  setSignatureHeader(block.get(), fourCharCode("AHEq"), -1, 1);
  EXPECT_EQ(getNeedsMask(block.get()), -1);
  EXPECT_EQ(getNoWriteback(block.get()), 1);
  EXPECT_EQ(bytesAt(block.get(), 24, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));

  addFloatParameter(block.get(), fourCharCode("AEqa"), 0, 1, 0.5f);
  addFloatParameter(block.get(), fourCharCode("AEqb"), 0, 1, 0.5f);
  setSignatureHeader(block.get(), fourCharCode("AHEq"), 0, 0);
  EXPECT_EQ(getInputCount(block.get()), 0);
  EXPECT_EQ(addFloatParameter(block.get(), fourCharCode("Next"), 0, 1, 0.25f), 0);
  EXPECT_EQ(getEntryKey(block.get(), 0), fourCharCode("Next"));
}

TEST(SignatureBlock, BooleanValueIsOneForAnyNonzeroBits) {
  BlockPtr block = makeBlock();
  setSignatureHeader(block.get(), 0, 0, 0);
  ASSERT_EQ(addParameter(block.get(), fourCharCode("flag"), kTypeBoolean, 0, 0, 0xFFFFFFFFu), 0);
  EXPECT_EQ(getBooleanValue(block.get(), 0), 1);
  setLongValue(block.get(), 0, 0x100);
  EXPECT_EQ(getBooleanValue(block.get(), 0), 1);
  setLongValue(block.get(), 0, 0);
  EXPECT_EQ(getBooleanValue(block.get(), 0), 0);
}

TEST(SignatureBlock, TextValuesAreCopiedUpToTheirZero) {
  BlockPtr block = makeBlock();
  setSignatureHeader(block.get(), 0, 0, 0);
  ASSERT_EQ(addParameter(block.get(), fourCharCode("path"), kTypeText, 0, 0, 0), 0);
  EXPECT_EQ(getTextValue(block.get(), 0), nullptr);

  const uint8_t text[] = {3, 'a', 'b', 'c', 0, 'x', 'y'};
  setTextValue(block.get(), 0, text);
  const uint8_t* stored = getTextValue(block.get(), 0);
  ASSERT_NE(stored, nullptr);
  EXPECT_NE(stored, text);
  EXPECT_EQ(std::vector<uint8_t>(stored, stored + 5), std::vector<uint8_t>(text, text + 5));
  // The block's value field holds no reference: texts live beside the block.
  EXPECT_EQ(getLongValue(block.get(), 0), 0);

  const uint8_t empty[] = {0, 'x'};
  setTextValue(block.get(), 0, empty);
  ASSERT_NE(getTextValue(block.get(), 0), nullptr);
  EXPECT_EQ(getTextValue(block.get(), 0)[0], 0);

  // Characters beyond the length up to the first zero come along.
  const uint8_t longer[] = {1, 'a', 'b', 'c', 0};
  setTextValue(block.get(), 0, longer);
  EXPECT_EQ(std::vector<uint8_t>(getTextValue(block.get(), 0), getTextValue(block.get(), 0) + 5),
            std::vector<uint8_t>(longer, longer + 5));

  setTextValue(block.get(), 0, nullptr);
  EXPECT_EQ(getTextValue(block.get(), 0), nullptr);
}

TEST(SignatureBlock, BoundedTextNeverReadsPastItsSize) {
  BlockPtr block = makeBlock();
  setSignatureHeader(block.get(), 0, 0, 0);
  addParameter(block.get(), fourCharCode("path"), kTypeText, 0, 0, 0);
  // A length byte promising 200 characters in a 4-byte handle without a zero.
  std::vector<uint8_t> bytes = {200, 'a', 'b', 'c'};
  setTextValueBounded(block.get(), 0, bytes.data(), int32_t(bytes.size()));
  const uint8_t* stored = getTextValue(block.get(), 0);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(stored, stored + 5),
            (std::vector<uint8_t>{200, 'a', 'b', 'c', 0}));

  setTextValueBounded(block.get(), 0, bytes.data(), 0);
  ASSERT_NE(getTextValue(block.get(), 0), nullptr);
  EXPECT_EQ(getTextValue(block.get(), 0)[0], 0);
}

TEST(SignatureBlock, AppendsStopAtTheCapacity) {
  BlockPtr block = makeBlock();
  setSignatureHeader(block.get(), 0, 0, 0);
  for (int32_t i = 0; i < kRunSignatureSlots - 2; ++i) {
    ASSERT_EQ(addFloatParameter(block.get(), fourCharCode("keyX"), 0, 1, 0), i);
  }
  EXPECT_EQ(addFloatParameter(block.get(), fourCharCode("full"), 0, 1, 0), -1);
  EXPECT_EQ(addOutputParameter(block.get(), fourCharCode("full"), kTypeLong, 0, 0, 0), -1);
  EXPECT_EQ(getInputCount(block.get()), kRunSignatureSlots - 2);

  // Indexes outside the slots read as zero and write nothing.
  EXPECT_EQ(getEntryKey(block.get(), 20), 0u);
  EXPECT_EQ(getEntryKey(block.get(), -1), 0u);
  setFloatValue(block.get(), 20, 1.0f);
  setTextValue(block.get(), 25, reinterpret_cast<const uint8_t*>("\1a"));
  EXPECT_EQ(getTextValue(block.get(), 25), nullptr);
}

TEST(SignatureBlock, OutputsFollowTheInputs) {
  BlockPtr block = makeBlock();
  setSignatureHeader(block.get(), 0, 0, 0);
  addFloatParameter(block.get(), fourCharCode("inpt"), 0, 1, 0);
  EXPECT_EQ(addOutputParameter(block.get(), fourCharCode("outp"), kTypeLong, 1, 9, 5), 1);
  EXPECT_EQ(getOutputCount(block.get()), 1);
  EXPECT_EQ(getLongMax(block.get(), 1), 9);
  // An input added now would overwrite the output.
  EXPECT_EQ(addFloatParameter(block.get(), fourCharCode("late"), 0, 1, 0), -1);
}

TEST(SignatureBlock, CreationRefusesBadCountsAndSurvivesFailedAllocations) {
  EXPECT_EQ(createSignatureBlock(1), nullptr);
  EXPECT_EQ(createSignatureBlock(-5), nullptr);
  EXPECT_EQ(createSignatureBlock(INT32_MAX), nullptr);
  BlockPtr headerOnly = makeBlock(2);
  ASSERT_NE(headerOnly, nullptr);
  setSignatureHeader(headerOnly.get(), 0, 0, 0);
  EXPECT_EQ(addFloatParameter(headerOnly.get(), 1, 0, 1, 0), -1);

  for (int32_t budget = 0; budget < 3; ++budget) {
    setAllocationBudget(budget);
    EXPECT_EQ(createSignatureBlock(kRunSignatureSlots), nullptr) << budget;
  }
  setAllocationBudget(-1);
  disposeSignatureBlock(nullptr);
}

}  // namespace
