// engineTime.cpp -- the engine alone on an image held in memory, timed, for the command-line bench
//
//   engineTime make grey8|rgb16 SIZE OUT.pnm   a photograph-like test image (maxval 255 or 65535)
//   engineTime run IN.pnm ALPHA BETA GAMMA DELTA   seconds the in-memory run takes
//   engineTime module LIB IN.pnm ALPHA BETA GAMMA DELTA   seconds the module LIB takes through
//       the plug-in host on the image in memory (its rows through its stores, no image files),
//       then the seconds of its run stage alone (the longest continue call)
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/sampleRange.h"
#include "engine/equaliseRun.h"
#include "pluginHost/descriptorText.h"
#include "pluginHost/pluginHost.h"
#include "resources/filterParameters.h"

namespace {

int makeImage(const std::string& kind, int size, const char* path) {
  const bool sixteen = kind == "rgb16";
  const int channels = sixteen ? 3 : 1;
  const double top = sixteen ? 65535.0 : 255.0;
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return 1;
  std::fprintf(f, "P%c\n%d %d\n%d\n", sixteen ? '6' : '5', size, size, sixteen ? 65535 : 255);
  std::mt19937 random(12345);
  std::vector<uint8_t> row(size_t(size) * channels * (sixteen ? 2 : 1));
  for (int y = 0; y < size; ++y) {
    uint8_t* to = row.data();
    for (int x = 0; x < size; ++x) {
      // Smooth shading, hard-edged blocks and a little noise, like a photograph.
      const double shade =
          0.45 + 0.3 * std::sin(x / 37.0 + y / 53.0) + 0.1 * (x + y) / (2.0 * size);
      const double block = ((x / 256 + y / 192) % 3) * 0.08;
      for (int c = 0; c < channels; ++c) {
        const double noise = (double(random() % 1000) / 1000.0 - 0.5) * 0.06;
        double v = (shade + block + noise + 0.05 * c) * top;
        v = v < 0 ? 0 : v > top ? top : v;
        const uint32_t s = uint32_t(v);
        if (sixteen) *to++ = uint8_t(s >> 8);
        *to++ = uint8_t(s);
      }
    }
    std::fwrite(row.data(), 1, row.size(), f);
  }
  return std::fclose(f) == 0 ? 0 : 1;
}

template <class D>
double timeRun(std::vector<typename D::Sample>* image, int width, int height, int channels,
               const FilterValues& p) {
  const auto start = std::chrono::steady_clock::now();
  const RunRows rows = {nullptr, image->data()};
  if (equaliseRows<D>(rows, width, height, channels, &p, nullptr) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The image as the host holds it: 8-bit, or 16-bit in 0..32768.
bool loadImage(const char* path, HostImage* image) {
  FILE* f = std::fopen(path, "rb");
  char magic[3] = {0};
  int width, height, maxval;
  if (f == nullptr || std::fscanf(f, "%2s %d %d %d", magic, &width, &height, &maxval) != 4) {
    if (f != nullptr) std::fclose(f);
    return false;
  }
  std::fgetc(f);
  const int channels = magic[1] == '6' ? 3 : 1;
  const bool wide = maxval > 255;
  *image = makeHostImage(width, height, wide ? 16 : 8,
                         channels == 3 ? (wide ? plugInModeRGB48 : plugInModeRGBColor)
                                       : (wide ? plugInModeGray16 : plugInModeGrayScale),
                         channels);
  const bool read = std::fread(image->data.data(), 1, image->data.size(), f) == image->data.size();
  std::fclose(f);
  if (!read) return false;
  if (wide) {
    uint8_t* at = image->data.data();
    for (size_t i = 0; i < image->data.size() / 2; ++i, at += 2) {
      const uint32_t v = uint32_t(at[0]) << 8 | at[1];
      const uint16_t s = hostFromFileSample(v, uint32_t(maxval));
      std::memcpy(at, &s, 2);
    }
  }
  return true;
}

int runImage(const char* path, const FilterValues& p) {
  HostImage image;
  if (!loadImage(path, &image)) return 1;
  const int channels = image.planes;
  double seconds;
  if (image.depth == 16) {
    std::vector<uint16_t> samples(image.data.size() / 2);
    std::memcpy(samples.data(), image.data.data(), image.data.size());
    seconds = timeRun<Depth16>(&samples, image.width, image.height, channels, p);
  } else {
    seconds = timeRun<Depth8>(&image.data, image.width, image.height, channels, p);
  }
  if (seconds < 0) return 1;
  std::printf("%.3f\n", seconds);
  return 0;
}

int runModule(const char* library, const char* path, const float values[kParameterCount]) {
  HostImage image;
  if (!loadImage(path, &image)) return 1;
  HostSession session;
  std::string error;
  if (!openHostSession(library, &session, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  HostRunOptions options;
  options.inPlace = true;  // as the command-line host runs it
  options.hasDescriptor = true;
  for (int32_t k = 0; k < kParameterCount; ++k) {
    setDescriptorFloat(&options.descriptor, parameterKey(k), values[k]);
  }
  HostRunResult result;
  const auto start = std::chrono::steady_clock::now();
  runFilter(&session, &image, options, &result);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  closeHostSession(&session);
  if (result.result != 0 || !result.hostError.empty()) {
    std::fprintf(stderr, "module run failed: %d %s\n", result.result, result.hostError.c_str());
    return 1;
  }
  // the whole run, then the continue call in which the filter ran
  std::printf("%.4f %.4f\n", seconds, result.longestContinueSeconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "make" && argc == 5) return makeImage(argv[2], std::atoi(argv[3]), argv[4]);
  if (command == "run" && argc == 7) {
    FilterValues p;
    for (int32_t i = 0; i < kParameterCount; ++i) p.value[i] = float(std::atof(argv[3 + i]));
    return runImage(argv[2], clampFilterValues(p));  // as the filter takes them
  }
  if (command == "module" && argc == 8) {
    float values[kParameterCount];
    for (int32_t i = 0; i < kParameterCount; ++i) values[i] = float(std::atof(argv[4 + i]));
    return runModule(argv[2], argv[3], values);
  }
  std::fprintf(stderr,
               "usage: engineTime make grey8|rgb16 SIZE OUT.pnm | engineTime run IN.pnm A B G D\n"
               "       | engineTime module LIB IN.pnm A B G D\n");
  return 2;
}
