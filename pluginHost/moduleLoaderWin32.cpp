// moduleLoaderWin32.cpp -- LoadLibrary-based module loading
#include <windows.h>

#include "pluginHost/moduleLoader.h"

bool loadModule(const std::string& path, LoadedModule* module, std::string* error) {
  HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr) {
    *error = "cannot load plug-in " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  FARPROC entry = GetProcAddress(library, "ENTRYPOINT");
  if (entry == nullptr) {
    *error = "plug-in " + path + " has no ENTRYPOINT export";
    FreeLibrary(library);
    return false;
  }
  module->library = library;
  module->entry = reinterpret_cast<EntryPointProc>(reinterpret_cast<void*>(entry));
  return true;
}

void unloadModule(LoadedModule* module) {
  if (module->library != nullptr) FreeLibrary(static_cast<HMODULE>(module->library));
  module->library = nullptr;
  module->entry = nullptr;
}

std::string defaultModulePath() {
  char buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "brisel.8bf";
  std::string exe(buffer, length);
  return exe.substr(0, exe.find_last_of("\\/") + 1) + "brisel.8bf";
}
