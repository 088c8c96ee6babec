// formatFloatFuzzer.cpp -- any 32-bit pattern formats to a short text inside its buffer
#include <cstdint>
#include <cstring>

#include "params/textFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  float value;
  std::memcpy(&value, data, sizeof value);

  char text[kNumberTextBytes];
  std::memset(text, 'x', sizeof text);
  formatFloat(value, text);
  const size_t length = strnlen(text, sizeof text);
  if (length < 3 || length > size_t(kFloatTextMax)) __builtin_trap();
  if (text[kFloatTextMax + 1] != 'x') __builtin_trap();  // wrote past 14 bytes
  for (size_t i = 0; i < length; ++i) {
    if (std::strchr("0123456789.-+einf", text[i]) == nullptr) __builtin_trap();
  }

  uint8_t counted[kNumberTextBytes];
  std::memset(counted, 0xEE, sizeof counted);
  formatFloatCounted(value, counted);
  if (counted[0] != length || std::memcmp(counted + 1, text, length) != 0) __builtin_trap();
  if (counted[1 + length] != 0xEE) __builtin_trap();
  return 0;
}
