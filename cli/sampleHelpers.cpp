// sampleHelpers.cpp -- the 16-bit mapping over whole rows, image sizes, and metadata conversions
#include "cli/sampleHelpers.h"

#include <cmath>
#include <cstring>
#include <new>

#include "cli/userFiles.h"

namespace {

// File bytes in big-endian order need a swap on this machine when it is not.
constexpr bool kLittleEndianMachine = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

uint16_t swapBytes(uint16_t v) { return uint16_t(v << 8 | v >> 8); }

// The full 16-bit range to the host's, without a division: for every v in
// 0..65535, x / 65535 == (x + (x >> 16) + 1) >> 16 with x = 32768 v + 32767.
uint16_t hostFromFullRange(uint32_t v) {
  const uint32_t x = (v << 15) + 32767u;
  return uint16_t((x + (x >> 16) + 1) >> 16);
}

// Plain loops over whole arrays of samples, one per byte order and range, so
// the compiler can vectorise them; a table would miss the first-level cache.
template <bool kBigEndian, bool kFullRange>
void mapToHost(uint8_t* data, size_t count, const std::vector<uint16_t>& table) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, data + 2 * i, 2);
    if (kBigEndian == kLittleEndianMachine) v = swapBytes(v);
    v = kFullRange ? hostFromFullRange(v) : (v < table.size() ? table[v] : uint16_t(32768));
    std::memcpy(data + 2 * i, &v, 2);  // the host's samples: machine order
  }
}

template <bool kBigEndian, bool kFullRange>
void mapFromHost(const uint8_t* from, uint8_t* to, size_t count, uint32_t maxval) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, from + 2 * i, 2);
    // (A constant full range lets the compiler multiply by shifting.)
    v = fileFromHostSample(v, kFullRange ? 65535u : maxval);
    if (kBigEndian == kLittleEndianMachine) v = swapBytes(v);
    std::memcpy(to + 2 * i, &v, 2);
  }
}

}  // namespace

void samplesToHost(uint8_t* data, size_t count, uint32_t maxval, bool bigEndianBytes) {
  std::vector<uint16_t> table;
  if (maxval != 65535) {
    table.resize(size_t(maxval) + 1);
    for (uint32_t v = 0; v <= maxval; ++v) table[v] = hostFromFileSample(v, maxval);
  }
  if (bigEndianBytes) {
    maxval == 65535 ? mapToHost<true, true>(data, count, table)
                    : mapToHost<true, false>(data, count, table);
  } else {
    maxval == 65535 ? mapToHost<false, true>(data, count, table)
                    : mapToHost<false, false>(data, count, table);
  }
}

void samplesFromHost(const uint8_t* from, uint8_t* to, size_t count, uint32_t maxval,
                     bool bigEndianBytes) {
  if (bigEndianBytes) {
    maxval == 65535 ? mapFromHost<true, true>(from, to, count, maxval)
                    : mapFromHost<true, false>(from, to, count, maxval);
  } else {
    maxval == 65535 ? mapFromHost<false, true>(from, to, count, maxval)
                    : mapFromHost<false, false>(from, to, count, maxval);
  }
}

void colourSamplesToHost(uint8_t* data, size_t pixels, int32_t planes, int32_t channels) {
  if (planes == channels) {
    samplesToHost(data, pixels * size_t(planes), 65535, !kLittleEndianMachine);
    return;
  }
  for (size_t p = 0; p < pixels; ++p) {
    uint8_t* pixel = data + 2 * p * size_t(planes);
    for (int32_t c = 0; c < channels; ++c) {
      uint16_t v;
      std::memcpy(&v, pixel + 2 * c, 2);
      v = hostFromFullRange(v);
      std::memcpy(pixel + 2 * c, &v, 2);
    }
  }
}

void colourSamplesFromHost(const uint8_t* from, uint8_t* to, size_t pixels, int32_t planes,
                           int32_t channels) {
  if (planes == channels) {
    samplesFromHost(from, to, pixels * size_t(planes), 65535, !kLittleEndianMachine);
    return;
  }
  const size_t pixelBytes = 2 * size_t(planes);
  for (size_t p = 0; p < pixels; ++p) {
    const uint8_t* in = from + p * pixelBytes;
    uint8_t* out = to + p * pixelBytes;
    std::memcpy(out, in, pixelBytes);  // the extra planes as they are
    for (int32_t c = 0; c < channels; ++c) {
      uint16_t v;
      std::memcpy(&v, in + 2 * c, 2);
      v = fileFromHostSample(v, 65535);
      std::memcpy(out + 2 * c, &v, 2);
    }
  }
}

uint64_t mostDecodedBytes(int64_t fileBytes, uint64_t ratio) {
  if (fileBytes < 0) return UINT64_MAX;
  // (A file is far below 2^40 bytes and a ratio below 2^16: no overflow.)
  return uint64_t(fileBytes) * ratio;
}

int32_t alphaPlaneFor(const ImageSource& source) {
  if (source.kind == ImageKind::png) return source.extraPlanes > 0 ? 0 : -1;
  for (size_t i = 0; i < source.extraSampleKinds.size() && int32_t(i) < source.extraPlanes; ++i) {
    if (source.extraSampleKinds[i] == 2) return int32_t(i);  // EXTRASAMPLE_UNASSALPHA
  }
  return -1;
}

bool allocateImage(const std::string& path, uint32_t width, uint32_t height, int32_t bits,
                   int32_t planes, bool rgb, uint64_t fileCanHold, HostImage* image,
                   std::string* error) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const uint64_t bytes = uint64_t(width) * height * uint32_t(planes) * uint32_t(bits / 8);
  // A header alone never claims the memory: the file must be able to hold
  // the data, before the machine is asked whether it can.
  if (bytes > fileCanHold) {
    *error = path + ": the file is too small for the " + size +
             " image its header declares (damaged or cut short)";
    return false;
  }
  if (bytes > memoryForImage()) {
    *error = path + ": the " + size + " image needs " + std::to_string(bytes >> 20) +
             " MiB, more memory than this machine has free";
    return false;
  }
  try {
    image->data.clear();
    image->data.shrink_to_fit();
    image->width = int32_t(width);
    image->height = int32_t(height);
    image->depth = bits;
    image->planes = planes;
    image->imageMode = rgb ? (bits == 16 ? plugInModeRGB48 : plugInModeRGBColor)
                           : (bits == 16 ? plugInModeGray16 : plugInModeGrayScale);
    reserveImageBytes(&image->data, size_t(bytes));
    image->data.resize(size_t(bytes));
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory for the " + size + " image";
    return false;
  }
  return true;
}

bool pngResolutionFromTiff(const ImageSource& s, uint32_t* x, uint32_t* y, int32_t* unit) {
  if (!s.hasResolution) return false;
  // Pixels a metre from an inch or a centimetre; without a unit, an aspect ratio.
  const double perMetre = s.resolutionUnit == 3   ? 100.0
                          : s.resolutionUnit == 2 ? 1.0 / 0.0254
                                                  : 1.0;
  const double xm = std::floor(double(s.xResolution) * perMetre + 0.5);
  const double ym = std::floor(double(s.yResolution) * perMetre + 0.5);
  // PNG's numbers are 1..2^31 - 1.
  if (!(xm >= 1 && xm <= 2147483647.0 && ym >= 1 && ym <= 2147483647.0)) return false;
  if (x != nullptr) *x = uint32_t(xm);
  if (y != nullptr) *y = uint32_t(ym);
  if (unit != nullptr) *unit = s.resolutionUnit == 1 ? 0 : 1;
  return true;
}

bool jpegDensity(const ImageSource& s, uint16_t* x, uint16_t* y, uint8_t* unit) {
  double xd = 0, yd = 0;
  uint8_t u = 0;
  if (s.kind != ImageKind::png && s.hasResolution) {
    // TIFF's units (1 none, 2 inch, 3 centimetre) are JFIF's 0, 1 and 2.
    xd = s.xResolution;
    yd = s.yResolution;
    u = s.resolutionUnit == 2 ? 1 : s.resolutionUnit == 3 ? 2 : 0;
  } else if (s.kind == ImageKind::png && s.hasPhysical) {
    const double scale = s.physicalUnit == 1 ? 0.01 : 1.0;  // pixels a metre as a centimetre
    xd = double(s.xPixelsPerUnit) * scale;
    yd = double(s.yPixelsPerUnit) * scale;
    u = s.physicalUnit == 1 ? 2 : 0;
  } else {
    return false;
  }
  xd = std::floor(xd + 0.5);
  yd = std::floor(yd + 0.5);
  // JFIF's numbers are 16 bits; 0 is no density at all.
  if (!(xd >= 1 && xd <= 65535 && yd >= 1 && yd <= 65535)) return false;
  if (x != nullptr) *x = uint16_t(xd);
  if (y != nullptr) *y = uint16_t(yd);
  if (unit != nullptr) *unit = u;
  return true;
}

bool pngChromaticities(const ImageSource& s, uint8_t chunk[32]) {
  if (!s.hasWhitePoint || !s.hasPrimaries) return false;
  const float values[8] = {s.whitePoint[0], s.whitePoint[1], s.primaries[0], s.primaries[1],
                           s.primaries[2],  s.primaries[3],  s.primaries[4], s.primaries[5]};
  for (int i = 0; i < 8; ++i) {
    // Stored times 100000 in 31 bits.
    const double v = std::floor(double(values[i]) * 100000.0 + 0.5);
    if (!(v >= 0 && v <= 2147483647.0)) return false;
    const uint32_t n = uint32_t(v);
    const uint8_t bytes[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    std::memcpy(chunk + 4 * i, bytes, 4);
  }
  return true;
}
