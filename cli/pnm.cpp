// pnm.cpp -- binary PGM and PPM files (P5, P6) as host images
#include "cli/pnm.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "cli/userFiles.h"

namespace {

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

bool readPnm(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
             std::string* error) {
  PnmHeader header;
  if (!readHeader(f, &header, error)) {
    *error = path + ": " + *error;
    return false;
  }
  *source = ImageSource();
  source->kind = ImageKind::pnm;
  source->channels = header.colour ? 3 : 1;
  source->pnmMaxval = int32_t(header.maxval);
  const bool wide = header.maxval > 255;
  const int32_t channels = source->channels;
  // Counted in 64 bits: 32767 x 32767 x 3 x 2 bytes wraps a 32-bit size_t.
  const uint64_t samples64 = uint64_t(header.width) * uint64_t(header.height) * uint64_t(channels);
  const uint64_t bytes64 = samples64 * (wide ? 2 : 1);
  if (bytes64 > uint64_t(PTRDIFF_MAX) / 2) {
    *error = path + ": image too large for this host";
    return false;
  }
  const size_t samples = size_t(samples64);
  const size_t bytes = size_t(bytes64);
  image->width = int32_t(header.width);
  image->height = int32_t(header.height);
  image->depth = wide ? 16 : 8;
  image->planes = channels;
  image->imageMode = header.colour ? (wide ? plugInModeRGB48 : plugInModeRGBColor)
                                   : (wide ? plugInModeGray16 : plugInModeGrayScale);
  std::vector<uint8_t>& data = image->data;
  data.clear();
  // A header alone never claims the memory: the file must hold the data.
  const int64_t left = bytesLeftInFile(f);
  if (left >= 0 && uint64_t(left) < bytes) {
    *error = path + ": file is shorter than its header says";
    return false;
  }
  try {
    reserveImageBytes(&data, bytes);
    data.resize(bytes);
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory for the image";
    return false;
  }
  if (std::fread(data.data(), 1, bytes, f) != bytes) {
    *error = path + ": file is shorter than its header says";
    return false;
  }
  const uint32_t maxval = uint32_t(header.maxval);
  uint8_t* bytesIn = data.data();
  if (wide) {
    // (No sample can pass the largest maxval.)
    for (size_t i = 0; maxval < 65535 && i < samples; ++i) {
      if ((uint32_t(bytesIn[2 * i]) << 8 | bytesIn[2 * i + 1]) > maxval) {
        *error = path + ": sample above maxval";
        return false;
      }
    }
    // (With maxval 32768 the mapping leaves every sample as it is.)
    samplesToHost(bytesIn, samples, maxval, true);
  } else if (maxval != 255) {
    for (size_t i = 0; i < samples; ++i) {
      const uint32_t v = bytesIn[i];
      if (v > maxval) {
        *error = path + ": sample above maxval";
        return false;
      }
      bytesIn[i] = uint8_t(scaleSample(v, maxval, 255));
    }
  }
  return true;
}

bool writePnm(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
              std::string* error) {
  const bool wide = image.depth == 16;
  const int32_t channels = image.planes >= 3 && source.channels == 3 ? 3 : 1;
  // A source of another kind gives the full range of the image's depth.
  const uint32_t maxval = uint32_t(source.kind == ImageKind::pnm && (source.pnmMaxval > 255) == wide
                                       ? source.pnmMaxval
                                       : (wide ? 65535 : 255));
  std::fprintf(f, "P%c\n%d %d\n%u\n", channels == 3 ? '6' : '5', image.width, image.height, maxval);
  // Written a block of rows at a time: no second copy of the image.
  const size_t rowSamples = size_t(image.width) * size_t(channels);
  const size_t rowBytes = rowSamples * (wide ? 2 : 1);
  const size_t rowsPerBlock = (size_t(1) << 20) / rowBytes + 1;
  std::vector<uint8_t> block(rowBytes * rowsPerBlock);
  for (int32_t top = 0; top < image.height; top += int32_t(rowsPerBlock)) {
    const int32_t rows = int32_t(std::min<size_t>(rowsPerBlock, size_t(image.height - top)));
    uint8_t* to = block.data();
    for (int32_t y = top; y < top + rows; ++y) {
      const uint8_t* row = image.data.data() + size_t(y) * image.rowBytes();
      if (image.planes == channels) {
        // Whole rows at once.
        if (wide) {
          samplesFromHost(row, to, rowSamples, maxval, true);
        } else if (maxval == 255) {
          std::memcpy(to, row, rowBytes);
        } else {
          for (size_t i = 0; i < rowSamples; ++i) to[i] = uint8_t(scaleSample(row[i], 255, maxval));
        }
        to += rowBytes;
        continue;
      }
      for (int32_t x = 0; x < image.width; ++x) {
        for (int32_t c = 0; c < channels; ++c) {
          const size_t at = size_t(x) * size_t(image.planes) + size_t(c);
          if (wide) {
            uint16_t s;
            std::memcpy(&s, row + 2 * at, 2);
            const uint32_t v = fileFromHostSample(s, maxval);
            *to++ = uint8_t(v >> 8);
            *to++ = uint8_t(v);
          } else {
            *to++ = uint8_t(maxval == 255 ? row[at] : scaleSample(row[at], 255, maxval));
          }
        }
      }
    }
    const size_t n = size_t(to - block.data());
    if (std::fwrite(block.data(), 1, n, f) != n) {
      *error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  if (std::fflush(f) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool readPgmMask(const std::string& path, int32_t width, int32_t height, std::vector<uint8_t>* mask,
                 std::string* error) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(openPlainFile(path, error), std::fclose);
  if (!f) return false;
  HostImage image;
  ImageSource source;
  if (!readPnm(f.get(), path, &image, &source, error)) return false;
  if (source.channels != 1 || image.depth != 8) {
    *error = path + ": a mask must be an 8-bit PGM (P5, maxval <= 255)";
    return false;
  }
  if (image.width != width || image.height != height) {
    *error = path + ": mask is " + std::to_string(image.width) + "x" +
             std::to_string(image.height) + ", image is " + std::to_string(width) + "x" +
             std::to_string(height);
    return false;
  }
  *mask = std::move(image.data);
  return true;
}
