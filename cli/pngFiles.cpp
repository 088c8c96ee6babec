// pngFiles.cpp -- PNG files through libpng: 8/16-bit grey or RGB, alpha carried through, palettes
// expanded
#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <new>

#include <png.h>

#include "cli/imageFiles.h"
#include "cli/userFiles.h"

namespace {

// libpng's errors end in a jump back to the call that began the work; the
// reason is kept here, and its warnings become our own lines.
struct PngReport {
  const std::string* path;
  char detail[256];
  bool tooLarge;  // a side beyond the host's limit, which libpng reports as a warning first
};

void notePngError(png_structp png, png_const_charp message) {
  PngReport* report = static_cast<PngReport*>(png_get_error_ptr(png));
  std::snprintf(report->detail, sizeof report->detail, "%s", message);
  png_longjmp(png, 1);
}

void notePngWarning(png_structp png, png_const_charp message) {
  PngReport* report = static_cast<PngReport*>(png_get_error_ptr(png));
  if (std::strstr(message, "exceeds user limit") != nullptr) {
    report->tooLarge = true;
    return;
  }
  std::fprintf(stderr, "brisel: warning: %s: %s\n", report->path->c_str(), message);
}

// The jumping parts: nothing here has a destructor for the jump to skip.
// Returns 0, else 1 after a libpng error (the reason in the report).
int readPngHeader(png_structp png, png_infop info, FILE* f) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_init_io(png, f);
  // The host's rectangles are 16-bit; a larger header is refused before any
  // data is inflated.
  png_set_user_limits(png, 32767, 32767);
  png_read_info(png, info);
  return 0;
}

int readPngRows(png_structp png, png_infop info, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_read_image(png, rows);
  png_read_end(png, info);
  return 0;
}

int writePngAll(png_structp png, png_infop info, FILE* f, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return 1;
  png_init_io(png, f);
  png_write_info(png, info);
  if (png_get_bit_depth(png, info) == 16) png_set_swap(png);
  png_write_image(png, rows);
  png_write_end(png, info);
  return 0;
}

int setupTransforms(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return 1;
  const int colourType = png_get_color_type(png, info);
  const int bits = png_get_bit_depth(png, info);
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colourType == PNG_COLOR_TYPE_GRAY && bits < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (bits == 16) png_set_swap(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return 0;
}

}  // namespace

bool readPng(FILE* f, const std::string& path, HostImage* image, ImageSource* source,
             std::string* error) {
  PngReport report{&path, {0}, false};
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &report, notePngError, notePngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *error = path + ": not enough memory to read it";
    return false;
  }
  struct Cleanup {
    png_structp* png;
    png_infop* info;
    ~Cleanup() { png_destroy_read_struct(png, info, nullptr); }
  } cleanup{&png, &info};
  auto failed = [&](const char* what) {
    *error = path + ": " + what + (report.detail[0] ? std::string(" (") + report.detail + ")" : "");
    return false;
  };
  if (readPngHeader(png, info, f) != 0) {
    if (report.tooLarge) {
      *error = path + ": unsupported image size (1..32767 pixels a side)";
      return false;
    }
    return failed("damaged PNG file");
  }
  if (setupTransforms(png, info) != 0) return failed("damaged PNG file");
  const uint32_t width = png_get_image_width(png, info);
  const uint32_t height = png_get_image_height(png, info);
  const int bits = png_get_bit_depth(png, info);
  const int planes = png_get_channels(png, info);
  const int colourType = png_get_color_type(png, info);
  if ((bits != 8 && bits != 16) || planes < 1 || planes > 4) {
    return failed("this kind of PNG is not supported");
  }
  const int channels = (colourType & PNG_COLOR_MASK_COLOR) ? 3 : 1;
  if (!allocateImage(path, width, height, bits, planes, channels == 3, image, error)) return false;
  *source = ImageSource();
  source->kind = ImageKind::png;
  source->channels = channels;
  source->extraPlanes = planes - channels;
  png_uint_32 xPixels = 0, yPixels = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &xPixels, &yPixels, &unit)) {
    source->hasPhysical = true;
    source->xPixelsPerUnit = xPixels;
    source->yPixelsPerUnit = yPixels;
    source->physicalUnit = unit;
  }
  png_charp iccName = nullptr;
  int iccCompression = 0;
  png_bytep icc = nullptr;
  png_uint_32 iccSize = 0;
  if (png_get_iCCP(png, info, &iccName, &iccCompression, &icc, &iccSize) && icc != nullptr) {
    source->iccProfile.assign(icc, icc + iccSize);
  }
  std::vector<png_bytep> rows;
  try {
    rows.resize(height);
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory for the " + std::to_string(width) + "x" +
             std::to_string(height) + " image";
    return false;
  }
  for (uint32_t y = 0; y < height; ++y)
    rows[y] = image->data.data() + size_t(y) * image->rowBytes();
  // The rows are read straight into the image.
  if (readPngRows(png, info, rows.data()) != 0) return failed("damaged PNG file");
  png_textp texts = nullptr;
  const int textCount = png_get_text(png, info, &texts, nullptr);
  for (int i = 0; i < textCount; ++i) {
    if (texts[i].key != nullptr && texts[i].text != nullptr) {
      source->pngTexts.emplace_back(texts[i].key, std::string(texts[i].text, texts[i].text_length));
    }
  }
  if (bits == 16) samplesToHost(image->data.data(), image->data.size() / 2, 65535, false);
  return true;
}

bool writePng(FILE* f, const std::string& path, const HostImage& image, const ImageSource& source,
              std::string* error) {
  PngReport report{&path, {0}, false};
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &report, notePngError, notePngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *error = "cannot write " + path + ": not enough memory";
    return false;
  }
  struct Cleanup {
    png_structp* png;
    png_infop* info;
    ~Cleanup() { png_destroy_write_struct(png, info); }
  } cleanup{&png, &info};
  const int channels =
      image.imageMode == plugInModeRGBColor || image.imageMode == plugInModeRGB48 ? 3 : 1;
  const int extras = image.planes - channels;
  const int colourType = channels == 3 ? (extras ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB)
                                       : (extras ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY);
  std::vector<png_text> texts;
  for (const auto& text : source.pngTexts) {
    png_text t{};
    t.compression = PNG_TEXT_COMPRESSION_NONE;
    t.key = const_cast<char*>(text.first.c_str());
    t.text = const_cast<char*>(text.second.c_str());
    t.text_length = text.second.size();
    texts.push_back(t);
  }
  // A profile or chunk libpng finds fault with is left out with a warning.
  auto describe = [&]() -> int {
    if (setjmp(png_jmpbuf(png))) return 1;
    png_set_benign_errors(png, 1);
    png_set_IHDR(png, info, uint32_t(image.width), uint32_t(image.height), image.depth, colourType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (source.kind == ImageKind::png && source.hasPhysical) {
      png_set_pHYs(png, info, source.xPixelsPerUnit, source.yPixelsPerUnit, source.physicalUnit);
    } else if (source.kind == ImageKind::tiff && source.hasResolution &&
               source.resolutionUnit != 1) {
      const double perMetre = source.resolutionUnit == 3 ? 100.0 : 1.0 / 0.0254;
      png_set_pHYs(png, info, uint32_t(source.xResolution * perMetre + 0.5),
                   uint32_t(source.yResolution * perMetre + 0.5), PNG_RESOLUTION_METER);
    }
    if (!source.iccProfile.empty()) {
      png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, source.iccProfile.data(),
                   uint32_t(source.iccProfile.size()));
    }
    if (!texts.empty()) png_set_text(png, info, texts.data(), int(texts.size()));
    return 0;
  };
  if (describe() != 0) {
    *error = "cannot write " + path + ": " + report.detail;
    return false;
  }
  // 16-bit rows are turned to the file's range a block at a time; 8-bit rows
  // go out as they are.
  const size_t rowBytes = image.rowBytes();
  const int32_t rowsPerBlock = image.depth == 16 ? int32_t((size_t(1) << 20) / rowBytes + 1) : 0;
  std::vector<uint8_t> block(image.depth == 16 ? rowBytes * size_t(rowsPerBlock) : 0);
  std::vector<png_bytep> rows(size_t(image.height));
  if (image.depth == 8) {
    for (int32_t y = 0; y < image.height; ++y) {
      rows[size_t(y)] = const_cast<uint8_t*>(image.data.data()) + size_t(y) * rowBytes;
    }
    if (writePngAll(png, info, f, rows.data()) != 0) {
      *error = "cannot write " + path + ": " + report.detail;
      return false;
    }
  } else {
    // libpng takes the rows one call at a time here; the jump target covers each.
    struct Rows {
      static int begin(png_structp png, png_infop info, FILE* f) {
        if (setjmp(png_jmpbuf(png))) return 1;
        png_init_io(png, f);
        png_write_info(png, info);
        png_set_swap(png);
        return 0;
      }
      static int put(png_structp png, png_bytepp rows, png_uint_32 count) {
        if (setjmp(png_jmpbuf(png))) return 1;
        png_write_rows(png, rows, count);
        return 0;
      }
      static int end(png_structp png, png_infop info) {
        if (setjmp(png_jmpbuf(png))) return 1;
        png_write_end(png, info);
        return 0;
      }
    };
    if (Rows::begin(png, info, f) != 0) {
      *error = "cannot write " + path + ": " + report.detail;
      return false;
    }
    for (int32_t top = 0; top < image.height; top += rowsPerBlock) {
      const int32_t count = std::min(rowsPerBlock, image.height - top);
      const uint8_t* from = image.data.data() + size_t(top) * rowBytes;
      samplesFromHost(from, block.data(), size_t(count) * rowBytes / 2, 65535, false);
      for (int32_t i = 0; i < count; ++i) rows[size_t(i)] = block.data() + size_t(i) * rowBytes;
      if (Rows::put(png, rows.data(), uint32_t(count)) != 0) {
        *error = "cannot write " + path + ": " + report.detail;
        return false;
      }
    }
    if (Rows::end(png, info) != 0) {
      *error = "cannot write " + path + ": " + report.detail;
      return false;
    }
  }
  if (std::fflush(f) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
