// generateResources.cpp -- build tool: the property list and terminology bytes for brisel.rc
#include <cstdio>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "resources/pluginProperties.h"
#include "resources/scriptingTerminology.h"

namespace {

typedef OSErr (*BuildResource)(uint8_t* bytes, int32_t capacity, int32_t* length);

// Sizes the resource, builds it and writes it to path; false with a message on failure.
bool writeResource(BuildResource build, const std::string& path) {
  int32_t length = 0;
  OSErr result = build(nullptr, 0, &length);
  std::vector<uint8_t> bytes(size_t(length > 0 ? length : 0));
  if (result == noErr) result = build(bytes.data(), length, &length);
  if (result != noErr) {
    std::fprintf(stderr, "generateResources: cannot build %s (error %d)\n", path.c_str(), result);
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "generateResources: cannot create %s\n", path.c_str());
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "generateResources: cannot write %s\n", path.c_str());
    std::remove(path.c_str());  // no half file for the resource compiler to pick up
    return false;
  }
  return true;
}

OSErr buildPropertiesX86(uint8_t* bytes, int32_t capacity, int32_t* length) {
  return buildPluginPropertiesFor(ModuleMachineX86, bytes, capacity, length);
}

OSErr buildPropertiesX64(uint8_t* bytes, int32_t capacity, int32_t* length) {
  return buildPluginPropertiesFor(ModuleMachineX64, bytes, capacity, length);
}

}  // namespace

// generateResources <output directory> <x86|x64>: writes pipl.bin and aete.bin
// there, the property list for a module of the named machine. This tool runs
// on the build machine, so the module's machine is given, not taken from here.
int main(int argc, char** argv) {
  const std::string machine = argc == 3 ? argv[2] : "";
  if (machine != "x86" && machine != "x64") {
    std::fprintf(stderr, "usage: generateResources <output directory> <x86|x64>\n");
    return 2;
  }
  const std::string directory = argv[1];
  const BuildResource buildProperties = machine == "x64" ? buildPropertiesX64 : buildPropertiesX86;
  if (!writeResource(buildProperties, directory + "/pipl.bin")) return 1;
  if (!writeResource(buildScriptingTerminology, directory + "/aete.bin")) return 1;
  return 0;
}
