// fakeDescriptorHost.cpp -- a small in-test host: handle and descriptor suites over item lists
#include "tests/params/fakeDescriptorHost.h"

#include <utility>

namespace {

constexpr OSErr kWrongType = -1700;
constexpr OSErr kBadToken = -1701;

FakeHost* current = nullptr;

struct ReadToken {
  std::vector<FakeItem> items;
  size_t next = 0;
  const FakeItem* item = nullptr;
  int32_t repeats = 0;
};

struct WriteToken {
  std::vector<FakeItem> items;
};

Handle newHandleOf(int32_t size) {
  auto block = std::make_unique<FakeHost::HandleBlock>();
  // Exactly size bytes (one for an empty handle), so a read past them shows
  // under the address sanitizer.
  block->bytes.assign(size > 0 ? size_t(size) : 1, 0);
  block->data = block->bytes.data();
  block->size = size;
  Handle handle = &block->data;
  current->live[handle] = std::move(block);
  ++current->handlesMade;
  return handle;
}

Handle BRISEL_CDECL fakeNewHandle(int32_t size) {
  current->calls.push_back("newProc");
  if (size < 0) return nullptr;
  return newHandleOf(size);
}

void BRISEL_CDECL fakeDisposeHandle(Handle handle) {
  current->calls.push_back("disposeProc");
  auto found = current->live.find(handle);
  if (found == current->live.end()) {
    ++current->badDisposals;
    return;
  }
  current->live.erase(found);
  current->descriptors.erase(handle);
  ++current->handlesDisposed;
}

int32_t BRISEL_CDECL fakeGetSize(Handle handle) {
  auto found = current->live.find(handle);
  return found == current->live.end() ? 0 : found->second->size;
}

OSErr BRISEL_CDECL fakeSetSize(Handle, int32_t) { return -108; }

PIReadDescriptor BRISEL_CDECL fakeOpenRead(Handle descriptor, DescriptorKeyID* keyArray) {
  current->calls.push_back("openReadDescriptorProc");
  current->keyArray.clear();
  for (int32_t i = 0; keyArray != nullptr && i < 64; ++i) {
    current->keyArray.push_back(keyArray[i]);
    if (keyArray[i] == 0) break;
  }
  if (current->openReadGivesNull || descriptor == nullptr) return nullptr;
  auto found = current->descriptors.find(descriptor);
  if (found == current->descriptors.end()) return nullptr;
  ReadToken* token = new ReadToken;
  token->items = found->second;
  ++current->openReadTokens;
  return reinterpret_cast<PIReadDescriptor>(token);
}

OSErr BRISEL_CDECL fakeCloseRead(PIReadDescriptor token) {
  current->calls.push_back("closeReadDescriptorProc");
  if (token == nullptr) return kBadToken;
  delete reinterpret_cast<ReadToken*>(token);
  --current->openReadTokens;
  return current->closeReadResult;
}

Boolean BRISEL_CDECL fakeGetKey(PIReadDescriptor token, DescriptorKeyID* key,
                                DescriptorTypeID* type, int32_t* flags) {
  current->calls.push_back("getKeyProc");
  ReadToken* read = reinterpret_cast<ReadToken*>(token);
  if (read->next >= read->items.size()) {
    if (read->item == nullptr || read->repeats >= current->endlessKeys) return 0;
    ++read->repeats;
  } else {
    read->item = &read->items[read->next++];
  }
  *key = read->item->key;
  *type = read->item->type;
  *flags = 0;
  return 1;
}

const FakeItem* currentItem(PIReadDescriptor token, const char* call) {
  current->calls.push_back(call);
  return reinterpret_cast<ReadToken*>(token)->item;
}

OSErr BRISEL_CDECL fakeGetInteger(PIReadDescriptor token, int32_t* value) {
  const FakeItem* item = currentItem(token, "getIntegerProc");
  if (item == nullptr || item->type != fourCharCode("long")) return kWrongType;
  *value = item->integer;
  return 0;
}

OSErr BRISEL_CDECL fakeGetFloat(PIReadDescriptor token, double* value) {
  const FakeItem* item = currentItem(token, "getFloatProc");
  if (item == nullptr || item->type != fourCharCode("doub")) return kWrongType;
  *value = item->number;
  return 0;
}

OSErr BRISEL_CDECL fakeGetBoolean(PIReadDescriptor token, Boolean* value) {
  const FakeItem* item = currentItem(token, "getBooleanProc");
  if (item == nullptr || item->type != fourCharCode("bool")) return kWrongType;
  *value = item->boolean;
  return 0;
}

OSErr BRISEL_CDECL fakeGetText(PIReadDescriptor token, Handle* value) {
  const FakeItem* item = currentItem(token, "getTextProc");
  if (item == nullptr || item->type != fourCharCode("TEXT")) return kWrongType;
  *value = makeHostHandle(item->text);
  return 0;
}

bool isEnumType(DescriptorTypeID type) {
  return type != fourCharCode("doub") && type != fourCharCode("long") &&
         type != fourCharCode("bool") && type != fourCharCode("TEXT");
}

OSErr BRISEL_CDECL fakeGetEnumerated(PIReadDescriptor token, DescriptorEnumID* value) {
  const FakeItem* item = currentItem(token, "getEnumeratedProc");
  if (item == nullptr || !isEnumType(item->type)) return kWrongType;
  *value = DescriptorEnumID(item->integer);
  return 0;
}

PIWriteDescriptor BRISEL_CDECL fakeOpenWrite() {
  current->calls.push_back("openWriteDescriptorProc");
  if (current->openWriteGivesNull) return nullptr;
  ++current->openWriteTokens;
  return reinterpret_cast<PIWriteDescriptor>(new WriteToken);
}

OSErr BRISEL_CDECL fakeCloseWrite(PIWriteDescriptor token, Handle* descriptor) {
  current->calls.push_back("closeWriteDescriptorProc");
  if (token == nullptr) return kBadToken;
  WriteToken* write = reinterpret_cast<WriteToken*>(token);
  *descriptor = makeDescriptor(write->items);
  delete write;
  --current->openWriteTokens;
  return 0;
}

OSErr put(PIWriteDescriptor token, const char* call, FakeItem item) {
  current->calls.push_back(call);
  reinterpret_cast<WriteToken*>(token)->items.push_back(std::move(item));
  return 0;
}

OSErr BRISEL_CDECL fakePutInteger(PIWriteDescriptor token, DescriptorKeyID key, int32_t value) {
  FakeItem item;
  item.key = key;
  item.type = fourCharCode("long");
  item.integer = value;
  return put(token, "putIntegerProc", item);
}

OSErr BRISEL_CDECL fakePutFloat(PIWriteDescriptor token, DescriptorKeyID key, const double* value) {
  FakeItem item;
  item.key = key;
  item.type = fourCharCode("doub");
  item.number = *value;
  return put(token, "putFloatProc", item);
}

OSErr BRISEL_CDECL fakePutBoolean(PIWriteDescriptor token, DescriptorKeyID key, Boolean value) {
  FakeItem item;
  item.key = key;
  item.type = fourCharCode("bool");
  item.boolean = value;
  return put(token, "putBooleanProc", item);
}

OSErr BRISEL_CDECL fakePutText(PIWriteDescriptor token, DescriptorKeyID key, Handle value) {
  FakeItem item;
  item.key = key;
  item.type = fourCharCode("TEXT");
  auto found = current->live.find(value);
  if (found != current->live.end()) {
    item.text.assign(found->second->data, found->second->data + found->second->size);
  }
  return put(token, "putTextProc", item);
}

OSErr BRISEL_CDECL fakePutEnumerated(PIWriteDescriptor token, DescriptorKeyID key,
                                     DescriptorTypeID type, DescriptorEnumID value) {
  FakeItem item;
  item.key = key;
  item.type = fourCharCode("enum");
  item.enumType = type;
  item.integer = int32_t(value);
  return put(token, "putEnumeratedProc", item);
}

FakeItem itemOf(const char (&key)[5], const char (&type)[5]) {
  FakeItem item;
  item.key = fourCharCode(key);
  item.type = fourCharCode(type);
  return item;
}

}  // namespace

FakeItem floatItem(const char (&key)[5], double value) {
  FakeItem item = itemOf(key, "doub");
  item.number = value;
  return item;
}
FakeItem integerItem(const char (&key)[5], int32_t value) {
  FakeItem item = itemOf(key, "long");
  item.integer = value;
  return item;
}
FakeItem booleanItem(const char (&key)[5], Boolean value) {
  FakeItem item = itemOf(key, "bool");
  item.boolean = value;
  return item;
}
FakeItem textItem(const char (&key)[5], std::vector<uint8_t> bytes) {
  FakeItem item = itemOf(key, "TEXT");
  item.text = std::move(bytes);
  return item;
}
FakeItem enumItem(const char (&key)[5], uint32_t value) {
  FakeItem item = itemOf(key, "enum");
  item.integer = int32_t(value);
  return item;
}

FakeHost& resetFakeHost() {
  static std::unique_ptr<FakeHost> host;
  host = std::make_unique<FakeHost>();
  current = host.get();
  FakeHost& h = *host;

  h.handleProcs.handleProcsVersion = 1;
  h.handleProcs.numHandleProcs = 8;
  h.handleProcs.newProc = fakeNewHandle;
  h.handleProcs.disposeProc = fakeDisposeHandle;
  h.handleProcs.getSizeProc = fakeGetSize;
  h.handleProcs.setSizeProc = fakeSetSize;

  h.readProcs.readDescriptorProcsVersion = 0;
  h.readProcs.numReadDescriptorProcs = 18;
  h.readProcs.openReadDescriptorProc = fakeOpenRead;
  h.readProcs.closeReadDescriptorProc = fakeCloseRead;
  h.readProcs.getKeyProc = fakeGetKey;
  h.readProcs.getIntegerProc = fakeGetInteger;
  h.readProcs.getFloatProc = fakeGetFloat;
  h.readProcs.getBooleanProc = fakeGetBoolean;
  h.readProcs.getTextProc = fakeGetText;
  h.readProcs.getEnumeratedProc = fakeGetEnumerated;

  h.writeProcs.writeDescriptorProcsVersion = 0;
  h.writeProcs.numWriteDescriptorProcs = 16;
  h.writeProcs.openWriteDescriptorProc = fakeOpenWrite;
  h.writeProcs.closeWriteDescriptorProc = fakeCloseWrite;
  h.writeProcs.putIntegerProc = fakePutInteger;
  h.writeProcs.putFloatProc = fakePutFloat;
  h.writeProcs.putBooleanProc = fakePutBoolean;
  h.writeProcs.putTextProc = fakePutText;
  h.writeProcs.putEnumeratedProc = fakePutEnumerated;

  h.params.descriptorParametersVersion = 0;
  h.params.playInfo = plugInDialogDisplay;
  h.params.recordInfo = plugInDialogNone;
  h.params.descriptor = nullptr;
  h.params.readDescriptorProcs = &h.readProcs;
  h.params.writeDescriptorProcs = &h.writeProcs;

  h.record.handleProcs = &h.handleProcs;
  h.record.descriptorParameters = &h.params;
  return h;
}

FakeHost& fakeHost() { return *current; }

Handle makeHostHandle(const std::vector<uint8_t>& bytes) {
  Handle handle = newHandleOf(int32_t(bytes.size()));
  for (size_t i = 0; i < bytes.size(); ++i) (*handle)[i] = char(bytes[i]);
  return handle;
}

Handle makeDescriptor(const std::vector<FakeItem>& items) {
  Handle handle = newHandleOf(0);
  current->descriptors[handle] = items;
  return handle;
}

const std::vector<FakeItem>* descriptorItems(Handle descriptor) {
  auto found = current->descriptors.find(descriptor);
  return found == current->descriptors.end() ? nullptr : &found->second;
}

int32_t liveHandleCount() { return int32_t(current->live.size()); }
