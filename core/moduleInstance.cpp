// moduleInstance.cpp -- the process-wide module instance handle
#include "core/moduleInstance.h"

namespace {
void* moduleInstance = nullptr;
}

void* getModuleInstance() { return moduleInstance; }

void setModuleInstance(void* instance) { moduleInstance = instance; }
