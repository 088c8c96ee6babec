// equaliseCurve.cpp -- the window's radius and the contrast curve tabulated by count
#include <cmath>

#include "engine/equaliseKernels.h"

namespace {

void makeCurve(EqualiseCurve* curve, const FilterValues& values, double scale,
               bool plainAtGammaZero) {
  curve->radius = windowRadius(values);
  const float area = areaForRadius(curve->radius);
  curve->area = int32_t(area);
  curve->delta = values.value[ParameterDelta];
  curve->beta = values.value[ParameterBeta];
  const double n = area;
  const double g = values.value[ParameterGamma];
  for (int32_t count = 0; count < kLevelCount; ++count) {
    if (count > curve->area) {
      curve->level[count] = curve->level[curve->area];  // no window holds more
      continue;
    }
    // K is a count over an odd N, never exactly 1/2; at K = 0 and K = 1 the
    // power's base is 1 and f is exactly 0 or 1.
    const double k = double(count) / n;
    double f;
    if (plainAtGammaZero && g == 0.0) {
      f = k;
    } else if (k >= 0.5) {
      f = 0.5 + 0.5 * std::exp(std::log(2.0 * k - 1.0) / (g + 1.0));
    } else {
      f = 0.5 - 0.5 * std::exp(std::log(1.0 - 2.0 * k) / (g + 1.0));
    }
    const double level = scale * f;
    curve->level[count] = uint16_t(level <= 0.0 ? 0.0 : level >= scale ? scale : level);
  }
}

}  // namespace

int32_t windowRadius(const FilterValues& values) {
  // In double: in single precision 7 - 4 alpha rounds up to 6 for alphas just
  // above 0.25. Alpha 0 gives the largest window, alpha 1 the smallest.
  const double span = double(kMaxRadius - kMinRadius);
  return int32_t(double(kMaxRadius) - span * double(values.value[ParameterAlpha]));
}

float areaForRadius(int32_t radius) {
  static const float kAreas[] = {49.0f, 81.0f, 121.0f, 169.0f, 225.0f};
  return kAreas[clampRadius(radius) - kMinRadius];
}

template <class D>
void makeEqualiseCurve(EqualiseCurve* curve, const FilterValues& values) {
  makeCurve(curve, values, double(D::kMax), false);
}

template <class D>
void makePreviewCurve(EqualiseCurve* curve, const FilterValues& values) {
  makeCurve(curve, values, double(D::kMax), true);
}

template void makeEqualiseCurve<Depth8>(EqualiseCurve*, const FilterValues&);
template void makeEqualiseCurve<Depth16>(EqualiseCurve*, const FilterValues&);
template void makePreviewCurve<Depth8>(EqualiseCurve*, const FilterValues&);
template void makePreviewCurve<Depth16>(EqualiseCurve*, const FilterValues&);
