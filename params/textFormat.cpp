// textFormat.cpp -- numbers as text, and zero-terminated versus length-prefixed texts
#include "params/textFormat.h"

#include <cmath>
#include <cstring>

#include "core/memory.h"

namespace {

// ln 10 rounded to single precision. Powers of ten are built from it, so they
// are a little off (10^3 comes out as 1000.0000959); the printed digits of the
// log and the dialog depend on exactly these values.
constexpr double kLn10Single = 2.3025851249694824;

double powerOfTen(int32_t k) { return std::exp(double(k) * kLn10Single); }

// At and above this magnitude the rounding term 5 x 10^(n-8) reaches half the
// leading digit of the exponential form, so that form is made differently.
constexpr double kLargeMagnitude = 9.5e7;

// Collects the characters after the length byte. It never holds more than the
// longest text, so no input can write past a caller's 14 bytes.
struct TextOut {
  uint8_t* buffer;
  int32_t length;
};

void emit(TextOut* out, char c) {
  if (out->length >= kFloatTextMax) return;
  out->buffer[1 + out->length] = uint8_t(c);
  ++out->length;
}

void emitText(TextOut* out, const char* text) {
  for (; *text != '\0'; ++text) emit(out, *text);
}

void emitDigit(TextOut* out, int32_t digit) { emit(out, char('0' + digit)); }

void emitExponent(TextOut* out, int32_t n) {
  emit(out, 'e');
  if (n < 0) {
    emit(out, '-');
    n = -n;
  } else {
    emit(out, '+');
  }
  if (n > 9) emitDigit(out, n / 10);
  emitDigit(out, n % 10);
}

// d.dddddd e+nn for magnitudes the general rule cannot print: the mantissa is
// normalised into 1 <= m < 10 with exact powers of ten and rounded by half a
// unit of its last digit, so 1e8 prints as 1.000000e+8 and the largest float
// as 3.402823e+38.
void emitLargeExponential(TextOut* out, double x) {
  int32_t n = 0;
  double scale = 1.0;
  while (x / scale >= 10.0) {
    scale *= 10.0;
    ++n;
  }
  double m = x / scale + 5e-7;
  if (m >= 10.0) {
    m /= 10.0;
    ++n;
  }
  for (int32_t i = 0; i < 7; ++i) {
    int32_t d = int32_t(m);
    if (d > 9) d = 9;
    emitDigit(out, d);
    if (i == 0) emit(out, '.');
    m = (m - d) * 10.0;
  }
  emitExponent(out, n);
}

}  // namespace

void formatFloatCounted(float value, uint8_t* buffer) {
  if (buffer == nullptr) return;
  TextOut out{buffer, 0};
  // Zero, minus zero and NaN (an unordered comparison) all print as 0.0.
  if (!(value < 0.0f || value > 0.0f)) {
    emitText(&out, "0.0");
    buffer[0] = uint8_t(out.length);
    return;
  }
  double x = value;
  if (x < 0.0) {
    emit(&out, '-');
    x = -x;
  }
  if (std::isinf(x)) {
    // Infinity has no digits; "inf" and "-inf" keep the text short and plain.
    emitText(&out, "inf");
    buffer[0] = uint8_t(out.length);
    return;
  }

  int32_t n = int32_t(std::log(x) / std::log(10.0));  // truncated towards zero
  double g = x / powerOfTen(n) + 5.0 * powerOfTen(n - 8);

  if (n >= 4 || n < -2) {
    // Exponential form. The rounding term scales with n, so from n = 4 on it can
    // push the leading digit to 10 or beyond; such values take the exact path.
    if (x >= kLargeMagnitude || g >= 10.0) {
      emitLargeExponential(&out, x);
      buffer[0] = uint8_t(out.length);
      return;
    }
    int32_t d = int32_t(g);
    emitDigit(&out, d);
    emit(&out, '.');
    g = (g - d) * 10.0;
    for (int32_t i = 0; i < 6; ++i) {
      d = int32_t(g);
      if (d > 9) d = 9;  // (g - d) * 10 stays below 10 in doubles; kept as a guard
      emitDigit(&out, d);
      g = (g - d) * 10.0;
    }
    emitExponent(&out, n);
  } else {
    // Fixed form: six digit positions, the point after the (n + 1)-th.
    if (n < 0) {
      g = g / powerOfTen(-n);
      n = 0;
    }
    for (int32_t i = 0; i < 6; ++i) {
      const int32_t d = int32_t(g);
      if (d >= 10) {
        // Only the first position can reach 10 (9999.99 rounds up to it).
        emitText(&out, "10");
      } else {
        emitDigit(&out, d);
      }
      g = (g - d) * 10.0;
      if (n == 0) emit(&out, '.');
      --n;
    }
  }
  buffer[0] = uint8_t(out.length);
}

void formatFloat(float value, char* buffer) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(buffer);
  formatFloatCounted(value, bytes);
  fromLengthPrefixed(bytes);
}

void fourCharText(uint32_t code, uint8_t* buffer) {
  if (buffer == nullptr) return;
  buffer[0] = 4;
  buffer[1] = uint8_t(code >> 24);
  buffer[2] = uint8_t(code >> 16);
  buffer[3] = uint8_t(code >> 8);
  buffer[4] = uint8_t(code);
}

void copyBoundedText(const char* source, char* destination, int32_t size) {
  if (destination == nullptr || size < 1) return;
  if (source == nullptr) {
    destination[0] = '\0';
    return;
  }
  for (int32_t i = 0; i < size; ++i) {
    destination[i] = source[i];
    if (source[i] == '\0') return;
  }
  destination[size - 1] = '\0';
}

void toLengthPrefixed(uint8_t* buffer) {
  if (buffer == nullptr) return;
  int32_t length = 0;
  while (length < 255 && buffer[length] != 0) ++length;
  std::memmove(buffer + 1, buffer, size_t(length));
  buffer[0] = uint8_t(length);
}

void fromLengthPrefixed(uint8_t* buffer) {
  if (buffer == nullptr) return;
  const int32_t length = buffer[0];
  std::memmove(buffer, buffer + 1, size_t(length));
  buffer[length] = 0;
}

char* allocText(int32_t size) { return static_cast<char*>(allocBlock(size)); }

void freeText(char* buffer) {
  if (buffer == nullptr) return;
  buffer[0] = '\0';
  freeBlock(buffer);
}
