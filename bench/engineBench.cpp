// engineBench.cpp -- equalisation throughput: literal reference, engine in memory, engine through
// the store
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/photo.h"
#include "core/runContext.h"
#include "engine/equaliseRun.h"
#include "entry/equaliseFilter.h"
#include "params/signatureBlock.h"
#include "resources/filterParameters.h"
#include "store/rowStore.h"
#include "tests/reference/referenceEqualise.h"
#include "ui/previewRender.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

struct Case {
  const char* name;
  int width;
  int height;
  int channels;
  bool sixteen;
  float alpha;
};

// alpha 0 is the 15x15 window (R = 7), alpha 1 the 7x7 one (R = 3).
const Case kCases[] = {
    {"grey8 4096x4096 R=7", 4096, 4096, 1, false, 0.0f},
    {"rgb16 2048x2048 R=7", 2048, 2048, 3, true, 0.0f},
    {"grey8 4096x4096 R=3", 4096, 4096, 1, false, 1.0f},
    {"rgb16 2048x2048 R=3", 2048, 2048, 3, true, 1.0f},
};

constexpr float kBeta = 0.5f;
constexpr float kGamma = 0.7f;
constexpr float kDelta = 0.5f;
// The machine is shared: each benchmark runs this many times and the summary
// takes the best rate of each.
constexpr int kRepetitions = 3;

// The reference is slow: it runs on a band of full-width rows from the top of
// the same image, which keeps its per-pixel work the same.
constexpr int kReferenceRows = 24;

template <typename Sample>
std::vector<Sample> photoFor(const Case& c) {
  return makePhoto<Sample>(c.width, c.height, c.channels, c.sixteen ? 32768.0 : 255.0);
}

FilterValues parametersOf(const Case& c) { return {c.alpha, kBeta, kGamma, kDelta}; }

void setPixelRate(benchmark::State& state, double pixelsPerIteration) {
  state.counters["Mpixel/s"] = benchmark::Counter(
      pixelsPerIteration * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

template <typename Sample>
void benchReference(benchmark::State& state, const Case& c) {
  const std::vector<Sample> photo = photoFor<Sample>(c);
  const std::vector<Sample> band(
      photo.begin(), photo.begin() + long(size_t(c.width) * kReferenceRows * c.channels));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Sample> image = band;
    state.ResumeTiming();
    referenceRun(image, c.width, kReferenceRows, c.channels, c.alpha, kBeta, kGamma, kDelta);
    benchmark::DoNotOptimize(image.data());
  }
  setPixelRate(state, double(c.width) * kReferenceRows);
}

template <class D>
void benchEngine(benchmark::State& state, const Case& c) {
  typedef typename D::Sample Sample;
  const std::vector<Sample> photo = photoFor<Sample>(c);
  std::vector<Sample> image;
  const FilterValues p = parametersOf(c);
  for (auto _ : state) {
    state.PauseTiming();
    image = photo;
    state.ResumeTiming();
    const RunRows rows = {nullptr, image.data()};
    const OSErr err = equaliseRows<D>(rows, c.width, c.height, c.channels, &p, nullptr);
    if (err != 0) state.SkipWithError("engine run failed");
    benchmark::DoNotOptimize(image.data());
  }
  setPixelRate(state, double(c.width) * c.height);
}

// The whole entry: the colour store in a temporary file, the context, the
// signature block; the dialog skipped as a replayed run would.
template <typename Sample>
void benchStoreRun(benchmark::State& state, const Case& c) {
  const std::vector<Sample> photo = photoFor<Sample>(c);
  const int32_t rowBytes = c.width * c.channels * int32_t(sizeof(Sample));
  RowStore* store = nullptr;
  RunContext* context = createRunContext();
  SignatureBlock* block = createSignatureBlock(kRunSignatureSlots);
  if (createColourStore(c.width, c.height, c.channels * int32_t(sizeof(Sample)), &store) != 0 ||
      context == nullptr || block == nullptr) {
    state.SkipWithError("no store");
  } else {
    context->width = int16_t(c.width);
    context->height = int16_t(c.height);
    context->channels = int16_t(c.channels);
    setSignatureHeader(block, kFilterEventCode, 0, 0);
    addFloatParameter(block, parameterKey(ParameterAlpha), 0.0f, 1.0f, c.alpha);
    addFloatParameter(block, parameterKey(ParameterBeta), 0.0f, 1.0f, kBeta);
    addFloatParameter(block, parameterKey(ParameterGamma), 0.0f, 1.0f, kGamma);
    addFloatParameter(block, parameterKey(ParameterDelta), 0.0f, 1.0f, kDelta);
    for (auto _ : state) {
      state.PauseTiming();
      for (int y = 0; y < c.height; ++y) {
        (void)writeStoreRow(store, 0, y, rowBytes, photo.data() + size_t(y) * c.width * c.channels);
      }
      state.ResumeTiming();
      const OSErr err = adaptiveEqualize(store, context, block, true, c.sixteen ? 16 : 8);
      if (err != 0) state.SkipWithError("store run failed");
    }
  }
  disposeColourStore(store);
  disposeSignatureBlock(block);
  disposeRunContext(context);
  setPixelRate(state, double(c.width) * c.height);
}

// The dialog's preview of a 220 x 200 frame recomputed from the store, as a
// scroll or a typed value does: RGB images at both depths, R = 7.
template <class D>
void benchPreview(benchmark::State& state) {
  typedef typename D::Sample Sample;
  const int width = 1000;
  const int height = 800;
  const std::vector<Sample> photo =
      makePhoto<Sample>(width, height, 3, sizeof(Sample) == 2 ? 32768.0 : 255.0);
  const int32_t rowBytes = width * 3 * int32_t(sizeof(Sample));
  RowStore* store = nullptr;
  PreviewBitmap bitmap = {0, 0, nullptr};
  const Rect frame = {0, 0, 200, 220};
  if (createColourStore(width, height, 3 * int32_t(sizeof(Sample)), &store) != 0 ||
      createPreviewBitmap(frame, &bitmap) != 0) {
    state.SkipWithError("no store");
  } else {
    for (int y = 0; y < height; ++y) {
      (void)writeStoreRow(store, 0, y, rowBytes, photo.data() + size_t(y) * width * 3);
    }
    const FilterValues p = {0.0f, kBeta, kGamma, kDelta};
    const Rect source = {300, 400, 500, 620};
    for (auto _ : state) {
      const OSErr err =
          renderPreviewBits(&bitmap, store, 3, int32_t(8 * sizeof(Sample)), source, &p);
      if (err != 0) state.SkipWithError("preview failed");
    }
  }
  disposePreviewBitmap(&bitmap);
  disposeColourStore(store);
}

// Console output as usual, and the rates kept for the closing summary.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rates;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto counter = run.counters.find("Mpixel/s");
      if (counter == run.counters.end()) continue;
      const std::string name = run.benchmark_name();
      const std::string suffix = "_max";
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        rates[name.substr(0, name.size() - suffix.size())] = counter->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

std::string nameOf(const char* kind, const Case& c) {
  return std::string(kind) + "/" + c.name + "/repeats:" + std::to_string(kRepetitions);
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // The store's file goes into a directory of its own, removed at the end.
  char directory[] = "/tmp/briselBenchXXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  setenv("BRISEL_DIR", directory, 1);
#endif
  for (const Case& c : kCases) {
    auto add = [&](const char* kind, void (*fn8)(benchmark::State&, const Case&),
                   void (*fn16)(benchmark::State&, const Case&)) {
      benchmark::RegisterBenchmark(
          (std::string(kind) + "/" + c.name).c_str(),
          [&c, fn8, fn16](benchmark::State& state) { (c.sixteen ? fn16 : fn8)(state, c); })
          ->Unit(benchmark::kMillisecond)
          ->Repetitions(kRepetitions)
          ->DisplayAggregatesOnly(true)
          ->ComputeStatistics("max", [](const std::vector<double>& values) {
            return *std::max_element(values.begin(), values.end());
          });
    };
    add("reference", benchReference<uint8_t>, benchReference<uint16_t>);
    add("engine", benchEngine<Depth8>, benchEngine<Depth16>);
    add("storeRun", benchStoreRun<uint8_t>, benchStoreRun<uint16_t>);
  }
  benchmark::RegisterBenchmark("preview/rgb8 220x200 R=7", benchPreview<Depth8>)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("preview/rgb16 220x200 R=7", benchPreview<Depth16>)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\n%-22s %14s %14s %9s %14s %12s\n", "case", "reference", "engine", "speedup",
              "store run", "store/memory");
  std::printf("%-22s %14s %14s %9s %14s %12s\n", "", "Mpixel/s", "Mpixel/s", "", "Mpixel/s",
              "time ratio");
  for (const Case& c : kCases) {
    const double reference = reporter.rates[nameOf("reference", c)];
    const double engine = reporter.rates[nameOf("engine", c)];
    const double store = reporter.rates[nameOf("storeRun", c)];
    std::printf("%-22s %14.3f %14.2f %8.1fx %14.2f %11.2fx\n", c.name, reference, engine,
                reference > 0 ? engine / reference : 0.0, store, store > 0 ? engine / store : 0.0);
  }
#ifndef _WIN32
  std::string command = std::string("rm -rf '") + directory + "'";
  (void)std::system(command.c_str());
#endif
  return 0;
}
