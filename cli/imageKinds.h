// imageKinds.h -- image files as host images by kind: PNM always, TIFF, PNG and JPEG where the
// build has them
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/sampleHelpers.h"

// Reads IN by its content. On failure returns false with one line naming the
// file and the reason (unsupported kinds included).
bool readImage(const std::string& path, HostImage* image, ImageSource* source, std::string* error);
// Checks OUT's name before any work: false with the kinds this build writes
// when its extension names none of them (a name without one is fine).
bool checkOutputName(const std::string& path, std::string* error);
// The kind OUT is written as: by its extension, else (none) the input's kind.
// False with a reason when this build cannot write that kind, or cannot
// write this image as that kind (JPEG holds 8 bits).
bool chooseOutputKind(const std::string& path, const ImageSource& source, int32_t depth,
                      ImageKind* kind, std::string* error);
// How a JPEG OUT is compressed: libjpeg's quality, 1..100.
constexpr int32_t kDefaultJpegQuality = 95;
// Writes the image into an open stream (seekable unless a pipe or device),
// flushed but not closed; path names it in errors. What the output kind
// cannot hold (extra planes, metadata) is left out with one warning line.
bool writeImage(FILE* f, bool seekable, const std::string& path, const HostImage& image,
                const ImageSource& source, ImageKind kind, int32_t jpegQuality, std::string* error);
// The extension --format and a stream OUT take for a kind ("tif", "pnm").
const char* kindExtension(ImageKind kind);
