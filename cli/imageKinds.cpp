// imageKinds.cpp -- which kind a file is, and the reading and writing of each kind
#include "cli/imageKinds.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cli/codecs.h"
#include "cli/pnm.h"
#include "cli/userFiles.h"

namespace {

bool hasExtension(const std::string& path, const char* const* extensions) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (; *extensions != nullptr; ++extensions) {
    if (extension == *extensions) return true;
  }
  return false;
}

// Every kind: its name in messages, the library that reads and writes it, the
// extensions OUT may have (the first as --format names it), and how the kinds
// a build writes are listed. In the order they are listed.
struct KindRow {
  ImageKind kind;
  const char* name;
  const char* library;
  const char* const* extensions;
  const char* formatExtension;
  const char* listed;
};
const char* const kTiffExtensions[] = {"tif", "tiff", nullptr};
const char* const kPngExtensions[] = {"png", nullptr};
const char* const kJpegExtensions[] = {"jpg", "jpeg", nullptr};
const char* const kPnmExtensions[] = {"pgm", "ppm", "pnm", nullptr};
const KindRow kKinds[] = {
    {ImageKind::tiff, "TIFF", "libtiff", kTiffExtensions, "tif", ".tif .tiff (TIFF)"},
    {ImageKind::png, "PNG", "libpng", kPngExtensions, "png", ".png (PNG)"},
    {ImageKind::jpeg, "JPEG", "libjpeg", kJpegExtensions, "jpg", ".jpg .jpeg (JPEG)"},
    {ImageKind::pnm, "PGM/PPM", "", kPnmExtensions, "pnm", ".pgm .ppm .pnm (PGM/PPM)"},
};

const KindRow& rowOf(ImageKind kind) {
  for (const KindRow& row : kKinds) {
    if (row.kind == kind) return row;
  }
  return kKinds[3];
}

const char* kindName(ImageKind kind) { return rowOf(kind).name; }

std::string extensionOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot + 1);
}

bool built(ImageKind kind) {
#if BRISEL_HAVE_CODECS
  (void)kind;
  return true;
#else
  return kind == ImageKind::pnm;
#endif
}

std::string notBuilt(const std::string& path, ImageKind kind) {
  return path + ": " + kindName(kind) +
         " files are not supported by this build (PGM/PPM only: it was built without the " +
         rowOf(kind).library + " library)";
}

}  // namespace

const char* kindExtension(ImageKind kind) { return rowOf(kind).formatExtension; }

bool readImage(const std::string& path, HostImage* image, ImageSource* source, std::string* error) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(openPlainFile(path, error), std::fclose);
  if (!f) return false;
  unsigned char magic[8] = {0};
  const size_t got = std::fread(magic, 1, sizeof magic, f.get());
  std::rewind(f.get());
  ImageKind kind;
  if (got >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) &&
                    magic[3] == 0) ||
                   (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 &&
                    (magic[3] == 42 || magic[3] == 43)))) {
    kind = ImageKind::tiff;
  } else if (got == 8 && std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0) {
    kind = ImageKind::png;
  } else if (got >= 3 && magic[0] == 0xff && magic[1] == 0xd8 && magic[2] == 0xff) {
    kind = ImageKind::jpeg;
  } else if (got >= 2 && magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6')) {
    kind = ImageKind::pnm;
  } else {
    *error = path + ": not a PGM/PPM (P5, P6), TIFF, PNG or JPEG file";
    return false;
  }
  if (!built(kind)) {
    *error = notBuilt(path, kind);
    return false;
  }
  // Every allocation failure is one line, whichever buffer it hit.
  try {
    if (kind == ImageKind::pnm) return readPnm(f.get(), path, image, source, error);
#if BRISEL_HAVE_CODECS
    if (kind == ImageKind::tiff) return readTiff(f.get(), path, image, source, error);
    if (kind == ImageKind::jpeg) return readJpeg(f.get(), path, image, source, error);
    return readPng(f.get(), path, image, source, error);
#else
    return false;
#endif
  } catch (const std::bad_alloc&) {
    image->data = std::vector<uint8_t>();
    *error = path + ": not enough memory to read it";
    return false;
  }
}

namespace {

// The kind OUT's extension names; false with the kinds this build writes when
// it names none of them. A name without an extension leaves *kind as it was.
bool kindByExtension(const std::string& path, ImageKind* kind, std::string* error) {
  if (extensionOf(path).empty()) return true;
  for (const KindRow& k : kKinds) {
    if (!hasExtension(path, k.extensions)) continue;
    if (!built(k.kind)) {
      *error = notBuilt(path, k.kind);
      return false;
    }
    *kind = k.kind;
    return true;
  }
  // Written as some other kind, the file would lie about what it holds.
  std::string kinds;
  for (const KindRow& k : kKinds) {
    if (built(k.kind)) kinds += std::string(kinds.empty() ? "" : ", ") + k.listed;
  }
  *error = path + ": cannot write ." + extensionOf(path) + " files; this build writes " + kinds +
           " (or name the kind with --format)";
  return false;
}

}  // namespace

bool checkOutputName(const std::string& path, std::string* error) {
  ImageKind kind = ImageKind::pnm;
  return kindByExtension(path, &kind, error);
}

bool chooseOutputKind(const std::string& path, const ImageSource& source, int32_t depth,
                      ImageKind* kind, std::string* error) {
  *kind = source.kind;
  if (!kindByExtension(path, kind, error)) return false;
  if (!built(*kind)) {
    *error = notBuilt(path, *kind);
    return false;
  }
  if (*kind == ImageKind::jpeg && depth != 8) {
    *error = path + ": JPEG files hold 8-bit samples; write a " + std::to_string(depth) +
             "-bit image as TIFF or PNG";
    return false;
  }
  return true;
}

namespace {

std::string planesText(int32_t count, const char* what) {
  return count == 1 ? std::string("an extra plane") + (*what ? " that is " : "") + what
                    : std::to_string(count) + " extra planes" + (*what ? " that are " : "") + what;
}

// What of the source the output kind cannot hold, in words; empty when nothing.
std::vector<std::string> leftOut(const ImageSource& s, ImageKind out) {
  std::vector<std::string> items;
  const int32_t alpha = alphaPlaneFor(s);
  if ((out == ImageKind::pnm || out == ImageKind::jpeg) && s.extraPlanes > 0) {
    items.push_back(s.extraPlanes == 1 && alpha == 0 ? "the alpha plane"
                                                     : planesText(s.extraPlanes, ""));
  } else if (out == ImageKind::png && s.extraPlanes - (alpha >= 0 ? 1 : 0) > 0) {
    items.push_back(planesText(s.extraPlanes - (alpha >= 0 ? 1 : 0), "not alpha"));
  }
  // JPEG keeps the orientation in EXIF, TIFF in its tag.
  if ((out == ImageKind::png || out == ImageKind::pnm) && s.orientation != 1) {
    items.push_back(std::string("the orientation (") +
                    (s.kind == ImageKind::tiff ? "TIFF" : "EXIF") + " Orientation " +
                    std::to_string(s.orientation) + ")");
  }
  if (s.hasExif && out != ImageKind::jpeg) items.push_back("the EXIF data");
  if (!s.jpegMarkersDropped.empty()) items.push_back(s.jpegMarkersDropped);
  if (s.badResolution) {
    items.push_back("the resolution (out of range)");
  } else if (out == ImageKind::pnm && (s.hasResolution || s.hasPhysical)) {
    items.push_back("the resolution");
  } else if (out == ImageKind::png && s.kind != ImageKind::png && s.hasResolution &&
             !pngResolutionFromTiff(s, nullptr, nullptr, nullptr)) {
    items.push_back("the resolution (out of PNG's range)");
  } else if (out == ImageKind::jpeg && !jpegDensity(s, nullptr, nullptr, nullptr) &&
             (s.hasResolution || s.hasPhysical)) {
    items.push_back("the resolution (out of JPEG's range)");
  }
  if (out == ImageKind::pnm && !s.iccProfile.empty()) items.push_back("the ICC profile");
  if (s.kind == ImageKind::tiff && out != ImageKind::tiff && !s.texts.empty()) {
    items.push_back("the descriptive tags");
  }
  if (s.kind == ImageKind::png && out != ImageKind::png) {
    bool text = false, gamma = false, srgb = false;
    for (const PngChunk& c : s.pngChunks) {
      const std::string name = c.name;
      text = text || name == "tEXt" || name == "zTXt" || name == "iTXt";
      gamma = gamma || name == "gAMA";
      srgb = srgb || name == "sRGB";
    }
    if (text) items.push_back("the text chunks");
    if (gamma) items.push_back("the gamma (gAMA)");
    if (srgb) items.push_back("the sRGB intent");
    if (s.hasSignificantBits) items.push_back("the significant bits (sBIT)");
  }
  if ((out == ImageKind::pnm || out == ImageKind::jpeg) && (s.hasWhitePoint || s.hasPrimaries)) {
    items.push_back("the chromaticities");
  } else if (out == ImageKind::png && s.kind == ImageKind::tiff &&
             (s.hasWhitePoint || s.hasPrimaries)) {
    uint8_t chunk[32];
    if (!pngChromaticities(s, chunk)) {
      items.push_back("the chromaticities (PNG needs both white point and primaries in range)");
    }
  }
  return items;
}

}  // namespace

bool writeImage(FILE* f, bool seekable, const std::string& path, const HostImage& image,
                const ImageSource& source, ImageKind kind, int32_t jpegQuality,
                std::string* error) {
  bool written = false;
  try {
    if (kind == ImageKind::pnm) {
      written = writePnm(f, path, image, source, error);
    } else {
#if BRISEL_HAVE_CODECS
      if (kind == ImageKind::png) {
        written = writePng(f, path, image, source, error);
      } else if (kind == ImageKind::jpeg) {
        written = writeJpeg(f, path, image, source, jpegQuality, error);
      } else if (!seekable) {
        *error = path + ": a TIFF file cannot be written into a pipe or device";
      } else {
        written = writeTiff(f, path, image, source, error);
      }
#else
      (void)seekable;
      (void)jpegQuality;
      *error = notBuilt(path, kind);
#endif
    }
  } catch (const std::bad_alloc&) {
    *error = "cannot write " + path + ": not enough memory";
    written = false;
  }
  if (!written) return false;
  const std::vector<std::string> items = leftOut(source, kind);
  if (!items.empty()) {
    std::string list;
    for (size_t i = 0; i < items.size(); ++i) {
      list += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    std::fprintf(stderr, "brisel: warning: %s: %s files cannot hold %s; left out\n", path.c_str(),
                 kindName(kind), list.c_str());
  }
  return true;
}
