#pragma once

#include <memory>
#include <optional>

#include "platform/audio/PcmBuffer.h"

namespace platform {

// One block of audio for a SpeechAnalyzer. Without a start it follows the previous input on the
// analyzer's time line without a gap; with one it begins there (seconds).
struct AnalyzerInput {
  std::shared_ptr<const PcmBuffer> buffer;
  std::optional<double> bufferStartTime;
};

}  // namespace platform
