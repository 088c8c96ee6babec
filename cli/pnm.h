// pnm.h -- binary PGM and PPM files (P5, P6) as host images
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/sampleHelpers.h"
#include "pluginHost/pluginHost.h"

// Reads a P5 or P6 file from its start into the image: 8-bit (maxval 255, or
// a smaller maxval scaled to 0..255), 16-bit as it is (maxval 32768) or
// scaled from maxval to 0..32768. Samples are read straight into the image,
// which is the only copy held. On failure returns false with a one-line reason.
bool readPnm(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
             std::string* error);
// Writes the colour planes in the source's maxval (extra planes have no place in PNM).
bool writePnm(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
              std::string* error);
// Reads a P5 file as one byte a pixel (a selection mask); maxval must be <= 255.
bool readPgmMask(const std::string& path, int32_t width, int32_t height, std::vector<uint8_t>* mask,
                 std::string* error);
