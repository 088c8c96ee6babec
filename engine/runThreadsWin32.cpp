// runThreadsWin32.cpp -- the run's thread count from the environment or the processors
#include <windows.h>

#include "engine/runThreads.h"

int32_t runThreadCount() {
  // The process environment itself: the C runtime's copy is taken at start-up
  // and misses a variable the host sets later.
  char text[16];
  const DWORD length = GetEnvironmentVariableA("BRISEL_THREADS", text, sizeof text);
  if (length > 0 && length < sizeof text) {
    const int32_t asked = parseThreadCount(text);
    if (asked > 0) return asked;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const DWORD processors = info.dwNumberOfProcessors;
  if (processors == 0) return 1;
  return processors > DWORD(kMaxRunThreads) ? kMaxRunThreads : int32_t(processors);
}
