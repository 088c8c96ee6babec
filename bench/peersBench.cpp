// peersBench.cpp -- brisel's engine and command-line run against OpenCV and libvips,
// on one thread and on all of them
//
// Usage: peersBench BRISEL_CLI [rounds] [size]
// Every method runs once per round, the methods interleaved, on the same
// photograph-like 8-bit grey image; each method's best round counts. On one
// thread, times are the CPU time of this process and its children (user +
// system), which a busy machine disturbs less than the elapsed time; on all
// threads they are the elapsed time, the one that threads shorten.
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>
#include <vips/vips.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench/photo.h"
#include "engine/equaliseImage.h"
#include "engine/equaliseRun.h"

namespace {

double cpuSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage;
    getrusage(who, &usage);
    total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Method {
  std::string name;
  std::string kind;  // exact per pixel, or approximate
  std::function<bool()> run;
  double best = 1e30;
};

// Runs the methods `rounds` times, interleaved, keeping each one's best time
// by the clock given; false when one fails.
bool timeMethods(std::vector<Method>* methods, int rounds, double (*clock)()) {
  for (int round = 0; round < rounds; ++round) {
    for (Method& method : *methods) {
      const double start = clock();
      if (!method.run()) {
        std::fprintf(stderr, "%s failed\n", method.name.c_str());
        return false;
      }
      const double seconds = clock() - start;
      if (seconds < method.best) method.best = seconds;
    }
  }
  return true;
}

void printMethods(const std::vector<Method>& methods, double pixels) {
  const double brisel = pixels / methods[0].best / 1e6;
  std::printf("%-42s %-15s %10s %12s\n", "method", "kind", "Mpix/s", "brisel/it");
  for (const Method& method : methods) {
    const double rate = pixels / method.best / 1e6;
    std::printf("%-42s %-15s %10.1f %11.2fx\n", method.name.c_str(), method.kind.c_str(), rate,
                brisel / rate);
  }
}

bool writePgm(const char* path, const std::vector<uint8_t>& image, int width, int height) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  std::fprintf(file, "P5\n%d %d\n255\n", width, height);
  const bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peersBench BRISEL_CLI [rounds] [size]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int size = argc > 3 ? std::atoi(argv[3]) : 4096;
  const int width = size;
  const int height = size;
  const double pixels = double(width) * height;

  if (VIPS_INIT(argv[0]) != 0) return 1;
  vips_concurrency_set(1);
  vips_cache_set_max(0);
  const int openCvThreads = cv::getNumThreads();  // its default: all the cores
  cv::setNumThreads(1);

  const std::vector<uint8_t> photo = makePhoto<uint8_t>(width, height, 1, 255.0);

  char directory[] = "/tmp/briselPeersXXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  setenv("BRISEL_DIR", directory, 1);
  const std::string in = std::string(directory) + "/in.pgm";
  const std::string out = std::string(directory) + "/out.pgm";
  if (!writePgm(in.c_str(), photo, width, height)) return 1;

  // brisel at R = 7 (alpha 0, a 15 x 15 window), with noise rejection and curve
  const FilterValues parameters = {0.0f, 0.5f, 0.7f, 0.5f};
  std::vector<uint8_t> work;
  cv::Mat source(height, width, CV_8UC1, const_cast<uint8_t*>(photo.data()));
  cv::Mat result;

  std::vector<Method> methods;
  methods.push_back({"brisel engine, R=7 (15x15)", "exact", [&] {
                       work = photo;
                       return equaliseRows<Depth8>(RunRows{nullptr, work.data()}, width, height, 1,
                                                   &parameters, nullptr) == 0;
                     }});
  const std::string apply = "'" + cli + "' apply '" + in + "' '" + out +
                            "' --alpha 0 --beta 0.5 --gamma 0.7 --delta 0.5 > /dev/null";
  methods.push_back({"brisel apply (PGM in and out)", "exact", [&] {
                       const std::string command = "BRISEL_THREADS=1 " + apply;
                       return std::system(command.c_str()) == 0;
                     }});
  // A program filtering many images keeps its CLAHE object, as the engine keeps
  // its warm buffers; a fresh one pays for first touches of its tile table.
  const cv::Size tiles15(width / 15, height / 15);
  cv::Ptr<cv::CLAHE> kept = cv::createCLAHE(40.0, tiles15);
  methods.push_back({"OpenCV CLAHE, 15-px tiles, object reused", "approximate", [&] {
                       kept->apply(source, result);
                       return !result.empty();
                     }});
  methods.push_back({"OpenCV CLAHE, 15-px tiles, fresh object", "approximate", [&] {
                       cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE(40.0, tiles15);
                       clahe->apply(source, result);
                       return !result.empty();
                     }});
  methods.push_back({"OpenCV CLAHE, default 8x8 tiles", "approximate", [&] {
                       cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE();
                       clahe->apply(source, result);
                       return !result.empty();
                     }});
  methods.push_back({"OpenCV medianBlur 15", "exact (median)", [&] {
                       cv::medianBlur(source, result, 15);
                       return !result.empty();
                     }});
  methods.push_back({"libvips hist_local 15x15", "exact", [&] {
                       VipsImage* image = vips_image_new_from_memory(
                           photo.data(), photo.size(), width, height, 1, VIPS_FORMAT_UCHAR);
                       VipsImage* equalised = nullptr;
                       bool ok = image != nullptr &&
                                 vips_hist_local(image, &equalised, 15, 15, nullptr) == 0;
                       size_t bytes = 0;
                       void* memory = ok ? vips_image_write_to_memory(equalised, &bytes) : nullptr;
                       ok = ok && memory != nullptr && bytes == photo.size();
                       g_free(memory);
                       if (equalised != nullptr) g_object_unref(equalised);
                       if (image != nullptr) g_object_unref(image);
                       return ok;
                     }});

  if (!timeMethods(&methods, rounds, cpuSeconds)) return 1;
  std::printf("%dx%d 8-bit grey, single thread, best of %d interleaved rounds (CPU time)\n", width,
              height, rounds);
  printMethods(methods, pixels);

  // All threads: brisel's whole image in memory on every core, the module's
  // run in the command-line host with its default threads, and CLAHE with
  // OpenCV's default threads.
  const int cores = int(std::thread::hardware_concurrency());
  const ImageFrame frame = {width, height, 1, 1, false};
  const SampleSteps steps = {width, 1, 1};
  std::vector<Method> threaded;
  threaded.push_back({"brisel image, R=7, all threads", "exact", [&] {
                        work.resize(photo.size());
                        return equaliseImage<Depth8>(&frame, photo.data(), steps, work.data(),
                                                     steps, &parameters, cores) == 0;
                      }});
  threaded.push_back(
      {"brisel apply, default threads", "exact", [&] { return std::system(apply.c_str()) == 0; }});
  threaded.push_back({"OpenCV CLAHE, 15-px tiles, reused, threads", "approximate", [&] {
                        kept->apply(source, result);
                        return !result.empty();
                      }});
  cv::setNumThreads(openCvThreads);
  if (!timeMethods(&threaded, rounds, wallSeconds)) return 1;
  std::printf(
      "\n%dx%d 8-bit grey, all %d threads (OpenCV: %d), best of %d interleaved rounds "
      "(elapsed time)\n",
      width, height, cores, openCvThreads, rounds);
  printMethods(threaded, pixels);
  std::string command = std::string("rm -rf '") + directory + "'";
  (void)std::system(command.c_str());
  vips_shutdown();
  return 0;
}
