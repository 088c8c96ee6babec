// sampleHelpers.h -- what every image-file reader and writer shares: the source record, the 16-bit
// mapping over whole rows, image sizes and the metadata each kind converts
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/sampleRange.h"
#include "pluginHost/pluginHost.h"

enum class ImageKind { pnm, tiff, png, jpeg };

// A PNG chunk copied as it was read (text still compressed), and where it stood.
struct PngChunk {
  char name[5] = {0};
  std::vector<uint8_t> data;
  uint8_t location = 0;  // libpng's: before PLTE, before IDAT or after IDAT
};

// A JPEG marker copied as it was read (APP1 with EXIF or XMP, APP2 with a
// piece of an ICC profile, COM).
struct JpegMarker {
  uint8_t code = 0;
  std::vector<uint8_t> data;
};

// What the input file was, so that the output can be written alike.
struct ImageSource {
  ImageKind kind = ImageKind::pnm;
  int32_t channels = 1;     // colour planes: 1 grey, 3 RGB
  int32_t extraPlanes = 0;  // alpha and other planes, carried through after the colour ones
  int32_t pnmMaxval = 255;  // PNM: the file's maxval, written back as it was
  // TIFF: how it was stored and what it said about itself.
  bool bigEndian = false;
  uint16_t compression = 1;
  uint16_t predictor = 1;
  std::vector<uint16_t> extraSampleKinds;
  bool hasResolution = false;
  bool badResolution = false;  // present but not a positive finite number: left out
  float xResolution = 0, yResolution = 0;
  uint16_t resolutionUnit = 2;
  uint16_t orientation = 1;
  std::vector<std::pair<uint32_t, std::string>> texts;  // descriptive ASCII tags
  std::vector<uint8_t> iccProfile;
  // Chromaticities: TIFF's WhitePoint and PrimaryChromaticities, or PNG's cHRM.
  bool hasWhitePoint = false, hasPrimaries = false;
  float whitePoint[2] = {0, 0};
  float primaries[6] = {0, 0, 0, 0, 0, 0};
  // PNG: physical pixel size, significant bits, and the text, gAMA, cHRM and
  // sRGB chunks as they were.
  bool hasPhysical = false;
  uint32_t xPixelsPerUnit = 0, yPixelsPerUnit = 0;
  int32_t physicalUnit = 0;
  bool hasSignificantBits = false;
  uint8_t significantBits[5] = {0, 0, 0, 0, 0};  // red, green, blue, grey, alpha
  std::vector<PngChunk> pngChunks;
  // JPEG: the markers kept, whether one holds EXIF, and the markers of other
  // kinds that were not kept (named in the warning of what was left out).
  std::vector<JpegMarker> jpegMarkers;
  bool hasExif = false;
  std::string jpegMarkersDropped;
};

// The extra plane a PNG output takes as its alpha, or -1: a PNG's own, or a
// TIFF's first unassociated alpha (an unspecified extra sample is not alpha).
int32_t alphaPlaneFor(const ImageSource& source);

// The sample mapping over count 16-bit samples through a table: in place
// from the file's range (big-endian bytes, or machine order) to the host's,
// and from the host's into to.
void samplesToHost(uint8_t* data, size_t count, uint32_t maxval, bool bigEndianBytes);
void samplesFromHost(const uint8_t* from, uint8_t* to, size_t count, uint32_t maxval,
                     bool bigEndianBytes);

// The same over whole 16-bit pixels of planes samples in machine order: only
// the channels colour samples are mapped. Extra planes hold the file's own
// samples (the module carries them through without reading them), so alpha
// goes from file to file bit for bit.
void colourSamplesToHost(uint8_t* data, size_t pixels, int32_t planes, int32_t channels);
void colourSamplesFromHost(const uint8_t* from, uint8_t* to, size_t pixels, int32_t planes,
                           int32_t channels);

// Sizes image for a width x height file of planes samples of bits each (rgb:
// the first three are colour), letting go of what it held first. False with
// one line naming the file when the file cannot hold that much data
// (fileCanHold: the most its bytes can decode to) or the machine cannot.
bool allocateImage(const std::string& path, uint32_t width, uint32_t height, int32_t bits,
                   int32_t planes, bool rgb, uint64_t fileCanHold, HostImage* image,
                   std::string* error);

// The most a file of fileBytes can decode to at ratio bytes for one (a
// codec's largest): unlimited when the size is unknown (-1).
uint64_t mostDecodedBytes(int64_t fileBytes, uint64_t ratio);

// A TIFF source's resolution as PNG's pHYs (pixels a metre, or an aspect
// ratio without a unit); false when it has none or PNG cannot hold it.
bool pngResolutionFromTiff(const ImageSource& source, uint32_t* x, uint32_t* y, int32_t* unit);

// A source's resolution as JFIF's density (unit 0 none, 1 inch, 2
// centimetre); false when it has none or JFIF cannot hold it.
bool jpegDensity(const ImageSource& source, uint16_t* x, uint16_t* y, uint8_t* unit);

// A source's chromaticities as the 32 bytes of PNG's cHRM chunk; false when
// it lacks the white point or the primaries, or PNG cannot hold a value.
bool pngChromaticities(const ImageSource& source, uint8_t chunk[32]);
