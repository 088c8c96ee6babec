// memoryWin32.cpp -- zero-filled blocks from movable global memory, locked for life
#include <windows.h>

#include "core/memoryPlatform.h"

void* allocPlatformBlock(size_t size) {
  HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (global == nullptr) return nullptr;
  void* block = GlobalLock(global);
  if (block == nullptr) GlobalFree(global);
  return block;
}

void freePlatformBlock(void* block) {
  if (block == nullptr) return;
  // The allocator handle is found again from the locked address.
  HGLOBAL global = GlobalHandle(block);
  if (global == nullptr) return;
  GlobalUnlock(global);
  GlobalFree(global);
}
