#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/Shared/Script.h"

namespace tesselaudio {

// Picks, among a decoder's top-K candidate tokens, the best one whose text stays inside a script.
// Pure functions; safe from any thread.
namespace TokenLanguageFilter {

struct Choice {
  int tokenId = 0;
  float probability = 0;

  bool operator==(const Choice&) const = default;
};

// True when every Unicode scalar of `text` lies in `script`'s ranges (each takes in the ASCII
// space, digits and punctuation). An empty text matches; text that is not valid UTF-8 never does.
bool matches(std::string_view text, Script script);

// Over the first n = min(ids, logits) candidates: a candidate is eligible when its id has a text
// in `vocabulary` and that text, without every word-boundary mark U+2581, is empty or lies wholly
// inside `preferredScript` (text that is not valid UTF-8 lies outside every script). The eligible
// candidate with the greatest logit wins, the earlier one on ties. Its probability is its softmax
// over all n logits, in [0, 1], and 0 when the largest logit is not finite. None without an
// eligible candidate. Never fails.
std::optional<Choice> filterTopK(const std::vector<int>& topKIds,
                                 const std::vector<float>& topKLogits,
                                 const std::map<int, std::string>& vocabulary,
                                 Script preferredScript);

}  // namespace TokenLanguageFilter
}  // namespace tesselaudio
