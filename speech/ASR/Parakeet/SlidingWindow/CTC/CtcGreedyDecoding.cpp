#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecoding.h"

#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>

#include "platform/text/Whitespace.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcFrames.h"

namespace tesselaudio {
namespace {

constexpr std::string_view kWordBoundary = "\u2581";

// The lowest index of the largest number; NaN is passed over unless the row holds nothing else.
// REQUIRES: row is not empty.
size_t bestIndex(std::span<const float> row) {
  size_t first = 0;
  while (first < row.size() && std::isnan(row[first])) ++first;
  if (first == row.size()) return 0;
  size_t best = first;
  float bestValue = row[first];
  for (size_t i = first + 1; i < row.size(); ++i) {
    if (row[i] > bestValue) {
      bestValue = row[i];
      best = i;
    }
  }
  return best;
}

std::string greedyDecode(const detail::CtcFrames& frames, const std::map<int, std::string>& vocabulary,
                         int blankId) {
  std::vector<int> emitted;
  int previous = -1;
  for (const auto& row : frames.rows) {
    if (row.empty()) continue;
    const int index = static_cast<int>(bestIndex(row));
    if (index != blankId && index != previous) emitted.push_back(index);
    previous = index;
  }
  return decodeCtcTokenIds(emitted, vocabulary);
}

}  // namespace

std::string decodeCtcTokenIds(const std::vector<int>& tokenIds, const std::map<int, std::string>& vocabulary) {
  std::string joined;
  for (const int id : tokenIds) {
    const auto piece = vocabulary.find(id);
    if (piece != vocabulary.end()) joined += piece->second;
  }
  std::string text;
  text.reserve(joined.size());
  for (size_t i = 0; i < joined.size();) {
    if (std::string_view(joined).substr(i, kWordBoundary.size()) == kWordBoundary) {
      text += ' ';
      i += kWordBoundary.size();
    } else {
      text += joined[i++];
    }
  }
  return platform::text::trimBlanks(text);
}

std::string ctcGreedyDecode(const std::vector<std::vector<float>>& logProbs,
                            const std::map<int, std::string>& vocabulary, int blankId) {
  return greedyDecode(detail::CtcFrames::of(logProbs), vocabulary, blankId);
}

std::string ctcGreedyDecode(const platform::MLMultiArray& logProbs, const std::map<int, std::string>& vocabulary,
                            int blankId) {
  const auto frames = detail::CtcFrames::of(logProbs);
  return frames ? greedyDecode(*frames, vocabulary, blankId) : std::string();
}

}  // namespace tesselaudio
