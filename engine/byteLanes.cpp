// byteLanes.cpp -- the lane masks
#include "engine/byteLanes.h"

namespace {

LaneMasks makeLaneMasks() {
  LaneMasks masks;
  for (int32_t k = 0; k <= 16; ++k) {
    uint8_t bytes[16];
    for (int32_t lane = 0; lane < 16; ++lane) bytes[lane] = lane < k ? 0xFF : 0;
    std::memcpy(&masks.below[k], bytes, sizeof bytes);
  }
  for (int32_t k = 0; k < 16; ++k) {
    uint8_t bytes[16] = {};
    bytes[k] = 1;
    std::memcpy(&masks.one[k], bytes, sizeof bytes);
  }
  return masks;
}

}  // namespace

const LaneMasks kLaneMasks = makeLaneMasks();
