// pluginHost.cpp -- the host's side of a filter run: record, suites, row delivery
#include "pluginHost/pluginHost.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

namespace {

// ---- handles -------------------------------------------------------------

struct HostHandleBlock {
  char* data;  // the handle is the address of this field
  int32_t size;
};

std::map<Handle, std::unique_ptr<HostHandleBlock>>& liveHandles() {
  static std::map<Handle, std::unique_ptr<HostHandleBlock>> handles;
  return handles;
}

Handle BRISEL_CDECL hostNewHandle(int32_t size) {
  if (size < 0) return nullptr;
  auto block = std::make_unique<HostHandleBlock>();
  block->data = static_cast<char*>(std::calloc(1, size_t(size) + 1));
  block->size = size;
  Handle handle = &block->data;
  liveHandles()[handle] = std::move(block);
  return handle;
}

void BRISEL_CDECL hostDisposeHandle(Handle handle) {
  auto found = liveHandles().find(handle);
  if (found == liveHandles().end()) return;  // a foreign or double disposal changes nothing
  std::free(found->second->data);
  liveHandles().erase(found);
}

int32_t BRISEL_CDECL hostGetHandleSize(Handle handle) {
  auto found = liveHandles().find(handle);
  return found == liveHandles().end() ? 0 : found->second->size;
}

OSErr BRISEL_CDECL hostSetHandleSize(Handle handle, int32_t size) {
  auto found = liveHandles().find(handle);
  if (found == liveHandles().end() || size < 0) return -50;
  char* grown = static_cast<char*>(std::realloc(found->second->data, size_t(size) + 1));
  if (grown == nullptr) return -108;
  if (size > found->second->size) {
    std::memset(grown + found->second->size, 0, size_t(size - found->second->size));
  }
  found->second->data = grown;
  found->second->size = size;
  return 0;
}

char* BRISEL_CDECL hostLockHandle(Handle handle, Boolean) { return handle ? *handle : nullptr; }
void BRISEL_CDECL hostUnlockHandle(Handle) {}
void BRISEL_CDECL hostRecoverSpace(int32_t) {}

// ---- descriptors ---------------------------------------------------------
// A descriptor handle holds its items serialised: key, type, then the value.

const DescriptorTypeID kTypeFloat = fourCharCode("doub");
const DescriptorTypeID kTypeLong = fourCharCode("long");
const DescriptorTypeID kTypeBool = fourCharCode("bool");
const DescriptorTypeID kTypeText = fourCharCode("TEXT");
const DescriptorTypeID kTypeEnum = fourCharCode("enum");

void appendBytes(std::vector<uint8_t>* out, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

Handle serialiseDescriptor(const HostDescriptor& descriptor) {
  std::vector<uint8_t> bytes;
  const uint32_t count = uint32_t(descriptor.items.size());
  appendBytes(&bytes, &count, 4);
  for (const HostDescriptorItem& item : descriptor.items) {
    appendBytes(&bytes, &item.key, 4);
    appendBytes(&bytes, &item.type, 4);
    appendBytes(&bytes, &item.number, 8);
    appendBytes(&bytes, &item.integer, 4);
    appendBytes(&bytes, &item.enumType, 4);
    const uint32_t textSize = uint32_t(item.text.size());
    appendBytes(&bytes, &textSize, 4);
    appendBytes(&bytes, item.text.data(), item.text.size());
  }
  Handle handle = hostNewHandle(int32_t(bytes.size()));
  std::memcpy(*handle, bytes.data(), bytes.size());
  return handle;
}

bool parseDescriptor(Handle handle, HostDescriptor* descriptor) {
  descriptor->items.clear();
  const int32_t size = hostGetHandleSize(handle);
  if (size < 4) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(*handle);
  const uint8_t* end = p + size;
  uint32_t count;
  std::memcpy(&count, p, 4);
  p += 4;
  for (uint32_t i = 0; i < count; ++i) {
    HostDescriptorItem item;
    if (end - p < 28) return false;
    std::memcpy(&item.key, p, 4);
    std::memcpy(&item.type, p + 4, 4);
    std::memcpy(&item.number, p + 8, 8);
    std::memcpy(&item.integer, p + 16, 4);
    std::memcpy(&item.enumType, p + 20, 4);
    uint32_t textSize;
    std::memcpy(&textSize, p + 24, 4);
    p += 28;
    if (uint32_t(end - p) < textSize) return false;
    item.text.assign(p, p + textSize);
    p += textSize;
    descriptor->items.push_back(item);
  }
  return true;
}

struct ReadToken {
  HostDescriptor descriptor;
  size_t next = 0;
  const HostDescriptorItem* current = nullptr;
};

struct WriteToken {
  HostDescriptor descriptor;
};

PIReadDescriptor BRISEL_CDECL hostOpenRead(Handle descriptor, DescriptorKeyID*) {
  if (descriptor == nullptr) return nullptr;
  auto* token = new ReadToken;
  if (!parseDescriptor(descriptor, &token->descriptor)) {
    delete token;
    return nullptr;
  }
  return reinterpret_cast<PIReadDescriptor>(token);
}

OSErr BRISEL_CDECL hostCloseRead(PIReadDescriptor token) {
  delete reinterpret_cast<ReadToken*>(token);
  return 0;
}

Boolean BRISEL_CDECL hostGetKey(PIReadDescriptor token, DescriptorKeyID* key,
                                DescriptorTypeID* type, int32_t* flags) {
  auto* read = reinterpret_cast<ReadToken*>(token);
  if (read == nullptr || read->next >= read->descriptor.items.size()) return 0;
  read->current = &read->descriptor.items[read->next++];
  if (key) *key = read->current->key;
  if (type) *type = read->current->type;
  if (flags) *flags = 0;
  return 1;
}

const HostDescriptorItem* currentItem(PIReadDescriptor token) {
  auto* read = reinterpret_cast<ReadToken*>(token);
  return read == nullptr ? nullptr : read->current;
}

// Numbers coerce between integer and float as a host's descriptors do; text
// does not coerce.
OSErr BRISEL_CDECL hostGetInteger(PIReadDescriptor token, int32_t* value) {
  const HostDescriptorItem* item = currentItem(token);
  if (item == nullptr || item->type == kTypeText) return -1700;
  *value = item->type == kTypeFloat ? int32_t(item->number) : item->integer;
  return 0;
}

OSErr BRISEL_CDECL hostGetFloat(PIReadDescriptor token, double* value) {
  const HostDescriptorItem* item = currentItem(token);
  if (item == nullptr || item->type == kTypeText) return -1700;
  *value = item->type == kTypeFloat ? item->number : double(item->integer);
  return 0;
}

OSErr BRISEL_CDECL hostGetBoolean(PIReadDescriptor token, Boolean* value) {
  const HostDescriptorItem* item = currentItem(token);
  if (item == nullptr || item->type == kTypeText) return -1700;
  *value = Boolean(item->type == kTypeFloat ? item->number != 0 : item->integer != 0);
  return 0;
}

OSErr BRISEL_CDECL hostGetText(PIReadDescriptor token, Handle* value) {
  const HostDescriptorItem* item = currentItem(token);
  if (item == nullptr || item->type != kTypeText) return -1700;
  *value = hostNewHandle(int32_t(item->text.size()));
  std::memcpy(**value, item->text.data(), item->text.size());
  return 0;
}

OSErr BRISEL_CDECL hostGetEnumerated(PIReadDescriptor token, DescriptorEnumID* value) {
  const HostDescriptorItem* item = currentItem(token);
  if (item == nullptr || item->type == kTypeText || item->type == kTypeFloat) return -1700;
  *value = DescriptorEnumID(item->integer);
  return 0;
}

PIWriteDescriptor BRISEL_CDECL hostOpenWrite() {
  return reinterpret_cast<PIWriteDescriptor>(new WriteToken);
}

OSErr BRISEL_CDECL hostCloseWrite(PIWriteDescriptor token, Handle* descriptor) {
  auto* write = reinterpret_cast<WriteToken*>(token);
  if (write == nullptr) return -50;
  if (descriptor) *descriptor = serialiseDescriptor(write->descriptor);
  delete write;
  return 0;
}

OSErr putItem(PIWriteDescriptor token, const HostDescriptorItem& item) {
  auto* write = reinterpret_cast<WriteToken*>(token);
  if (write == nullptr) return -50;
  write->descriptor.items.push_back(item);
  return 0;
}

OSErr BRISEL_CDECL hostPutInteger(PIWriteDescriptor token, DescriptorKeyID key, int32_t value) {
  HostDescriptorItem item;
  item.key = key;
  item.type = kTypeLong;
  item.integer = value;
  return putItem(token, item);
}

OSErr BRISEL_CDECL hostPutFloat(PIWriteDescriptor token, DescriptorKeyID key, const double* value) {
  HostDescriptorItem item;
  item.key = key;
  item.type = kTypeFloat;
  item.number = value ? *value : 0;
  return putItem(token, item);
}

OSErr BRISEL_CDECL hostPutBoolean(PIWriteDescriptor token, DescriptorKeyID key, Boolean value) {
  HostDescriptorItem item;
  item.key = key;
  item.type = kTypeBool;
  item.integer = value;
  return putItem(token, item);
}

OSErr BRISEL_CDECL hostPutText(PIWriteDescriptor token, DescriptorKeyID key, Handle value) {
  HostDescriptorItem item;
  item.key = key;
  item.type = kTypeText;
  if (value != nullptr) {
    const int32_t size = hostGetHandleSize(value);
    item.text.assign(*value, *value + size);
  }
  return putItem(token, item);
}

OSErr BRISEL_CDECL hostPutEnumerated(PIWriteDescriptor token, DescriptorKeyID key,
                                     DescriptorTypeID type, DescriptorEnumID value) {
  HostDescriptorItem item;
  item.key = key;
  item.type = kTypeEnum;
  item.enumType = type;
  item.integer = int32_t(value);
  return putItem(token, item);
}

// ---- progress and abort ----------------------------------------------------

HostRunResult* activeResult = nullptr;
const HostRunOptions* activeOptions = nullptr;
int32_t activeAbortAt = -1;
std::thread::id activeThread;  // the thread the run's selectors are called on

// A module may work on threads of its own, but must call the host back on the
// thread the host called it on.
void countForeignCall() {
  if (activeResult != nullptr && std::this_thread::get_id() != activeThread) {
    ++activeResult->foreignThreadCalls;
  }
}

void BRISEL_CDECL hostProgress(int32_t done, int32_t total) {
  countForeignCall();
  if (activeResult) activeResult->progress.emplace_back(done, total);
  if (activeOptions && activeOptions->onProgress) activeOptions->onProgress(done, total);
}

bool stopRequested(const HostRunOptions* options) {
  return options != nullptr && options->stopRequested != nullptr && *options->stopRequested != 0;
}

Boolean BRISEL_CDECL hostAbort() {
  countForeignCall();
  if (activeResult == nullptr) return 0;
  const int32_t call = activeResult->abortCalls++;
  if (stopRequested(activeOptions)) return 1;
  return Boolean(activeAbortAt >= 0 && call >= activeAbortAt);
}

bool rectEmpty(const Rect& r) { return r.top >= r.bottom || r.left >= r.right; }

bool rectInside(const HostImage& image, const Rect& r, int32_t lo, int32_t hi, std::string* error) {
  if (r.top < 0 || r.left < 0 || r.bottom > image.height || r.right > image.width || lo < 0 ||
      hi >= image.planes || lo > hi) {
    *error = "module asked for a rectangle or planes outside the image";
    return false;
  }
  return true;
}

// The rows of rect, planes lo..hi, copied out of the image into a buffer.
void gatherRect(const HostImage& image, const Rect& r, int32_t lo, int32_t hi,
                std::vector<uint8_t>* buffer, int32_t* rowBytes) {
  const int32_t s = image.bytesPerSample();
  const int32_t planes = hi - lo + 1;
  *rowBytes = (r.right - r.left) * planes * s;
  buffer->assign(size_t(*rowBytes) * size_t(r.bottom - r.top) + 16, 0);
  for (int32_t y = r.top; y < r.bottom; ++y) {
    for (int32_t x = r.left; x < r.right; ++x) {
      const uint8_t* from = image.data.data() + size_t(y) * image.rowBytes() +
                            (size_t(x) * image.planes + size_t(lo)) * s;
      uint8_t* to =
          buffer->data() + size_t(y - r.top) * size_t(*rowBytes) + size_t(x - r.left) * planes * s;
      std::memcpy(to, from, size_t(planes * s));
    }
  }
}

void scatterRect(HostImage* image, const Rect& r, int32_t lo, int32_t hi,
                 const std::vector<uint8_t>& buffer, int32_t rowBytes) {
  const int32_t s = image->bytesPerSample();
  const int32_t planes = hi - lo + 1;
  for (int32_t y = r.top; y < r.bottom; ++y) {
    for (int32_t x = r.left; x < r.right; ++x) {
      uint8_t* to = image->data.data() + size_t(y) * image->rowBytes() +
                    (size_t(x) * image->planes + size_t(lo)) * s;
      const uint8_t* from =
          buffer.data() + size_t(y - r.top) * size_t(rowBytes) + size_t(x - r.left) * planes * s;
      std::memcpy(to, from, size_t(planes * s));
    }
  }
}

int32_t colourPlanes(int16_t imageMode) {
  return imageMode == plugInModeRGBColor || imageMode == plugInModeRGB48 ? 3 : 1;
}

bool isHostHandle(Handle handle) { return liveHandles().count(handle) != 0; }

// Where the module finds rect: in the image's own rows when it asks for every
// plane (the rectangle's rows are then the image's rows, rowBytes apart),
// else in a gathered copy. Returns whether the copy was needed.
bool placeRect(HostImage* image, const Rect& r, int32_t lo, int32_t hi,
               std::vector<uint8_t>* buffer, void** data, int32_t* rowBytes) {
  if (lo == 0 && hi == image->planes - 1) {
    *data = image->data.data() + size_t(r.top) * image->rowBytes() +
            size_t(r.left) * size_t(image->planes) * size_t(image->bytesPerSample());
    *rowBytes = int32_t(image->rowBytes());
    return false;
  }
  gatherRect(*image, r, lo, hi, buffer, rowBytes);
  *data = buffer->data();
  return true;
}

}  // namespace

void blendThroughMask(const HostImage& over, const std::vector<uint8_t>& mask, const Rect& rect,
                      HostImage* under) {
  const int32_t channels = std::min(colourPlanes(under->imageMode), under->planes);
  for (int32_t y = std::max<int32_t>(rect.top, 0);
       y < std::min<int32_t>(rect.bottom, under->height); ++y) {
    for (int32_t x = std::max<int32_t>(rect.left, 0);
         x < std::min<int32_t>(rect.right, under->width); ++x) {
      const int64_t weight = mask[size_t(y) * size_t(under->width) + size_t(x)];
      for (int32_t p = 0; p < channels; ++p) {
        const int64_t from = under->sample(x, y, p);
        // 255 is odd, so the quotient never ends in exactly one half.
        const int64_t scaled = (int64_t(over.sample(x, y, p)) - from) * weight;
        const int64_t step = scaled >= 0 ? (scaled + 127) / 255 : -((-scaled + 127) / 255);
        under->setSample(x, y, p, uint32_t(from + step));
      }
    }
  }
}

uint32_t HostImage::sample(int32_t x, int32_t y, int32_t plane) const {
  const size_t at =
      size_t(y) * rowBytes() + (size_t(x) * planes + size_t(plane)) * bytesPerSample();
  if (depth == 16) {
    uint16_t value;
    std::memcpy(&value, data.data() + at, 2);
    return value;
  }
  return data[at];
}

void HostImage::setSample(int32_t x, int32_t y, int32_t plane, uint32_t value) {
  const size_t at =
      size_t(y) * rowBytes() + (size_t(x) * planes + size_t(plane)) * bytesPerSample();
  if (depth == 16) {
    const uint16_t v = uint16_t(value);
    std::memcpy(data.data() + at, &v, 2);
  } else {
    data[at] = uint8_t(value);
  }
}

HostImage makeHostImage(int32_t width, int32_t height, int32_t depth, int16_t imageMode,
                        int32_t planes) {
  HostImage image;
  image.width = width;
  image.height = height;
  image.depth = depth;
  image.imageMode = imageMode;
  image.planes = planes;
  image.data.assign(image.rowBytes() * size_t(height), 0);
  return image;
}

bool openHostSession(const std::string& modulePath, HostSession* session, std::string* error) {
  session->data = 0;
  session->parameters = nullptr;
  return loadModule(modulePath, &session->module, error);
}

void closeHostSession(HostSession* session) {
  // The parameters handle is the host's: one made through its suite goes back
  // through it, as a host does when it lets the plug-in go.
  if (session->parameters != nullptr && isHostHandle(session->parameters)) {
    hostDisposeHandle(session->parameters);
    session->parameters = nullptr;
  }
  // The module never releases its globals: the host keeps the data slot (and
  // a parameters handle it could not have made) for as long as it likes. This
  // host keeps them for the life of the process, where leak checkers can see
  // them.
  static std::vector<intptr>* retained = new std::vector<intptr>;
  if (session->data != 0) retained->push_back(session->data);
  if (session->parameters != nullptr) {
    retained->push_back(reinterpret_cast<intptr>(session->parameters));
  }
  session->data = 0;
  session->parameters = nullptr;
  unloadModule(&session->module);
}

int16_t callSelector(HostSession* session, int16_t selector, FilterRecord* record) {
  int16_t result = 0;
  if (session->misalignedStack) {
    callEntryMisaligned(session->module.entry, selector, record, &session->data, &result);
  } else {
    session->module.entry(selector, record, &session->data, &result);
  }
  return result;
}

namespace {

// The host's suites handed to the module: handles, descriptor reading and
// writing, the platform's window. Filled in place: the descriptor parameters
// point at the procs beside them.
struct HostSuites {
  HandleProcs handleProcs;
  ReadDescriptorProcs readProcs;
  WriteDescriptorProcs writeProcs;
  PIDescriptorParameters descriptorParameters;
  PlatformData platformData;
};

void fillSuites(const HostRunOptions& options, HostSuites* suites) {
  *suites = HostSuites{};
  suites->handleProcs.handleProcsVersion = options.handleProcsVersion;
  suites->handleProcs.numHandleProcs = 8;
  suites->handleProcs.newProc = hostNewHandle;
  suites->handleProcs.disposeProc = hostDisposeHandle;
  suites->handleProcs.getSizeProc = hostGetHandleSize;
  suites->handleProcs.setSizeProc = hostSetHandleSize;
  suites->handleProcs.lockProc = hostLockHandle;
  suites->handleProcs.unlockProc = hostUnlockHandle;
  suites->handleProcs.recoverSpaceProc = hostRecoverSpace;
  suites->handleProcs.disposeRegularHandleProc = hostDisposeHandle;

  suites->readProcs.readDescriptorProcsVersion = 0;
  suites->readProcs.numReadDescriptorProcs = options.numReadDescriptorProcs;
  suites->readProcs.openReadDescriptorProc = hostOpenRead;
  suites->readProcs.closeReadDescriptorProc = hostCloseRead;
  suites->readProcs.getKeyProc = hostGetKey;
  suites->readProcs.getIntegerProc = hostGetInteger;
  suites->readProcs.getFloatProc = hostGetFloat;
  suites->readProcs.getBooleanProc = hostGetBoolean;
  suites->readProcs.getTextProc = hostGetText;
  suites->readProcs.getEnumeratedProc = hostGetEnumerated;

  suites->writeProcs.writeDescriptorProcsVersion = 0;
  suites->writeProcs.numWriteDescriptorProcs = options.numWriteDescriptorProcs;
  suites->writeProcs.openWriteDescriptorProc = hostOpenWrite;
  suites->writeProcs.closeWriteDescriptorProc = hostCloseWrite;
  suites->writeProcs.putIntegerProc = hostPutInteger;
  suites->writeProcs.putFloatProc = hostPutFloat;
  suites->writeProcs.putBooleanProc = hostPutBoolean;
  suites->writeProcs.putTextProc = hostPutText;
  suites->writeProcs.putEnumeratedProc = hostPutEnumerated;

  suites->descriptorParameters.descriptorParametersVersion = options.descriptorParametersVersion;
  suites->descriptorParameters.playInfo = options.playInfo;
  suites->descriptorParameters.recordInfo = plugInDialogNone;
  suites->descriptorParameters.descriptor =
      options.hasDescriptor ? serialiseDescriptor(options.descriptor) : nullptr;
  suites->descriptorParameters.readDescriptorProcs = &suites->readProcs;
  suites->descriptorParameters.writeDescriptorProcs = &suites->writeProcs;

  suites->platformData = PlatformData{options.parentWindow};
}

void fillRecord(HostSession* session, const HostImage* image, const HostRunOptions& options,
                HostSuites* suites, FilterRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->serialNumber = 0;
  record->abortProc = hostAbort;
  record->progressProc = hostProgress;
  record->parameters = session->parameters;
  record->imageSize = Point{int16_t(image->height), int16_t(image->width)};
  record->planes = int16_t(options.reportedPlanes >= 0 ? options.reportedPlanes : image->planes);
  record->filterRect = options.hasFilterRect
                           ? options.filterRect
                           : Rect{0, 0, int16_t(image->height), int16_t(image->width)};
  record->maxSpace = options.maxSpace;
  record->haveMask = Boolean(!options.mask.empty());
  record->hostSig = fourCharCode("BRSL");
  record->imageMode = image->imageMode;
  record->imageHRes = 72 << 16;
  record->imageVRes = 72 << 16;
  record->wholeSize = record->imageSize;
  record->platformData = &suites->platformData;
  record->handleProcs = options.offerHandleProcs ? &suites->handleProcs : nullptr;
  record->descriptorParameters = options.scripting ? &suites->descriptorParameters : nullptr;
  record->depth = options.reportedDepth >= 0 ? options.reportedDepth : image->depth;
}

// Calls the module; the first failing code and its selector are the run's.
int16_t callNoted(HostSession* session, int16_t selector, FilterRecord* record,
                  HostRunResult* result) {
  const int16_t code = callSelector(session, selector, record);
  if (code != 0 && result->result == 0) {
    result->result = code;
    result->failedSelector = selector;
  }
  return code;
}

// The rows of a run: what the module works in, what a host that commits every
// out row as it arrives has made of the image, and the buffers handed over.
struct RunRows {
  bool blendEachRow = false;
  bool blendOnce = false;
  bool inPlace = false;
  HostImage document;
  HostImage copy;
  HostImage* work = nullptr;
  std::vector<uint8_t> inBuffer, outBuffer, maskBuffer;
};

// One continue call: the rows the module asked for placed, the call, and what
// it wrote taken back. False when the run stops (a stop request, too many
// calls, rows the host does not have, or a failing call).
bool continueOnce(HostSession* session, HostImage* image, const HostRunOptions& options,
                  int32_t limit, FilterRecord* record, RunRows* run, HostRunResult* result) {
  if (stopRequested(&options)) {
    if (result->result == 0) result->result = -128;
    return false;
  }
  if (result->continueCalls >= limit) {
    result->hostError = "module kept asking for rows";
    return false;
  }
  const Rect inRect = record->inRect;
  const Rect outRect = record->outRect;
  const Rect maskRect = record->maskRect;
  record->inData = record->outData = record->maskData = nullptr;
  bool outGathered = false;
  if (!rectEmpty(inRect)) {
    if (!rectInside(*run->work, inRect, record->inLoPlane, record->inHiPlane, &result->hostError)) {
      return false;
    }
    placeRect(run->work, inRect, record->inLoPlane, record->inHiPlane, &run->inBuffer,
              &record->inData, &record->inRowBytes);
  }
  if (!rectEmpty(outRect)) {
    if (!rectInside(*run->work, outRect, record->outLoPlane, record->outHiPlane,
                    &result->hostError)) {
      return false;
    }
    if (options.outRowFill >= 0) {
      // A host whose out rows hold anything at all before the call.
      int32_t rowBytes = 0;
      gatherRect(*run->work, outRect, record->outLoPlane, record->outHiPlane, &run->outBuffer,
                 &rowBytes);
      std::memset(run->outBuffer.data(), options.outRowFill, run->outBuffer.size());
      record->outData = run->outBuffer.data();
      record->outRowBytes = rowBytes;
      outGathered = true;
    } else {
      outGathered = placeRect(run->work, outRect, record->outLoPlane, record->outHiPlane,
                              &run->outBuffer, &record->outData, &record->outRowBytes);
    }
  }
  if (!rectEmpty(maskRect)) {
    result->maskRequests.push_back(maskRect);
    if (options.mask.empty() || maskRect.top < 0 || maskRect.left < 0 ||
        maskRect.bottom > image->height || maskRect.right > image->width) {
      result->hostError = "module asked for a mask row the host does not have";
      return false;
    }
    const int32_t w = maskRect.right - maskRect.left;
    run->maskBuffer.assign(size_t(w) * size_t(maskRect.bottom - maskRect.top) + 16, 0);
    for (int32_t y = maskRect.top; y < maskRect.bottom; ++y) {
      std::memcpy(run->maskBuffer.data() + size_t(y - maskRect.top) * size_t(w),
                  options.mask.data() + size_t(y) * size_t(image->width) + maskRect.left,
                  size_t(w));
    }
    record->maskData = run->maskBuffer.data();
    record->maskRowBytes = w;
  }
  ++result->continueCalls;
  const auto start = std::chrono::steady_clock::now();
  const int16_t code = callNoted(session, filterSelectorContinue, record, result);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (seconds > result->longestContinueSeconds) result->longestContinueSeconds = seconds;
  if (outGathered && record->outData != nullptr) {
    scatterRect(run->work, outRect, record->outLoPlane, record->outHiPlane, run->outBuffer,
                record->outRowBytes);
  }
  if (run->blendEachRow && !rectEmpty(outRect) && record->outData != nullptr) {
    blendThroughMask(*run->work, options.mask, outRect, &run->document);
  }
  return code == 0;
}

// After the finish call: the image replaced by the run's result when it
// succeeded, and what the module recorded and left behind.
void finishRun(bool ok, const HostRunOptions& options, const FilterRecord& record,
               HostSuites* suites, RunRows* run, HostImage* image, HostRunResult* result) {
  if (ok && result->result == 0 && result->hostError.empty()) {
    if (run->blendEachRow) {
      *image = std::move(run->document);
    } else if (run->blendOnce) {
      blendThroughMask(run->copy, options.mask, record.filterRect, image);
    } else if (!run->inPlace) {
      *image = std::move(run->copy);
    }
  }

  if (options.scripting) {
    result->recordInfo = suites->descriptorParameters.recordInfo;
    if (suites->descriptorParameters.descriptor != nullptr) {
      result->recorded = true;
      parseDescriptor(suites->descriptorParameters.descriptor, &result->recordedDescriptor);
      hostDisposeHandle(suites->descriptorParameters.descriptor);
    }
  }
}

}  // namespace

void runFilter(HostSession* session, HostImage* image, const HostRunOptions& options,
               HostRunResult* result) {
  *result = HostRunResult();
  const size_t handlesBefore = liveHandles().size();
  const bool hadParameters = session->parameters != nullptr;

  HostSuites suites;
  fillSuites(options, &suites);
  FilterRecord record;
  fillRecord(session, image, options, &suites, &record);

  activeResult = result;
  activeThread = std::this_thread::get_id();
  activeOptions = &options;
  activeAbortAt = options.abortAtCall;

  auto call = [&](int16_t selector) { return callNoted(session, selector, &record, result); };

  // What a host that commits every out row as it arrives has made of the image,
  // and whether the result is blended through the mask once at the end. Both
  // need the original rows, so the module then works on a copy.
  RunRows rows;
  rows.blendEachRow = options.maskBlend == MaskBlend::EachRow && !options.mask.empty();
  rows.blendOnce = options.maskBlend == MaskBlend::Once && !options.mask.empty();
  rows.inPlace = options.inPlace && !rows.blendEachRow && !rows.blendOnce;
  if (rows.blendEachRow) rows.document = *image;
  // The rows the module reads and writes: the image itself, or a copy that
  // replaces it only when the run succeeds.
  if (!rows.inPlace) rows.copy = *image;
  rows.work = rows.inPlace ? image : &rows.copy;
  bool started = false;
  bool ok = true;
  if (options.callParameters) ok = call(filterSelectorParameters) == 0;
  session->parameters = record.parameters;
  // A host reads and disposes of the handle through its own suite: one the
  // suite did not make would fault there.
  if (record.parameters != nullptr && record.handleProcs != nullptr &&
      options.handleProcsVersion == 1 && !isHostHandle(record.parameters)) {
    result->hostError = "the parameters handle is not one of the host's handles";
    ok = false;
  }
  if (ok) ok = call(filterSelectorPrepare) == 0;
  if (ok) {
    started = true;
    ok = call(filterSelectorStart) == 0;
  }

  const int32_t limit =
      options.maxContinueCalls >= 0 ? options.maxContinueCalls : 4 * (image->height + 4) + 16;
  while (ok &&
         (!rectEmpty(record.inRect) || !rectEmpty(record.outRect) || !rectEmpty(record.maskRect))) {
    ok = continueOnce(session, image, options, limit, &record, &rows, result);
  }
  if (started) call(filterSelectorFinish);

  finishRun(ok, options, record, &suites, &rows, image, result);
  result->liveHostHandles = int32_t(liveHandles().size()) - int32_t(handlesBefore);
  if (!hadParameters && session->parameters != nullptr && isHostHandle(session->parameters)) {
    --result->liveHostHandles;  // kept by the session, disposed of when it closes
  }
  activeResult = nullptr;
  activeOptions = nullptr;
  activeAbortAt = -1;
}
