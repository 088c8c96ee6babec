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

// Overloaded on the sample: uint8_t rows are 8-bit, uint16_t rows 16-bit.
void referenceCollapseRgbRow(uint8_t* row, int pixelCount, int channelCount);
void referenceCollapseRgbRow(uint16_t* row, int pixelCount, int channelCount);

// One output row from a 15-slot window, counters kept as floats as described.
void referenceEqualiseRow(const uint8_t* const* window, int width, int radius, float area,
                          float gamma, float delta, uint8_t* out);
void referenceEqualiseRow(const uint16_t* const* window, int width, int radius, float area,
                          float gamma, float delta, uint16_t* out);

// The run's blend of the output intensities with the unprocessed row: grey
// rows in `intensity`, RGB pixels recoloured in `source`.
void referenceBlendGreyRow(uint8_t* intensity, const uint8_t* source, int width, float beta);
void referenceBlendGreyRow(uint16_t* intensity, const uint16_t* source, int width, float beta);
void referenceBlendRgbRow(uint8_t* source, const uint8_t* intensity, int width, float beta);
void referenceBlendRgbRow(uint16_t* source, const uint16_t* intensity, int width, float beta);

// The whole run over height rows of width x channels samples, in place.
// 0, or -128 for an area narrower than 15 pixels (image untouched).
int referenceRun(std::vector<uint8_t>& image, int width, int height, int channels, float alpha,
                 float beta, float gamma, float delta);
int referenceRun(std::vector<uint16_t>& image, int width, int height, int channels, float alpha,
                 float beta, float gamma, float delta);
