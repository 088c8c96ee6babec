// equaliseKernels.h -- the engine's kernels, each one template over the sample depth
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "resources/filterParameters.h"

// The window: 15 intensity rows y-7 .. y+7 around output row y, slot 7 the
// current row. Only the first `width` samples of a slot are read.
constexpr int32_t kWindowSlots = 15;
constexpr int32_t kCentreSlot = 7;
constexpr int32_t kMinRadius = 3;
constexpr int32_t kMaxRadius = kWindowHalo;
constexpr int32_t kLevelCount = 256;  // a byte counter's range: any count indexes the table

// The host's 16-bit range is 0..32768. A misbehaving host may hand over larger
// words: every 16-bit sample the engine reads is taken as min(sample, 32768),
// so histogram bins never pass 256 and blends never pass the scale.
constexpr int32_t kMaxSample16 = 32768;

// The single-precision third the blend is defined with, used as the float it
// is (0.3333333432674408), not as 1/3.
constexpr float kThird = 0.33333334f;

// ---- depths ----

// What differs between 8-bit and 16-bit samples; every kernel below is one
// template over these two.
struct Depth8 {
  typedef uint8_t Sample;
  static constexpr int32_t kMax = 255;     // M: the top sample and the scale of E
  static constexpr int32_t kBinShift = 0;  // histogram bin = sample >> kBinShift
  static constexpr bool kTopBin = false;   // no bin past 255
  static int32_t read(int32_t sample) { return sample; }
  static int32_t binOf(int32_t sample) { return sample; }
  // The blended value never passes 255; the bound keeps the index in range.
  static int32_t lookupBin(int32_t value) { return value < 0 ? 0 : value > 255 ? 255 : value; }
};

struct Depth16 {
  typedef uint16_t Sample;
  static constexpr int32_t kMax = kMaxSample16;
  static constexpr int32_t kBinShift = 7;
  static constexpr bool kTopBin = true;  // bin 256: the sample 32768
  static int32_t read(int32_t sample) { return sample > kMaxSample16 ? kMaxSample16 : sample; }
  static int32_t binOf(int32_t sample) { return sample >> kBinShift; }
  static int32_t lookupBin(int32_t value) {
    return (value < 0 ? 0 : value > kMaxSample16 ? kMaxSample16 : value) >> kBinShift;
  }
};

// ---- parameters and the curve ----

// The engine takes the values of a run (FilterValues) clamped to 0..1 where
// they entered the filter: the run stage, the dialog and equaliseImage clamp
// them, and nothing below does again. What each value sets:
//   ParameterAlpha  neighbourhood: larger values give a smaller window
//   ParameterBeta   fraction of the unprocessed image blended back
//   ParameterGamma  contrast curve exponent 1 / (gamma + 1)
//   ParameterDelta  weight of the 3x3 neighbour average in the lookup value

// trunc(kMaxRadius - (kMaxRadius - kMinRadius) alpha): 7 - 4 alpha, 3..7.
int32_t windowRadius(const FilterValues& values);
// The window area (2R + 1)^2 from the radius table; radii outside 3..7 are clamped.
float areaForRadius(int32_t radius);
inline int32_t clampRadius(int32_t radius) {
  return radius < kMinRadius ? kMinRadius : radius > kMaxRadius ? kMaxRadius : radius;
}

// The contrast curve tabulated by count: the samples of the window at or below
// the lookup bin are always a whole number 0..N, and the output intensity
// depends on nothing else, so level[count] holds E for every possible count;
// counts past N (no window holds more) repeat level[N].
struct EqualiseCurve {
  int32_t radius;  // R, 3..7
  int32_t area;    // N = (2R + 1)^2
  float delta;     // noise rejection weight
  float beta;      // share of the unprocessed image in the blend
  uint16_t level[kLevelCount];
};

// The run's curve from the values: E = trunc(M f(count / N)).
template <class D>
void makeEqualiseCurve(EqualiseCurve* curve, const FilterValues& values);
// The preview's curve: the same, except that gamma 0 skips the curve (f = K).
template <class D>
void makePreviewCurve(EqualiseCurve* curve, const FilterValues& values);

// ---- intensities and colour ----

// Replaces each RGB pixel p by its intensity (R + G + B + 1) / 3 at sample p of
// the same row when channelCount is 3; any other channel count leaves the row.
template <class D>
void collapseRgbRow(typename D::Sample* row, int32_t pixelCount, int32_t channelCount);
// The same intensities written to a row of their own; the rows do not overlap.
template <class D>
void collapseRgbRowInto(const typename D::Sample* rgb, int32_t pixelCount,
                        typename D::Sample* intensities);

// Values outside 0..top are the exception (saturated colours): one
// well-predicted test for the common case.
inline int32_t clampLevel(int32_t value, int32_t top) {
  if (__builtin_expect(uint32_t(value) > uint32_t(top), 0)) return value < 0 ? 0 : top;
  return value;
}

// beta (R + G + B + 1) t: the unprocessed pixel's share of its new intensity,
// for sum = R + G + B.
inline double rgbSourceTerm(double beta, int32_t sum) {
  return beta * double(sum + 1) * double(kThird);
}

struct RgbLevels {
  int32_t red;
  int32_t green;
  int32_t blue;
};

// The colour of (r, g, b) around the new intensity j, each channel clamped to
// 0..top. The sums are never negative, so (r + g) / 2 is the floor; Kc may be
// negative, and / truncates toward zero: (2 Kc) / 3, not 2 (Kc / 3).
inline RgbLevels recolour(int32_t j, int32_t r, int32_t g, int32_t b, int32_t top) {
  const int32_t kc = (r + g) / 2 - b;
  const int32_t l = (r - g) / 2;
  return {clampLevel(j + kc / 3 + l, top), clampLevel(j + kc / 3 - l, top),
          clampLevel(j - (2 * kc) / 3, top)};
}

// ---- the row step's working storage ----

// 7 edge columns replicated on each side of a row: enough for every radius.
constexpr int32_t kHistogramPad = kMaxRadius;
constexpr int32_t kHistogramBins = 256;  // bins 0..255 held; 16-bit bin 256 is counted apart
constexpr int32_t kMaxNeighbourSum8 = 12 * 255;
constexpr int32_t kMaxRgbSum8 = 3 * 255;

// One histogram per column over the window rows, with the edge columns, so
// that the neighbourhood histogram of a pixel is the sum of 2R + 1 neighbouring
// column histograms. Counters are bytes: a column counts at most 15 samples, a
// neighbourhood at most 225.
struct ColumnHistograms {
  int32_t width;
  int32_t columns;  // width + 14
  uint8_t* fine;    // [columns][256 bins]
  uint8_t* coarse;  // [columns][16 groups]: samples in bins 16g .. 16g + 15
};

// The bin each pixel of the current row looks up, and for 8-bit rows the two
// noise-rejection products tabulated for one delta.
struct LookupBins {
  int32_t* bins;           // [width]
  double* centreTerms;     // [256] (1 - delta) Ic
  double* neighbourTerms;  // [3061] delta S w
  float termsDelta;        // the delta of the two tables; -1 before any
};

// The blend with the unprocessed row tabulated by count, for one curve, one
// beta and one depth (prepareBlend).
struct BlendTables {
  double beta;         // clamped
  double* levelTerms;  // [256] (1 - beta) E by count
  double* sumTerms;    // [766] beta (R + G + B + 1) t of 8-bit pixels
  uint8_t* grey8;      // [256 counts][256 samples] the 8-bit grey results
};

// The 8-bit rows the AVX2 loops count from: each window row with its sign bits
// flipped (so that a signed byte comparison orders samples as unsigned), the
// 7 edge columns on each side repeating its first and last sample, and the
// last sample again up to the row's end, as far as a 32-pixel block reads.
struct FlippedRows {
  int32_t stride;   // bytes a row: width + 14 edge columns + 32, a multiple of 32
  uint8_t* rows;    // [15 slots][stride]; sample x of a slot's row at 7 + x
  uint8_t* limits;  // [stride] each pixel's lookup bin + 1, wrapped to a byte, flipped
  uint8_t* counts;  // [stride] each pixel's count
  uint16_t* pairs;  // [stride] each 8-bit grey pixel's count * 256 + sample
};

// The builds of the row step's loops: plain vectors, SSE2, and AVX2 (x86-64
// builds, Linux and Windows, where the CPU has it and the operating system
// saves its registers). Every build gives the same integers.
enum RowKernelBuild { kPlainKernels, kSse2Kernels, kAvx2Kernels, kRowKernelBuilds };

// Whether this module and this CPU can run a build's loops.
bool hasRowKernels(int32_t build);
// The fastest build this module and this CPU can run.
int32_t fastestRowKernels();

// Everything the row step works in for rows of `width` pixels, in one block.
struct EqualiseWorkspace {
  ColumnHistograms histograms;
  LookupBins lookup;
  BlendTables blend;
  FlippedRows flipped;
  int32_t kernels;  // the RowKernelBuild used: the fastest, unless a test picks another
};

// A zero-filled workspace for rows of `width` (1 or more) pixels. 0, or -108
// (no memory, or a width whose storage would pass 2 GiB) with the slot null.
OSErr createEqualiseWorkspace(int32_t width, EqualiseWorkspace** slot);
// Releases the workspace; null is ignored.
void disposeEqualiseWorkspace(EqualiseWorkspace* workspace);

// Rebuilds the histograms from window slots 7 - R .. 7 + R.
template <class D>
void loadColumnHistograms(ColumnHistograms* histograms, const typename D::Sample* const* window,
                          int32_t radius);
// Moves the window down one row: every column counts one sample of `leaving`
// fewer and one of `entering` more.
template <class D>
void moveHistogramRow(ColumnHistograms* histograms, const typename D::Sample* leaving,
                      const typename D::Sample* entering);

// ---- the row step ----

// The row step on its own: loads the histograms from the window, then writes
// the output intensities E of the window's current row into out[0 .. width-1].
// Reads the window, writes out and the workspace, nothing else.
template <class D>
void equaliseRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                 const EqualiseCurve* curve, typename D::Sample* out);
// The same from histograms that already hold slots 7 - R .. 7 + R (loaded, or
// moved down with the window).
template <class D>
void equaliseLoadedRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                       const EqualiseCurve* curve, typename D::Sample* out);

// The row step and the blend in one pass, from histograms that hold the
// window's slots 7 - R .. 7 + R; the same results as the row step followed by
// the blend. The blend is tabulated first, once for a curve (and its beta) and a depth.
template <class D>
void prepareBlend(BlendTables* tables, const EqualiseCurve* curve);
// Grey: out[x] = trunc(beta source[x] + (1 - beta) E[x]).
template <class D>
void equaliseAndBlendGreyRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                             const EqualiseCurve* curve, const typename D::Sample* source,
                             typename D::Sample* out);
// RGB: each pixel of rgb takes the intensity trunc((1 - beta) E + beta (R + G +
// B + 1) t) and keeps its chroma (recolour), in place.
template <class D>
void equaliseAndBlendRgbRow(EqualiseWorkspace* workspace, const typename D::Sample* const* window,
                            const EqualiseCurve* curve, typename D::Sample* rgb);

// One build's row step and blends for one depth.
template <class D>
struct RowKernels {
  void (*equaliseLoaded)(EqualiseWorkspace*, const typename D::Sample* const*, const EqualiseCurve*,
                         typename D::Sample*);
  void (*blendGrey)(EqualiseWorkspace*, const typename D::Sample* const*, const EqualiseCurve*,
                    const typename D::Sample*, typename D::Sample*);
  void (*blendRgb)(EqualiseWorkspace*, const typename D::Sample* const*, const EqualiseCurve*,
                   typename D::Sample*);
  void (*collapseRgbInto)(const typename D::Sample*, int32_t, typename D::Sample*);
  // False where the loops count from the window's rows: the column histograms
  // then need neither loading nor moving.
  bool readsHistograms;
};

// A build's entries, for builds hasRowKernels allows; one this module lacks gives the
// next slower one.
template <class D>
const RowKernels<D>* rowKernelsOf(int32_t build);
// The AVX2 build's entries (equaliseRowAvx2.cpp); only there when
// hasRowKernels(kAvx2Kernels) can be true.
template <class D>
const RowKernels<D>* avx2RowKernels();

// ---- the window's rows ----

// The rows a run or a preview works in: the 15 window rows and two work rows,
// rowBytes each and zero-filled, and the row step's workspace. The rows may be
// swapped and rotated among the slots: release frees whatever the slots hold.
template <class D>
struct WindowRows {
  typename D::Sample* window[kWindowSlots];
  typename D::Sample* work[2];
  EqualiseWorkspace* workspace;
};

// 0, or -108 with whatever was had released again.
template <class D>
OSErr allocateWindowRows(int32_t width, int64_t rowBytes, WindowRows<D>* rows);
template <class D>
void releaseWindowRows(WindowRows<D>* rows);

// The window moves down a row: slots 0..13 take the buffers of slots 1..14,
// slot 14 the one that was in slot 0, to be refilled.
template <class Sample>
inline void rotateWindow(Sample** window) {
  Sample* top = window[0];
  for (int32_t slot = 0; slot < kWindowSlots - 1; ++slot) window[slot] = window[slot + 1];
  window[kWindowSlots - 1] = top;
}
