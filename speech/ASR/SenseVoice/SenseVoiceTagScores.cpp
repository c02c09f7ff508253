#include "speech/ASR/SenseVoice/SenseVoiceTagScores.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "platform/text/CaseMapping.h"

namespace tesselaudio::SenseVoiceTagScoring {
namespace {

constexpr std::string_view kOpen = "<|";
constexpr std::string_view kClose = "|>";

// Tag name to id, for every piece "<|name|>" with a non-empty name.
std::map<std::string, int> tagMap(const std::map<int, std::string>& vocabulary) {
  std::map<std::string, int> tags;
  for (const auto& [id, piece] : vocabulary) {
    if (piece.size() > kOpen.size() + kClose.size() && piece.starts_with(kOpen) && piece.ends_with(kClose)) {
      tags[piece.substr(kOpen.size(), piece.size() - kOpen.size() - kClose.size())] = id;
    }
  }
  return tags;
}

std::vector<Candidates::Candidate> inListOrder(const std::map<std::string, int>& tags,
                                               const std::vector<std::string>& names) {
  std::vector<Candidates::Candidate> out;
  for (const std::string& name : names) {
    const auto found = tags.find(name);
    if (found != tags.end()) out.push_back({found->second, name});
  }
  return out;
}

}  // namespace

Candidates::Candidates(const std::map<int, std::string>& vocabulary) {
  const auto tags = tagMap(vocabulary);
  for (const auto& [tag, id] : tags) {
    if (tag.find("itn") == std::string::npos && platform::text::toLowerCase(tag) == tag) {
      language.push_back({id, tag});
    }
  }
  std::sort(language.begin(), language.end(), [](const Candidate& a, const Candidate& b) { return a.id < b.id; });
  emotion = inListOrder(tags, emotionTags());
  event = inListOrder(tags, eventTags());
}

const std::vector<std::string>& emotionTags() {
  static const std::vector<std::string> tags = {"HAPPY",     "SAD",       "ANGRY", "NEUTRAL",    "FEARFUL",
                                                "DISGUSTED", "SURPRISED", "OTHER", "EMO_UNKNOWN"};
  return tags;
}

const std::vector<std::string>& eventTags() {
  static const std::vector<std::string> tags = {"Speech", "BGM",   "Laughter", "Applause", "Cry",      "Sneeze",
                                                "Breath", "Cough", "Sing",     "Speech_Noise", "Event_UNK"};
  return tags;
}

std::vector<SenseVoiceTagScore> score(const std::vector<float>& row, const std::vector<Candidates::Candidate>& candidates) {
  std::vector<std::pair<const Candidates::Candidate*, float>> present;
  for (const auto& candidate : candidates) {
    if (candidate.id < 0 || static_cast<std::size_t>(candidate.id) >= row.size()) continue;
    const float value = row[static_cast<std::size_t>(candidate.id)];
    if (std::isfinite(value)) present.emplace_back(&candidate, value);
  }
  if (present.empty()) return {};
  float largest = present.front().second;
  for (const auto& [candidate, value] : present) largest = std::max(largest, value);
  std::vector<float> weights;
  float sum = 0.0f;
  for (const auto& [candidate, value] : present) sum += weights.emplace_back(std::exp(value - largest));
  if (!(sum > 0.0f)) return {};

  std::vector<SenseVoiceTagScore> scores;
  for (std::size_t i = 0; i < present.size(); ++i) scores.push_back({present[i].first->tag, weights[i] / sum});
  std::stable_sort(scores.begin(), scores.end(),
                   [](const SenseVoiceTagScore& a, const SenseVoiceTagScore& b) { return a.probability > b.probability; });
  return scores;
}

}  // namespace tesselaudio::SenseVoiceTagScoring
