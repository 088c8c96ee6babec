// moduleLoaderPosix.cpp -- dlopen-based module loading
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "pluginHost/moduleLoader.h"

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
  const std::string folder = exe.substr(0, exe.rfind('/') + 1);
  // Beside the program in the build tree; PREFIX/lib/brisel/ for the
  // installed PREFIX/bin/brisel (as cmake --install and the package place it).
  const std::string beside = folder + "libbrisel.so";
  const size_t up = folder.rfind('/', folder.size() - 2);
  const std::string prefix = up == std::string::npos ? folder + "../" : folder.substr(0, up + 1);
  const std::string installed = prefix + "lib/brisel/libbrisel.so";
  return access(beside.c_str(), F_OK) == 0 ? beside : installed;
}
