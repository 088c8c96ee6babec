// pngFile.h -- a minimal PNG writer for test screenshots: stored deflate blocks, no compression
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes width x height pixels (0x00RRGGBB, rows top-down) as an 8-bit RGB PNG.
// False when the file cannot be written.
bool writePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels);

// The parts, for tests of the writer itself.
uint32_t pngCrc32(const uint8_t* bytes, size_t count);
uint32_t adler32(const uint8_t* bytes, size_t count);
