// entryPoint.cpp -- the module's single export: restore the globals, dispatch, save
#include <cstdlib>
#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "entry/filterGlobals.h"

namespace {

#ifdef BRISEL_TEST_BUILD
// The test build only: a host test can make the module's allocations fail
// after a given number, to show that every failure comes back as -108.
void applyAllocationBudget() {
  const char* budget = std::getenv("BRISEL_ALLOC_BUDGET");
  setAllocationBudget(budget != nullptr && *budget != '\0' ? std::atoi(budget) : -1);
}
void clearAllocationBudget() { setAllocationBudget(-1); }
#else
void applyAllocationBudget() {}
void clearAllocationBudget() {}
#endif

void dispatch(int16_t selector, FilterGlobals* globals) {
  switch (selector) {
    case filterSelectorAbout:
      break;  // no about box
    case filterSelectorParameters:
      doParameters(globals);
      break;
    case filterSelectorPrepare:
      doPrepare(globals);
      break;
    case filterSelectorStart:
      doStart(globals);
      break;
    case filterSelectorContinue:
      doContinue(globals);
      break;
    case filterSelectorFinish:
      doFinish(globals);
      break;
    default:
      globals->result = filterBadParameters;
      break;
  }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void BRISEL_CDECL
ENTRYPOINT(int16_t selector, FilterRecord* filterRecord, intptr* data, int16_t* result) {
  if (data == nullptr || result == nullptr) return;  // nowhere to keep or report anything
  applyAllocationBudget();

  FilterGlobals working;
  if (*data == 0) {
    initGlobals(&working);
    Handle stored = newMemHandle(sizeof(FilterGlobals));
    if (stored == nullptr) {
      *result = memFullErr;
      return;
    }
    std::memcpy(*stored, &working, sizeof working);
    *data = reinterpret_cast<intptr>(stored);
  }

  Handle stored = reinterpret_cast<Handle>(*data);
  std::memcpy(&working, *stored, sizeof working);
  working.filterRecord = filterRecord;
  working.result = noErr;

  if (filterRecord == nullptr && selector != filterSelectorAbout) {
    working.result = filterBadParameters;  // a host must hand over its record
  } else {
    dispatch(selector, &working);
  }

  *result = working.result;
  std::memcpy(*stored, &working, sizeof working);
  clearAllocationBudget();
}
