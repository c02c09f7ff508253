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

namespace {

// floatFromFloat16 without branches: scaling by 2^112 moves the exponent bias from 15 to 127
// (subnormal halves become normal floats exactly), and infinities and NaN take the float's
// all-ones exponent with their mantissa.
float floatFromFloat16WithoutBranches(uint32_t half) {
  const uint32_t magnitude = (half & 0x7fffu) << 13;
  const uint32_t scaled = std::bit_cast<uint32_t>(std::bit_cast<float>(magnitude) * 0x1p112f);
  const uint32_t special = 0u - static_cast<uint32_t>((half & 0x7c00u) == 0x7c00u);
  const uint32_t bits = (scaled & ~special) | ((magnitude | 0x7f800000u) & special);
  return std::bit_cast<float>(bits | ((half & 0x8000u) << 16));
}

}  // namespace

void convertFloat16ToFloat(const uint16_t* source, float* destination, size_t count) {
  // Blocks of a fixed size are what the compiler vectorises at -O2.
  constexpr size_t kBlock = 8;
  size_t i = 0;
  for (; i + kBlock <= count; i += kBlock) {
    float block[kBlock];
    for (size_t k = 0; k < kBlock; ++k) block[k] = floatFromFloat16WithoutBranches(source[i + k]);
    for (size_t k = 0; k < kBlock; ++k) destination[i + k] = block[k];
  }
  for (; i < count; ++i) destination[i] = floatFromFloat16WithoutBranches(source[i]);
}

}  // namespace platform
