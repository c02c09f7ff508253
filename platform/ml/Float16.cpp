#include "platform/ml/Float16.h"

#include <bit>

namespace platform {

uint16_t float16FromFloat(float value) {
  constexpr uint32_t kFloatInfinity = 255u << 23;
  constexpr uint32_t kHalfOverflow = (127u + 16u) << 23;
  constexpr uint32_t kSubnormalMagic = ((127u - 15u) + (23u - 10u) + 1u) << 23;

  uint32_t bits = std::bit_cast<uint32_t>(value);
  const uint32_t sign = bits & 0x80000000u;
  bits ^= sign;
  uint16_t half;
  if (bits >= kHalfOverflow) {
    half = bits > kFloatInfinity ? 0x7e00 : 0x7c00;
  } else if (bits < (113u << 23)) {
    // Subnormal half: let the float adder do the rounding by aligning the mantissa with a magic number.
    const float aligned = std::bit_cast<float>(bits) + std::bit_cast<float>(kSubnormalMagic);
    half = static_cast<uint16_t>(std::bit_cast<uint32_t>(aligned) - kSubnormalMagic);
  } else {
    const uint32_t mantissaOdd = (bits >> 13) & 1u;
    bits += (static_cast<uint32_t>(15 - 127) << 23) + 0xfffu;
    bits += mantissaOdd;
    half = static_cast<uint16_t>(bits >> 13);
  }
  return static_cast<uint16_t>(half | (sign >> 16));
}

float floatFromFloat16(uint16_t half) {
  constexpr uint32_t kMagic = 113u << 23;
  constexpr uint32_t kShiftedExponent = 0x7c00u << 13;
  uint32_t bits = (half & 0x7fffu) << 13;
  const uint32_t exponent = kShiftedExponent & bits;
  bits += (127u - 15u) << 23;
  if (exponent == kShiftedExponent) {
    bits += (128u - 16u) << 23;
  } else if (exponent == 0) {
    bits += 1u << 23;
    bits = std::bit_cast<uint32_t>(std::bit_cast<float>(bits) - std::bit_cast<float>(kMagic));
  }
  bits |= static_cast<uint32_t>(half & 0x8000u) << 16;
  return std::bit_cast<float>(bits);
}

void convertFloatToFloat16(const float* source, uint16_t* destination, size_t count) {
  for (size_t i = 0; i < count; ++i) destination[i] = float16FromFloat(source[i]);
}

void convertFloat16ToFloat(const uint16_t* source, float* destination, size_t count) {
  for (size_t i = 0; i < count; ++i) destination[i] = floatFromFloat16(source[i]);
}

}  // namespace platform
