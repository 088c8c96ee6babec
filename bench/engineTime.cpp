// engineTime.cpp -- the engine alone on an image held in memory, timed, for the command-line bench
//
//   engineTime make grey8|rgb16 SIZE OUT.pnm   a photograph-like test image (maxval 255 or 65535)
//   engineTime run IN.pnm ALPHA BETA GAMMA DELTA   seconds the in-memory run takes
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/equaliseRun.h"

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
               const EqualiseParameters& p) {
  const auto start = std::chrono::steady_clock::now();
  const RunRows rows = {nullptr, image->data()};
  if (equaliseRows<D>(rows, width, height, channels, &p, nullptr) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int runImage(const char* path, const EqualiseParameters& p) {
  FILE* f = std::fopen(path, "rb");
  char magic[3] = {0};
  int width, height, maxval;
  if (f == nullptr || std::fscanf(f, "%2s %d %d %d", magic, &width, &height, &maxval) != 4)
    return 1;
  std::fgetc(f);
  const int channels = magic[1] == '6' ? 3 : 1;
  const size_t samples = size_t(width) * height * channels;
  double seconds;
  if (maxval > 255) {
    // As the host holds them: 0..32768.
    std::vector<uint8_t> raw(samples * 2);
    if (std::fread(raw.data(), 1, raw.size(), f) != raw.size()) return 1;
    std::vector<uint16_t> image(samples);
    for (size_t i = 0; i < samples; ++i) {
      const uint32_t v = uint32_t(raw[2 * i]) << 8 | raw[2 * i + 1];
      image[i] = uint16_t((uint64_t(v) * 32768 + uint32_t(maxval) / 2) / uint32_t(maxval));
    }
    seconds = timeRun<Depth16>(&image, width, height, channels, p);
  } else {
    std::vector<uint8_t> image(samples);
    if (std::fread(image.data(), 1, image.size(), f) != image.size()) return 1;
    seconds = timeRun<Depth8>(&image, width, height, channels, p);
  }
  std::fclose(f);
  if (seconds < 0) return 1;
  std::printf("%.3f\n", seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "make" && argc == 5) return makeImage(argv[2], std::atoi(argv[3]), argv[4]);
  if (command == "run" && argc == 7) {
    const EqualiseParameters p = {float(std::atof(argv[3])), float(std::atof(argv[4])),
                                  float(std::atof(argv[5])), float(std::atof(argv[6]))};
    return runImage(argv[2], p);
  }
  std::fprintf(stderr,
               "usage: engineTime make grey8|rgb16 SIZE OUT.pnm | engineTime run IN.pnm A B G D\n");
  return 2;
}
