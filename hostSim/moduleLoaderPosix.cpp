// moduleLoaderPosix.cpp -- dlopen-based module loading
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "hostSim/moduleLoader.h"

bool loadModule(const std::string& path, LoadedModule* module, std::string* error) {
  // A bare name would make dlopen search the library path instead of the file.
  const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    *error = "cannot load plug-in " + path + ": " + dlerror();
    return false;
  }
  void* entry = dlsym(library, "ENTRYPOINT");
  if (entry == nullptr) {
    *error = "plug-in " + path + " has no ENTRYPOINT export";
    dlclose(library);
    return false;
  }
  module->library = library;
  module->entry = reinterpret_cast<EntryPointProc>(entry);
  return true;
}

void unloadModule(LoadedModule* module) {
  if (module->library != nullptr) dlclose(module->library);
  module->library = nullptr;
  module->entry = nullptr;
}

std::string defaultModulePath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "libbrisel.so";
  std::string exe(buffer, size_t(length));
  return exe.substr(0, exe.rfind('/') + 1) + "libbrisel.so";
}
