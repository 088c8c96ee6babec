// memory.cpp -- zero-filled blocks and two-level handles
#include "core/memory.h"

#include "core/memoryPlatform.h"

namespace {

// Nothing reads the tag back; it marks master blocks in memory dumps.
constexpr uint32_t kHandleTag = 0x464F544F;  // "FOTO"

struct MasterBlock {
  char* data;
  uint32_t tag;
};

int32_t allocationBudget = -1;

bool takeFromBudget() {
  if (allocationBudget < 0) return true;
  if (allocationBudget == 0) return false;
  --allocationBudget;
  return true;
}

}  // namespace

void setAllocationBudget(int32_t allocations) { allocationBudget = allocations; }

void* allocBlock(int32_t size) {
  if (size < 0 || !takeFromBudget()) return nullptr;
  // A zero-byte request still yields a distinct, releasable block.
  return allocPlatformBlock(size == 0 ? 1 : size_t(size));
}

void freeBlock(void* block) { freePlatformBlock(block); }

Handle newMemHandle(int32_t size) {
  MasterBlock* master = static_cast<MasterBlock*>(allocBlock(sizeof(MasterBlock)));
  if (master == nullptr) return nullptr;
  master->data = static_cast<char*>(allocBlock(size));
  if (master->data == nullptr) {
    freeBlock(master);
    return nullptr;
  }
  master->tag = kHandleTag;
  return &master->data;
}

void disposeMemHandle(Handle handle) {
  if (handle == nullptr) return;
  // The handle is the address of the master block's first field.
  MasterBlock* master = reinterpret_cast<MasterBlock*>(handle);
  freeBlock(master->data);
  freeBlock(master);
}
