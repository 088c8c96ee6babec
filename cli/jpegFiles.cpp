// jpegFiles.cpp -- JPEG files through libjpeg: 8-bit grey or RGB, EXIF and ICC markers kept
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>

// (libjpeg's headers need FILE declared first, and its configuration for
// the arithmetic coding's messages.)
#include <cstdio>

#include <jpeglib.h>

#include <jerror.h>

#include "cli/codecs.h"
#include "cli/userFiles.h"

namespace {

// libjpeg's errors end in a jump back to the call that began the work; the
// reason is kept here, and its warnings become our own lines.
struct JpegReport {
  jpeg_error_mgr manager;  // first: libjpeg hands back its address
  jmp_buf jump;
  const std::string* path;
  char detail[JMSG_LENGTH_MAX];
  int code;  // the message that stopped the work
};

void noteJpegError(j_common_ptr c) {
  JpegReport* report = reinterpret_cast<JpegReport*>(c->err);
  c->err->format_message(c, report->detail);
  report->code = c->err->msg_code;
  std::longjmp(report->jump, 1);
}

// Damaged data is a warning to libjpeg, which goes on with grey in place of
// what it could not decode; here it is an error, never a wrong image.
bool isDamage(int code) {
  return code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_MUST_RESYNC ||
         code == JWRN_HUFF_BAD_CODE || code == JWRN_NOT_SEQUENTIAL ||
         code == JWRN_BOGUS_PROGRESSION || code == JWRN_ARITH_BAD_CODE;
}

void noteJpegMessage(j_common_ptr c, int level) {
  if (level >= 0) return;  // trace messages
  JpegReport* report = reinterpret_cast<JpegReport*>(c->err);
  if (isDamage(c->err->msg_code)) noteJpegError(c);
  // Like libjpeg itself, only the first warning of a file is shown.
  if (c->err->num_warnings++ == 0) {
    char message[JMSG_LENGTH_MAX];
    c->err->format_message(c, message);
    std::fprintf(stderr, "brisel: warning: %s: %s\n", report->path->c_str(), message);
  }
}

void prepareReport(JpegReport* report, const std::string& path) {
  jpeg_std_error(&report->manager);
  report->manager.error_exit = noteJpegError;
  report->manager.emit_message = noteJpegMessage;
  report->path = &path;
  report->detail[0] = '\0';
  report->code = 0;
}

// libjpeg's own whole-image buffers (a progressive file's coefficients) are
// held to the memory free; beyond it libjpeg stops with "backing store".
long memoryForLibrary(uint64_t imageBytes) {
  const uint64_t free = memoryForImage();
  const uint64_t left = free > imageBytes ? free - imageBytes : 0;
  // (0 means no limit to libjpeg.)
  return long(std::max<uint64_t>(1, std::min<uint64_t>(left, uint64_t(LONG_MAX))));
}

bool isOutOfMemory(int code) { return code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE; }

uint32_t readNumber(const uint8_t* p, int bytes, bool bigEndian) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[bigEndian ? i : bytes - 1 - i];
  return v;
}

// The Orientation of an EXIF block (a TIFF header and its first directory
// after "Exif\0\0"), 1 when it has none or it lies outside the block.
uint16_t exifOrientation(const std::vector<uint8_t>& exif) {
  const uint8_t* t = exif.data() + 6;
  const size_t size = exif.size() - 6;
  if (size < 8 || (t[0] != t[1]) || (t[0] != 'I' && t[0] != 'M')) return 1;
  const bool big = t[0] == 'M';
  const uint32_t directory = readNumber(t + 4, 4, big);
  if (directory > size - 2) return 1;
  const uint32_t entries = readNumber(t + directory, 2, big);
  for (uint32_t i = 0; i < entries; ++i) {
    const size_t at = size_t(directory) + 2 + size_t(i) * 12;
    if (at + 12 > size) break;
    // Tag 274, one SHORT, held in the entry itself.
    if (readNumber(t + at, 2, big) == 274 && readNumber(t + at + 2, 2, big) == 3 &&
        readNumber(t + at + 4, 4, big) == 1) {
      const uint32_t v = readNumber(t + at + 8, 2, big);
      return v >= 1 && v <= 8 ? uint16_t(v) : 1;
    }
  }
  return 1;
}

bool startsWith(const jpeg_saved_marker_ptr m, const char* text, size_t length) {
  return m->data_length >= length && std::memcmp(m->data, text, length) == 0;
}

// The jumping parts: nothing in them has a destructor for the jump to skip.
// Each returns 0, else 1 after a libjpeg error (the reason in the report).
int createReader(j_decompress_ptr c, JpegReport* report) {
  if (setjmp(report->jump)) return 1;
  jpeg_create_decompress(c);
  return 0;
}

int readHeader(j_decompress_ptr c, JpegReport* report, FILE* f) {
  if (setjmp(report->jump)) return 1;
  jpeg_stdio_src(c, f);
  // EXIF and XMP, ICC pieces and comments in full; of the other
  // application markers only enough to name them (JFIF's APP0 and Adobe's
  // APP14 are libjpeg's own and written anew).
  jpeg_save_markers(c, JPEG_APP0 + 1, 0xffff);
  jpeg_save_markers(c, JPEG_APP0 + 2, 0xffff);
  jpeg_save_markers(c, JPEG_COM, 0xffff);
  for (int n = 3; n <= 15; ++n) {
    if (n != 14) jpeg_save_markers(c, JPEG_APP0 + n, 1);
  }
  jpeg_read_header(c, TRUE);
  return 0;
}

// Decodes every row: row y at first + y * stride (stride 0: all into one row).
int decodeRows(j_decompress_ptr c, JpegReport* report, uint8_t* first, size_t stride) {
  if (setjmp(report->jump)) return 1;
  jpeg_start_decompress(c);
  while (c->output_scanline < c->output_height) {
    JSAMPROW row = first + size_t(c->output_scanline) * stride;
    jpeg_read_scanlines(c, &row, 1);
  }
  jpeg_finish_decompress(c);
  return 0;
}

int readIccProfile(j_decompress_ptr c, JpegReport* report, JOCTET** data, unsigned int* size) {
  if (setjmp(report->jump)) return 1;
  if (!jpeg_read_icc_profile(c, data, size)) *data = nullptr;
  return 0;
}

// The colour planes of the image, the decoder set to give them: 1 or 3, or 0
// with a reason for colour spaces the host does not take.
int32_t chooseJpegColours(j_decompress_ptr c, const std::string& path, std::string* error) {
  if (c->jpeg_color_space == JCS_GRAYSCALE) {
    c->out_color_space = JCS_GRAYSCALE;
    return 1;
  }
  if (c->jpeg_color_space == JCS_YCbCr || c->jpeg_color_space == JCS_RGB) {
    c->out_color_space = JCS_RGB;
    return 3;
  }
  if (c->jpeg_color_space == JCS_CMYK || c->jpeg_color_space == JCS_YCCK) {
    *error = path + ": CMYK JPEG files are not supported (grey or RGB only)";
    return 0;
  }
  *error = path + ": JPEG files of " + std::to_string(c->num_components) +
           " colour components are not supported (grey or RGB only)";
  return 0;
}

// The density and the markers kept for the output, from the header: EXIF
// (and its orientation), ICC pieces and comments; the other application
// markers are named as dropped.
void readJpegMetadata(j_decompress_ptr c, ImageSource* source) {
  // JFIF's density in TIFF's terms (units 0 none, 1 inch, 2 centimetre as 1,
  // 2, 3); libjpeg's default 1:1 without a unit says nothing.
  if (c->saw_JFIF_marker && !(c->density_unit == 0 && c->X_density == c->Y_density)) {
    source->hasResolution = c->X_density > 0 && c->Y_density > 0 && c->density_unit <= 2;
    source->badResolution = !source->hasResolution;
    source->xResolution = float(c->X_density);
    source->yResolution = float(c->Y_density);
    source->resolutionUnit = uint16_t(c->density_unit + 1);
  }
  std::vector<std::string> dropped;
  for (jpeg_saved_marker_ptr m = c->marker_list; m != nullptr; m = m->next) {
    const bool icc = m->marker == JPEG_APP0 + 2 && startsWith(m, "ICC_PROFILE\0", 12);
    if (m->marker == JPEG_APP0 + 1 || m->marker == JPEG_COM || icc) {
      JpegMarker kept;
      kept.code = uint8_t(m->marker);
      kept.data.assign(m->data, m->data + m->data_length);
      if (m->marker == JPEG_APP0 + 1 && startsWith(m, "Exif\0\0", 6) && !source->hasExif) {
        source->hasExif = true;
        source->orientation = exifOrientation(kept.data);
      }
      source->jpegMarkers.push_back(std::move(kept));
      continue;
    }
    const std::string name = "APP" + std::to_string(m->marker - JPEG_APP0);
    if (std::find(dropped.begin(), dropped.end(), name) == dropped.end()) dropped.push_back(name);
  }
  for (size_t i = 0; i < dropped.size(); ++i) {
    source->jpegMarkersDropped += (i == 0 ? "the application markers " : ", ") + dropped[i];
  }
}

}  // namespace

bool readJpeg(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
              std::string* error) {
  JpegReport report;
  prepareReport(&report, path);
  jpeg_decompress_struct c;
  c.err = &report.manager;
  if (createReader(&c, &report) != 0) {
    *error = path + ": not enough memory to read it";
    return false;
  }
  struct Cleanup {
    j_decompress_ptr c;
    ~Cleanup() { jpeg_destroy_decompress(c); }
  } cleanup{&c};
  auto failed = [&](const char* what) {
    *error = path + ": " + what + (report.detail[0] ? std::string(" (") + report.detail + ")" : "");
    return false;
  };
  const long start = std::ftell(f);
  const int64_t fileBytes = bytesLeftInFile(f);
  if (readHeader(&c, &report, f) != 0) {
    if (report.code == JERR_BAD_PRECISION) {
      *error = path + ": " + std::to_string(c.data_precision) +
               "-bit JPEG files are not supported (8-bit samples only)";
      return false;
    }
    if (report.code == JERR_SOF_UNSUPPORTED) {
      return failed("this kind of JPEG (lossless or hierarchical) is not supported");
    }
    return failed("damaged JPEG file");
  }
  const int32_t channels = chooseJpegColours(&c, path, error);
  if (channels == 0) return false;
  const uint32_t width = c.image_width, height = c.image_height;
  // The host's rectangles are 16-bit.
  if (width > 32767 || height > 32767) {
    *error = path + ": unsupported image size (1..32767 pixels a side)";
    return false;
  }
  const uint64_t bytes = uint64_t(width) * height * uint32_t(channels);
  c.mem->max_memory_to_use = memoryForLibrary(0);
  // A block of 64 samples takes at least a bit or two in every coding but
  // the arithmetic one, whose empty blocks take almost nothing. A file
  // smaller than its image at 1:2048 is decoded once into a single row
  // first: it must really hold its image before the image is allocated.
  uint64_t fileCanHold = UINT64_MAX;
  if (bytes > mostDecodedBytes(fileBytes, 2048)) {
    std::vector<uint8_t> row(size_t(width) * size_t(channels));
    const int scanned = decodeRows(&c, &report, row.data(), 0);
    if (scanned != 0 && isOutOfMemory(report.code)) {
      *error = path + ": not enough memory to read the " + std::to_string(width) + "x" +
               std::to_string(height) + " image";
      return false;
    }
    if (scanned != 0) fileCanHold = 0;
    if (scanned == 0 && (std::fseek(f, start, SEEK_SET) != 0 || readHeader(&c, &report, f) != 0)) {
      return failed("cannot read the JPEG file again");
    }
    if (scanned == 0) c.out_color_space = channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
  }
  if (!allocateImage(path, width, height, 8, channels, channels == 3, fileCanHold, image, error)) {
    return false;
  }
  *source = ImageSource();
  source->kind = ImageKind::jpeg;
  source->channels = channels;
  readJpegMetadata(&c, source);
  JOCTET* icc = nullptr;
  unsigned int iccSize = 0;
  if (readIccProfile(&c, &report, &icc, &iccSize) == 0 && icc != nullptr) {
    source->iccProfile.assign(icc, icc + iccSize);
    std::free(icc);
  }
  c.mem->max_memory_to_use = memoryForLibrary(bytes);
  // The rows are decoded straight into the image.
  if (decodeRows(&c, &report, image->data.data(), image->rowBytes()) != 0) {
    image->data = std::vector<uint8_t>();
    if (isOutOfMemory(report.code)) {
      *error = path + ": not enough memory to read the " + std::to_string(width) + "x" +
               std::to_string(height) + " image";
      return false;
    }
    return failed("damaged JPEG file");
  }
  return true;
}

namespace {

// libjpeg writes through here, so that a failed write is reported with the
// system's reason (libjpeg's own blames a full disk).
struct JpegSink {
  jpeg_destination_mgr manager;  // first: libjpeg hands back its address
  FILE* f;
  int error;
  JOCTET buffer[65536];
};

void startSink(j_compress_ptr c) {
  JpegSink* sink = reinterpret_cast<JpegSink*>(c->dest);
  sink->manager.next_output_byte = sink->buffer;
  sink->manager.free_in_buffer = sizeof sink->buffer;
}

void putBytes(j_compress_ptr c, size_t count) {
  JpegSink* sink = reinterpret_cast<JpegSink*>(c->dest);
  errno = 0;
  if (std::fwrite(sink->buffer, 1, count, sink->f) != count) {
    sink->error = errno != 0 ? errno : EIO;
    ERREXIT(c, JERR_FILE_WRITE);
  }
}

boolean emptySink(j_compress_ptr c) {
  putBytes(c, sizeof(JpegSink::buffer));
  startSink(c);
  return TRUE;
}

void endSink(j_compress_ptr c) {
  JpegSink* sink = reinterpret_cast<JpegSink*>(c->dest);
  putBytes(c, sizeof sink->buffer - sink->manager.free_in_buffer);
}

// A TIFF's or PNG's orientation as the least EXIF block that holds it: a
// big-endian TIFF header and one directory of one entry.
std::vector<uint8_t> exifWithOrientation(uint16_t orientation) {
  const uint8_t hi = uint8_t(orientation >> 8), lo = uint8_t(orientation);
  const uint8_t block[] = {
      'E', 'x', 'i', 'f', 0, 0,        // the EXIF name
      'M', 'M', 0,   42,  0, 0, 0, 8,  // a big-endian TIFF header, its directory at 8
      0,   1,                          // one entry:
      1,   18,  0,   3,   0, 0, 0, 1,  // Orientation (274), one SHORT,
      hi,  lo,  0,   0,                // held in the entry
      0,   0,   0,   0};               // and no next directory
  return std::vector<uint8_t>(block, block + sizeof block);
}

int createWriter(j_compress_ptr c, JpegReport* report) {
  if (setjmp(report->jump)) return 1;
  jpeg_create_compress(c);
  return 0;
}

int beginWriting(j_compress_ptr c, JpegReport* report, int32_t quality, const ImageSource* source,
                 const std::vector<uint8_t>* exif) {
  if (setjmp(report->jump)) return 1;
  jpeg_set_defaults(c);
  jpeg_set_quality(c, quality, TRUE);
  c->optimize_coding = TRUE;  // smaller files, the same samples
  uint16_t x = 0, y = 0;
  uint8_t unit = 0;
  if (jpegDensity(*source, &x, &y, &unit)) {
    c->density_unit = unit;
    c->X_density = x;
    c->Y_density = y;
  }
  jpeg_start_compress(c, TRUE);
  if (source->kind == ImageKind::jpeg) {
    // Another JPEG's markers as they were, in their order.
    for (const JpegMarker& m : source->jpegMarkers) {
      jpeg_write_marker(c, m.code, m.data.data(), unsigned(m.data.size()));
    }
    return 0;
  }
  if (!exif->empty()) jpeg_write_marker(c, JPEG_APP0 + 1, exif->data(), unsigned(exif->size()));
  if (!source->iccProfile.empty()) {
    jpeg_write_icc_profile(c, source->iccProfile.data(), unsigned(source->iccProfile.size()));
  }
  return 0;
}

int writeRows(j_compress_ptr c, JpegReport* report, JSAMPROW* rows, JDIMENSION count) {
  if (setjmp(report->jump)) return 1;
  jpeg_write_scanlines(c, rows, count);
  return 0;
}

int endWriting(j_compress_ptr c, JpegReport* report) {
  if (setjmp(report->jump)) return 1;
  jpeg_finish_compress(c);
  return 0;
}

}  // namespace

bool writeJpeg(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
               int32_t quality, std::string* error) {
  JpegReport report;
  prepareReport(&report, path);
  jpeg_compress_struct c;
  c.err = &report.manager;
  if (createWriter(&c, &report) != 0) {
    *error = "cannot write " + path + ": not enough memory";
    return false;
  }
  struct Cleanup {
    j_compress_ptr c;
    ~Cleanup() { jpeg_destroy_compress(c); }
  } cleanup{&c};
  std::unique_ptr<JpegSink> sink(new JpegSink());
  sink->f = f;
  sink->manager.init_destination = startSink;
  sink->manager.empty_output_buffer = emptySink;
  sink->manager.term_destination = endSink;
  c.dest = &sink->manager;
  auto failed = [&]() {
    *error = "cannot write " + path + ": " +
             (sink->error != 0 ? std::string(std::strerror(sink->error)) : report.detail);
    return false;
  };
  const int32_t channels =
      image.imageMode == plugInModeRGBColor || image.imageMode == plugInModeRGB48 ? 3 : 1;
  c.image_width = JDIMENSION(image.width);
  c.image_height = JDIMENSION(image.height);
  c.input_components = channels;
  c.in_color_space = channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
  const std::vector<uint8_t> exif = source.kind != ImageKind::jpeg && source.orientation != 1
                                        ? exifWithOrientation(source.orientation)
                                        : std::vector<uint8_t>();
  if (beginWriting(&c, &report, quality, &source, &exif) != 0) return failed();
  // Rows with only the colour planes go out as they are; extra planes are
  // left out a row at a time.
  const size_t rowBytes = image.rowBytes();
  std::vector<uint8_t> row(image.planes == channels ? 0 : size_t(image.width) * size_t(channels));
  for (int32_t y = 0; y < image.height; ++y) {
    const uint8_t* from = image.data.data() + size_t(y) * rowBytes;
    JSAMPROW out = const_cast<uint8_t*>(from);
    if (!row.empty()) {
      for (int32_t x = 0; x < image.width; ++x) {
        std::memcpy(row.data() + size_t(x) * size_t(channels),
                    from + size_t(x) * size_t(image.planes), size_t(channels));
      }
      out = row.data();
    }
    if (writeRows(&c, &report, &out, 1) != 0) return failed();
  }
  if (endWriting(&c, &report) != 0) return failed();
  if (std::fflush(f) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
