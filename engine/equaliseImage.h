// equaliseImage.h -- the filter over a whole image in memory, on one or more threads
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/hostInterface.h"
#include "core/sampleRange.h"
#include "engine/equaliseKernels.h"

// Where a sample lies: pixel (x, y), channel c is at first[y row + x pixel +
// c channel]. Steps count samples, not bytes, and may be negative, so any view
// of an array (reversed, transposed, every other column) can be described.
struct SampleSteps {
  ptrdiff_t row;
  ptrdiff_t pixel;
  ptrdiff_t channel;
};

// A whole image: width x height pixels of `channels` samples. The first
// colourChannels samples of a pixel (1: grey, 3: RGB) are equalised; any others
// are carried through unchanged.
struct ImageFrame {
  int32_t width;
  int32_t height;
  int32_t channels;
  int32_t colourChannels;
  // 16-bit colour samples held as 0..65535: mapped to the engine's 0..32768 on
  // the way in and back on the way out, as the command-line host maps 16-bit
  // files. Otherwise 16-bit samples are the engine's own (above 32768 read as
  // 32768). Ignored for 8-bit images.
  bool fullRange16;
};

// 16-bit full-range samples to the engine's 0..32768 and back, rounded to
// nearest: the mapping the command-line host applies to 16-bit files.
inline uint16_t engineSampleFromFull(uint32_t value) { return hostFromFileSample(value, 65535); }
inline uint16_t fullSampleFromEngine(uint32_t value) { return fileFromHostSample(value, 65535); }

// The part of a frame to write: rows top .. top + height - 1, columns left ..
// left + width - 1.
struct ImageArea {
  int32_t top;
  int32_t left;
  int32_t height;
  int32_t width;
};

// A frame equaliseImage cannot describe (the host's parameter error).
constexpr OSErr badImageFrameErr = -50;

// Equalises the image from `in` into `out` with the four values (clamped here,
// NaN taken as 0), exactly as one run over all its rows would: the rows are
// split into horizontal bands with a halo of the window's radius, equalised on
// up to `threads` threads. Any width of 1 or more is processed (columns past
// the edges repeat the edge pixel, as rows past the top and bottom do). in and
// out must not overlap. Re-entrant; allocates its own working memory (a few
// MiB a thread) and never throws. 0 (also for an empty image), -50 (a frame
// it cannot describe: colourChannels not 1 or 3, fewer channels than colour
// channels, a null buffer), -108 (no working memory or no thread). After an
// image small enough for one band, the calling thread keeps its working rows
// (at most 8 MiB) for its next call.
template <class D>
OSErr equaliseImage(const ImageFrame* frame, const typename D::Sample* in, SampleSteps inSteps,
                    typename D::Sample* out, SampleSteps outSteps, const FilterValues* values,
                    int32_t threads);

// As equaliseImage, but writes only the area, each pixel as the whole image's
// run gives it: out is the area's first pixel (out row 0 is image row
// area->top). Only the area and the window's radius around it are read, so a
// tile of a larger image, given with a halo of 7 pixels on each side where the
// image goes on, comes out as its part of the whole result. An empty area
// writes nothing; one that leaves the frame gives -50.
template <class D>
OSErr equaliseImageArea(const ImageFrame* frame, const typename D::Sample* in, SampleSteps inSteps,
                        const ImageArea* area, typename D::Sample* out, SampleSteps outSteps,
                        const FilterValues* values, int32_t threads);
