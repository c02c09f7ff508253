#pragma once

#include <optional>
#include <string>
#include <vector>

#include "speech/ASR/SenseVoice/SenseVoiceTagScores.h"

namespace tesselaudio {

// What SenseVoiceManager made of one utterance: the text without its tags, the detected language,
// every tag of the decoded text in order, and the tag probabilities of the encoder's query rows.
// A plain value; safe from any thread.
struct SenseVoiceTranscription {
  std::string text;
  std::optional<std::string> language;
  std::vector<std::string> tags;
  SenseVoiceTagScores scores;

  // The most probable emotion (event); none when its score list is empty.
  std::optional<SenseVoiceTagScore> emotion() const;
  std::optional<SenseVoiceTagScore> event() const;

  bool operator==(const SenseVoiceTranscription&) const = default;
};

}  // namespace tesselaudio
