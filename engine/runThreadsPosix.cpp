// runThreadsPosix.cpp -- the run's thread count from the environment or the processors
#include <cstdlib>
#include <thread>

#include "engine/runThreads.h"

int32_t runThreadCount() {
  const int32_t asked = parseThreadCount(std::getenv("BRISEL_THREADS"));
  if (asked > 0) return asked;
  const unsigned processors = std::thread::hardware_concurrency();
  if (processors == 0) return 1;
  return processors > unsigned(kMaxRunThreads) ? kMaxRunThreads : int32_t(processors);
}
