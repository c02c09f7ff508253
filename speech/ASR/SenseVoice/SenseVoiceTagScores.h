#pragma once

#include <map>
#include <string>
#include <vector>

// Probabilities of the language, emotion and event tags that the SenseVoice encoder writes in its
// vocabulary as "<|" + name + "|>". Plain values and pure functions; safe from any thread.
namespace tesselaudio {

// One tag (the name without "<|" and "|>") and its probability.
struct SenseVoiceTagScore {
  std::string tag;
  float probability = 0.0f;

  bool operator==(const SenseVoiceTagScore&) const = default;
};

// The language, emotion and event scores of one transcription, each most probable first.
struct SenseVoiceTagScores {
  std::vector<SenseVoiceTagScore> language;
  std::vector<SenseVoiceTagScore> emotion;
  std::vector<SenseVoiceTagScore> event;

  // Three empty lists.
  static SenseVoiceTagScores empty() { return {}; }

  bool operator==(const SenseVoiceTagScores&) const = default;
};

namespace SenseVoiceTagScoring {

// The vocabulary ids that count as tags of each kind.
struct Candidates {
  struct Candidate {
    int id = 0;
    std::string tag;

    bool operator==(const Candidate&) const = default;
  };

  // Every tag whose name equals its lower-case form and holds no "itn", by id.
  std::vector<Candidate> language;
  // The emotion names present in the vocabulary, in emotionTags() order.
  std::vector<Candidate> emotion;
  // The event names present in the vocabulary, in eventTags() order.
  std::vector<Candidate> event;

  Candidates() = default;
  // The candidates among the pieces "<|name|>" of `vocabulary` (id to piece) with a name of at
  // least one character. A name carried by several ids keeps the highest id.
  explicit Candidates(const std::map<int, std::string>& vocabulary);

  bool operator==(const Candidates&) const = default;
};

// "HAPPY", "SAD", "ANGRY", "NEUTRAL", "FEARFUL", "DISGUSTED", "SURPRISED", "OTHER", "EMO_UNKNOWN".
const std::vector<std::string>& emotionTags();
// "Speech", "BGM", "Laughter", "Applause", "Cry", "Sneeze", "Breath", "Cough", "Sing",
// "Speech_Noise", "Event_UNK".
const std::vector<std::string>& eventTags();

// The softmax of `row` (one logit per token id) over the candidates, most probable first; equal
// probabilities keep the candidates' order. Candidates whose id lies outside the row or whose
// value is not finite take no part; empty when none is left.
std::vector<SenseVoiceTagScore> score(const std::vector<float>& row,
                                      const std::vector<Candidates::Candidate>& candidates);

}  // namespace SenseVoiceTagScoring
}  // namespace tesselaudio
