// entryTest.cpp -- the export's selector protocol, called directly with a bare record
#include <cstring>
#include <vector>

#include "core/hostErrors.h"
#include "tests/support/hostFixture.h"

namespace {

class EntryTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::memset(&record_, 0, sizeof record_);
    record_.planes = 3;
    record_.imageMode = plugInModeRGBColor;
    record_.filterRect = Rect{2, 3, 12, 23};
    record_.depth = 8;
  }
  int16_t call(int16_t selector) { return callSelector(&session_, selector, &record_); }

  FilterRecord record_;
};

TEST_F(EntryTest, FirstCallCreatesTheGlobalsAndLaterCallsFindThem) {
  EXPECT_EQ(call(filterSelectorAbout), noErr);
  const intptr data = session_.data;
  EXPECT_NE(data, 0);
  EXPECT_EQ(call(filterSelectorPrepare), noErr);
  EXPECT_EQ(session_.data, data);
}

TEST_F(EntryTest, UnknownSelectorsAreRefusedAndKeepTheRecord) {
  EXPECT_EQ(call(filterSelectorPrepare), noErr);
  const intptr data = session_.data;
  EXPECT_EQ(call(6), filterBadParameters);
  EXPECT_EQ(call(-1), filterBadParameters);
  EXPECT_EQ(call(32767), filterBadParameters);
  EXPECT_EQ(session_.data, data);
  EXPECT_EQ(call(filterSelectorPrepare), noErr);
}

TEST_F(EntryTest, ParametersHandleIsMadeOnceAndOnlyItsSecondValueRewritten) {
  ASSERT_EQ(call(filterSelectorParameters), noErr);
  ASSERT_NE(record_.parameters, nullptr);
  int16_t* values = reinterpret_cast<int16_t*>(*record_.parameters);
  EXPECT_EQ(values[0], 50);
  EXPECT_EQ(values[1], 1);
  values[0] = 7;
  values[1] = 0;
  const Handle first = record_.parameters;
  ASSERT_EQ(call(filterSelectorParameters), noErr);
  EXPECT_EQ(record_.parameters, first);
  EXPECT_EQ(values[0], 7);
  EXPECT_EQ(values[1], 1);
  session_.parameters = record_.parameters;  // the host keeps it
}

// A host handle whose data block is gone (purged) has nowhere to take the values.
TEST_F(EntryTest, ParametersHandleWithoutDataIsLeftAlone) {
  char* noData = nullptr;
  record_.parameters = &noData;
  EXPECT_EQ(call(filterSelectorParameters), noErr);
  EXPECT_EQ(record_.parameters, &noData);
  EXPECT_EQ(noData, nullptr);
  record_.parameters = nullptr;
}

TEST_F(EntryTest, PrepareAsksForSmallBufferSpace) {
  ASSERT_EQ(call(filterSelectorPrepare), noErr);
  EXPECT_EQ(record_.bufferSpace, 8192);
}

TEST_F(EntryTest, StartRequestsTheFirstFullRowOnAllPlanes) {
  record_.maskRect = Rect{9, 9, 9, 9};
  ASSERT_EQ(call(filterSelectorStart), noErr);
  EXPECT_EQ(record_.inRect.top, 2);
  EXPECT_EQ(record_.inRect.bottom, 3);
  EXPECT_EQ(record_.inRect.left, 3);
  EXPECT_EQ(record_.inRect.right, 23);
  EXPECT_EQ(std::memcmp(&record_.outRect, &record_.inRect, sizeof(Rect)), 0);
  EXPECT_EQ(record_.inLoPlane, 0);
  EXPECT_EQ(record_.inHiPlane, 2);
  EXPECT_EQ(record_.outHiPlane, 2);
  // Without a mask the mask rectangle is not touched.
  EXPECT_EQ(record_.maskRect.top, 9);
  EXPECT_EQ(record_.maskRect.right, 9);
  EXPECT_EQ(call(filterSelectorFinish), noErr);
}

TEST_F(EntryTest, StartWithAMaskRequestsTheFirstMaskRow) {
  record_.haveMask = 1;
  ASSERT_EQ(call(filterSelectorStart), noErr);
  EXPECT_EQ(record_.maskRect.top, 2);
  EXPECT_EQ(record_.maskRect.bottom, 3);
  EXPECT_EQ(record_.maskRect.left, 3);
  EXPECT_EQ(record_.maskRect.right, 23);
  EXPECT_EQ(call(filterSelectorFinish), noErr);
}

TEST_F(EntryTest, OneRowAreaIsRequestedWhole) {
  record_.filterRect = Rect{4, 0, 5, 30};
  ASSERT_EQ(call(filterSelectorStart), noErr);
  EXPECT_EQ(std::memcmp(&record_.inRect, &record_.filterRect, sizeof(Rect)), 0);
  EXPECT_EQ(std::memcmp(&record_.outRect, &record_.filterRect, sizeof(Rect)), 0);
  EXPECT_EQ(call(filterSelectorFinish), noErr);
}

TEST_F(EntryTest, HostileRecordsGiveCodesNotCrashes) {
  // Fewer planes than colour channels.
  record_.planes = 2;
  EXPECT_EQ(call(filterSelectorStart), filterBadMode);
  // An empty area asks for nothing.
  record_.planes = 3;
  record_.filterRect = Rect{5, 5, 5, 40};
  EXPECT_EQ(call(filterSelectorStart), noErr);
  EXPECT_EQ(record_.inRect.bottom - record_.inRect.top, 0);
  EXPECT_EQ(record_.outRect.bottom - record_.outRect.top, 0);
  EXPECT_EQ(call(filterSelectorContinue), noErr);
  // No record at all.
  EXPECT_EQ(callSelector(&session_, filterSelectorStart, nullptr), filterBadParameters);
  // No places for the data or the result.
  int16_t result = 0;
  session_.module.entry(filterSelectorPrepare, &record_, nullptr, &result);
  session_.module.entry(filterSelectorPrepare, &record_, &session_.data, nullptr);
  EXPECT_EQ(call(filterSelectorFinish), noErr);
}

// The row buffer is sized at start; a host that widens the area or adds planes
// afterwards would have the extra planes gathered past its end.
TEST_F(EntryTest, AreaWidenedOrPlanesAddedAfterStartAreRefused) {
  std::vector<uint8_t> row(size_t(2000) * 8, 7);
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    record_.planes = 4;  // RGB and transparency: the extra plane goes through the buffer
    record_.filterRect = Rect{2, 3, 12, 23};
    ASSERT_EQ(call(filterSelectorStart), noErr);
    if (pass == 0) {
      record_.filterRect.right = 2003;
    } else {
      record_.planes = 8;
    }
    record_.inData = row.data();
    record_.outData = row.data();
    EXPECT_EQ(call(filterSelectorContinue), filterBadParameters);
    EXPECT_EQ(call(filterSelectorFinish), noErr);
  }
  EXPECT_FALSE(anyStoreFileLeft());
}

TEST_F(EntryTest, NoMemoryForTheGlobalsLeavesTheSlotEmptyAndRetries) {
  loadTestBuild();
  setTestEnvironment("BRISEL_ALLOC_BUDGET", "0");
  EXPECT_EQ(call(filterSelectorPrepare), memFullErr);
  EXPECT_EQ(session_.data, 0);
  setTestEnvironment("BRISEL_ALLOC_BUDGET", "1");  // the master block, not the data
  EXPECT_EQ(call(filterSelectorPrepare), memFullErr);
  EXPECT_EQ(session_.data, 0);
  setTestEnvironment("BRISEL_ALLOC_BUDGET", nullptr);
  EXPECT_EQ(call(filterSelectorPrepare), noErr);
  EXPECT_NE(session_.data, 0);
}

TEST_F(EntryTest, NoMemoryForTheParametersHandle) {
  loadTestBuild();
  ASSERT_EQ(call(filterSelectorPrepare), noErr);  // globals exist
  setTestEnvironment("BRISEL_ALLOC_BUDGET", "1");
  EXPECT_EQ(call(filterSelectorParameters), memFullErr);
  EXPECT_EQ(record_.parameters, nullptr);
  setTestEnvironment("BRISEL_ALLOC_BUDGET", nullptr);
}

}  // namespace
