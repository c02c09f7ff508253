#include "speech/ASR/SenseVoice/SenseVoiceTranscription.h"

namespace tesselaudio {

std::optional<SenseVoiceTagScore> SenseVoiceTranscription::emotion() const {
  if (scores.emotion.empty()) return std::nullopt;
  return scores.emotion.front();
}

std::optional<SenseVoiceTagScore> SenseVoiceTranscription::event() const {
  if (scores.event.empty()) return std::nullopt;
  return scores.event.front();
}

}  // namespace tesselaudio
