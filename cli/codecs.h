// codecs.h -- TIFF, PNG and JPEG files through libtiff, libpng and libjpeg, where the build has
// them
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/sampleHelpers.h"

// Each reads from the file's start, or writes into an open stream; path names
// the file in the one-line reason given on failure.
bool readTiff(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
              std::string* error);
bool writeTiff(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
               std::string* error);
bool readPng(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
             std::string* error);
bool writePng(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
              std::string* error);
bool readJpeg(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
              std::string* error);
bool writeJpeg(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
               int32_t quality, std::string* error);
