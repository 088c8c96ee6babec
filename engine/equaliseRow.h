// equaliseRow.h -- the row step of neighbourhood equalisation, the RGB row collapse and the blend
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

// The window: 15 intensity rows y-7 .. y+7 around output row y, slot 7 the
// current row. Only the first `width` samples of a slot are read.
constexpr int32_t kWindowSlots = 15;
constexpr int32_t kCentreSlot = 7;
constexpr int32_t kMinRadius = 3;
constexpr int32_t kMaxRadius = 7;
constexpr int32_t kMaxArea = 225;     // (2 x 7 + 1)^2 samples in the largest window
constexpr int32_t kLevelCount = 256;  // a byte counter's range: any count indexes the table

// The host's 16-bit range is 0..32768. A misbehaving host may hand over larger
// words: every 16-bit sample the engine reads is taken as min(sample, 32768),
// so histogram bins never pass 256 and blends never pass the scale.
constexpr int32_t kMaxSample16 = 32768;

// The four parameters of a run, each a float in 0..1.
struct EqualiseParameters {
  float alpha;  // neighbourhood: larger values give a smaller window
  float beta;   // fraction of the unprocessed image blended back
  float gamma;  // contrast curve exponent 1 / (gamma + 1)
  float delta;  // weight of the 3x3 neighbour average in the lookup value
};

// The value clamped to [0, 1]; NaN becomes 0.
float clampParameter(float value);
void clampParameters(EqualiseParameters* parameters);
// trunc(7 - 4 alpha) of the clamped alpha: 3..7.
int32_t radiusForAlpha(float alpha);
// The window area (2R + 1)^2 from the radius table; radii outside 3..7 are clamped.
float areaForRadius(int32_t radius);

// The contrast curve tabulated by count: the samples of the window at or below
// the lookup bin are always a whole number 0..N, and the output intensity
// depends on nothing else, so level[count] holds E for every possible count;
// counts past N (no window holds more) repeat level[N].
struct EqualiseCurve {
  int32_t radius;  // R, 3..7
  int32_t area;    // N = (2R + 1)^2
  float delta;     // clamped noise rejection weight
  uint16_t level[kLevelCount];
};

// The run's curve from the parameters (clamped here): E = trunc(M f(count / N)).
void makeEqualiseCurve8(EqualiseCurve* curve, float alpha, float gamma, float delta);
void makeEqualiseCurve16(EqualiseCurve* curve, float alpha, float gamma, float delta);
// The preview's curve: the same, except that gamma 0 skips the curve (f = K).
void makePreviewCurve8(EqualiseCurve* curve, float alpha, float gamma, float delta);
void makePreviewCurve16(EqualiseCurve* curve, float alpha, float gamma, float delta);

// Replaces each RGB pixel p by its intensity (R + G + B + 1) / 3 at sample p of
// the same row when channelCount is 3; any other channel count leaves the row.
void collapseRgbRow8(uint8_t* row, int32_t pixelCount, int32_t channelCount);
void collapseRgbRow16(uint16_t* row, int32_t pixelCount, int32_t channelCount);
// The same intensities written to a row of their own; the rows do not overlap.
void collapseRgbRowInto8(const uint8_t* rgb, int32_t pixelCount, uint8_t* intensities);
void collapseRgbRowInto16(const uint16_t* rgb, int32_t pixelCount, uint16_t* intensities);

// Working storage of the row step for rows of `width` pixels: one histogram per
// column over the window rows, with 7 replicated edge columns on each side, so
// that the neighbourhood histogram of a pixel is the sum of 2R + 1 neighbouring
// column histograms. Counters are bytes: a column counts at most 15 samples, a
// neighbourhood at most 225.
struct ColumnHistograms {
  int32_t width;
  int32_t columns;         // width + 14
  uint8_t* fine;           // [columns][256 bins]
  uint8_t* coarse;         // [columns][16 groups]: samples in bins 16g .. 16g + 15
  int32_t* lookup;         // [width] lookup bin of each pixel of the current row
  double* centreTerms;     // [256] (1 - delta) Ic of 8-bit rows
  double* neighbourTerms;  // [3061] delta S w of 8-bit rows
  float termsDelta;        // the delta of the two term tables; -1 before any
  double blendBeta;        // the blend's beta, clamped
  double* levelTerms;      // [256] (1 - beta) E by count
  double* sumTerms;        // [766] beta (R + G + B + 1) t of 8-bit pixels
  uint8_t* greyBlend8;     // [256 counts][256 samples] the 8-bit grey results
};

// A zero-filled set for rows of `width` (1 or more) pixels. 0, or -108 (no
// memory, or a width whose storage would pass 2 GiB) with the slot null.
OSErr createColumnHistograms(int32_t width, ColumnHistograms** slot);
// Releases the set; null is ignored.
void disposeColumnHistograms(ColumnHistograms* histograms);

// Rebuilds the histograms from window slots 7 - R .. 7 + R.
void loadColumnHistograms8(ColumnHistograms* histograms, const uint8_t* const* window,
                           int32_t radius);
void loadColumnHistograms16(ColumnHistograms* histograms, const uint16_t* const* window,
                            int32_t radius);
// Moves the window down one row: every column counts one sample of `leaving`
// fewer and one of `entering` more.
void moveHistogramRow8(ColumnHistograms* histograms, const uint8_t* leaving,
                       const uint8_t* entering);
void moveHistogramRow16(ColumnHistograms* histograms, const uint16_t* leaving,
                        const uint16_t* entering);

// The output intensities E of the window's current row into out[0 .. width-1],
// from histograms that hold exactly window slots 7 - R .. 7 + R (R of the curve).
void equaliseLoadedRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                        const EqualiseCurve* curve, uint8_t* out);
void equaliseLoadedRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                         const EqualiseCurve* curve, uint16_t* out);

// The row step on its own: loads the histograms from the window, then equalises.
// Reads the window, writes out[0 .. width-1] and the histograms, nothing else.
void equaliseRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                  const EqualiseCurve* curve, uint8_t* out);
void equaliseRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                   const EqualiseCurve* curve, uint16_t* out);

// The row step and the blend in one pass, from histograms that hold the
// window's slots 7 - R .. 7 + R; the same results as equaliseLoadedRow followed
// by blendGreyRow or blendRgbRow. The blend is tabulated by count first, once
// for a curve, a beta and a depth (prepareBlend of that depth).
void prepareBlend8(ColumnHistograms* histograms, const EqualiseCurve* curve, float beta);
void prepareBlend16(ColumnHistograms* histograms, const EqualiseCurve* curve, float beta);
// out[x] = trunc(beta source[x] + (1 - beta) E[x]).
void equaliseGreyRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                      const EqualiseCurve* curve, const uint8_t* source, uint8_t* out);
void equaliseGreyRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                       const EqualiseCurve* curve, const uint16_t* source, uint16_t* out);
// The RGB pixels of source recoloured in place around their new intensities.
void equaliseRgbRow8(ColumnHistograms* histograms, const uint8_t* const* window,
                     const EqualiseCurve* curve, uint8_t* source);
void equaliseRgbRow16(ColumnHistograms* histograms, const uint16_t* const* window,
                      const EqualiseCurve* curve, uint16_t* source);

// Grey blend: intensity[x] = trunc(beta source[x] + (1 - beta) intensity[x]).
void blendGreyRow8(uint8_t* intensity, const uint8_t* source, int32_t width, float beta);
void blendGreyRow16(uint16_t* intensity, const uint16_t* source, int32_t width, float beta);
// RGB blend: each pixel of source takes the intensity
// trunc((1 - beta) E + beta (R + G + B + 1) t) and keeps its chroma, clamped to 0..M.
void blendRgbRow8(uint8_t* source, const uint8_t* intensity, int32_t width, float beta);
void blendRgbRow16(uint16_t* source, const uint16_t* intensity, int32_t width, float beta);

// Clamps 16-bit samples to 32768 in place (see kMaxSample16).
void clampSamples16(uint16_t* samples, int32_t count);
