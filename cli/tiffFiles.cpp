// tiffFiles.cpp -- TIFF files through libtiff: 8/16-bit grey or RGB, extra planes, strips or tiles
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include "cli/codecs.h"
#include "cli/userFiles.h"

namespace {

// libtiff reports through process-wide handlers: its errors become the reason
// of the failure at hand, its warnings our own warning lines.
std::string* currentError = nullptr;
const std::string* currentPath = nullptr;

// The last message is kept: libtiff says what failed last, after any
// harmless complaints on the way.
void noteTiffError(const char* module, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  if (currentError != nullptr) {
    *currentError = std::string(module != nullptr ? module : "") + (module ? ": " : "") + text;
  }
}

void noteTiffWarning(const char*, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::fprintf(stderr, "brisel: warning: %s: %s\n", currentPath ? currentPath->c_str() : "TIFF",
               text);
}

// Handlers set for the life of one read or write.
struct TiffReport {
  std::string detail;
  TiffReport(const std::string& path) {
    currentError = &detail;
    currentPath = &path;
    TIFFSetErrorHandler(noteTiffError);
    TIFFSetWarningHandler(noteTiffWarning);
  }
  ~TiffReport() {
    currentError = nullptr;
    currentPath = nullptr;
  }
  TiffReport(const TiffReport&) = delete;
  TiffReport& operator=(const TiffReport&) = delete;
};

struct TiffCloser {
  void operator()(TIFF* tif) const {
    if (tif) TIFFClose(tif);
  }
};

std::string failure(const std::string& path, const std::string& what, const TiffReport& report) {
  return path + ": " + what + (report.detail.empty() ? "" : " (" + report.detail + ")");
}

const uint32_t kTextTags[] = {TIFFTAG_DOCUMENTNAME, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE,
                              TIFFTAG_MODEL,        TIFFTAG_PAGENAME,         TIFFTAG_SOFTWARE,
                              TIFFTAG_DATETIME,     TIFFTAG_ARTIST,           TIFFTAG_HOSTCOMPUTER,
                              TIFFTAG_COPYRIGHT};

std::string sampleFormatName(uint16_t format) {
  switch (format) {
    case SAMPLEFORMAT_INT:
      return "signed integer samples";
    case SAMPLEFORMAT_IEEEFP:
      return "floating-point samples";
    case SAMPLEFORMAT_VOID:
      return "samples of undefined format (SampleFormat 4, void)";
    case SAMPLEFORMAT_COMPLEXINT:
      return "complex integer samples";
    case SAMPLEFORMAT_COMPLEXIEEEFP:
      return "complex floating-point samples";
    default:
      return "samples of unknown format (SampleFormat " + std::to_string(format) + ")";
  }
}

std::string compressionName(uint16_t compression) {
  switch (compression) {
    case COMPRESSION_CCITTRLE:
      return "CCITT modified Huffman";
    case COMPRESSION_CCITTFAX3:
      return "CCITT Group 3 fax";
    case COMPRESSION_CCITTFAX4:
      return "CCITT Group 4 fax";
    case COMPRESSION_OJPEG:
      return "old-style JPEG";
    case COMPRESSION_JPEG:
      return "JPEG";
    case COMPRESSION_JP2000:
      return "JPEG 2000";
    case COMPRESSION_LERC:
      return "LERC";
    case COMPRESSION_LZMA:
      return "LZMA";
    case COMPRESSION_ZSTD:
      return "Zstandard";
    case COMPRESSION_WEBP:
      return "WebP";
    case COMPRESSION_JXL:
      return "JPEG XL";
    case COMPRESSION_PIXARLOG:
      return "PixarLog";
    case COMPRESSION_SGILOG:
    case COMPRESSION_SGILOG24:
      return "SGILog";
    default:
      return "unknown (" + std::to_string(compression) + ")";
  }
}

// The most one stored byte can decode to: each codec's best case (a PackBits
// run of 128 from 2 bytes, a 12-bit LZW code for a 4096-byte string, a 2-bit
// Deflate match of 258), so that a file's size bounds its image.
uint64_t codecRatio(uint16_t compression) {
  switch (compression) {
    case COMPRESSION_NONE:
      return 1;
    case COMPRESSION_PACKBITS:
      return 64;
    case COMPRESSION_LZW:
      return 2731;
    default:
      return 1032;
  }
}

// What about this file the host cannot take, or empty.
std::string checkLayout(TIFF* tif, uint16_t bits, uint16_t samples, uint16_t photometric,
                        uint16_t sampleFormat, uint16_t planar, uint16_t compression) {
  if (TIFFNumberOfDirectories(tif) > 1) {
    return "has " + std::to_string(TIFFNumberOfDirectories(tif)) +
           " pages; only single-page files are supported";
  }
  if (sampleFormat != SAMPLEFORMAT_UINT) {
    return sampleFormatName(sampleFormat) + " are not supported (unsigned integers only)";
  }
  if (bits != 8 && bits != 16) {
    return std::to_string(bits) + "-bit samples are not supported (8 or 16 bits)";
  }
  if (photometric == PHOTOMETRIC_SEPARATED) return "CMYK images are not supported";
  if (photometric == PHOTOMETRIC_PALETTE) return "palette images are not supported";
  if (photometric == PHOTOMETRIC_MINISWHITE) return "min-is-white grey is not supported";
  if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_RGB) {
    return "photometric interpretation " + std::to_string(photometric) + " is not supported";
  }
  if (samples < (photometric == PHOTOMETRIC_RGB ? 3 : 1) || samples > 16) {
    return std::to_string(samples) + " samples a pixel do not fit its colour model";
  }
  if (planar != PLANARCONFIG_CONTIG) return "separate colour planes are not supported";
  if (compression != COMPRESSION_NONE && compression != COMPRESSION_LZW &&
      compression != COMPRESSION_ADOBE_DEFLATE && compression != COMPRESSION_DEFLATE &&
      compression != COMPRESSION_PACKBITS) {
    return compressionName(compression) +
           " compression is not supported (none, LZW, Deflate, PackBits)";
  }
  return "";
}

bool usesPredictor(uint16_t compression) {
  return compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE ||
         compression == COMPRESSION_DEFLATE;
}

// The output through our own calls on the descriptor, so that a failed
// write is reported with the system's reason (libtiff says "Write Error").
struct TiffStream {
  int fd;
  int writeError;
};

tmsize_t streamRead(thandle_t h, void* buffer, tmsize_t size) {
  TiffStream* s = static_cast<TiffStream*>(h);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(s->fd, static_cast<char*>(buffer) + done, size_t(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

tmsize_t streamWrite(thandle_t h, void* buffer, tmsize_t size) {
  TiffStream* s = static_cast<TiffStream*>(h);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(s->fd, static_cast<const char*>(buffer) + done, size_t(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (s->writeError == 0) s->writeError = n < 0 ? errno : ENOSPC;
      break;
    }
    done += n;
  }
  return done;
}

toff_t streamSeek(thandle_t h, toff_t offset, int whence) {
  const off_t at = lseek(static_cast<TiffStream*>(h)->fd, off_t(offset), whence);
  return at < 0 ? toff_t(-1) : toff_t(at);
}

int streamClose(thandle_t h) { return close(static_cast<TiffStream*>(h)->fd); }

toff_t streamSize(thandle_t h) {
  struct stat info;
  return fstat(static_cast<TiffStream*>(h)->fd, &info) == 0 ? toff_t(info.st_size) : 0;
}

int streamMap(thandle_t, void**, toff_t*) { return 0; }
void streamUnmap(thandle_t, void*, toff_t) {}

// Resolution, chromaticities, orientation, texts and ICC profile, kept for the
// output; the predictor of the codecs that have one.
void readTiffMetadata(TIFF* tif, uint16_t compression, ImageSource* source) {
  // (Asked only of the codecs that have one: the others answer with an error.)
  if (usesPredictor(compression)) {
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &source->predictor);
  }
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &source->xResolution) &&
      TIFFGetField(tif, TIFFTAG_YRESOLUTION, &source->yResolution)) {
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &source->resolutionUnit);
    // A resolution no writer can take again is left out (with a warning on output).
    source->hasResolution = std::isfinite(source->xResolution) && source->xResolution > 0 &&
                            std::isfinite(source->yResolution) && source->yResolution > 0 &&
                            source->resolutionUnit >= RESUNIT_NONE &&
                            source->resolutionUnit <= RESUNIT_CENTIMETER;
    source->badResolution = !source->hasResolution;
  }
  float* chromaticities = nullptr;
  if (TIFFGetField(tif, TIFFTAG_WHITEPOINT, &chromaticities) && chromaticities) {
    source->hasWhitePoint = true;
    std::copy(chromaticities, chromaticities + 2, source->whitePoint);
  }
  chromaticities = nullptr;
  if (TIFFGetField(tif, TIFFTAG_PRIMARYCHROMATICITIES, &chromaticities) && chromaticities) {
    source->hasPrimaries = true;
    std::copy(chromaticities, chromaticities + 6, source->primaries);
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &source->orientation);
  for (uint32_t tag : kTextTags) {
    char* text = nullptr;
    if (TIFFGetField(tif, tag, &text) && text != nullptr) source->texts.emplace_back(tag, text);
  }
  uint32_t iccSize = 0;
  void* icc = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccSize, &icc) && icc != nullptr) {
    const uint8_t* bytes = static_cast<const uint8_t*>(icc);
    source->iccProfile.assign(bytes, bytes + iccSize);
  }
}

// Every tile into the image, one tile held beside it.
bool readTiffTiles(TIFF* tif, const std::string& path, const TiffReport& report, HostImage* image,
                   std::string* error) {
  const uint32_t width = uint32_t(image->width), height = uint32_t(image->height);
  const uint16_t samples = uint16_t(image->planes);
  const int32_t s = image->bytesPerSample();
  const size_t rowBytes = image->rowBytes();
  uint32_t tileWidth = 0, tileHeight = 0;
  TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
  TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileHeight);
  const tmsize_t tileSize = TIFFTileSize(tif);
  if (tileWidth == 0 || tileHeight == 0 || tileSize <= 0 ||
      uint64_t(tileSize) < uint64_t(tileWidth) * tileHeight * samples * uint64_t(s)) {
    *error = failure(path, "damaged TIFF file: bad tile size", report);
    return false;
  }
  // One tile is held beside the image: a tile far larger than the image (a
  // whole image in one padded tile is fine) is a lie, not a layout.
  const uint64_t imageBytes = image->data.size();
  if (uint64_t(tileSize) > std::max<uint64_t>(2 * imageBytes, uint64_t(16) << 20)) {
    *error = path + ": damaged TIFF file: " + std::to_string(tileWidth) + "x" +
             std::to_string(tileHeight) + " tiles for a " + std::to_string(width) + "x" +
             std::to_string(height) + " image";
    return false;
  }
  std::vector<uint8_t> tile(static_cast<size_t>(tileSize));
  for (uint32_t y0 = 0; y0 < height; y0 += tileHeight) {
    for (uint32_t x0 = 0; x0 < width; x0 += tileWidth) {
      if (TIFFReadTile(tif, tile.data(), x0, y0, 0, 0) < 0) {
        *error = failure(path,
                         "damaged TIFF file: tile at " + std::to_string(x0) + "," +
                             std::to_string(y0) + " unreadable",
                         report);
        return false;
      }
      const uint32_t columns = std::min(tileWidth, width - x0);
      const size_t tileRowBytes = size_t(tileWidth) * samples * size_t(s);
      for (uint32_t y = y0; y < std::min(height, y0 + tileHeight); ++y) {
        std::memcpy(image->data.data() + size_t(y) * rowBytes + size_t(x0) * samples * size_t(s),
                    tile.data() + size_t(y - y0) * tileRowBytes,
                    size_t(columns) * samples * size_t(s));
      }
    }
  }
  return true;
}

// Every row into the image, as stored in strips.
bool readTiffStrips(TIFF* tif, const std::string& path, const TiffReport& report, HostImage* image,
                    std::string* error) {
  const uint32_t height = uint32_t(image->height);
  const size_t rowBytes = image->rowBytes();
  if (uint64_t(TIFFScanlineSize64(tif)) != rowBytes) {
    *error = failure(path, "damaged TIFF file: rows of an unexpected size", report);
    return false;
  }
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tif, image->data.data() + size_t(y) * rowBytes, y, 0) < 0) {
      *error = failure(path, "damaged TIFF file: row " + std::to_string(y) + " unreadable", report);
      return false;
    }
  }
  return true;
}

}  // namespace

bool readTiff(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
              std::string* error) {
  TiffReport report(path);
  const int64_t fileBytes = bytesLeftInFile(f);
  const int descriptor = dup(fileno(f));
  if (descriptor < 0) {
    *error = path + ": cannot read: out of file descriptors";
    return false;
  }
  std::unique_ptr<TIFF, TiffCloser> tif(TIFFFdOpen(descriptor, path.c_str(), "rm"));
  if (!tif) {
    close(descriptor);
    *error = failure(path, "damaged or unreadable TIFF file", report);
    return false;
  }
  uint32_t width = 0, height = 0;
  uint16_t bits = 1, samples = 1, photometric = 0, sampleFormat = SAMPLEFORMAT_UINT;
  uint16_t planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
  if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height) ||
      !TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric)) {
    *error = failure(path, "damaged TIFF file: size or colour model missing", report);
    return false;
  }
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
  const std::string unsupported =
      checkLayout(tif.get(), bits, samples, photometric, sampleFormat, planar, compression);
  if (!unsupported.empty()) {
    *error = path + ": " + unsupported;
    return false;
  }
  uint16_t extraCount = 0;
  uint16_t* extraKinds = nullptr;
  if (TIFFGetField(tif.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds) && extraKinds) {
    // Colour already multiplied by alpha would come out of the filter above
    // its alpha: refused rather than guessed at.
    for (uint16_t i = 0; i < extraCount; ++i) {
      if (extraKinds[i] == EXTRASAMPLE_ASSOCALPHA) {
        *error = path +
                 ": associated (premultiplied) alpha is not supported; save the image with "
                 "unassociated alpha";
        return false;
      }
    }
  }
  if (width < 1 || height < 1 || width > 32767 || height > 32767) {
    *error = path + ": unsupported image size " + std::to_string(width) + "x" +
             std::to_string(height) + " (1..32767 pixels a side)";
    return false;
  }
  *source = ImageSource();
  source->kind = ImageKind::tiff;
  source->channels = photometric == PHOTOMETRIC_RGB ? 3 : 1;
  source->extraPlanes = samples - source->channels;
  source->bigEndian = TIFFIsBigEndian(tif.get()) != 0;
  source->compression = compression;
  if (extraKinds != nullptr) source->extraSampleKinds.assign(extraKinds, extraKinds + extraCount);
  readTiffMetadata(tif.get(), compression, source);

  if (!allocateImage(path, width, height, bits, int32_t(samples), photometric == PHOTOMETRIC_RGB,
                     mostDecodedBytes(fileBytes, codecRatio(compression)), image, error)) {
    return false;
  }
  const bool read = TIFFIsTiled(tif.get()) ? readTiffTiles(tif.get(), path, report, image, error)
                                           : readTiffStrips(tif.get(), path, report, image, error);
  if (!read) return false;
  if (bits == 16) {
    colourSamplesToHost(image->data.data(), size_t(width) * height, samples, source->channels);
  }
  return true;
}

namespace {

// Size, samples, colour model and compression: another TIFF's compression and
// predictor, else Deflate with the horizontal predictor; the extra planes'
// kinds as the source had them.
void setTiffLayout(TIFF* t, const HostImage& image, const ImageSource& source, int32_t channels) {
  const bool sameKind = source.kind == ImageKind::tiff;
  const uint16_t compression = sameKind ? source.compression : uint16_t(COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(image.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(image.height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(image.depth));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(image.planes));
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, uint16_t(SAMPLEFORMAT_UINT));
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
               uint16_t(channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  if (usesPredictor(compression)) {
    TIFFSetField(t, TIFFTAG_PREDICTOR,
                 sameKind ? source.predictor : uint16_t(PREDICTOR_HORIZONTAL));
  }
  const int32_t extras = image.planes - channels;
  if (extras > 0) {
    std::vector<uint16_t> kinds(size_t(extras), uint16_t(EXTRASAMPLE_UNSPECIFIED));
    for (size_t i = 0; i < kinds.size() && i < source.extraSampleKinds.size(); ++i) {
      kinds[i] = source.extraSampleKinds[i];
    }
    // A PNG's alpha is unassociated.
    if (source.kind == ImageKind::png) kinds[0] = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(extras), kinds.data());
  }
}

// Resolution, orientation, texts, chromaticities and ICC profile, in TIFF's
// terms whatever the source.
void setTiffMetadata(TIFF* t, const ImageSource& source) {
  // A JPEG's density and EXIF orientation are held in TIFF's terms.
  if (source.kind == ImageKind::tiff || source.kind == ImageKind::jpeg) {
    if (source.hasResolution) {
      TIFFSetField(t, TIFFTAG_XRESOLUTION, source.xResolution);
      TIFFSetField(t, TIFFTAG_YRESOLUTION, source.yResolution);
      TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, source.resolutionUnit);
    }
    TIFFSetField(t, TIFFTAG_ORIENTATION, source.orientation);
    for (const auto& text : source.texts) TIFFSetField(t, text.first, text.second.c_str());
  } else if (source.hasPhysical && source.physicalUnit == 1) {
    // A PNG's pixels a metre, as pixels a centimetre.
    TIFFSetField(t, TIFFTAG_XRESOLUTION, float(source.xPixelsPerUnit) / 100.0f);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, float(source.yPixelsPerUnit) / 100.0f);
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_CENTIMETER));
  } else if (source.hasPhysical && source.xPixelsPerUnit > 0 && source.yPixelsPerUnit > 0) {
    // Without a unit, PNG's numbers give the pixels' aspect ratio, as TIFF's do.
    TIFFSetField(t, TIFFTAG_XRESOLUTION, float(source.xPixelsPerUnit));
    TIFFSetField(t, TIFFTAG_YRESOLUTION, float(source.yPixelsPerUnit));
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_NONE));
  }
  if (source.hasWhitePoint) {
    TIFFSetField(t, TIFFTAG_WHITEPOINT, const_cast<float*>(source.whitePoint));
  }
  if (source.hasPrimaries) {
    TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, const_cast<float*>(source.primaries));
  }
  if (!source.iccProfile.empty()) {
    TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(source.iccProfile.size()),
                 source.iccProfile.data());
  }
}

}  // namespace

bool writeTiff(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
               std::string* error) {
  TiffReport report(path);
  if (std::fflush(f) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  TiffStream stream{dup(fileno(f)), 0};
  if (stream.fd < 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool sameKind = source.kind == ImageKind::tiff;
  const bool bigEndian = sameKind && source.bigEndian;
  std::unique_ptr<TIFF, TiffCloser> tif(
      TIFFClientOpen(path.c_str(), bigEndian ? "wb" : "wl", &stream, streamRead, streamWrite,
                     streamSeek, streamClose, streamSize, streamMap, streamUnmap));
  if (!tif) {
    close(stream.fd);
    *error = failure("cannot write " + path, "libtiff refused the file", report);
    return false;
  }
  // The system's reason for a failed write, else libtiff's.
  auto failed = [&]() {
    *error = stream.writeError != 0
                 ? "cannot write " + path + ": " + std::strerror(stream.writeError)
                 : failure("cannot write " + path, "libtiff failed", report);
    return false;
  };
  TIFF* t = tif.get();
  const int32_t channels =
      image.imageMode == plugInModeRGBColor || image.imageMode == plugInModeRGB48 ? 3 : 1;
  setTiffLayout(t, image, source, channels);
  setTiffMetadata(t, source);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  // libtiff may change a row as it encodes it (the predictor works in place),
  // and 16-bit rows go back to the file's range: one row at a time.
  std::vector<uint8_t> row(image.rowBytes());
  for (int32_t y = 0; y < image.height; ++y) {
    const uint8_t* from = image.data.data() + size_t(y) * image.rowBytes();
    if (image.depth == 16) {
      colourSamplesFromHost(from, row.data(), size_t(image.width), image.planes, channels);
    } else {
      std::memcpy(row.data(), from, row.size());
    }
    if (TIFFWriteScanline(t, row.data(), uint32_t(y), 0) < 0) return failed();
  }
  if (!TIFFFlush(t)) return failed();
  tif.reset();
  if (stream.writeError != 0) return failed();
  return true;
}
