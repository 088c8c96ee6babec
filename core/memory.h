// memory.h -- zero-filled blocks and two-level handles, the module's only allocator
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

// Zero-filled block of size bytes, or null when memory is exhausted or size < 0.
void* allocBlock(int32_t size);
// Releases a block from allocBlock; null is ignored.
void freeBlock(void* block);

// Handle whose master block points at a zero-filled data block of size bytes,
// or null when either block cannot be had.
Handle newMemHandle(int32_t size);
// Releases the data block and the master block; null is ignored.
void disposeMemHandle(Handle handle);

// Test support: after this many further successful allocations, allocBlock and
// newMemHandle fail until the budget is reset with -1 (no limit).
void setAllocationBudget(int32_t allocations);
