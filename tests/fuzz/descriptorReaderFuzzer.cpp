// descriptorReaderFuzzer.cpp -- the scripting exchange against hostile suites and descriptors
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "params/scripting.h"
#include "params/signatureBlock.h"
#include "tests/params/fakeDescriptorHost.h"

namespace {

// Mostly the sound value, now and then anything: deep paths need sane suites.
template <typename T>
T mostly(FuzzedDataProvider* in, T sound) {
  return in->ConsumeIntegralInRange<int>(0, 7) == 0 ? in->ConsumeIntegral<T>() : sound;
}

// Keys and types drawn from small pools so that block and descriptor meet.
DescriptorKeyID pickKey(FuzzedDataProvider* in) {
  static const DescriptorKeyID keys[] = {fourCharCode("AEqa"),
                                         fourCharCode("AEqb"),
                                         fourCharCode("AEqg"),
                                         fourCharCode("AEqd"),
                                         fourCharCode("unCd"),
                                         fourCharCode("path"),
                                         0};
  const size_t pick = in->ConsumeIntegralInRange<size_t>(0, sizeof keys / sizeof keys[0]);
  return pick < sizeof keys / sizeof keys[0] ? keys[pick] : in->ConsumeIntegral<uint32_t>();
}

DescriptorTypeID pickType(FuzzedDataProvider* in, bool entry) {
  static const DescriptorTypeID entryTypes[] = {fourCharCode("doub"), fourCharCode("long"),
                                                fourCharCode("bool"), fourCharCode("Pth "),
                                                fourCharCode("rB01"), fourCharCode("abcd")};
  static const DescriptorTypeID itemTypes[] = {fourCharCode("doub"), fourCharCode("long"),
                                               fourCharCode("bool"), fourCharCode("TEXT"),
                                               fourCharCode("enum")};
  const DescriptorTypeID* pool = entry ? entryTypes : itemTypes;
  const size_t count = entry ? 6 : 5;
  const size_t pick = in->ConsumeIntegralInRange<size_t>(0, count);
  return pick < count ? pool[pick] : in->ConsumeIntegral<uint32_t>();
}

float bitsFloat(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void nullSomeProcs(FuzzedDataProvider* in, FakeHost* host) {
  if (in->ConsumeIntegralInRange<int>(0, 15) != 0) return;
  ReadDescriptorProcs& r = host->readProcs;
  WriteDescriptorProcs& w = host->writeProcs;
  if (in->ConsumeBool()) r.openReadDescriptorProc = nullptr;
  if (in->ConsumeBool()) r.getFloatProc = nullptr;
  if (in->ConsumeBool()) r.getTextProc = nullptr;
  if (in->ConsumeBool()) r.getEnumeratedProc = nullptr;
  if (in->ConsumeBool()) w.putTextProc = nullptr;
  if (in->ConsumeBool()) w.putFloatProc = nullptr;
  if (in->ConsumeBool()) w.closeWriteDescriptorProc = nullptr;
  if (in->ConsumeBool()) host->handleProcs.getSizeProc = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FakeHost& host = resetFakeHost();

  // Suites: versions, proc counts, missing pieces.
  host.params.descriptorParametersVersion = mostly<int16_t>(&in, 0);
  host.readProcs.readDescriptorProcsVersion = mostly<int16_t>(&in, 0);
  host.readProcs.numReadDescriptorProcs = mostly<int16_t>(&in, 18);
  host.writeProcs.writeDescriptorProcsVersion = mostly<int16_t>(&in, 0);
  host.writeProcs.numWriteDescriptorProcs = mostly<int16_t>(&in, 16);
  host.handleProcs.handleProcsVersion = mostly<int16_t>(&in, 1);
  host.handleProcs.numHandleProcs = mostly<int16_t>(&in, 8);
  host.params.playInfo = mostly<int16_t>(&in, in.ConsumeIntegralInRange<int16_t>(0, 2));
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) host.record.handleProcs = nullptr;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) host.record.descriptorParameters = nullptr;
  nullSomeProcs(&in, &host);
  host.openReadGivesNull = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  host.openWriteGivesNull = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  host.closeReadResult = in.ConsumeIntegral<int16_t>();
  host.endlessKeys = in.ConsumeIntegralInRange<int32_t>(0, 3);

  // The block: any mix of entry types, bounds and values.
  const int32_t slots = in.ConsumeIntegralInRange<int32_t>(2, 30);
  SignatureBlock* block = createSignatureBlock(slots);
  if (block == nullptr) __builtin_trap();
  setSignatureHeader(block, fourCharCode("fuzz"), 0, 0);
  const int32_t entries = in.ConsumeIntegralInRange<int32_t>(0, slots - 2);
  for (int32_t i = 0; i < entries; ++i) {
    const DescriptorKeyID key = pickKey(&in);
    const DescriptorTypeID type = pickType(&in, true);
    const bool unitRange = in.ConsumeBool();
    const uint32_t min = unitRange ? 0u : in.ConsumeIntegral<uint32_t>();
    const uint32_t max = unitRange ? 0x3F800000u : in.ConsumeIntegral<uint32_t>();
    const uint32_t value = in.ConsumeIntegral<uint32_t>();
    if (addParameter(block, key, type, min, max, value) != i) __builtin_trap();
    if (type == kTypeText && in.ConsumeBool()) {
      // Any bytes: the length byte need not match what follows.
      std::vector<uint8_t> text = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 40));
      setTextValueBounded(block, i, text.data(), int32_t(text.size()));
    }
  }
  std::vector<uint32_t> before;
  for (int32_t i = 0; i < entries; ++i) before.push_back(uint32_t(getLongValue(block, i)));

  // The recorded descriptor.
  if (in.ConsumeIntegralInRange<int>(0, 7) != 0) {
    std::vector<FakeItem> items;
    const int32_t count = in.ConsumeIntegralInRange<int32_t>(0, 40);
    for (int32_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
      FakeItem item;
      item.key = pickKey(&in);
      item.type = pickType(&in, false);
      const uint64_t bits = in.ConsumeIntegral<uint64_t>();
      std::memcpy(&item.number, &bits, sizeof item.number);
      item.integer = in.ConsumeIntegral<int32_t>();
      item.boolean = in.ConsumeIntegral<uint8_t>();
      item.text = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 600));
      items.push_back(item);
    }
    host.params.descriptor = makeDescriptor(items);
  }

  (void)readScriptingParameters(&host.record, block);

  // A float entry either kept its value or took one within its bounds.
  for (int32_t i = 0; i < entries; ++i) {
    if (getEntryType(block, i) != kTypeFloat) continue;
    if (uint32_t(getLongValue(block, i)) == before[size_t(i)]) continue;
    const float value = getFloatValue(block, i);
    if (!(value >= getFloatMin(block, i) && value <= getFloatMax(block, i))) __builtin_trap();
  }
  for (int32_t i = 0; i < entries && in.ConsumeBool(); ++i) {
    setFloatValue(block, i, bitsFloat(in.ConsumeIntegral<uint32_t>()));
  }
  (void)writeScriptingParameters(&host.record, block);
  disposeSignatureBlock(block);

  // Handle ownership: no double release ever; with a usable handle suite
  // nothing is left but the descriptor handed to the host.
  if (host.badDisposals != 0) __builtin_trap();
  if (host.openReadTokens != 0 || host.openWriteTokens != 0) __builtin_trap();
  if (handleProcsAvailable(host.record.handleProcs)) {
    const int32_t expected = host.params.descriptor != nullptr ? 1 : 0;
    if (liveHandleCount() != expected) __builtin_trap();
  }
  return 0;
}
