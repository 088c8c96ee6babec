// pnm.h -- binary PGM and PPM files (P5, P6) as host images
#pragma once

#include <cstdio>
#include <string>

#include "hostSim/testHost.h"

// How the file's samples map to the host's: 8-bit (maxval 255, or a smaller
// maxval scaled to 0..255), 16-bit as they are (maxval 32768), or 16-bit
// scaled from maxval to 0..32768 and back.
struct PnmFormat {
  bool colour = false;
  int32_t maxval = 255;
};

// Reads a P5 or P6 file; a directory, pipe or device is refused. On failure
// returns false with a one-line reason.
bool readPnm(const std::string& path, HostImage* image, PnmFormat* format, std::string* error);
// Writes the image in the given format (the format it was read in).
bool writePnm(const std::string& path, const HostImage& image, const PnmFormat& format,
              std::string* error);
// The same into an open stream, flushed but not closed; path names it in errors.
bool writePnmStream(FILE* f, const std::string& path, const HostImage& image,
                    const PnmFormat& format, std::string* error);
// Reads a P5 file as one byte a pixel (a selection mask); maxval must be <= 255.
bool readPgmMask(const std::string& path, int32_t width, int32_t height, std::vector<uint8_t>* mask,
                 std::string* error);
