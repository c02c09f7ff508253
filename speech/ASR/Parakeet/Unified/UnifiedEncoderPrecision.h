#pragma once

namespace tesselaudio {

// The precision of a unified recogniser's encoder file: 8-bit integer or 16-bit float weights.
enum class UnifiedEncoderPrecision { int8, fp16 };

}  // namespace tesselaudio
