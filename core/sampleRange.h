// sampleRange.h -- 16-bit samples between a file's 0..maxval and the host's 0..32768
#pragma once

#include <cstdint>

// The host's 16-bit samples run 0..32768; files hold 0..maxval (65535 for
// TIFF and PNG). The same rounding to nearest both ways for every user, so
// the lowest bit of a 65535-range sample is not kept.
// (32 bits hold every product: 65535 x 32768 + 32767 < 2^31.)
inline uint16_t hostFromFileSample(uint32_t value, uint32_t maxval) {
  return uint16_t((value * 32768u + maxval / 2) / maxval);
}
inline uint16_t fileFromHostSample(uint32_t value, uint32_t maxval) {
  if (value > 32768) value = 32768;
  return uint16_t((value * maxval + 16384u) >> 15);
}
