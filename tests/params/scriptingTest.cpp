// scriptingTest.cpp -- the parameter exchange with a fake host's descriptor suites
#include "params/scripting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "params/signatureBlock.h"
#include "resources/filterParameters.h"
#include "tests/params/fakeDescriptorHost.h"

namespace {

struct BlockDeleter {
  void operator()(SignatureBlock* block) const { disposeSignatureBlock(block); }
};
using BlockPtr = std::unique_ptr<SignatureBlock, BlockDeleter>;

// The filter's block with the last-used values 0.5, 0.25, 0.7, 0.
BlockPtr filterBlock() {
  BlockPtr block(createSignatureBlock(kRunSignatureSlots));
  setSignatureHeader(block.get(), fourCharCode("AHEq"), 0, 0);
  addFloatParameter(block.get(), fourCharCode("AEqa"), 0, 1, 0.5f);
  addFloatParameter(block.get(), fourCharCode("AEqb"), 0, 1, 0.25f);
  addFloatParameter(block.get(), fourCharCode("AEqg"), 0, 1, 0.7f);
  addFloatParameter(block.get(), fourCharCode("AEqd"), 0, 1, 0.0f);
  return block;
}

std::vector<float> values(const SignatureBlock* block) {
  std::vector<float> out;
  for (int32_t i = 0; i < getInputCount(block); ++i) out.push_back(getFloatValue(block, i));
  return out;
}

const std::vector<float> kLastUsed = {0.5f, 0.25f, 0.7f, 0.0f};

int32_t countCalls(const char* name) {
  int32_t count = 0;
  for (const std::string& call : fakeHost().calls) count += call == name;
  return count;
}

class Scripting : public ::testing::Test {
 protected:
  void SetUp() override { host = &resetFakeHost(); }
  // Every handle the module was given or made is released exactly once; only
  // the descriptor left for the host may remain.
  void TearDown() override {
    EXPECT_EQ(host->badDisposals, 0);
    EXPECT_EQ(host->openReadTokens, 0);
    EXPECT_EQ(host->openWriteTokens, 0);
    EXPECT_EQ(liveHandleCount(), host->params.descriptor != nullptr ? 1 : 0);
  }
  bool read(SignatureBlock* block) { return readScriptingParameters(&host->record, block); }
  void write(SignatureBlock* block) {
    EXPECT_EQ(writeScriptingParameters(&host->record, block), 0);
  }
  FakeHost* host = nullptr;
};

TEST_F(Scripting, WithoutDescriptorParametersNothingIsExchanged) {
  host->record.descriptorParameters = nullptr;
  BlockPtr block = filterBlock();
  EXPECT_FALSE(read(block.get()));
  write(block.get());
  EXPECT_TRUE(host->calls.empty());
  EXPECT_EQ(values(block.get()), kLastUsed);

  // No record at all behaves the same.
  EXPECT_FALSE(readScriptingParameters(nullptr, block.get()));
  EXPECT_EQ(writeScriptingParameters(nullptr, block.get()), 0);
  EXPECT_TRUE(host->calls.empty());
}

TEST_F(Scripting, SuitesOfAnotherVersionOrTooFewProcsCountAsMissing) {
  struct Damage {
    const char* what;
    void (*apply)(FakeHost*);
  };
  const Damage damages[] = {
      {"version 1", [](FakeHost* h) { h->params.descriptorParametersVersion = 1; }},
      {"17 read procs", [](FakeHost* h) { h->readProcs.numReadDescriptorProcs = 17; }},
      {"15 write procs", [](FakeHost* h) { h->writeProcs.numWriteDescriptorProcs = 15; }},
      {"negative read version", [](FakeHost* h) { h->readProcs.readDescriptorProcsVersion = -1; }},
      {"no read suite", [](FakeHost* h) { h->params.readDescriptorProcs = nullptr; }},
      {"no write suite", [](FakeHost* h) { h->params.writeDescriptorProcs = nullptr; }},
  };
  for (const Damage& damage : damages) {
    host = &resetFakeHost();
    host->params.playInfo = plugInDialogDontDisplay;
    host->params.descriptor = makeDescriptor({floatItem("AEqa", 0.75)});
    Handle recorded = host->params.descriptor;
    damage.apply(host);
    BlockPtr block = filterBlock();
    EXPECT_FALSE(read(block.get())) << damage.what;  // the dialog is shown
    write(block.get());
    EXPECT_TRUE(host->calls.empty()) << damage.what;
    EXPECT_EQ(values(block.get()), kLastUsed) << damage.what;
    EXPECT_EQ(host->params.descriptor, recorded) << damage.what;  // left to the host
    EXPECT_EQ(host->params.recordInfo, plugInDialogNone) << damage.what;
  }
}

// One missing core proc costs only its own side: playInfo is still obeyed,
// and what can be done safely is done.
TEST_F(Scripting, AMissingCoreProcLosesOnlyItsOwnSide) {
  for (bool readSide : {true, false}) {
    SCOPED_TRACE(readSide);
    host = &resetFakeHost();
    host->params.playInfo = plugInDialogDontDisplay;
    host->params.descriptor = makeDescriptor({floatItem("AEqa", 0.75)});
    if (readSide) {
      host->readProcs.getKeyProc = nullptr;
    } else {
      host->writeProcs.closeWriteDescriptorProc = nullptr;
    }
    BlockPtr block = filterBlock();
    EXPECT_TRUE(read(block.get()));  // no dialog, as the host asked
    write(block.get());
    EXPECT_EQ(countCalls("openWriteDescriptorProc"), readSide ? 1 : 0);
    EXPECT_EQ(countCalls("openReadDescriptorProc"), readSide ? 0 : 1);
    EXPECT_EQ(getFloatValue(block.get(), 0), readSide ? 0.5f : 0.75f);
    if (readSide) {
      EXPECT_NE(host->params.descriptor, nullptr);  // the new record replaced the unread one
      EXPECT_EQ(host->params.recordInfo, plugInDialogOptional);
    } else {
      EXPECT_EQ(host->params.descriptor, nullptr);  // read and released; nothing recorded
      EXPECT_EQ(host->params.recordInfo, plugInDialogNone);
    }
  }
}

TEST_F(Scripting, ProcCountsAreReadUnsigned) {
  host->readProcs.numReadDescriptorProcs = -1;  // 65535
  host->writeProcs.numWriteDescriptorProcs = -1;
  EXPECT_TRUE(descriptorProcsAvailable(&host->params));
}

TEST_F(Scripting, HandleSuiteChecksRunInOrder) {
  HandleProcs procs = host->handleProcs;
  EXPECT_TRUE(handleProcsAvailable(&procs));
  EXPECT_FALSE(handleProcsAvailable(nullptr));
  procs.handleProcsVersion = 0;
  EXPECT_FALSE(handleProcsAvailable(&procs));
  procs.handleProcsVersion = 2;
  EXPECT_FALSE(handleProcsAvailable(&procs));
  procs = host->handleProcs;
  procs.numHandleProcs = 3;
  EXPECT_FALSE(handleProcsAvailable(&procs));
  procs = host->handleProcs;
  procs.setSizeProc = nullptr;
  EXPECT_FALSE(handleProcsAvailable(&procs));

  EXPECT_EQ(newHostHandle(nullptr, 10), nullptr);
  disposeHostHandle(nullptr, reinterpret_cast<Handle>(&procs));  // must not touch it
  Handle handle = newHostHandle(&host->handleProcs, 10);
  ASSERT_NE(handle, nullptr);
  disposeHostHandle(&host->handleProcs, handle);
  disposeHostHandle(&host->handleProcs, nullptr);
  EXPECT_EQ(host->handlesDisposed, 1);
}

TEST_F(Scripting, ReplayWithoutDialogTakesTheRecordedValue) {
  host->params.playInfo = plugInDialogDontDisplay;
  host->params.descriptor = makeDescriptor({floatItem("AEqa", 0.75)});
  BlockPtr block = filterBlock();
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(values(block.get()), (std::vector<float>{0.75f, 0.25f, 0.7f, 0.0f}));
  // The keys were listed in entry order, in the machine's byte order, closed by 0.
  EXPECT_EQ(host->keyArray,
            (std::vector<DescriptorKeyID>{fourCharCode("AEqa"), fourCharCode("AEqb"),
                                          fourCharCode("AEqg"), fourCharCode("AEqd"), 0}));
  // The reader owns the recorded descriptor once it has read it.
  EXPECT_EQ(host->params.descriptor, nullptr);
  EXPECT_EQ(host->handlesDisposed, 1);
}

TEST_F(Scripting, ValuesOutsideTheBoundsAreIgnored) {
  host->params.descriptor = makeDescriptor({
      floatItem("AEqa", 1.00000001),  // rounds to 1.0f: accepted
      floatItem("AEqb", 1.5),         // refused
      floatItem("AEqg", -0.0),        // equal to the bound 0.0: accepted
      floatItem("AEqd", std::nan("")),
  });
  BlockPtr block = filterBlock();
  EXPECT_FALSE(read(block.get()));  // playInfo 1: the dialog still opens
  EXPECT_EQ(getFloatValue(block.get(), 0), 1.0f);
  EXPECT_EQ(getFloatValue(block.get(), 1), 0.25f);
  EXPECT_EQ(getFloatValue(block.get(), 2), 0.0f);
  EXPECT_TRUE(std::signbit(getFloatValue(block.get(), 2)));
  EXPECT_EQ(getFloatValue(block.get(), 3), 0.0f);

  for (double refused : {1.0000001, -1e-30, 1e300, -1e300, HUGE_VAL, -HUGE_VAL}) {
    host = &resetFakeHost();
    host->params.playInfo = plugInDialogSilent;
    host->params.descriptor = makeDescriptor({floatItem("AEqa", refused)});
    BlockPtr again = filterBlock();
    EXPECT_TRUE(read(again.get()));
    EXPECT_EQ(getFloatValue(again.get(), 0), 0.5f) << refused;
  }
}

TEST_F(Scripting, UnknownKeysAndWrongTypesLeaveTheValues) {
  host->params.playInfo = plugInDialogSilent;
  host->params.descriptor = makeDescriptor({
      floatItem("zzzz", 0.1),
      integerItem("AEqb", 0),  // a float entry asks for a float: the host refuses
      booleanItem("AEqg", 1),
      floatItem("AEqd", 0.125),
  });
  BlockPtr block = filterBlock();
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(values(block.get()), (std::vector<float>{0.5f, 0.25f, 0.7f, 0.125f}));
  // The unknown key was passed over without fetching its value.
  EXPECT_EQ(countCalls("getKeyProc"), 5);
  EXPECT_EQ(countCalls("getFloatProc"), 3);
}

TEST_F(Scripting, AnEmptyDescriptorChangesNothingButIsReleased) {
  host->params.playInfo = plugInDialogDontDisplay;
  host->params.descriptor = makeDescriptor({});
  host->closeReadResult = -1;  // ignored
  BlockPtr block = filterBlock();
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(values(block.get()), kLastUsed);
  EXPECT_EQ(host->params.descriptor, nullptr);
}

TEST_F(Scripting, UnreadableDescriptorIsReplacedByTheWriter) {
  host->params.playInfo = plugInDialogSilent;
  host->params.descriptor = makeDescriptor({floatItem("AEqa", 0.75)});
  host->openReadGivesNull = true;
  BlockPtr block = filterBlock();
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(values(block.get()), kLastUsed);
  EXPECT_NE(host->params.descriptor, nullptr);  // nothing read, still the host's
  EXPECT_EQ(host->handlesDisposed, 0);

  write(block.get());
  EXPECT_EQ(host->handlesDisposed, 1);  // the leftover, released by the writer
  const std::vector<FakeItem>* items = descriptorItems(host->params.descriptor);
  ASSERT_NE(items, nullptr);
  EXPECT_EQ(items->size(), 4u);
}

TEST_F(Scripting, InteractiveFirstRunRecordsFourFloatsInOrder) {
  host->params.playInfo = plugInDialogDisplay;
  host->params.recordInfo = plugInDialogRequired;
  BlockPtr block = filterBlock();
  EXPECT_FALSE(read(block.get()));
  setFloatValue(block.get(), ParameterBeta, 0.375f);  // what the dialog chose
  write(block.get());

  EXPECT_EQ(host->params.recordInfo, plugInDialogOptional);
  const std::vector<FakeItem>* items = descriptorItems(host->params.descriptor);
  ASSERT_NE(items, nullptr);
  const DescriptorKeyID keys[] = {fourCharCode("AEqa"), fourCharCode("AEqb"), fourCharCode("AEqg"),
                                  fourCharCode("AEqd")};
  const double expected[] = {0.5, 0.375, double(0.7f), 0.0};
  ASSERT_EQ(items->size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ((*items)[i].key, keys[i]);
    EXPECT_EQ((*items)[i].type, fourCharCode("doub"));
    EXPECT_EQ((*items)[i].number, expected[i]);
  }

  // The next run replays what was recorded.
  const bool skip = read(filterBlock().get());
  EXPECT_FALSE(skip);
  EXPECT_EQ(host->params.descriptor, nullptr);
}

TEST_F(Scripting, BlocksWithoutInputsOnlyAnswerTheDialogQuestion) {
  BlockPtr block(createSignatureBlock(kRunSignatureSlots));
  setSignatureHeader(block.get(), fourCharCode("AHEq"), 0, 0);
  host->params.descriptor = makeDescriptor({floatItem("AEqa", 0.75)});
  host->params.playInfo = plugInDialogSilent;
  EXPECT_TRUE(read(block.get()));
  host->params.playInfo = plugInDialogDisplay;
  EXPECT_FALSE(read(block.get()));
  write(block.get());
  EXPECT_TRUE(host->calls.empty());
  EXPECT_NE(host->params.descriptor, nullptr);
  EXPECT_FALSE(readScriptingParameters(&host->record, nullptr));
}

// The generic kinds: integers with signed bounds, unit and radio enumerations
// with unsigned bounds, booleans sign-extended, texts through host handles.
TEST_F(Scripting, EveryEntryTypeTravelsBothWays) {
  BlockPtr block(createSignatureBlock(kRunSignatureSlots));
  setSignatureHeader(block.get(), fourCharCode("gnrc"), 0, 0);
  addParameter(block.get(), fourCharCode("cnt "), kTypeLong, uint32_t(-10), 10, 3);
  addParameter(block.get(), kUnitsKey, kTypeLong, 1, 0x80000000u, 2);
  addParameter(block.get(), fourCharCode("flag"), kTypeBoolean, 0, 0, 0);
  addParameter(block.get(), fourCharCode("path"), kTypeText, 0, 0, 0);
  addParameter(block.get(), fourCharCode("mode"), fourCharCode("rB07"), 0, 4, 1);
  addParameter(block.get(), fourCharCode("othr"), fourCharCode("abcd"), 0, 4, 1);
  addParameter(block.get(), fourCharCode("cnt2"), kTypeLong, uint32_t(-10), 10, 3);

  host->params.playInfo = plugInDialogDontDisplay;
  host->params.descriptor = makeDescriptor({
      integerItem("cnt ", -7),
      enumItem("unCd", 0x80000000u),  // above INT32_MAX, within the unsigned bounds
      booleanItem("flag", 0xFF),
      textItem("path", {3, 'a', 'b', 'c', 0}),
      enumItem("mode", 0xFFFFFFFFu),  // -1 signed, refused unsigned
      enumItem("othr", 2),            // unknown type: not fetched
      integerItem("cnt2", 11),
  });
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(getLongValue(block.get(), 0), -7);
  EXPECT_EQ(uint32_t(getLongValue(block.get(), 1)), 0x80000000u);
  EXPECT_EQ(getLongValue(block.get(), 2), -1);
  ASSERT_NE(getTextValue(block.get(), 3), nullptr);
  EXPECT_EQ(std::memcmp(getTextValue(block.get(), 3), "\3abc", 5), 0);
  EXPECT_EQ(getLongValue(block.get(), 4), 1);
  EXPECT_EQ(getLongValue(block.get(), 5), 1);
  EXPECT_EQ(getLongValue(block.get(), 6), 3);
  EXPECT_EQ(countCalls("getEnumeratedProc"), 2);

  write(block.get());
  const std::vector<FakeItem>* items = descriptorItems(host->params.descriptor);
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->size(), 7u);
  EXPECT_EQ((*items)[0].integer, -7);
  EXPECT_EQ((*items)[1].key, kUnitsKey);
  EXPECT_EQ((*items)[1].enumType, kUnitsEnumType);
  EXPECT_EQ(uint32_t((*items)[1].integer), 0x80000000u);
  EXPECT_EQ((*items)[2].boolean, 1);
  ASSERT_EQ((*items)[3].text.size(), 514u);
  EXPECT_EQ(std::memcmp((*items)[3].text.data(), "\3abc", 5), 0);
  EXPECT_EQ((*items)[4].enumType, fourCharCode("rB07"));
  EXPECT_EQ((*items)[5].enumType, fourCharCode("abcd"));
  EXPECT_EQ((*items)[6].integer, 3);
}

TEST_F(Scripting, WithoutHandleSuiteNothingCrashesOrIsReadBlindly) {
  host->record.handleProcs = nullptr;
  BlockPtr block(createSignatureBlock(kRunSignatureSlots));
  setSignatureHeader(block.get(), fourCharCode("gnrc"), 0, 0);
  addParameter(block.get(), fourCharCode("path"), kTypeText, 0, 0, 0);
  addFloatParameter(block.get(), fourCharCode("AEqa"), 0, 1, 0.5f);
  host->params.playInfo = plugInDialogDontDisplay;
  host->params.descriptor =
      makeDescriptor({textItem("path", {2, 'h', 'i', 0}), floatItem("AEqa", 1)});
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(getTextValue(block.get(), 0), nullptr);  // unmeasurable: passed over
  EXPECT_EQ(getFloatValue(block.get(), 1), 1.0f);
  EXPECT_EQ(host->params.descriptor, nullptr);
  write(block.get());
  const std::vector<FakeItem>* items = descriptorItems(host->params.descriptor);
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->size(), 1u);  // the text needs a handle; only the float is recorded
  // Without the suite the module cannot release the recorded descriptor or
  // the text handle; they stay with the host, which cleans up here.
  std::vector<Handle> leftovers;
  for (const auto& entry : host->live) {
    if (entry.first != host->params.descriptor) leftovers.push_back(entry.first);
  }
  EXPECT_EQ(leftovers.size(), 2u);
  for (Handle handle : leftovers) host->handleProcs.disposeProc(handle);
}

TEST_F(Scripting, AHostThatNeverStopsDeliveringKeysIsCutOff) {
  host->params.playInfo = plugInDialogSilent;
  host->params.descriptor = makeDescriptor({floatItem("AEqa", 0.75)});
  host->endlessKeys = 1 << 30;
  BlockPtr block = filterBlock();
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(getFloatValue(block.get(), 0), 0.75f);
  EXPECT_EQ(countCalls("getKeyProc"), kMaxDeliveredKeys);
}

TEST_F(Scripting, MoreInputsThanListedKeysAreStillMatched) {
  BlockPtr block(createSignatureBlock(30));
  setSignatureHeader(block.get(), fourCharCode("many"), 0, 0);
  for (int32_t i = 0; i < 25; ++i) {
    addFloatParameter(block.get(), fourCharCode("ky00") + uint32_t(i), 0, 1, 0);
  }
  host->params.playInfo = plugInDialogSilent;
  FakeItem last = floatItem("ky00", 0.5);
  last.key += 24;
  host->params.descriptor = makeDescriptor({last});
  EXPECT_TRUE(read(block.get()));
  EXPECT_EQ(host->keyArray.size(), size_t(kMaxListedKeys + 1));
  EXPECT_EQ(host->keyArray.back(), 0u);
  EXPECT_EQ(getFloatValue(block.get(), 24), 0.5f);
}

}  // namespace
