// textFormat.h -- numbers as text, and zero-terminated versus length-prefixed texts
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

// Size of the buffers numbers are converted in. formatFloat needs at most 14
// bytes (13 characters and a zero), formatFloatCounted the same.
constexpr int32_t kNumberTextBytes = 256;
// Longest text of formatFloat.
constexpr int32_t kFloatTextMax = 13;

// Length-prefixed text of value: digits cut off, not rounded, beyond a
// rounding term at the eighth significant digit; "0.0" for zero and NaN.
void formatFloatCounted(float value, uint8_t* buffer);
// The same, zero-terminated: what the log and the dialog's edit fields show.
void formatFloat(float value, char* buffer);
// Length-prefixed text of the four bytes of code, most significant first
// (5 bytes written).
void fourCharText(uint32_t code, uint8_t* buffer);

// Copies source up to and including its first zero, at most size bytes; when no
// zero came within them byte size - 1 becomes zero. A null source gives an
// empty text; a null destination or a size below 1 does nothing.
void copyBoundedText(const char* source, char* destination, int32_t size);
// Zero-terminated to length-prefixed in place (at most 255 characters kept).
void toLengthPrefixed(uint8_t* buffer);
// Length-prefixed to zero-terminated in place; the buffer needs L + 1 bytes.
void fromLengthPrefixed(uint8_t* buffer);

// Zero-filled text buffer from allocBlock, or null.
char* allocText(int32_t size);
// Clears the first byte and releases the buffer; null is ignored.
void freeText(char* buffer);
