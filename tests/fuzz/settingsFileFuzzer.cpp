// settingsFileFuzzer.cpp -- loading any settings file, then filling and printing its parameters
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "core/fixedFiles.h"
#include "core/runContext.h"
#include "entry/settingsFile.h"
#include "params/signatureBlock.h"
#include "params/textFormat.h"

namespace {

std::string settingsPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/briselFuzzSettingsXXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  setenv("BRISEL_DIR", pattern, 1);
  settingsPath = std::string(pattern) + "/" + plainFileName(kSettingsFileName);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = open(settingsPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) std::abort();
  if (size > 0 && write(fd, data, size) != ssize_t(size)) std::abort();
  close(fd);

  RunContext* context = createRunContext();
  if (context == nullptr) __builtin_trap();
  FileHandle file = kNoFile;
  loadSettings(context, &file);
  for (int32_t slot = 0; slot < kRunStringSlots; ++slot) {
    const char* text = getStringSlot(context, slot);
    if (text != nullptr && strnlen(text, kStringSlotBytes) >= size_t(kStringSlotBytes)) {
      __builtin_trap();
    }
  }

  // What the run stage and the dialog do with the loaded values.
  SignatureBlock* block = createSignatureBlock(kRunSignatureSlots);
  if (block == nullptr) __builtin_trap();
  setSignatureHeader(block, fourCharCode("udef"), 0, 0);
  (void)fillFilterSignature(context, block);
  for (int32_t i = 0; i < getInputCount(block); ++i) {
    char text[kNumberTextBytes];
    formatFloat(getFloatValue(block, i), text);
    if (std::strlen(text) > size_t(kFloatTextMax)) __builtin_trap();
  }
  disposeSignatureBlock(block);
  saveSettings(context, &file);
  disposeRunContext(context);
  return 0;
}
