// fakeDescriptorHost.h -- a small in-test host: handle suite and descriptor suites over item lists
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/hostInterface.h"

// One recorded value. The get procs deliver it only as its own kind:
// "doub" as a float, "long" as an integer, "bool" as a boolean, "TEXT" as a
// text handle, anything else as an enumeration; a mismatch fails with -1700
// and leaves the caller's value alone.
struct FakeItem {
  DescriptorKeyID key = 0;
  DescriptorTypeID type = 0;
  double number = 0;
  int32_t integer = 0;
  Boolean boolean = 0;
  std::vector<uint8_t> text;
  DescriptorTypeID enumType = 0;  // written enumerations only
};

FakeItem floatItem(const char (&key)[5], double value);
FakeItem integerItem(const char (&key)[5], int32_t value);
FakeItem booleanItem(const char (&key)[5], Boolean value);
FakeItem textItem(const char (&key)[5], std::vector<uint8_t> bytes);
FakeItem enumItem(const char (&key)[5], uint32_t value);

// The host's records and suites, wired to one another, plus what it saw.
// There is one at a time: the host's procs carry no context of their own.
struct FakeHost {
  HandleProcs handleProcs{};
  ReadDescriptorProcs readProcs{};
  WriteDescriptorProcs writeProcs{};
  PIDescriptorParameters params{};
  FilterRecord record{};

  // Behaviour.
  bool openReadGivesNull = false;
  OSErr closeReadResult = 0;
  bool openWriteGivesNull = false;
  int32_t endlessKeys = 0;  // getKeyProc repeats the last item this many extra times

  // Observations.
  std::vector<std::string> calls;         // proc names in call order
  std::vector<DescriptorKeyID> keyArray;  // as handed to openReadDescriptorProc
  int32_t handlesMade = 0;
  int32_t handlesDisposed = 0;
  int32_t badDisposals = 0;  // handles disposed twice or never made here
  int32_t openReadTokens = 0;
  int32_t openWriteTokens = 0;

  struct HandleBlock {
    char* data;
    int32_t size;
    std::vector<char> bytes;
  };
  std::map<Handle, std::unique_ptr<HandleBlock>> live;
  std::map<Handle, std::vector<FakeItem>> descriptors;
};

// Resets the one host: full suites, playInfo 1, no descriptor.
FakeHost& resetFakeHost();
FakeHost& fakeHost();

// A host handle of the given bytes (counted like every handle of the host).
Handle makeHostHandle(const std::vector<uint8_t>& bytes);
// A descriptor handle holding items, as a recorded run leaves it.
Handle makeDescriptor(const std::vector<FakeItem>& items);
// The items of a descriptor handle the host holds, or null.
const std::vector<FakeItem>* descriptorItems(Handle descriptor);
// Handles made and not yet disposed.
int32_t liveHandleCount();
