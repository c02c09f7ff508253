#include "speech/Shared/TokenLanguageFilter.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "platform/text/Scalars.h"
#include "speech/Shared/ASRConstants.h"

namespace tesselaudio::TokenLanguageFilter {
namespace {

bool isAsciiWithoutLetters(char32_t c) {
  return (c >= 0x20 && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7F);
}

bool inScript(char32_t c, Script script) {
  switch (script) {
    case Script::latin:
      return (c >= 0x20 && c <= 0x7F) || (c >= 0xA0 && c <= 0x24F) || (c >= 0x300 && c <= 0x36F) ||
             (c >= 0x1E00 && c <= 0x1EFF);
    case Script::cyrillic:
      return isAsciiWithoutLetters(c) || (c >= 0x400 && c <= 0x4FF);
    case Script::greek:
      return isAsciiWithoutLetters(c) || (c >= 0x300 && c <= 0x3FF) || (c >= 0x1F00 && c <= 0x1FFF);
  }
  return false;
}

std::string withoutWordBoundaries(std::string_view text) {
  constexpr std::string_view kMark = ASRConstants::sentencePieceWordBoundary;
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (text.substr(at, kMark.size()) == kMark) {
      at += kMark.size();
    } else {
      out.push_back(text[at++]);
    }
  }
  return out;
}

float softmaxOf(float logit, const std::vector<float>& logits, size_t n) {
  // Not-a-number ranks below every number; any such logit then makes the sum NaN below.
  const float largest = *std::max_element(
      logits.begin(), logits.begin() + n,
      [](float a, float b) { return std::isnan(a) ? !std::isnan(b) : a < b; });
  if (!std::isfinite(largest)) return 0.0f;
  float sum = 0.0f;
  for (size_t j = 0; j < n; ++j) sum += std::exp(logits[j] - largest);
  if (!(sum > 0.0f)) return 0.0f;
  const float p = std::exp(logit - largest) / sum;
  if (std::isnan(p)) return 0.0f;
  return std::clamp(p, 0.0f, 1.0f);
}

}  // namespace

bool matches(std::string_view text, Script script) {
  const auto scalars = platform::text::unicodeScalars(text);
  if (!scalars) return false;
  return std::all_of(scalars->begin(), scalars->end(), [&](char32_t c) { return inScript(c, script); });
}

std::optional<Choice> filterTopK(const std::vector<int>& topKIds,
                                 const std::vector<float>& topKLogits,
                                 const std::map<int, std::string>& vocabulary,
                                 Script preferredScript) {
  const size_t n = std::min(topKIds.size(), topKLogits.size());
  std::optional<size_t> best;
  for (size_t j = 0; j < n; ++j) {
    const auto entry = vocabulary.find(topKIds[j]);
    if (entry == vocabulary.end()) continue;
    const std::string text = withoutWordBoundaries(entry->second);
    if (!text.empty() && !matches(text, preferredScript)) continue;
    if (!best || topKLogits[j] > topKLogits[*best]) best = j;
  }
  if (!best) return std::nullopt;
  return Choice{topKIds[*best], softmaxOf(topKLogits[*best], topKLogits, n)};
}

}  // namespace tesselaudio::TokenLanguageFilter
