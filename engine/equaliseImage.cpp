// equaliseImage.cpp -- the filter over a whole image in memory, on one or more threads
//
// An output pixel depends on the input pixels within the window's radius R of
// it (rows and columns past the image's edges repeat its edge pixels). So the
// area to write is cut into horizontal bands; each band's rows, with R rows of
// halo above and below and R columns left and right of the area where the
// image has them, are copied into a private buffer and run through the
// in-memory run, and only the band's own part of the area is written out.
// The halo comes out wrong (its windows are cut short) and is dropped. Each
// thread owns one buffer a few MiB large and takes the next band from a
// shared counter, so the memory used beyond the output does not grow with the
// image, and every band's result is the one the whole run gives.
#include "engine/equaliseImage.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/hostErrors.h"
#include "engine/equaliseRun.h"
#include "engine/rowBands.h"

namespace {

// An image of one band leaves its buffer (up to this size) with the thread
// for its next call: a series of small images (the tiles of a chunked array)
// then reuses memory already mapped instead of faulting fresh pages in every
// call. A larger image's buffers go when it is done, as its run is long
// beside their mapping and the memory is better given back.
constexpr size_t kKeptBufferBytes = size_t(2) * kBandBytes;

template <class D>
struct ImageJob {
  typedef typename D::Sample Sample;
  const ImageFrame* frame;
  const Sample* in;
  SampleSteps inSteps;
  ImageArea area;
  Sample* out;  // the area's first pixel
  SampleSteps outSteps;
  FilterValues values;  // clamped
  int32_t radius;
  int32_t runLeft;  // the columns run: the area's and up to R either side
  int32_t runWidth;
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

// The colour samples of image row y's run columns into a contiguous row.
template <class D>
void gatherRow(const ImageJob<D>& job, int32_t y, typename D::Sample* row) {
  typedef typename D::Sample Sample;
  const ImageFrame& f = *job.frame;
  const SampleSteps s = job.inSteps;
  const Sample* source = job.in + y * s.row + job.runLeft * s.pixel;
  const int32_t colour = f.colourChannels;
  const bool full = sizeof(Sample) == 2 && f.fullRange16;
  if (!full && isPacked(f, s)) {
    std::memcpy(row, source, size_t(job.runWidth) * size_t(colour) * sizeof(Sample));
    return;
  }
  for (int32_t x = 0; x < job.runWidth; ++x) {
    const Sample* pixel = source + x * s.pixel;
    for (int32_t c = 0; c < colour; ++c) {
      const Sample v = pixel[c * s.channel];
      row[x * colour + c] = full ? Sample(engineSampleFromFull(v)) : v;
    }
  }
}

// The area's columns of a contiguous equalised run row into image row y of the
// output, with the extra channels copied from the input.
template <class D>
void scatterRow(const ImageJob<D>& job, int32_t y, const typename D::Sample* runRow) {
  typedef typename D::Sample Sample;
  const ImageFrame& f = *job.frame;
  const ImageArea& a = job.area;
  const SampleSteps s = job.outSteps;
  Sample* target = job.out + (y - a.top) * s.row;
  const int32_t colour = f.colourChannels;
  const Sample* row = runRow + size_t(a.left - job.runLeft) * size_t(colour);
  const bool full = sizeof(Sample) == 2 && f.fullRange16;
  if (!full && isPacked(f, s)) {
    std::memcpy(target, row, size_t(a.width) * size_t(colour) * sizeof(Sample));
    return;
  }
  const Sample* source = job.in + y * job.inSteps.row + a.left * job.inSteps.pixel;
  for (int32_t x = 0; x < a.width; ++x) {
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

// This thread's band buffer of at least `samples` samples, or null; with 0,
// the call is over and the buffer goes unless `keep` and it is small.
template <class Sample>
Sample* threadBuffer(size_t samples, bool keep) {
  thread_local std::unique_ptr<Sample[]> buffer;
  thread_local size_t held = 0;
  if (samples == 0) {
    if (!keep || held * sizeof(Sample) > kKeptBufferBytes) {
      buffer.reset();
      held = 0;
    }
    return nullptr;
  }
  if (samples > held) {
    buffer.reset();
    held = 0;
    buffer.reset(new (std::nothrow) Sample[samples]);  // not zero-filled: every row is gathered
    if (buffer) held = samples;
  }
  return buffer.get();
}

// Takes bands until none is left or one has failed.
template <class D>
void equaliseBands(ImageJob<D>* job) {
  typedef typename D::Sample Sample;
  const ImageFrame& f = *job->frame;
  const ImageArea& a = job->area;
  const size_t rowSamples = size_t(job->runWidth) * size_t(f.colourChannels);
  Sample* buffer =
      threadBuffer<Sample>(rowSamples * size_t(job->bandRows + 2 * job->radius), false);
  if (buffer == nullptr) {
    recordError(&job->error, memFullErr);
    return;
  }
  const int32_t areaEnd = a.top + a.height;
  for (;;) {
    const int32_t band = job->nextBand.fetch_add(1);
    if (band >= job->bandCount || job->error.load() != noErr) break;
    const BandSpan span = bandSpan(RowBands{job->bandRows, job->bandCount}, band, a.top, areaEnd,
                                   job->radius, f.height);
    const int32_t first = span.first;
    const int32_t end = span.end;
    const int32_t top = span.top;
    const int32_t bottom = span.bottom;
    for (int32_t y = top; y < bottom; ++y) {
      gatherRow(*job, y, buffer + size_t(y - top) * rowSamples);
    }
    const OSErr err = equaliseRows<D>(RunRows{nullptr, buffer}, job->runWidth, bottom - top,
                                      f.colourChannels, &job->values, nullptr);
    if (err != noErr) {
      recordError(&job->error, err);
      break;
    }
    for (int32_t y = first; y < end; ++y) {
      scatterRow(*job, y, buffer + size_t(y - top) * rowSamples);
    }
  }
  threadBuffer<Sample>(0, job->bandCount == 1);
}

}  // namespace

template <class D>
OSErr equaliseImageArea(const ImageFrame* frame, const typename D::Sample* in, SampleSteps inSteps,
                        const ImageArea* area, typename D::Sample* out, SampleSteps outSteps,
                        const FilterValues* values, int32_t threads) {
  if (frame == nullptr || values == nullptr || area == nullptr) return badImageFrameErr;
  const ImageFrame& f = *frame;
  const ImageArea& a = *area;
  if ((f.colourChannels != 1 && f.colourChannels != 3) || f.channels < f.colourChannels) {
    return badImageFrameErr;
  }
  if (a.height < 0 || a.width < 0) return badImageFrameErr;
  if (a.width == 0 || a.height == 0) return noErr;
  if (a.top < 0 || a.left < 0 || int64_t(a.top) + a.height > f.height ||
      int64_t(a.left) + a.width > f.width) {
    return badImageFrameErr;
  }
  if (in == nullptr || out == nullptr) return badImageFrameErr;

  ImageJob<D> job;
  job.frame = frame;
  job.in = in;
  job.inSteps = inSteps;
  job.area = a;
  job.out = out;
  job.outSteps = outSteps;
  // The library's entry: a caller's values may be any float.
  job.values = clampFilterValues(*values);
  job.radius = windowRadius(job.values);
  job.runLeft = a.left - job.radius > 0 ? a.left - job.radius : 0;
  const int32_t runEnd =
      a.left + a.width + job.radius < f.width ? a.left + a.width + job.radius : f.width;
  job.runWidth = runEnd - job.runLeft;

  // Bands of about kBandBytes
  const int64_t rowBytes =
      int64_t(job.runWidth) * f.colourChannels * int64_t(sizeof(typename D::Sample));
  int64_t bandRows = kBandBytes / rowBytes;
  if (bandRows < kMinBandRows) bandRows = kMinBandRows;
  if (threads < 1) threads = 1;
  const RowBands bands = planRowBands(a.height, bandRows, threads);
  job.bandRows = bands.bandRows;
  job.bandCount = bands.bandCount;
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

template <class D>
OSErr equaliseImage(const ImageFrame* frame, const typename D::Sample* in, SampleSteps inSteps,
                    typename D::Sample* out, SampleSteps outSteps, const FilterValues* values,
                    int32_t threads) {
  if (frame == nullptr) return badImageFrameErr;
  const ImageArea whole = {0, 0, frame->height > 0 ? frame->height : 0,
                           frame->width > 0 ? frame->width : 0};
  return equaliseImageArea<D>(frame, in, inSteps, &whole, out, outSteps, values, threads);
}

template OSErr equaliseImageArea<Depth8>(const ImageFrame*, const uint8_t*, SampleSteps,
                                         const ImageArea*, uint8_t*, SampleSteps,
                                         const FilterValues*, int32_t);
template OSErr equaliseImageArea<Depth16>(const ImageFrame*, const uint16_t*, SampleSteps,
                                          const ImageArea*, uint16_t*, SampleSteps,
                                          const FilterValues*, int32_t);
template OSErr equaliseImage<Depth8>(const ImageFrame*, const uint8_t*, SampleSteps, uint8_t*,
                                     SampleSteps, const FilterValues*, int32_t);
template OSErr equaliseImage<Depth16>(const ImageFrame*, const uint16_t*, SampleSteps, uint16_t*,
                                      SampleSteps, const FilterValues*, int32_t);
