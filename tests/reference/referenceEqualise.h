// referenceEqualise.h -- plain, literal equalisation: the slow yardstick the engine is held to
#pragma once

#include <cstdint>
#include <vector>

// The rules for input the arithmetic leaves open, shared with the engine:
// parameters are clamped to [0, 1] with NaN as 0; a 16-bit sample above 32768
// is read as 32768; window columns past the row's end repeat its last column.
float referenceClamp(float value);
int referenceRadius(float alpha);
float referenceArea(int radius);

void referenceCollapseRgbRow8(uint8_t* row, int pixelCount, int channelCount);
void referenceCollapseRgbRow16(uint16_t* row, int pixelCount, int channelCount);

// One output row from a 15-slot window, counters kept as floats as described.
void referenceEqualiseRow8(const uint8_t* const* window, int width, int radius, float area,
                           float gamma, float delta, uint8_t* out);
void referenceEqualiseRow16(const uint16_t* const* window, int width, int radius, float area,
                            float gamma, float delta, uint16_t* out);

// The whole run over height rows of width x channels samples, in place.
// 0, or -128 for an area narrower than 15 pixels (image untouched).
int referenceRun8(std::vector<uint8_t>& image, int width, int height, int channels, float alpha,
                  float beta, float gamma, float delta);
int referenceRun16(std::vector<uint16_t>& image, int width, int height, int channels, float alpha,
                   float beta, float gamma, float delta);
