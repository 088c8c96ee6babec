// rowBands.h -- rows cut into bands that are equalised apart, each with the window's halo
#pragma once

#include <cstdint>

// A band's rows hold about this many bytes of colour samples: bands are large
// enough that their halo rows cost little, small enough to stay in the few MiB
// a thread may take.
constexpr int64_t kBandBytes = int64_t(4) << 20;
constexpr int32_t kMinBandRows = 64;

struct RowBands {
  int32_t bandRows;
  int32_t bandCount;
};

// Bands of at most maxBandRows (at least 1), at least one a thread, and a
// multiple of the thread count so that the threads finish together.
inline RowBands planRowBands(int32_t rows, int64_t maxBandRows, int32_t threads) {
  if (maxBandRows < 1) maxBandRows = 1;
  if (threads < 1) threads = 1;
  int64_t bandCount = (rows + maxBandRows - 1) / maxBandRows;
  if (bandCount < threads) bandCount = threads;
  bandCount = (bandCount + threads - 1) / threads * threads;
  const int64_t bandRows = (rows + bandCount - 1) / bandCount;
  return RowBands{int32_t(bandRows), int32_t((rows + bandRows - 1) / bandRows)};
}

// A band's own rows first .. end - 1, and the rows top .. bottom - 1 its run
// reads: `halo` more on either side where the image has them. An output row
// depends only on the rows within the window's radius of it, and past the
// image's edges the run repeats the edge row as the whole run does, so the
// band's own rows come out as the whole run gives them.
struct BandSpan {
  int32_t first;
  int32_t end;
  int32_t top;
  int32_t bottom;
};

inline BandSpan bandSpan(const RowBands& bands, int32_t band, int32_t areaTop, int32_t areaEnd,
                         int32_t halo, int32_t imageHeight) {
  BandSpan span;
  span.first = areaTop + band * bands.bandRows;
  span.end = span.first + bands.bandRows < areaEnd ? span.first + bands.bandRows : areaEnd;
  span.top = span.first - halo > 0 ? span.first - halo : 0;
  span.bottom = span.end + halo < imageHeight ? span.end + halo : imageHeight;
  return span;
}
