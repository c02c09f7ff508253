#include "speech/Shared/ASRConstants.h"

#include <cmath>

namespace tesselaudio::ASRConstants {

const std::set<std::string>& sentenceFinalPunctuation() {
  static const std::set<std::string>* marks =
      new std::set<std::string>{".", "?", "!", "\u3002", "\uFF1F", "\uFF01"};
  return *marks;
}

int calculateEncoderFrames(std::int64_t samples) {
  return static_cast<int>(std::ceil(static_cast<double>(samples) / samplesPerEncoderFrame));
}

int minimumRequiredSamples(int forSampleRate) {
  return static_cast<int>(static_cast<double>(forSampleRate) * minimumAudioDurationSeconds);
}

std::set<int> punctuationTokenIds(const std::map<int, std::string>& vocabulary) {
  std::set<int> ids;
  for (const auto& [id, text] : vocabulary) {
    std::string_view rest = text;
    if (rest.starts_with(sentencePieceWordBoundary)) {
      rest.remove_prefix(sentencePieceWordBoundary.size());
    } else if (rest.starts_with(' ')) {
      rest.remove_prefix(1);
    }
    if (sentenceFinalPunctuation().contains(std::string(rest))) ids.insert(id);
  }
  return ids;
}

}  // namespace tesselaudio::ASRConstants
