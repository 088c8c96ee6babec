// pnm.cpp -- binary PGM and PPM files (P5, P6) as host images
#include "cli/pnm.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "cli/userFiles.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
typedef std::unique_ptr<FILE, FileCloser> FilePtr;

// Reads one header number, skipping white space and comments.
bool readHeaderNumber(FILE* f, int64_t* value) {
  int c = std::fgetc(f);
  for (;;) {
    while (c != EOF && std::isspace(c)) c = std::fgetc(f);
    if (c != '#') break;
    while (c != EOF && c != '\n' && c != '\r') c = std::fgetc(f);
  }
  if (c == EOF || !std::isdigit(c)) return false;
  int64_t v = 0;
  while (c != EOF && std::isdigit(c)) {
    v = v * 10 + (c - '0');
    if (v > 1000000000) return false;
    c = std::fgetc(f);
  }
  // Exactly one white space character ends the header's last number.
  if (c != EOF && !std::isspace(c)) return false;
  *value = v;
  return true;
}

struct PnmHeader {
  bool colour;
  int64_t width, height, maxval;
};

bool readHeader(FILE* f, PnmHeader* header, std::string* error) {
  char magic[2];
  if (std::fread(magic, 1, 2, f) != 2 || magic[0] != 'P' || (magic[1] != '5' && magic[1] != '6')) {
    *error = "not a binary PGM or PPM file (P5 or P6)";
    return false;
  }
  header->colour = magic[1] == '6';
  if (!readHeaderNumber(f, &header->width) || !readHeaderNumber(f, &header->height) ||
      !readHeaderNumber(f, &header->maxval)) {
    *error = "damaged PGM/PPM header";
    return false;
  }
  if (header->maxval < 1 || header->maxval > 65535) {
    *error = "unsupported maxval " + std::to_string(header->maxval);
    return false;
  }
  // The host's rectangles are 16-bit.
  if (header->width < 1 || header->height < 1 || header->width > 32767 || header->height > 32767) {
    *error = "unsupported image size " + std::to_string(header->width) + "x" +
             std::to_string(header->height) + " (1..32767 pixels a side)";
    return false;
  }
  return true;
}

uint32_t scaleSample(uint32_t value, uint32_t from, uint32_t to) {
  return uint32_t((uint64_t(value) * to + from / 2) / from);
}

}  // namespace

bool readPnm(const std::string& path, HostImage* image, PnmFormat* format, std::string* error) {
  FilePtr f(openPlainFile(path, error));
  if (!f) return false;
  PnmHeader header;
  if (!readHeader(f.get(), &header, error)) {
    *error = path + ": " + *error;
    return false;
  }
  format->colour = header.colour;
  format->maxval = int32_t(header.maxval);
  const bool wide = header.maxval > 255;
  const int32_t channels = header.colour ? 3 : 1;
  // Counted in 64 bits: 32767 x 32767 x 3 x 2 bytes wraps a 32-bit size_t.
  const uint64_t samples64 = uint64_t(header.width) * uint64_t(header.height) * uint64_t(channels);
  const uint64_t bytes64 = samples64 * (wide ? 2 : 1);
  if (bytes64 > uint64_t(PTRDIFF_MAX) / 2) {
    *error = path + ": image too large for this host";
    return false;
  }
  const size_t samples = size_t(samples64);
  const size_t bytes = size_t(bytes64);
  std::vector<uint8_t> raw;
  try {
    // Grown as the data arrives, so a header alone never claims the memory.
    constexpr size_t kPiece = size_t(1) << 20;
    while (raw.size() < bytes) {
      const size_t at = raw.size();
      const size_t piece = bytes - at < kPiece ? bytes - at : kPiece;
      raw.resize(at + piece);
      if (std::fread(raw.data() + at, 1, piece, f.get()) != piece) {
        *error = path + ": file is shorter than its header says";
        return false;
      }
    }
    *image = makeHostImage(int32_t(header.width), int32_t(header.height), wide ? 16 : 8,
                           header.colour ? (wide ? plugInModeRGB48 : plugInModeRGBColor)
                                         : (wide ? plugInModeGray16 : plugInModeGrayScale),
                           channels);
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory for the image";
    return false;
  }
  const uint32_t maxval = uint32_t(header.maxval);
  for (size_t i = 0; i < samples; ++i) {
    uint32_t v = wide ? (uint32_t(raw[2 * i]) << 8) | raw[2 * i + 1] : raw[i];
    if (v > maxval) {
      *error = path + ": sample above maxval";
      return false;
    }
    if (wide) {
      const uint16_t s = uint16_t(maxval == 32768 ? v : scaleSample(v, maxval, 32768));
      std::memcpy(image->data.data() + 2 * i, &s, 2);
    } else {
      image->data[i] = uint8_t(maxval == 255 ? v : scaleSample(v, maxval, 255));
    }
  }
  return true;
}

bool writePnm(const std::string& path, const HostImage& image, const PnmFormat& format,
              std::string* error) {
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!writePnmStream(f.get(), path, image, format, error)) return false;
  if (std::fclose(f.release()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool writePnmStream(FILE* f, const std::string& path, const HostImage& image,
                    const PnmFormat& format, std::string* error) {
  const bool wide = image.depth == 16;
  const uint32_t maxval = uint32_t(format.maxval);
  const int32_t channels = format.colour ? 3 : 1;
  std::fprintf(f, "P%c\n%d %d\n%u\n", format.colour ? '6' : '5', image.width, image.height, maxval);
  const size_t samples = size_t(image.width) * size_t(image.height) * size_t(channels);
  std::vector<uint8_t> raw(samples * (wide ? 2 : 1));
  for (size_t i = 0; i < samples; ++i) {
    if (wide) {
      uint16_t s;
      std::memcpy(&s, image.data.data() + 2 * i, 2);
      const uint32_t v = maxval == 32768 ? s : scaleSample(s > 32768 ? 32768 : s, 32768, maxval);
      raw[2 * i] = uint8_t(v >> 8);
      raw[2 * i + 1] = uint8_t(v);
    } else {
      raw[i] = uint8_t(maxval == 255 ? image.data[i] : scaleSample(image.data[i], 255, maxval));
    }
  }
  if (std::fwrite(raw.data(), 1, raw.size(), f) != raw.size() || std::fflush(f) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool readPgmMask(const std::string& path, int32_t width, int32_t height, std::vector<uint8_t>* mask,
                 std::string* error) {
  HostImage image;
  PnmFormat format;
  if (!readPnm(path, &image, &format, error)) return false;
  if (format.colour || image.depth != 8) {
    *error = path + ": a mask must be an 8-bit PGM (P5, maxval <= 255)";
    return false;
  }
  if (image.width != width || image.height != height) {
    *error = path + ": mask is " + std::to_string(image.width) + "x" +
             std::to_string(image.height) + ", image is " + std::to_string(width) + "x" +
             std::to_string(height);
    return false;
  }
  *mask = image.data;
  return true;
}
