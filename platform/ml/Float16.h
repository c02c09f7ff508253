#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// IEEE 754 binary16 ("half float") conversion, the one place in the project that does it.
// Rounds to nearest even; infinities stay infinities, NaN stays NaN, values beyond the half range
// become infinities and values below its smallest subnormal become signed zeros. Pure functions,
// safe from any thread.

// The binary16 bits nearest to `value`.
uint16_t float16FromFloat(float value);

// The float32 value of the binary16 bits (exact: every half value is a float value).
float floatFromFloat16(uint16_t bits);

// Converts `count` values. REQUIRES: the ranges do not overlap.
void convertFloatToFloat16(const float* source, uint16_t* destination, size_t count);
void convertFloat16ToFloat(const uint16_t* source, float* destination, size_t count);

}  // namespace platform
