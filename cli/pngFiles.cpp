// pngFiles.cpp -- PNG files through libpng: 8/16-bit grey or RGB, alpha carried through, palettes
// expanded
#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <new>

#include <png.h>

#include "cli/codecs.h"
#include "cli/userFiles.h"

namespace {

// libpng's errors end in a jump back to the call that began the work; the
// reason is kept here, and its warnings become our own lines.
struct PngReport {
  const std::string* path;
  char detail[256];
  bool tooLarge;  // a side beyond the host's limit, which libpng reports as a warning first
};

void notePngError(png_structp png, png_const_charp message) {
  PngReport* report = static_cast<PngReport*>(png_get_error_ptr(png));
  std::snprintf(report->detail, sizeof report->detail, "%s", message);
  png_longjmp(png, 1);
}

void notePngWarning(png_structp png, png_const_charp message) {
  PngReport* report = static_cast<PngReport*>(png_get_error_ptr(png));
  if (std::strstr(message, "exceeds user limit") != nullptr) {
    report->tooLarge = true;
    return;
  }
  std::fprintf(stderr, "brisel: warning: %s: %s\n", report->path->c_str(), message);
}

// Chunks copied byte for byte from a PNG to a PNG: the text (compressed text
// stays compressed, iTXt stays iTXt with its language) and the colour space
// chunks, which do not depend on the colour type.
const png_byte kCopiedChunks[] = "tEXt\0zTXt\0iTXt\0gAMA\0cHRM\0sRGB";
constexpr int kCopiedChunkCount = 6;

// libpng writes through here, so that a failed write is reported with the
// system's reason (libpng's own says only "Write Error").
struct PngSink {
  FILE* f;
  int error;
};

void writeToSink(png_structp png, png_bytep data, png_size_t length) {
  PngSink* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  if (std::fwrite(data, 1, length, sink->f) != length) {
    sink->error = errno != 0 ? errno : EIO;
    png_error(png, "write failed");
  }
}

void flushSink(png_structp png) {
  PngSink* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  if (std::fflush(sink->f) != 0) {
    sink->error = errno;
    png_error(png, "write failed");
  }
}

uint32_t bigEndian32(const uint8_t* b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

// The jumping parts: nothing here has a destructor for the jump to skip.
// Returns 0, else 1 after a libpng error (the reason in the report).
int readPngHeader(png_structp png, png_infop info, FILE* f) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_init_io(png, f);
  // The host's rectangles are 16-bit; a larger header is refused before any
  // data is inflated.
  png_set_user_limits(png, 32767, 32767);
  // A chunk that inflates (an ICC profile) is held to 16 MiB, and at most
  // 1000 ancillary chunks are kept; text is kept as it was stored, never
  // inflated, so a small file's text costs no more than the file.
  png_set_chunk_malloc_max(png, png_alloc_size_t(16) << 20);
  png_set_chunk_cache_max(png, 1000);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kCopiedChunks, kCopiedChunkCount);
  png_read_info(png, info);
  return 0;
}

int readPngRows(png_structp png, png_infop info, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_read_image(png, rows);
  png_read_end(png, info);
  return 0;
}

int setupTransforms(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return 1;
  const int colourType = png_get_color_type(png, info);
  const int bits = png_get_bit_depth(png, info);
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colourType == PNG_COLOR_TYPE_GRAY && bits < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (bits == 16) png_set_swap(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return 0;
}

// The rows as stored, each with its filter byte: what the file's compressed
// bytes must inflate to.
uint64_t storedPngBytes(png_structp png, png_infop info) {
  const uint64_t storedRowBytes = (uint64_t(png_get_image_width(png, info)) *
                                       png_get_bit_depth(png, info) * png_get_channels(png, info) +
                                   7) /
                                      8 +
                                  1;
  return storedRowBytes * png_get_image_height(png, info);
}

// Significant bits, resolution and ICC profile, from the header's chunks.
void readPngMetadata(png_structp png, png_infop info, ImageSource* source) {
  png_color_8p significant = nullptr;
  if (png_get_sBIT(png, info, &significant) && significant != nullptr) {
    source->hasSignificantBits = true;
    const png_color_8 sig = *significant;
    const uint8_t values[5] = {sig.red, sig.green, sig.blue, sig.gray, sig.alpha};
    std::copy(values, values + 5, source->significantBits);
  }
  png_uint_32 xPixels = 0, yPixels = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &xPixels, &yPixels, &unit)) {
    // PNG's numbers are below 2^31 and its units 0 or 1; others are left out.
    source->hasPhysical =
        unit <= PNG_RESOLUTION_METER && xPixels <= 0x7fffffffu && yPixels <= 0x7fffffffu;
    source->badResolution = !source->hasPhysical;
    source->xPixelsPerUnit = xPixels;
    source->yPixelsPerUnit = yPixels;
    source->physicalUnit = unit;
  }
  png_charp iccName = nullptr;
  int iccCompression = 0;
  png_bytep icc = nullptr;
  png_uint_32 iccSize = 0;
  if (png_get_iCCP(png, info, &iccName, &iccCompression, &icc, &iccSize) && icc != nullptr) {
    source->iccProfile.assign(icc, icc + iccSize);
  }
}

// The chunks kept for a PNG output (kCopiedChunks), read around the rows.
void keepPngChunks(png_structp png, png_infop info, ImageSource* source) {
  png_unknown_chunkp chunks = nullptr;
  const int chunkCount = png_get_unknown_chunks(png, info, &chunks);
  for (int i = 0; i < chunkCount; ++i) {
    PngChunk chunk;
    std::memcpy(chunk.name, chunks[i].name, 4);
    chunk.data.assign(chunks[i].data, chunks[i].data + chunks[i].size);
    chunk.location = chunks[i].location;
    // The chromaticities also for a TIFF output: eight numbers times 100000.
    if (std::strcmp(chunk.name, "cHRM") == 0 && chunk.data.size() == 32) {
      source->hasWhitePoint = source->hasPrimaries = true;
      float v[8];
      for (int k = 0; k < 8; ++k) v[k] = float(bigEndian32(chunk.data.data() + 4 * k)) / 100000.0f;
      std::copy(v, v + 2, source->whitePoint);
      std::copy(v + 2, v + 8, source->primaries);
    }
    source->pngChunks.push_back(std::move(chunk));
  }
}

// The chunks to write as they are: a TIFF's chromaticities as a cHRM chunk of
// our own making (libpng's own would be dropped with an ICC profile it finds
// fault with), or a PNG's kept chunks. They point into source and into
// chromaticities.
std::vector<png_unknown_chunk> collectPngChunks(const ImageSource& source,
                                                uint8_t (&chromaticities)[32]) {
  std::vector<png_unknown_chunk> chunks;
  if (source.kind == ImageKind::tiff && pngChromaticities(source, chromaticities)) {
    png_unknown_chunk u{};
    std::memcpy(u.name, "cHRM", 5);
    u.data = chromaticities;
    u.size = sizeof chromaticities;
    u.location = PNG_HAVE_IHDR;
    chunks.push_back(u);
  }
  if (source.kind == ImageKind::png) {
    for (const PngChunk& c : source.pngChunks) {
      png_unknown_chunk u{};
      std::memcpy(u.name, c.name, 5);
      u.data = const_cast<png_bytep>(c.data.data());
      u.size = c.data.size();
      u.location = c.location;
      chunks.push_back(u);
    }
  }
  return chunks;
}

// The header and what goes before the rows. A profile or chunk libpng finds
// fault with is left out with a warning. Returns 0, else 1 after a libpng error.
int describePng(png_structp png, png_infop info, PngSink* sink, const HostImage& image,
                const ImageSource& source, int colourType, std::vector<png_unknown_chunk>* chunks) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_set_benign_errors(png, 1);
  png_set_write_fn(png, sink, writeToSink, flushSink);
  png_set_IHDR(png, info, uint32_t(image.width), uint32_t(image.height), image.depth, colourType,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  uint32_t xPixels = 0, yPixels = 0;
  int32_t unit = 0;
  if (source.kind == ImageKind::png && source.hasPhysical) {
    png_set_pHYs(png, info, source.xPixelsPerUnit, source.yPixelsPerUnit, source.physicalUnit);
  } else if (source.kind != ImageKind::png &&
             pngResolutionFromTiff(source, &xPixels, &yPixels, &unit)) {
    png_set_pHYs(png, info, xPixels, yPixels, unit);
  }
  if (!source.iccProfile.empty()) {
    png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, source.iccProfile.data(),
                 uint32_t(source.iccProfile.size()));
  }
  if (source.kind == ImageKind::png && source.hasSignificantBits) {
    png_color_8 sig{};
    sig.red = source.significantBits[0];
    sig.green = source.significantBits[1];
    sig.blue = source.significantBits[2];
    sig.gray = source.significantBits[3];
    // Alpha made from a palette's transparency has every bit.
    sig.alpha = source.significantBits[4] != 0 ? source.significantBits[4] : png_byte(image.depth);
    png_set_sBIT(png, info, &sig);
  }
  if (!chunks->empty()) {
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kCopiedChunks, kCopiedChunkCount);
    png_set_unknown_chunks(png, info, chunks->data(), int(chunks->size()));
  }
  return 0;
}

// libpng takes the rows one call at a time; the jump target covers each.
int beginPngRows(png_structp png, png_infop info, bool wide) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_write_info(png, info);
  if (wide) png_set_swap(png);
  return 0;
}

int putPngRows(png_structp png, png_bytepp rows, png_uint_32 count) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_write_rows(png, rows, count);
  return 0;
}

int endPngRows(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_write_end(png, info);
  return 0;
}

// The planes of the file: the colour planes and at most one alpha plane.
struct PngPlanes {
  int channels;
  int32_t alphaPlane;  // the host's extra plane written as alpha, or -1
  int32_t planes;      // in the file
};

// One host row as the file's row: 16-bit colour samples turned to the file's
// range, the extra planes left out but for the alpha plane.
void stripPngRow(const HostImage& image, const PngPlanes& layout, const uint8_t* from,
                 uint8_t* to) {
  const bool wide = image.depth == 16;
  const size_t s = wide ? 2 : 1;
  const int channels = layout.channels;
  const size_t alphaAt = size_t(channels + layout.alphaPlane) * s;
  for (int32_t x = 0; x < image.width; ++x) {
    const uint8_t* pixel = from + size_t(x) * size_t(image.planes) * s;
    if (wide) {
      for (int32_t c = 0; c < channels; ++c) {
        uint16_t v;
        std::memcpy(&v, pixel + 2 * c, 2);
        v = fileFromHostSample(v, 65535);
        std::memcpy(to + 2 * c, &v, 2);
      }
    } else {
      std::memcpy(to, pixel, size_t(channels));
    }
    // The alpha plane holds the file's own samples.
    if (layout.alphaPlane >= 0) std::memcpy(to + size_t(channels) * s, pixel + alphaAt, s);
    to += size_t(layout.planes) * s;
  }
}

// 8-bit rows with every plane go out as they are; others are turned to the
// file's range, or stripped of planes, a block of rows at a time. Returns 0,
// else 1 after a libpng error.
int writePngRows(png_structp png, png_infop info, const HostImage& image, const PngPlanes& layout) {
  const bool wide = image.depth == 16;
  const size_t s = wide ? 2 : 1;
  const size_t rowBytes = image.rowBytes();
  const size_t outRowBytes = size_t(image.width) * size_t(layout.planes) * s;
  const bool direct = !wide && layout.planes == image.planes;
  const int32_t rowsPerBlock = direct ? image.height : int32_t((size_t(1) << 20) / outRowBytes + 1);
  std::vector<uint8_t> block(direct ? 0 : outRowBytes * size_t(rowsPerBlock));
  std::vector<png_bytep> rows(static_cast<size_t>(rowsPerBlock));
  if (beginPngRows(png, info, wide) != 0) return 1;
  for (int32_t top = 0; top < image.height; top += rowsPerBlock) {
    const int32_t count = std::min(rowsPerBlock, image.height - top);
    for (int32_t i = 0; i < count; ++i) {
      const uint8_t* from = image.data.data() + size_t(top + i) * rowBytes;
      if (direct) {
        rows[size_t(i)] = const_cast<uint8_t*>(from);
        continue;
      }
      uint8_t* to = block.data() + size_t(i) * outRowBytes;
      rows[size_t(i)] = to;
      if (layout.planes == image.planes) {
        colourSamplesFromHost(from, to, size_t(image.width), layout.planes, layout.channels);
      } else {
        stripPngRow(image, layout, from, to);
      }
    }
    if (putPngRows(png, rows.data(), uint32_t(count)) != 0) return 1;
  }
  return endPngRows(png, info);
}

}  // namespace

bool readPng(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
             std::string* error) {
  PngReport report{&path, {0}, false};
  const int64_t fileBytes = bytesLeftInFile(f);
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &report, notePngError, notePngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *error = path + ": not enough memory to read it";
    return false;
  }
  struct Cleanup {
    png_structp* png;
    png_infop* info;
    ~Cleanup() { png_destroy_read_struct(png, info, nullptr); }
  } cleanup{&png, &info};
  auto failed = [&](const char* what) {
    *error = path + ": " + what + (report.detail[0] ? std::string(" (") + report.detail + ")" : "");
    return false;
  };
  if (readPngHeader(png, info, f) != 0) {
    if (report.tooLarge) {
      *error = path + ": unsupported image size (1..32767 pixels a side)";
      return false;
    }
    return failed("damaged PNG file");
  }
  // Deflate gives at most 1032 bytes for one stored row.
  const uint64_t storedBytes = storedPngBytes(png, info);
  const uint64_t fileCanHold = storedBytes <= mostDecodedBytes(fileBytes, 1032) ? UINT64_MAX : 0;
  if (setupTransforms(png, info) != 0) return failed("damaged PNG file");
  const uint32_t width = png_get_image_width(png, info);
  const uint32_t height = png_get_image_height(png, info);
  const int bits = png_get_bit_depth(png, info);
  const int planes = png_get_channels(png, info);
  const int colourType = png_get_color_type(png, info);
  if ((bits != 8 && bits != 16) || planes < 1 || planes > 4) {
    return failed("this kind of PNG is not supported");
  }
  const int channels = (colourType & PNG_COLOR_MASK_COLOR) ? 3 : 1;
  if (!allocateImage(path, width, height, bits, planes, channels == 3, fileCanHold, image, error)) {
    return false;
  }
  *source = ImageSource();
  source->kind = ImageKind::png;
  source->channels = channels;
  source->extraPlanes = planes - channels;
  readPngMetadata(png, info, source);
  std::vector<png_bytep> rows(height);
  for (uint32_t y = 0; y < height; ++y)
    rows[y] = image->data.data() + size_t(y) * image->rowBytes();
  // The rows are read straight into the image.
  if (readPngRows(png, info, rows.data()) != 0) return failed("damaged PNG file");
  keepPngChunks(png, info, source);
  if (bits == 16) colourSamplesToHost(image->data.data(), size_t(width) * height, planes, channels);
  return true;
}

bool writePng(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
              std::string* error) {
  PngReport report{&path, {0}, false};
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &report, notePngError, notePngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *error = "cannot write " + path + ": not enough memory";
    return false;
  }
  struct Cleanup {
    png_structp* png;
    png_infop* info;
    ~Cleanup() { png_destroy_write_struct(png, info); }
  } cleanup{&png, &info};
  PngSink sink{f, 0};
  auto failed = [&]() {
    *error = "cannot write " + path + ": " +
             (sink.error != 0 ? std::string(std::strerror(sink.error)) : report.detail);
    return false;
  };
  PngPlanes layout;
  layout.channels =
      image.imageMode == plugInModeRGBColor || image.imageMode == plugInModeRGB48 ? 3 : 1;
  // PNG holds one extra plane, and only as alpha; the others are left out.
  layout.alphaPlane = image.planes > layout.channels ? alphaPlaneFor(source) : -1;
  layout.planes = layout.channels + (layout.alphaPlane >= 0 ? 1 : 0);
  const bool alpha = layout.alphaPlane >= 0;
  const int colourType = layout.channels == 3
                             ? (alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB)
                             : (alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY);
  uint8_t chromaticities[32];
  std::vector<png_unknown_chunk> chunks = collectPngChunks(source, chromaticities);
  if (describePng(png, info, &sink, image, source, colourType, &chunks) != 0) return failed();
  if (writePngRows(png, info, image, layout) != 0) return failed();
  if (std::fflush(f) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
