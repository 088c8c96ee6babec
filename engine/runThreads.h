// runThreads.h -- how many threads the run over the stored rows may use
#pragma once

#include <cstdint>

constexpr int32_t kMaxRunThreads = 16;
// The most BRISEL_THREADS may ask for.
constexpr int32_t kMaxAskedThreads = 64;

// BRISEL_THREADS when it holds a count from 1 on (capped at kMaxAskedThreads),
// so that a user or a batch can keep cores free; otherwise the processor
// count, capped at kMaxRunThreads, and 1 when it is unknown.
int32_t runThreadCount();

// The count of a BRISEL_THREADS text, or 0 for none or one that is no count.
inline int32_t parseThreadCount(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  int32_t count = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return 0;
    count = count * 10 + (*text - '0');
    if (count > kMaxAskedThreads) count = kMaxAskedThreads;
  }
  return count;
}
