// imageFiles.cpp -- which kind a file is, and the reading and writing of each kind
#include "cli/imageFiles.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "cli/pnm.h"
#include "cli/userFiles.h"

namespace {

bool hasExtension(const std::string& path, const char* const* extensions) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (; *extensions != nullptr; ++extensions) {
    if (extension == *extensions) return true;
  }
  return false;
}

const char* kindName(ImageKind kind) {
  return kind == ImageKind::tiff ? "TIFF" : kind == ImageKind::png ? "PNG" : "PGM/PPM";
}

bool built(ImageKind kind) {
#if BRISEL_HAVE_CODECS
  (void)kind;
  return true;
#else
  return kind == ImageKind::pnm;
#endif
}

std::string notBuilt(const std::string& path, ImageKind kind) {
  return path + ": " + kindName(kind) +
         " files are not supported by this build (PGM/PPM only: it was built without the " +
         (kind == ImageKind::tiff ? "libtiff" : "libpng") + " library)";
}

}  // namespace

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

bool allocateImage(const std::string& path, uint32_t width, uint32_t height, int32_t bits,
                   int32_t planes, bool rgb, HostImage* image, std::string* error) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const uint64_t bytes = uint64_t(width) * height * uint32_t(planes) * uint32_t(bits / 8);
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

bool readImage(const std::string& path, HostImage* image, ImageSource* source, std::string* error) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(openPlainFile(path, error), std::fclose);
  if (!f) return false;
  unsigned char magic[8] = {0};
  const size_t got = std::fread(magic, 1, sizeof magic, f.get());
  std::rewind(f.get());
  ImageKind kind;
  if (got >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) &&
                    magic[3] == 0) ||
                   (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 &&
                    (magic[3] == 42 || magic[3] == 43)))) {
    kind = ImageKind::tiff;
  } else if (got == 8 && std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0) {
    kind = ImageKind::png;
  } else if (got >= 2 && magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6')) {
    kind = ImageKind::pnm;
  } else {
    *error = path + ": not a PGM/PPM (P5, P6), TIFF or PNG file";
    return false;
  }
  if (!built(kind)) {
    *error = notBuilt(path, kind);
    return false;
  }
  if (kind == ImageKind::pnm) return readPnm(f.get(), path, image, source, error);
#if BRISEL_HAVE_CODECS
  if (kind == ImageKind::tiff) return readTiff(f.get(), path, image, source, error);
  return readPng(f.get(), path, image, source, error);
#else
  return false;
#endif
}

bool chooseOutputKind(const std::string& path, const ImageSource& source, ImageKind* kind,
                      std::string* error) {
  static const char* const kTiff[] = {"tif", "tiff", nullptr};
  static const char* const kPng[] = {"png", nullptr};
  static const char* const kPnm[] = {"pgm", "ppm", "pnm", nullptr};
  *kind = hasExtension(path, kTiff)  ? ImageKind::tiff
          : hasExtension(path, kPng) ? ImageKind::png
          : hasExtension(path, kPnm) ? ImageKind::pnm
                                     : source.kind;
  if (!built(*kind)) {
    *error = notBuilt(path, *kind);
    return false;
  }
  if (*kind == ImageKind::png && source.extraPlanes > 1) {
    *error = path + ": PNG holds one extra (alpha) plane; the image has " +
             std::to_string(source.extraPlanes);
    return false;
  }
  return true;
}

bool writeImage(FILE* f, bool seekable, const std::string& path, const HostImage& image,
                const ImageSource& source, ImageKind kind, std::string* error) {
  if (kind == ImageKind::pnm) return writePnm(f, path, image, source, error);
#if BRISEL_HAVE_CODECS
  if (kind == ImageKind::png) return writePng(f, path, image, source, error);
  if (!seekable) {
    *error = path + ": a TIFF file cannot be written into a pipe or device";
    return false;
  }
  return writeTiff(f, path, image, source, error);
#else
  (void)seekable;
  *error = notBuilt(path, kind);
  return false;
#endif
}
