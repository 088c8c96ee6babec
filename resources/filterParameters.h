// filterParameters.h -- the four parameters in one table: keys, places, controls, labels
#pragma once

#include <cstdint>

#include "core/fixedFiles.h"
#include "core/hostInterface.h"
#include "resources/resourceIds.h"

// The widest window is 15 pixels across (radius 7): narrower areas are not
// processed, and every pixel's result depends on the pixels up to 7 away, so a
// tile with that halo around it gives its part of the whole image's result.
constexpr int32_t kWindowHalo = 7;
constexpr int32_t kMinAreaWidth = 2 * kWindowHalo + 1;

// The four parameters: their entries in the signature block, in the order the
// block is filled, the dialog receives them and checks them at OK.
enum : int32_t {
  ParameterAlpha = 0,
  ParameterBeta = 1,
  ParameterGamma = 2,
  ParameterDelta = 3,
  kParameterCount = 4,
};

struct FilterParameter {
  const char* name;           // as the command-line host spells its option
  char keyText[5];            // descriptor key, also the signature block's entry key
  int32_t settingsOffset;     // float32 in the run's settings block, from the settings file
  int32_t editId;             // the dialog's edit field
  int32_t barId;              // the dialog's scroll bar
  const char* label;          // the dialog's label beside the field
  const char* scriptingName;  // the parameter's name in the scripting terminology
};

// Indexed by ParameterAlpha .. ParameterDelta. The dialog template states the
// labels again, as the resource compiler cannot read this table.
constexpr FilterParameter kFilterParameters[kParameterCount] = {
    {"alpha", "AEqa", kSettingsParametersOffset, BRISEL_ID_EDIT_ALPHA, BRISEL_ID_SCROLL_ALPHA,
     "Region Center Weighting", "Adaptive Equalization Alpha"},
    {"beta", "AEqb", kSettingsParametersOffset + 4, BRISEL_ID_EDIT_BETA, BRISEL_ID_SCROLL_BETA,
     "Add Fraction of Original", "Adaptive Equalization Beta"},
    {"gamma", "AEqg", kSettingsParametersOffset + 8, BRISEL_ID_EDIT_GAMMA, BRISEL_ID_SCROLL_GAMMA,
     "Contrast Expansion", "Adaptive Equalization Gamma"},
    {"delta", "AEqd", kSettingsParametersOffset + 12, BRISEL_ID_EDIT_DELTA, BRISEL_ID_SCROLL_DELTA,
     "Noise Rejection", "Adaptive Equalization Delta"},
};

// The four values of a run, indexed by ParameterAlpha .. ParameterDelta. Each
// is in 0..1 once clamped where it enters the filter; the engine and the
// preview take them as they are.
struct FilterValues {
  float value[kParameterCount];
};

// The value clamped to [0, 1]; NaN, negatives and -0 become 0, so a settings
// file or a caller's float can pick neither a radius without a window area
// nor a bin past the histogram.
inline float clampParameter(float value) {
  if (!(value > 0.0f)) return 0.0f;
  return value > 1.0f ? 1.0f : value;
}

inline FilterValues clampFilterValues(const FilterValues& values) {
  FilterValues clamped;
  for (int32_t p = 0; p < kParameterCount; ++p) clamped.value[p] = clampParameter(values.value[p]);
  return clamped;
}

constexpr DescriptorKeyID parameterKey(int32_t parameter) {
  return fourCharCode(kFilterParameters[parameter].keyText);
}
