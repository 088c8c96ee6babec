// memoryPosix.cpp -- zero-filled blocks from the C heap
#include <cstdlib>

#include "core/memoryPlatform.h"

void* allocPlatformBlock(size_t size) { return std::calloc(1, size); }

void freePlatformBlock(void* block) { std::free(block); }
