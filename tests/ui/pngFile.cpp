// pngFile.cpp -- a minimal PNG writer for test screenshots: stored deflate blocks, no compression
#include "tests/ui/pngFile.h"

#include <cstddef>
#include <cstdio>

namespace {

void putBig32(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(uint8_t(value >> 24));
  out->push_back(uint8_t(value >> 16));
  out->push_back(uint8_t(value >> 8));
  out->push_back(uint8_t(value));
}

// Length, type, data, and the CRC of type and data.
void putChunk(std::vector<uint8_t>* out, const char* type, const std::vector<uint8_t>& data) {
  putBig32(out, uint32_t(data.size()));
  std::vector<uint8_t> typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out->insert(out->end(), typed.begin(), typed.end());
  putBig32(out, pngCrc32(typed.data(), typed.size()));
}

}  // namespace

uint32_t pngCrc32(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint32_t adler32(const uint8_t* bytes, size_t count) {
  uint32_t a = 1;
  uint32_t b = 0;
  for (size_t i = 0; i < count; ++i) {
    a = (a + bytes[i]) % 65521u;
    b = (b + a) % 65521u;
  }
  return (b << 16) | a;
}

bool writePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels) {
  if (width <= 0 || height <= 0 || pixels.size() != size_t(width) * size_t(height)) return false;
  // Each row: filter type 0, then R, G, B per pixel.
  std::vector<uint8_t> raw;
  raw.reserve(size_t(height) * (size_t(width) * 3 + 1));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    for (int x = 0; x < width; ++x) {
      const uint32_t p = pixels[size_t(y) * width + x];
      raw.push_back(uint8_t(p >> 16));
      raw.push_back(uint8_t(p >> 8));
      raw.push_back(uint8_t(p));
    }
  }
  // zlib stream: header, stored blocks of at most 65535 bytes, Adler-32.
  std::vector<uint8_t> z = {0x78, 0x01};
  size_t offset = 0;
  do {
    const size_t n = raw.size() - offset < 65535 ? raw.size() - offset : 65535;
    const bool last = offset + n == raw.size();
    z.push_back(last ? 1 : 0);
    z.push_back(uint8_t(n));
    z.push_back(uint8_t(n >> 8));
    z.push_back(uint8_t(~n));
    z.push_back(uint8_t(~n >> 8));
    z.insert(z.end(), raw.begin() + ptrdiff_t(offset), raw.begin() + ptrdiff_t(offset + n));
    offset += n;
  } while (offset < raw.size());
  putBig32(&z, adler32(raw.data(), raw.size()));

  std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  putBig32(&header, uint32_t(width));
  putBig32(&header, uint32_t(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace
  putChunk(&file, "IHDR", header);
  putChunk(&file, "IDAT", z);
  putChunk(&file, "IEND", {});

  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  return std::fclose(f) == 0 && written;
}
