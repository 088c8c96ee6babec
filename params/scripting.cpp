// scripting.cpp -- the parameters exchanged with the host's scripting descriptors
#include "params/scripting.h"

#include <cfloat>
#include <cmath>

#include "core/hostErrors.h"
#include "params/signatureBlock.h"
#include "params/textFormat.h"

namespace {

// A "Pth " value travels in a host handle of this size.
constexpr int32_t kTextHandleBytes = 514;
// Full suites as the host publishes them.
constexpr uint16_t kReadProcCount = 18;
constexpr uint16_t kWriteProcCount = 16;

// Halfway between the largest float and 2^128: doubles from here on round to
// infinity. Below it the conversion rounds to nearest without leaving the
// float range.
constexpr double kFloatOverflow = double(FLT_MAX) + 0x1p103;

float toNearestFloat(double value) {
  if (value >= kFloatOverflow) return INFINITY;
  if (value <= -kFloatOverflow) return -INFINITY;
  return float(value);  // NaN stays NaN
}

struct ScriptingSuites {
  PIDescriptorParameters* params;
  const HandleProcs* procs;
};

ScriptingSuites suitesOf(const FilterRecord* record) {
  if (record == nullptr) return {nullptr, nullptr};
  return {record->descriptorParameters, record->handleProcs};
}

// Input entries that lie within the block's slots.
int32_t inputEntries(const SignatureBlock* block) {
  if (block == nullptr) return 0;
  const int32_t inputs = getInputCount(block);
  const int32_t slots = block->slotCount - kSignatureHeaderBytes / kSignatureSlotBytes;
  if (inputs <= 0) return 0;
  return inputs < slots ? inputs : slots;
}

// Fetches the value of the key just delivered and stores it in entry i when it
// passes the entry's bounds. Every local starts as the entry's own value, so a
// get proc that fails without writing leaves the entry as it was.
void readRecordedValue(const ReadDescriptorProcs* read, const HandleProcs* procs,
                       PIReadDescriptor token, SignatureBlock* block, int32_t i) {
  const DescriptorTypeID type = getEntryType(block, i);
  if (type == kTypeFloat) {
    if (read->getFloatProc == nullptr) return;
    double recorded = getFloatValue(block, i);
    (void)read->getFloatProc(token, &recorded);
    // Compared as floats after rounding: 1.00000001 becomes 1.0 and passes a
    // bound of 1.0, -0.0 equals a bound of 0.0, NaN fails both comparisons.
    const float value = toNearestFloat(recorded);
    if (value >= getFloatMin(block, i) && value <= getFloatMax(block, i)) {
      setFloatValue(block, i, value);
    }
  } else if (type == kTypeLong && getEntryKey(block, i) == kUnitsKey) {
    if (read->getEnumeratedProc == nullptr) return;
    DescriptorEnumID recorded = uint32_t(getLongValue(block, i));
    (void)read->getEnumeratedProc(token, &recorded);
    if (uint32_t(getLongMin(block, i)) <= recorded && recorded <= uint32_t(getLongMax(block, i))) {
      setLongValue(block, i, int32_t(recorded));
    }
  } else if (type == kTypeLong) {
    if (read->getIntegerProc == nullptr) return;
    int32_t recorded = getLongValue(block, i);
    (void)read->getIntegerProc(token, &recorded);
    if (getLongMin(block, i) <= recorded && recorded <= getLongMax(block, i)) {
      setLongValue(block, i, recorded);
    }
  } else if (type == kTypeBoolean) {
    if (read->getBooleanProc == nullptr) return;
    Boolean recorded = Boolean(getBooleanValue(block, i));
    (void)read->getBooleanProc(token, &recorded);
    setLongValue(block, i, int32_t(int8_t(recorded)));  // sign-extended, no bounds
  } else if (type == kTypeText) {
    if (read->getTextProc == nullptr) return;
    Handle recorded = nullptr;
    (void)read->getTextProc(token, &recorded);
    if (recorded == nullptr) return;
    // Without the handle suite the text can be neither measured nor released:
    // it is passed over rather than read to an unknown end.
    if (!handleProcsAvailable(procs)) return;
    if (*recorded != nullptr) {
      setTextValueBounded(block, i, reinterpret_cast<const uint8_t*>(*recorded),
                          procs->getSizeProc(recorded));
    }
    disposeHostHandle(procs, recorded);
  } else if (isRadioType(type)) {
    if (read->getEnumeratedProc == nullptr) return;
    DescriptorEnumID recorded = uint32_t(getLongValue(block, i));
    (void)read->getEnumeratedProc(token, &recorded);
    if (uint32_t(getLongMin(block, i)) <= recorded && recorded <= uint32_t(getLongMax(block, i))) {
      setLongValue(block, i, int32_t(recorded));
    }
  }
  // Any other type: nothing is fetched.
}

void writeEntryValue(const WriteDescriptorProcs* write, const HandleProcs* procs,
                     PIWriteDescriptor token, const SignatureBlock* block, int32_t i) {
  const DescriptorKeyID key = getEntryKey(block, i);
  const DescriptorTypeID type = getEntryType(block, i);
  if (type == kTypeFloat) {
    if (write->putFloatProc == nullptr) return;
    const double value = getFloatValue(block, i);
    (void)write->putFloatProc(token, key, &value);
  } else if (type == kTypeLong && key == kUnitsKey) {
    if (write->putEnumeratedProc == nullptr) return;
    (void)write->putEnumeratedProc(token, kUnitsKey, kUnitsEnumType,
                                   uint32_t(getLongValue(block, i)));
  } else if (type == kTypeLong) {
    if (write->putIntegerProc == nullptr) return;
    (void)write->putIntegerProc(token, key, getLongValue(block, i));
  } else if (type == kTypeBoolean) {
    if (write->putBooleanProc == nullptr) return;
    (void)write->putBooleanProc(token, key, Boolean(getBooleanValue(block, i)));
  } else if (type == kTypeText) {
    if (write->putTextProc == nullptr) return;
    // The text travels in a host handle; without one the entry is not recorded.
    Handle text = newHostHandle(procs, kTextHandleBytes);
    if (text == nullptr) return;
    if (*text != nullptr) {
      copyBoundedText(reinterpret_cast<const char*>(getTextValue(block, i)), *text,
                      kTextHandleBytes);
      (void)write->putTextProc(token, key, text);
    }
    disposeHostHandle(procs, text);
  } else {
    if (write->putEnumeratedProc == nullptr) return;
    (void)write->putEnumeratedProc(token, key, type, uint32_t(getLongValue(block, i)));
  }
}

}  // namespace

bool handleProcsAvailable(const HandleProcs* procs) {
  if (procs == nullptr) return false;
  if (procs->handleProcsVersion < 1) return false;
  if (procs->handleProcsVersion > 1) return false;
  if (procs->numHandleProcs < 4) return false;
  return procs->newProc != nullptr && procs->disposeProc != nullptr &&
         procs->getSizeProc != nullptr && procs->setSizeProc != nullptr;
}

namespace {

// The record and both suites as published: version 0 and the full proc
// counts. A host that passes this answers playInfo truthfully.
bool descriptorSuitesPublished(const PIDescriptorParameters* params) {
  if (params == nullptr) return false;
  if (params->descriptorParametersVersion != 0) return false;
  const ReadDescriptorProcs* read = params->readDescriptorProcs;
  const WriteDescriptorProcs* write = params->writeDescriptorProcs;
  if (read == nullptr || write == nullptr) return false;
  if (read->readDescriptorProcsVersion < 0 ||
      uint16_t(read->numReadDescriptorProcs) < kReadProcCount) {
    return false;
  }
  return write->writeDescriptorProcsVersion >= 0 &&
         uint16_t(write->numWriteDescriptorProcs) >= kWriteProcCount;
}

// The counts promise these; a host that still leaves one out loses only the
// side that needs it (a token opened must be closed), never the other. The get
// and put procs are checked where they are used.
bool readingPossible(const PIDescriptorParameters* params) {
  const ReadDescriptorProcs* read = params->readDescriptorProcs;
  return read->openReadDescriptorProc != nullptr && read->closeReadDescriptorProc != nullptr &&
         read->getKeyProc != nullptr;
}

bool writingPossible(const PIDescriptorParameters* params) {
  const WriteDescriptorProcs* write = params->writeDescriptorProcs;
  return write->openWriteDescriptorProc != nullptr && write->closeWriteDescriptorProc != nullptr;
}

}  // namespace

bool descriptorProcsAvailable(const PIDescriptorParameters* params) {
  return descriptorSuitesPublished(params) && readingPossible(params) && writingPossible(params);
}

Handle newHostHandle(const HandleProcs* procs, int32_t size) {
  if (!handleProcsAvailable(procs)) return nullptr;
  return procs->newProc(size);
}

void disposeHostHandle(const HandleProcs* procs, Handle handle) {
  if (handle == nullptr || !handleProcsAvailable(procs)) return;
  procs->disposeProc(handle);
}

OSErr closeDescriptorReader(PIDescriptorParameters* params, const HandleProcs* procs,
                            PIReadDescriptor* token) {
  if (params == nullptr || token == nullptr) return noErr;
  const ReadDescriptorProcs* read = params->readDescriptorProcs;
  OSErr err = noErr;
  if (*token != nullptr && read != nullptr && read->closeReadDescriptorProc != nullptr) {
    err = read->closeReadDescriptorProc(*token);
  }
  // The recorded descriptor has been read: it is the module's to release.
  disposeHostHandle(procs, params->descriptor);
  params->descriptor = nullptr;
  *token = nullptr;
  return err;
}

OSErr closeDescriptorWriter(PIDescriptorParameters* params, const HandleProcs* procs,
                            PIWriteDescriptor* token) {
  if (params == nullptr || token == nullptr) return noErr;
  // A descriptor nobody read is replaced by the new one.
  if (params->descriptor != nullptr) {
    disposeHostHandle(procs, params->descriptor);
    params->descriptor = nullptr;
  }
  Handle recorded = nullptr;
  const WriteDescriptorProcs* write = params->writeDescriptorProcs;
  if (*token != nullptr && write != nullptr && write->closeWriteDescriptorProc != nullptr) {
    (void)write->closeWriteDescriptorProc(*token, &recorded);
  }
  params->descriptor = recorded;
  params->recordInfo = plugInDialogOptional;
  *token = nullptr;
  return noErr;
}

bool dialogRequested(const PIDescriptorParameters* params) {
  return params != nullptr && params->playInfo == plugInDialogDisplay;
}

bool readScriptingParameters(const FilterRecord* record, SignatureBlock* block) {
  const ScriptingSuites suites = suitesOf(record);
  PIDescriptorParameters* params = suites.params;
  const int32_t inputs = inputEntries(block);
  if (inputs == 0) return descriptorSuitesPublished(params) && !dialogRequested(params);

  // The keys the module expects, in entry order, in the machine's byte order,
  // closed by 0.
  DescriptorKeyID keyArray[kMaxListedKeys + 1];
  const int32_t listed = inputs < kMaxListedKeys ? inputs : kMaxListedKeys;
  for (int32_t i = 0; i < listed; ++i) keyArray[i] = getEntryKey(block, i);
  keyArray[listed] = 0;

  if (!descriptorSuitesPublished(params)) return false;
  // Without its read procs the descriptor cannot be read, but the host's
  // playInfo still says whether it wants the dialog.
  if (!readingPossible(params)) return !dialogRequested(params);
  const ReadDescriptorProcs* read = params->readDescriptorProcs;
  PIReadDescriptor token = read->openReadDescriptorProc(params->descriptor, keyArray);
  if (token != nullptr) {
    DescriptorKeyID key = 0;
    DescriptorTypeID type = 0;
    int32_t flags = 0;
    int32_t delivered = 0;
    while (delivered < kMaxDeliveredKeys && read->getKeyProc(token, &key, &type, &flags)) {
      ++delivered;
      // A key the block does not hold is passed over without fetching its value.
      for (int32_t i = 0; i < inputs; ++i) {
        if (getEntryKey(block, i) == key) readRecordedValue(read, suites.procs, token, block, i);
      }
    }
    (void)closeDescriptorReader(params, suites.procs, &token);  // its error changes nothing
  }
  return !dialogRequested(params);
}

OSErr writeScriptingParameters(const FilterRecord* record, SignatureBlock* block) {
  const ScriptingSuites suites = suitesOf(record);
  PIDescriptorParameters* params = suites.params;
  const int32_t inputs = inputEntries(block);
  if (inputs == 0) return noErr;  // nothing to record; the host's fields stay as they are
  if (!descriptorSuitesPublished(params) || !writingPossible(params)) return noErr;
  const WriteDescriptorProcs* write = params->writeDescriptorProcs;
  PIWriteDescriptor token = write->openWriteDescriptorProc();
  if (token == nullptr) return noErr;
  for (int32_t i = 0; i < inputs; ++i) writeEntryValue(write, suites.procs, token, block, i);
  (void)closeDescriptorWriter(params, suites.procs, &token);
  return noErr;
}
