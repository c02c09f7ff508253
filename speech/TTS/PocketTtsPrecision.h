#pragma once

namespace tesselaudio {

// The weight precision of the PocketTTS flow step on the GPU: it chooses "flowlm_step" (fp16) or
// "flowlm_stepv2" (int8).
enum class PocketTtsPrecision { fp16, int8 };

}  // namespace tesselaudio
