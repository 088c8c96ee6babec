// equaliseImage.cpp -- the filter over a whole image in memory, on one or more threads
//
// An output row depends on the input rows within the window's radius R of it
// (rows past the image's top and bottom repeat its edge rows). So the image is
// cut into horizontal bands; each band's rows, with R rows of halo above and
// below where the image has them, are copied into a private buffer and run
// through the in-memory run, and only the band's own rows are written out.
// The halo rows come out wrong (their windows are cut short) and are dropped.
// Each thread owns one buffer a few MiB large and takes the next band from a
// shared counter, so the memory used beyond the output does not grow with the
// image, and every band's result is the one the whole run gives.
#include "engine/equaliseImage.h"

#include <atomic>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/hostErrors.h"
#include "engine/equaliseRun.h"

namespace {

// A band's buffer holds about this many bytes of colour samples: bands are
// large enough that their halo rows cost little, small enough to stay in the
// few MiB a thread may take.
constexpr int64_t kBandBytes = int64_t(4) << 20;
constexpr int32_t kMinBandRows = 64;

template <class D>
struct ImageJob {
  typedef typename D::Sample Sample;
  const ImageFrame* frame;
  const Sample* in;
  SampleSteps inSteps;
  Sample* out;
  SampleSteps outSteps;
  EqualiseParameters parameters;
  int32_t radius;
  int32_t bandRows;
  int32_t bandCount;
  std::atomic<int32_t> nextBand;
  std::atomic<int32_t> error;  // the first band's failure; 0 while none
};

void recordError(std::atomic<int32_t>* slot, OSErr err) {
  int32_t none = 0;
  slot->compare_exchange_strong(none, err);
}

// A row whose samples lie as the run holds them: colour channels only, packed.
bool isPacked(const ImageFrame& f, SampleSteps s) {
  return f.channels == f.colourChannels && s.pixel == f.colourChannels &&
         (f.colourChannels == 1 || s.channel == 1);
}

// Image row y's colour samples into a contiguous row of width x colour samples.
template <class D>
void gatherRow(const ImageJob<D>& job, int32_t y, typename D::Sample* row) {
  typedef typename D::Sample Sample;
  const ImageFrame& f = *job.frame;
  const SampleSteps s = job.inSteps;
  const Sample* source = job.in + y * s.row;
  const int32_t colour = f.colourChannels;
  const bool full = sizeof(Sample) == 2 && f.fullRange16;
  if (!full && isPacked(f, s)) {
    std::memcpy(row, source, size_t(f.width) * size_t(colour) * sizeof(Sample));
    return;
  }
  for (int32_t x = 0; x < f.width; ++x) {
    const Sample* pixel = source + x * s.pixel;
    for (int32_t c = 0; c < colour; ++c) {
      const Sample v = pixel[c * s.channel];
      row[x * colour + c] = full ? Sample(engineSampleFromFull(v)) : v;
    }
  }
}

// A contiguous equalised row into image row y of the output, with the extra
// channels copied from the input.
template <class D>
void scatterRow(const ImageJob<D>& job, int32_t y, const typename D::Sample* row) {
  typedef typename D::Sample Sample;
  const ImageFrame& f = *job.frame;
  const SampleSteps s = job.outSteps;
  Sample* target = job.out + y * s.row;
  const int32_t colour = f.colourChannels;
  const bool full = sizeof(Sample) == 2 && f.fullRange16;
  if (!full && isPacked(f, s)) {
    std::memcpy(target, row, size_t(f.width) * size_t(colour) * sizeof(Sample));
    return;
  }
  const Sample* source = job.in + y * job.inSteps.row;
  for (int32_t x = 0; x < f.width; ++x) {
    Sample* pixel = target + x * s.pixel;
    for (int32_t c = 0; c < colour; ++c) {
      const Sample v = row[x * colour + c];
      pixel[c * s.channel] = full ? Sample(fullSampleFromEngine(v)) : v;
    }
    const Sample* extra = source + x * job.inSteps.pixel;
    for (int32_t c = colour; c < f.channels; ++c) {
      pixel[c * s.channel] = extra[c * job.inSteps.channel];
    }
  }
}

// Takes bands until none is left or one has failed.
template <class D>
void equaliseBands(ImageJob<D>* job) {
  typedef typename D::Sample Sample;
  const ImageFrame& f = *job->frame;
  const size_t rowSamples = size_t(f.width) * size_t(f.colourChannels);
  std::vector<Sample> buffer;
  try {
    buffer.resize(rowSamples * size_t(job->bandRows + 2 * job->radius));
  } catch (const std::bad_alloc&) {
    recordError(&job->error, memFullErr);
    return;
  }
  for (;;) {
    const int32_t band = job->nextBand.fetch_add(1);
    if (band >= job->bandCount || job->error.load() != noErr) return;
    const int32_t first = band * job->bandRows;
    const int32_t end = first + job->bandRows < f.height ? first + job->bandRows : f.height;
    const int32_t top = first - job->radius > 0 ? first - job->radius : 0;
    const int32_t bottom = end + job->radius < f.height ? end + job->radius : f.height;
    for (int32_t y = top; y < bottom; ++y) {
      gatherRow(*job, y, buffer.data() + size_t(y - top) * rowSamples);
    }
    const OSErr err = equaliseRows<D>(RunRows{nullptr, buffer.data()}, f.width, bottom - top,
                                      f.colourChannels, &job->parameters, nullptr);
    if (err != noErr) {
      recordError(&job->error, err);
      return;
    }
    for (int32_t y = first; y < end; ++y) {
      scatterRow(*job, y, buffer.data() + size_t(y - top) * rowSamples);
    }
  }
}

}  // namespace

template <class D>
OSErr equaliseImage(const ImageFrame* frame, const typename D::Sample* in, SampleSteps inSteps,
                    typename D::Sample* out, SampleSteps outSteps,
                    const EqualiseParameters* parameters, int32_t threads) {
  if (frame == nullptr || parameters == nullptr) return badImageFrameErr;
  const ImageFrame& f = *frame;
  if ((f.colourChannels != 1 && f.colourChannels != 3) || f.channels < f.colourChannels) {
    return badImageFrameErr;
  }
  if (f.width < 1 || f.height < 1) return noErr;
  if (in == nullptr || out == nullptr) return badImageFrameErr;

  ImageJob<D> job;
  job.frame = frame;
  job.in = in;
  job.inSteps = inSteps;
  job.out = out;
  job.outSteps = outSteps;
  job.parameters = *parameters;
  clampParameters(&job.parameters);
  job.radius = radiusForAlpha(job.parameters.alpha);

  // Bands of about kBandBytes, at least one a thread, and a multiple of the
  // thread count so that the threads finish together.
  const int64_t rowBytes =
      int64_t(f.width) * f.colourChannels * int64_t(sizeof(typename D::Sample));
  int64_t bandRows = kBandBytes / rowBytes;
  if (bandRows < kMinBandRows) bandRows = kMinBandRows;
  if (threads < 1) threads = 1;
  int64_t bandCount = (f.height + bandRows - 1) / bandRows;
  if (bandCount < threads) bandCount = threads;
  bandCount = (bandCount + threads - 1) / threads * threads;
  bandRows = (f.height + bandCount - 1) / bandCount;
  job.bandRows = int32_t(bandRows);
  job.bandCount = int32_t((f.height + bandRows - 1) / bandRows);
  if (threads > job.bandCount) threads = job.bandCount;
  job.nextBand.store(0);
  job.error.store(noErr);

  // This thread takes bands too; the others join it. A thread that cannot be
  // started stops the run: the ones started finish their band and return.
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(size_t(threads - 1));
    for (int32_t t = 1; t < threads; ++t) helpers.emplace_back(equaliseBands<D>, &job);
  } catch (const std::system_error&) {
    recordError(&job.error, memFullErr);
  } catch (const std::bad_alloc&) {
    recordError(&job.error, memFullErr);
  }
  equaliseBands<D>(&job);
  for (std::thread& helper : helpers) helper.join();
  return OSErr(job.error.load());
}

template OSErr equaliseImage<Depth8>(const ImageFrame*, const uint8_t*, SampleSteps, uint8_t*,
                                     SampleSteps, const EqualiseParameters*, int32_t);
template OSErr equaliseImage<Depth16>(const ImageFrame*, const uint16_t*, SampleSteps, uint16_t*,
                                      SampleSteps, const EqualiseParameters*, int32_t);
