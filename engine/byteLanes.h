// byteLanes.h -- 16 byte counters side by side, added, masked and summed as one vector
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if !defined(__GNUC__)
#error "the byte-lane counters use the GNU vector extension (GCC, Clang)"
#endif

// One SSE2 register where there is one: the counts of a group's 16 bins, or of
// the 16 groups. Lane sums never carry: a lane never holds more than the 225
// samples of a neighbourhood, plus the 15 of a column slid in before the
// leaving one is taken out.
typedef uint8_t Lanes __attribute__((vector_size(16)));

inline Lanes loadLanes(const uint8_t* at) {
  Lanes lanes;
  std::memcpy(&lanes, at, sizeof lanes);  // rows of counters have no 16-byte alignment
  return lanes;
}

// Sums of the lanes of counters that total at most 255 (one neighbourhood),
// one way per instruction set; the row step's loops take one as a parameter.
// Plain: fold the two halves, then multiplying by 0x0101... adds the eight
// lanes into the top byte, none of the partial sums below reaching 256.
struct PlainLaneSum {
  static int32_t sum(Lanes lanes) {
    uint64_t halves[2];
    std::memcpy(halves, &lanes, sizeof halves);
    return int32_t(((halves[0] + halves[1]) * 0x0101010101010101ULL) >> 56);
  }
};

#if defined(__SSE2__)
struct Sse2LaneSum {
  static int32_t sum(Lanes lanes) {
    const __m128i sums = _mm_sad_epu8(__m128i(lanes), _mm_setzero_si128());
    return _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
  }
};
#endif

// below[k]: all bits set in lanes 0 .. k-1; one[k]: 1 in lane k alone.
struct LaneMasks {
  Lanes below[17];
  Lanes one[16];
};

extern const LaneMasks kLaneMasks;
