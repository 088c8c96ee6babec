// moduleLoader.h -- loads the filter module through its export, as a host does
#pragma once

#include <string>

#include "core/hostInterface.h"

typedef void(BRISEL_CDECL* EntryPointProc)(int16_t selector, FilterRecord* record, intptr* data,
                                           int16_t* result);

struct LoadedModule {
  void* library = nullptr;
  EntryPointProc entry = nullptr;
};

// Loads the library at path and finds ENTRYPOINT. On failure returns false and
// describes the problem in *error.
bool loadModule(const std::string& path, LoadedModule* module, std::string* error);
void unloadModule(LoadedModule* module);

// Calls entry with the stack 8 bytes off the 16-byte boundary, as a 32-bit host built
// for 4-byte alignment may. Only 32-bit x86 builds can (canCallMisaligned); elsewhere
// the call is an ordinary one.
bool canCallMisaligned();
void callEntryMisaligned(EntryPointProc entry, int16_t selector, FilterRecord* record, intptr* data,
                         int16_t* result);

// The module built beside the running executable: libbrisel.so or brisel.8bf.
std::string defaultModulePath();
