// memoryPlatform.h -- the platform's zero-filled allocator behind allocBlock
#pragma once

#include <cstddef>

// Zero-filled, locked block of size bytes, or null.
void* allocPlatformBlock(size_t size);
// Releases by address alone; null is ignored.
void freePlatformBlock(void* block);
