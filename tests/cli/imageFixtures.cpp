// imageFixtures.cpp -- makes and reads back TIFF and PNG test files through libtiff and libpng
//
//   imageFixtures tiff SRC.pnm OUT.tif BITS none|lzw|deflate|packbits strips|tiles l|b EXTRAS
//   imageFixtures png SRC.pnm OUT.png BITS plain|alpha|palette [EXPECTED.ppm]
//   imageFixtures topnm FILE OUT.pnm [EXTRAS.raw]   colour planes as PNM (maxval 255 or 65535)
//   imageFixtures tags FILE                          the tags or chunks the output should keep
//   imageFixtures bomb tiff|png OUT SIZE             SIZE x SIZE 16-bit RGB of zeros, compressed
//   imageFixtures broken stripoffset|ifd|widepng OUT a TIFF that lies about where its data is
//   imageFixtures broken bigtile|hugetile|tiffheader|pngheader|ztxt OUT
//                                                    small files that claim far more memory
//   imageFixtures odd float|onebit|cmyk|signed|void|jpeg|assoc|unspecified|orient|hugeres OUT
//                                                    a well-formed TIFF of an unusual kind
//   imageFixtures jpeg cmyk|twelve|header OUT        a JPEG the host refuses: CMYK, 12-bit
//                                                    samples, a 32767 x 32767 header on 16 x 16
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

namespace {

struct Image {
  uint32_t width = 0, height = 0;
  int channels = 1, extras = 0, bits = 8;
  std::vector<uint16_t> samples;  // interleaved, colour then extras
};

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "imageFixtures: %s\n", message.c_str());
  std::exit(1);
}

Image readPnmFile(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) die(std::string("cannot open ") + path);
  char magic[3] = {0};
  unsigned width, height, maxval;
  if (std::fscanf(f, "%2s %u %u %u", magic, &width, &height, &maxval) != 4) die("bad PNM");
  std::fgetc(f);
  Image image;
  image.width = width;
  image.height = height;
  image.channels = magic[1] == '6' ? 3 : 1;
  image.bits = maxval > 255 ? 16 : 8;
  image.samples.resize(size_t(width) * height * image.channels);
  for (uint16_t& s : image.samples) {
    const int hi = std::fgetc(f);
    s = uint16_t(image.bits == 16 ? (hi << 8) | std::fgetc(f) : hi);
  }
  std::fclose(f);
  return image;
}

// Extra planes: at 16 bits values spread over the whole range, odd and even,
// most of which the host's 0..32768 could not hold.
uint16_t extraSample(uint32_t x, uint32_t y, int plane, int bits) {
  if (bits == 16) return uint16_t(x * 7919u + y * 104729u + uint32_t(plane) * 50u + 1u);
  return uint16_t((x * 7 + y * 3 + uint32_t(plane) * 50) % 256);
}

// The source at the given depth (8-bit samples widened as v * 257), with extras added.
Image prepare(const Image& source, int bits, int extras) {
  Image image = source;
  image.bits = bits;
  image.extras = extras;
  const int planes = image.channels + extras;
  image.samples.assign(size_t(image.width) * image.height * planes, 0);
  for (uint32_t y = 0; y < image.height; ++y) {
    for (uint32_t x = 0; x < image.width; ++x) {
      for (int p = 0; p < planes; ++p) {
        uint16_t v;
        if (p < image.channels) {
          v = source.samples[(size_t(y) * image.width + x) * image.channels + p];
          if (source.bits == 8 && bits == 16) v = uint16_t(v * 257);
          if (source.bits == 16 && bits == 8) v = uint16_t(v >> 8);
        } else {
          v = extraSample(x, y, p - image.channels, bits);
        }
        image.samples[(size_t(y) * image.width + x) * planes + p] = v;
      }
    }
  }
  return image;
}

void packRow(const Image& image, uint32_t y, std::vector<uint8_t>* row, bool bigEndianBytes) {
  const size_t n = size_t(image.width) * (image.channels + image.extras);
  row->assign(n * (image.bits / 8), 0);
  for (size_t i = 0; i < n; ++i) {
    const uint16_t v = image.samples[size_t(y) * n + i];
    if (image.bits == 8) {
      (*row)[i] = uint8_t(v);
    } else if (bigEndianBytes) {
      (*row)[2 * i] = uint8_t(v >> 8);
      (*row)[2 * i + 1] = uint8_t(v);
    } else {
      std::memcpy(row->data() + 2 * i, &v, 2);
    }
  }
}

void writeTiff(const Image& image, const char* path, const std::string& compression, bool tiles,
               bool bigEndian) {
  TIFF* tif = TIFFOpen(path, bigEndian ? "wb" : "wl");
  if (!tif) die(std::string("cannot write ") + path);
  const uint16_t codes[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE,
                            COMPRESSION_PACKBITS};
  const char* names[] = {"none", "lzw", "deflate", "packbits"};
  uint16_t code = COMPRESSION_NONE;
  for (int i = 0; i < 4; ++i) {
    if (compression == names[i]) code = codes[i];
  }
  const int planes = image.channels + image.extras;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(image.bits));
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(planes));
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
               uint16_t(image.channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  TIFFSetField(tif, TIFFTAG_COMPRESSION, code);
  if (code == COMPRESSION_LZW || code == COMPRESSION_ADOBE_DEFLATE) {
    TIFFSetField(tif, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL));
  }
  if (image.extras > 0) {
    std::vector<uint16_t> kinds(size_t(image.extras), uint16_t(EXTRASAMPLE_UNSPECIFIED));
    kinds[0] = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, uint16_t(image.extras), kinds.data());
  }
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, 300.0f);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, 150.0f);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_INCH));
  TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, "test frame 7");
  TIFFSetField(tif, TIFFTAG_ARTIST, "brisel tests");
  float white[2] = {0.3127f, 0.329f};
  float primaries[6] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f};
  TIFFSetField(tif, TIFFTAG_WHITEPOINT, white);
  TIFFSetField(tif, TIFFTAG_PRIMARYCHROMATICITIES, primaries);
  std::vector<uint8_t> icc(300);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = uint8_t(i * 13);
  TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(icc.size()), icc.data());
  std::vector<uint8_t> row;
  if (tiles) {
    const uint32_t tile = 16;
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, tile);
    const size_t pixelBytes = size_t(planes) * (image.bits / 8);
    std::vector<uint8_t> buffer(size_t(tile) * tile * pixelBytes);
    for (uint32_t y0 = 0; y0 < image.height; y0 += tile) {
      for (uint32_t x0 = 0; x0 < image.width; x0 += tile) {
        std::fill(buffer.begin(), buffer.end(), 0);
        for (uint32_t y = y0; y < y0 + tile && y < image.height; ++y) {
          packRow(image, y, &row, false);
          for (uint32_t x = x0; x < x0 + tile && x < image.width; ++x) {
            std::memcpy(buffer.data() + ((y - y0) * tile + (x - x0)) * pixelBytes,
                        row.data() + x * pixelBytes, pixelBytes);
          }
        }
        if (TIFFWriteTile(tif, buffer.data(), x0, y0, 0, 0) < 0) die("tile write failed");
      }
    }
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(7));
    for (uint32_t y = 0; y < image.height; ++y) {
      packRow(image, y, &row, false);
      if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) die("row write failed");
    }
  }
  TIFFClose(tif);
}

void writePnmFile(const Image& image, const char* path) {
  FILE* f = std::fopen(path, "wb");
  if (!f) die(std::string("cannot write ") + path);
  std::fprintf(f, "P%c\n%u %u\n%d\n", image.channels == 3 ? '6' : '5', image.width, image.height,
               image.bits == 16 ? 65535 : 255);
  const int planes = image.channels + image.extras;
  for (size_t p = 0; p < size_t(image.width) * image.height; ++p) {
    for (int c = 0; c < image.channels; ++c) {
      const uint16_t v = image.samples[p * planes + c];
      if (image.bits == 16) std::fputc(v >> 8, f);
      std::fputc(v & 0xff, f);
    }
  }
  std::fclose(f);
}

void writePngFile(const Image& image, const char* path, bool palette) {
  FILE* f = std::fopen(path, "wb");
  if (!f) die(std::string("cannot write ") + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) die("libpng failed");
  png_init_io(png, f);
  int type = image.channels == 3 ? (image.extras ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB)
                                 : (image.extras ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY);
  if (palette) type = PNG_COLOR_TYPE_PALETTE;
  png_set_IHDR(png, info, image.width, image.height, image.bits, type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color colours[256];
  for (int i = 0; i < 256; ++i)
    colours[i] = png_color{png_byte(i), png_byte(255 - i), png_byte(i / 2)};
  if (palette) png_set_PLTE(png, info, colours, 256);
  png_set_pHYs(png, info, 11811, 5906, PNG_RESOLUTION_METER);
  png_text text{};
  text.compression = PNG_TEXT_COMPRESSION_NONE;
  text.key = const_cast<char*>("Description");
  text.text = const_cast<char*>("test frame 7");
  png_set_text(png, info, &text, 1);
  png_set_gAMA_fixed(png, info, 45455);
  png_set_cHRM_fixed(png, info, 31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000);
  png_color_8 sig{};
  sig.red = sig.green = sig.blue = sig.gray = png_byte(image.bits - 1);
  sig.alpha = png_byte(image.bits);
  png_set_sBIT(png, info, &sig);
  png_write_info(png, info);
  std::vector<uint8_t> row;
  for (uint32_t y = 0; y < image.height; ++y) {
    packRow(image, y, &row, true);
    png_write_row(png, row.data());
  }
  // International and compressed text after the image data.
  png_text texts[2] = {};
  texts[0].compression = PNG_ITXT_COMPRESSION_NONE;
  texts[0].key = const_cast<char*>("Title");
  texts[0].text = const_cast<char*>("Bild sieben \xc3\xa4");
  texts[0].lang = const_cast<char*>("de");
  texts[0].lang_key = const_cast<char*>("Titel");
  texts[1].compression = PNG_TEXT_COMPRESSION_zTXt;
  texts[1].key = const_cast<char*>("Comment");
  texts[1].text = const_cast<char*>("a compressed comment, a compressed comment");
  png_set_text(png, info, texts, 2);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

Image readFile(const char* path) {
  Image image;
  FILE* probe = std::fopen(path, "rb");
  if (!probe) die(std::string("cannot open ") + path);
  unsigned char magic[4] = {0};
  if (std::fread(magic, 1, 4, probe) != 4) die("short file");
  if (magic[0] == 'P') {
    std::fclose(probe);
    return readPnmFile(path);
  }
  if (magic[0] == 0x89) {
    std::rewind(probe);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) die("libpng failed");
    png_init_io(png, probe);
    png_read_info(png, info);
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    png_read_update_info(png, info);
    image.width = png_get_image_width(png, info);
    image.height = png_get_image_height(png, info);
    image.bits = png_get_bit_depth(png, info);
    const int planes = png_get_channels(png, info);
    image.channels = (png_get_color_type(png, info) & PNG_COLOR_MASK_COLOR) ? 3 : 1;
    image.extras = planes - image.channels;
    std::vector<uint8_t> row(png_get_rowbytes(png, info));
    for (uint32_t y = 0; y < image.height; ++y) {
      png_read_row(png, row.data(), nullptr);
      for (size_t i = 0; i < size_t(image.width) * planes; ++i) {
        image.samples.push_back(image.bits == 16 ? uint16_t(row[2 * i] << 8 | row[2 * i + 1])
                                                 : row[i]);
      }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(probe);
    return image;
  }
  std::fclose(probe);
  TIFF* tif = TIFFOpen(path, "r");
  if (!tif) die(std::string("cannot read ") + path);
  uint16_t bits = 8, spp = 1, photometric = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  image.bits = bits;
  image.channels = photometric == PHOTOMETRIC_RGB ? 3 : 1;
  image.extras = spp - image.channels;
  std::vector<uint8_t> buffer;
  const size_t rowSamples = size_t(image.width) * spp;
  image.samples.resize(rowSamples * image.height);
  if (TIFFIsTiled(tif)) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    buffer.resize(size_t(TIFFTileSize(tif)));
    for (uint32_t y0 = 0; y0 < image.height; y0 += th) {
      for (uint32_t x0 = 0; x0 < image.width; x0 += tw) {
        if (TIFFReadTile(tif, buffer.data(), x0, y0, 0, 0) < 0) die("tile read failed");
        for (uint32_t y = y0; y < y0 + th && y < image.height; ++y) {
          for (uint32_t x = x0; x < x0 + tw && x < image.width; ++x) {
            for (int p = 0; p < spp; ++p) {
              const size_t at = ((y - y0) * tw + (x - x0)) * spp + p;
              uint16_t v = buffer[at];
              if (bits == 16) std::memcpy(&v, buffer.data() + 2 * at, 2);
              image.samples[y * rowSamples + x * spp + p] = v;
            }
          }
        }
      }
    }
  } else {
    buffer.resize(size_t(TIFFScanlineSize(tif)));
    for (uint32_t y = 0; y < image.height; ++y) {
      if (TIFFReadScanline(tif, buffer.data(), y, 0) < 0) die("row read failed");
      for (size_t i = 0; i < rowSamples; ++i) {
        uint16_t v = buffer[i];
        if (bits == 16) std::memcpy(&v, buffer.data() + 2 * i, 2);
        image.samples[y * rowSamples + i] = v;
      }
    }
  }
  TIFFClose(tif);
  return image;
}

void printTags(const char* path) {
  FILE* probe = std::fopen(path, "rb");
  if (!probe) die(std::string("cannot open ") + path);
  const int first = std::fgetc(probe);
  if (first == 0x89) {
    std::rewind(probe);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) die("libpng failed");
    png_init_io(png, probe);
    png_read_info(png, info);
    png_uint_32 x = 0, y = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &x, &y, &unit)) std::printf("pHYs %u %u %d\n", x, y, unit);
    png_charp name;
    int compression;
    png_bytep icc = nullptr;
    png_uint_32 size = 0;
    if (png_get_iCCP(png, info, &name, &compression, &icc, &size)) {
      unsigned sum = 0;
      for (png_uint_32 i = 0; i < size; ++i) sum = sum * 31 + icc[i];
      std::printf("icc %u %u\n", size, sum);
    }
    png_read_update_info(png, info);
    std::vector<uint8_t> row(png_get_rowbytes(png, info));
    for (uint32_t r = 0; r < png_get_image_height(png, info); ++r) png_read_row(png, row.data(), 0);
    png_read_end(png, info);
    png_textp texts;
    const int count = png_get_text(png, info, &texts, nullptr);
    for (int i = 0; i < count; ++i) {
      std::printf("text %d %s=%s [%s %s]\n", texts[i].compression, texts[i].key, texts[i].text,
                  texts[i].lang ? texts[i].lang : "", texts[i].lang_key ? texts[i].lang_key : "");
    }
    png_fixed_point gamma = 0, c[8] = {0};
    if (png_get_valid(png, info, PNG_INFO_gAMA) && png_get_gAMA_fixed(png, info, &gamma)) {
      std::printf("gAMA %d\n", gamma);
    }
    if (png_get_cHRM_fixed(png, info, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7])) {
      std::printf("cHRM %d %d %d %d %d %d %d %d\n", c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
    }
    png_color_8p sig = nullptr;
    if (png_get_sBIT(png, info, &sig)) {
      std::printf("sBIT %d %d %d %d %d\n", sig->red, sig->green, sig->blue, sig->gray, sig->alpha);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(probe);
    return;
  }
  std::fclose(probe);
  TIFF* tif = TIFFOpen(path, "r");
  if (!tif) die(std::string("cannot read ") + path);
  uint16_t compression = 1, unit = 0, count = 0;
  uint16_t* kinds = nullptr;
  float xr = 0, yr = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  std::printf("compression %u\nbigendian %d\n", compression, TIFFIsBigEndian(tif));
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr)) {
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    std::printf("resolution %g %g %u\n", double(xr), double(yr), unit);
  }
  if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds)) {
    std::printf("extrasamples");
    for (uint16_t i = 0; i < count; ++i) std::printf(" %u", kinds[i]);
    std::printf("\n");
  }
  uint32_t size = 0;
  void* icc = nullptr;
  if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &size, &icc)) {
    unsigned sum = 0;
    for (uint32_t i = 0; i < size; ++i) sum = sum * 31 + static_cast<uint8_t*>(icc)[i];
    std::printf("icc %u %u\n", size, sum);
  }
  float* chroma = nullptr;
  if (TIFFGetField(tif, TIFFTAG_WHITEPOINT, &chroma)) {
    std::printf("whitepoint %g %g\n", double(chroma[0]), double(chroma[1]));
  }
  if (TIFFGetField(tif, TIFFTAG_PRIMARYCHROMATICITIES, &chroma)) {
    std::printf("primaries");
    for (int i = 0; i < 6; ++i) std::printf(" %g", double(chroma[i]));
    std::printf("\n");
  }
  uint16_t orientation = 0;
  if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) && orientation != 1) {
    std::printf("orientation %u\n", orientation);
  }
  for (uint32_t tag : {uint32_t(TIFFTAG_IMAGEDESCRIPTION), uint32_t(TIFFTAG_ARTIST)}) {
    char* text = nullptr;
    if (TIFFGetField(tif, tag, &text)) std::printf("tag %u %s\n", tag, text);
  }
  TIFFClose(tif);
}

void writeBomb(const std::string& kind, const char* path, uint32_t size) {
  Image image;
  image.width = image.height = size;
  image.channels = 3;
  image.bits = 16;
  std::vector<uint8_t> row(size_t(size) * 6, 0);
  if (kind == "tiff") {
    TIFF* tif = TIFFOpen(path, "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, size);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, size);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(16));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_RGB));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE));
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(64));
    for (uint32_t y = 0; y < size; ++y) TIFFWriteScanline(tif, row.data(), y, 0);
    TIFFClose(tif);
    return;
  }
  FILE* f = std::fopen(path, "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) die("libpng failed");
  png_init_io(png, f);
  png_set_compression_level(png, 1);
  png_set_filter(png, 0, PNG_FILTER_NONE);
  png_set_IHDR(png, info, size, size, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < size; ++y) png_write_row(png, row.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

void put16(std::vector<uint8_t>* b, uint16_t v) {
  b->push_back(uint8_t(v));
  b->push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>* b, uint32_t v) {
  put16(b, uint16_t(v));
  put16(b, uint16_t(v >> 16));
}

// Written byte by byte: libtiff would not write these lies. (widepng: a
// well-formed PNG wider than a host's 16-bit rectangles.)
// A PNG header declaring 32767 x 32767 16-bit RGBA, with a few bytes of data.
void writePngHeaderOnly(const char* path) {
  FILE* f = std::fopen(path, "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) die("libpng failed");
  png_init_io(png, f);
  png_set_IHDR(png, info, 32767, 32767, 16, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  // A few rows' worth of compressed zeros, then the end.
  std::vector<uint8_t> zeros(1000, 0);
  uLongf packedSize = compressBound(uLong(zeros.size()));
  std::vector<uint8_t> packed(packedSize);
  compress2(packed.data(), &packedSize, zeros.data(), uLong(zeros.size()), 9);
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), packed.data(), packedSize);
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// A small grey PNG carrying 600 zTXt chunks of 1 MiB of text each, stored in
// about 1 KiB apiece.
void writeTextBomb(const char* path) {
  std::vector<uint8_t> text(size_t(1) << 20, 'a');
  uLongf packedSize = compressBound(uLong(text.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, text.data(), uLong(text.size()), 9) != Z_OK) {
    die("zlib failed");
  }
  std::vector<uint8_t> chunk = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
  chunk.insert(chunk.end(), packed.begin(), packed.begin() + long(packedSize));
  FILE* f = std::fopen(path, "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) die("libpng failed");
  png_init_io(png, f);
  png_set_IHDR(png, info, 16, 16, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int i = 0; i < 600; ++i) {
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("zTXt"), chunk.data(), chunk.size());
  }
  std::vector<uint8_t> row(16, 99);
  for (int y = 0; y < 16; ++y) png_write_row(png, row.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

void writeBroken(const std::string& kind, const char* path) {
  if (kind == "pngheader") return writePngHeaderOnly(path);
  if (kind == "ztxt") return writeTextBomb(path);
  if (kind == "widepng") {
    Image wide;
    wide.width = 40000;
    wide.height = 1;
    wide.samples.assign(40000, 7);
    writePngFile(wide, path, false);
    return;
  }
  std::vector<uint8_t> b = {'I', 'I', 42, 0};
  if (kind == "ifd") {
    put32(&b, 8);
    put16(&b, 4000);  // 4000 entries claimed, a few bytes present
    for (int i = 0; i < 5; ++i) b.push_back(uint8_t(i));
  } else if (kind == "bigtile" || kind == "hugetile") {
    // 16x16 grey in 65536 x 65536 (or 2^20 x 2^20) tiles, in a file larger
    // than the image.
    const uint32_t tile = kind == "bigtile" ? 65536 : 1u << 20;
    put32(&b, 8);
    const uint16_t entries[][2] = {{256, 4}, {257, 4}, {258, 3}, {259, 3}, {262, 3},
                                   {277, 3}, {322, 4}, {323, 4}, {324, 4}, {325, 4}};
    const uint32_t values[] = {16, 16, 8, 1, 1, 1, tile, tile, 200, 10};
    put16(&b, 10);
    for (int i = 0; i < 10; ++i) {
      put16(&b, entries[i][0]);
      put16(&b, entries[i][1]);
      put32(&b, 1);
      put32(&b, values[i]);
    }
    put32(&b, 0);
    b.resize(1000, 0x78);
  } else {
    put32(&b, 8);
    const uint16_t entries[][2] = {{256, 4}, {257, 3}, {258, 3}, {259, 3}, {262, 3},
                                   {273, 4}, {277, 3}, {278, 4}, {279, 4}};
    // (tiffheader: a 32767 x 32767 16-bit Deflate image in one strip of 10 bytes.)
    const bool header = kind == "tiffheader";
    const uint32_t values[] = {header ? 32767u : 64u,
                               header ? 32767u : 64u,
                               header ? 16u : 8u,
                               header ? 8u : 1u,
                               1,
                               header ? 200u : 1000000000u,
                               1,
                               header ? 32767u : 64u,
                               header ? 10u : 4096u};
    put16(&b, 9);
    for (int i = 0; i < 9; ++i) {
      put16(&b, entries[i][0]);
      put16(&b, entries[i][1]);
      put32(&b, 1);
      put32(&b, values[i]);
    }
    put32(&b, 0);
    if (header) b.resize(210, 0x78);
  }
  FILE* f = std::fopen(path, "wb");
  std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

void writeOdd(const std::string& kind, const char* path) {
  const uint32_t size = 32;
  uint16_t bits = 8, samples = 1, photometric = PHOTOMETRIC_MINISBLACK, format = SAMPLEFORMAT_UINT;
  if (kind == "float") bits = 32, format = SAMPLEFORMAT_IEEEFP;
  if (kind == "onebit") bits = 1;
  if (kind == "cmyk") samples = 4, photometric = PHOTOMETRIC_SEPARATED;
  if (kind == "signed") bits = 16, format = SAMPLEFORMAT_INT;
  if (kind == "void") format = SAMPLEFORMAT_VOID;
  if (kind == "assoc") samples = 4, photometric = PHOTOMETRIC_RGB;
  if (kind == "unspecified") samples = 2, bits = 16;
  TIFF* tif = TIFFOpen(path, "w");
  if (!tif) die(std::string("cannot write ") + path);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, size);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, size);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, format);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  if (kind == "jpeg") TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_JPEG));
  uint16_t extra = kind == "assoc" ? EXTRASAMPLE_ASSOCALPHA : EXTRASAMPLE_UNSPECIFIED;
  if (samples == 4 || samples == 2) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, uint16_t(1), &extra);
  if (kind == "orient") TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_RIGHTTOP));
  if (kind == "hugeres") {
    // 4e9 dots an inch: a valid TIFF, beyond what PNG's pixels a metre hold.
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 4e9f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 4e9f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_INCH));
  }
  if (kind == "jpeg") TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, size);
  std::vector<uint8_t> row(size_t(TIFFScanlineSize(tif)), 0x55);
  for (uint32_t y = 0; y < size; ++y) TIFFWriteScanline(tif, row.data(), y, 0);
  TIFFClose(tif);
}

// A 16 x 16 JPEG (CMYK, else grey) in memory, its frame header then changed:
// twelve declares 12-bit samples (libjpeg here makes 8-bit ones only),
// header a 32767 x 32767 image whose data would be a thousand times the file.
void writeOddJpeg(const std::string& kind, const char* path) {
  jpeg_compress_struct c;
  jpeg_error_mgr errors;
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* data = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &data, &size);
  const bool cmyk = kind == "cmyk";
  c.image_width = c.image_height = 16;
  c.input_components = cmyk ? 4 : 1;
  c.in_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(16 * size_t(c.input_components), 0x80);
  for (int y = 0; y < 16; ++y) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> file(data, data + size);
  std::free(data);
  // The frame header: FF C0, length, precision, height, width.
  size_t sof = 2;
  while (sof + 4 < file.size() && !(file[sof] == 0xff && file[sof + 1] == 0xc0)) {
    sof += 2 + (size_t(file[sof + 2]) << 8 | file[sof + 3]);
  }
  if (sof + 9 >= file.size()) die("no frame header");
  if (kind == "twelve") {
    file[sof + 1] = 0xc1;  // extended sequential, the frame that may hold 12 bits
    file[sof + 4] = 12;
  } else if (kind == "header") {
    file[sof + 5] = file[sof + 7] = 0x7f;
    file[sof + 6] = file[sof + 8] = 0xff;
  }
  FILE* f = std::fopen(path, "wb");
  std::fwrite(file.data(), 1, file.size(), f);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  TIFFSetWarningHandler(nullptr);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "tiff" && argc == 9) {
    const Image image = prepare(readPnmFile(argv[2]), std::atoi(argv[4]), std::atoi(argv[8]));
    writeTiff(image, argv[3], argv[5], std::string(argv[6]) == "tiles", argv[7][0] == 'b');
  } else if (command == "png" && (argc == 6 || argc == 7)) {
    const std::string mode = argv[5];
    Image image = prepare(readPnmFile(argv[2]), std::atoi(argv[4]), mode == "alpha" ? 1 : 0);
    if (mode == "palette") {
      // Grey indices into a colour palette; the expected RGB image beside it.
      Image grey = prepare(readPnmFile(argv[2]), 8, 0);
      Image index = grey;
      index.channels = 1;
      index.samples.clear();
      Image rgb = grey;
      rgb.channels = 3;
      rgb.samples.clear();
      for (size_t p = 0; p < size_t(grey.width) * grey.height; ++p) {
        const uint16_t v = grey.samples[p * grey.channels];
        index.samples.push_back(v);
        rgb.samples.insert(rgb.samples.end(), {v, uint16_t(255 - v), uint16_t(v / 2)});
      }
      writePngFile(index, argv[3], true);
      if (argc == 7) writePnmFile(rgb, argv[6]);
    } else {
      writePngFile(image, argv[3], false);
    }
  } else if (command == "topnm" && (argc == 4 || argc == 5)) {
    const Image image = readFile(argv[2]);
    writePnmFile(image, argv[3]);
    if (argc == 5) {
      FILE* f = std::fopen(argv[4], "wb");
      const int planes = image.channels + image.extras;
      for (size_t p = 0; p < size_t(image.width) * image.height; ++p) {
        for (int e = image.channels; e < planes; ++e) {
          const uint16_t v = image.samples[p * planes + e];
          std::fwrite(&v, 2, 1, f);
        }
      }
      std::fclose(f);
    }
  } else if (command == "tags" && argc == 3) {
    printTags(argv[2]);
  } else if (command == "bomb" && argc == 5) {
    writeBomb(argv[2], argv[3], uint32_t(std::atoi(argv[4])));
  } else if (command == "broken" && argc == 4) {
    writeBroken(argv[2], argv[3]);
  } else if (command == "odd" && argc == 4) {
    writeOdd(argv[2], argv[3]);
  } else if (command == "jpeg" && argc == 4) {
    writeOddJpeg(argv[2], argv[3]);
  } else {
    die("see the usage at the top of imageFixtures.cpp");
  }
  return 0;
}
