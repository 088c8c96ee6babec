// suiteLessHostTest.cpp -- hosts whose record stops short of the suites, run at the build's pointer
// size
#include "core/hostErrors.h"
#include "tests/support/hostFixture.h"

namespace {

class SuiteLessHostTest : public HostTest {};

// A record with the handle and buffer suites left null (as from a host that
// filled only the front of the record) filters as one with them, and no dialog
// waits: the descriptor suites still say not to show it. The 64-bit build runs
// this with its own record layout.
TEST_F(SuiteLessHostTest, NoHandleOrBufferSuiteFiltersAsWithThem) {
  for (const int32_t depth : {8, 16}) {
    SCOPED_TRACE(depth);
    const HostImage original = makeNoiseImage(23, 7, depth, plugInModeRGBColor, 4, 17);
    HostRunOptions options;
    options.playInfo = plugInDialogDontDisplay;

    HostImage withSuites = original;
    HostRunResult result;
    runFilter(&session_, &withSuites, options, &result);
    ASSERT_EQ(result.result, noErr) << result.hostError;

    options.offerHandleProcs = false;
    HostImage withoutSuites = original;
    runFilter(&session_, &withoutSuites, options, &result);
    EXPECT_EQ(result.result, noErr) << result.hostError;
    EXPECT_TRUE(result.hostError.empty()) << result.hostError;
    EXPECT_EQ(withoutSuites.data, withSuites.data);
  }
}

// Neither suite, nor descriptor parameters, nor a parameters handle: each
// selector answers with a code of its own and the module stays callable.
TEST_F(SuiteLessHostTest, BareRecordWithNullSuitesGivesCodes) {
  FilterRecord record{};
  record.planes = 1;
  record.imageMode = plugInModeGray16;
  record.depth = 16;
  record.filterRect = Rect{0, 0, 0, 5};  // nothing to filter: no dialog, no rows
  EXPECT_EQ(callSelector(&session_, filterSelectorParameters, &record), noErr);
  session_.parameters = record.parameters;  // the host keeps it, and releases it at the end
  EXPECT_EQ(callSelector(&session_, filterSelectorPrepare, &record), noErr);
  EXPECT_EQ(callSelector(&session_, filterSelectorStart, &record), noErr);
  EXPECT_EQ(callSelector(&session_, filterSelectorContinue, &record), noErr);
  EXPECT_EQ(callSelector(&session_, filterSelectorFinish, &record), noErr);
  EXPECT_EQ(callSelector(&session_, int16_t(77), &record), filterBadParameters);
}

}  // namespace
