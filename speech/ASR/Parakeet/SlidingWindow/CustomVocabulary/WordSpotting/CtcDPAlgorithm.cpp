#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcDPAlgorithm.h"

#include <algorithm>
#include <utility>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstants.h"

namespace tesselaudio::CtcDPAlgorithm {
namespace {

struct ExpandedSymbol {
  enum class Kind : std::uint8_t { token, blank, wildcard };
  Kind kind = Kind::blank;
  std::int64_t id = 0;
};

// blank, s1, blank, s2, ..., blank, sK, blank.
std::vector<ExpandedSymbol> buildExpandedSequence(std::span<const std::int64_t> tokens) {
  std::vector<ExpandedSymbol> symbols;
  symbols.reserve(2 * tokens.size() + 1);
  symbols.push_back({});
  for (std::int64_t id : tokens) {
    if (id == ContextBiasingConstants::wildcardTokenId) {
      symbols.push_back({ExpandedSymbol::Kind::wildcard, id});
    } else {
      symbols.push_back({ExpandedSymbol::Kind::token, id});
    }
    symbols.push_back({});
  }
  return symbols;
}

// A repeated token needs a blank between its two emissions; two wildcards likewise.
bool maySkip(const std::vector<ExpandedSymbol>& symbols, std::size_t k) {
  if (k < 2) return false;
  const ExpandedSymbol& here = symbols[k];
  const ExpandedSymbol& before = symbols[k - 2];
  switch (here.kind) {
    case ExpandedSymbol::Kind::token:
      return before.kind == ExpandedSymbol::Kind::wildcard ||
             (before.kind == ExpandedSymbol::Kind::token && before.id != here.id);
    case ExpandedSymbol::Kind::wildcard:
      return before.kind != ExpandedSymbol::Kind::wildcard;
    case ExpandedSymbol::Kind::blank:
      return false;
  }
  return false;
}

struct Generation {
  std::vector<float> score;
  std::vector<int> start;
  std::vector<int> end;

  explicit Generation(std::size_t states) : score(states, kNeg), start(states, 0), end(states, 0) {}
};

}  // namespace

TerminalStates terminalStates(const CtcLogProbMatrix& logProbs, std::span<const std::int64_t> keywordTokens,
                              int blankId) {
  const std::size_t frames = logProbs.size();
  TerminalStates result{std::vector<float>(frames + 1, 0.0f), std::vector<int>(frames + 1, 0),
                        std::vector<int>(frames + 1, 0)};
  if (keywordTokens.empty()) return result;
  result.scores[0] = kNeg;

  const std::vector<ExpandedSymbol> symbols = buildExpandedSequence(keywordTokens);
  const std::size_t states = symbols.size();
  std::vector<bool> skips(states);
  for (std::size_t k = 0; k < states; ++k) skips[k] = maySkip(symbols, k);

  Generation previous(states);
  Generation current(states);
  previous.score[0] = 0;
  for (std::size_t t = 1; t <= frames; ++t) {
    const std::vector<float>& row = logProbs[t - 1];
    const auto width = static_cast<std::int64_t>(row.size());
    const int frame = static_cast<int>(t);
    const float blankEmission = blankId >= 0 && blankId < width ? row[static_cast<std::size_t>(blankId)] : 0.0f;

    current.score[0] = 0;
    current.start[0] = frame;
    current.end[0] = 0;
    for (std::size_t k = 1; k < states; ++k) {
      const ExpandedSymbol& symbol = symbols[k];
      float emission = 0;
      if (symbol.kind == ExpandedSymbol::Kind::blank) {
        emission = blankEmission;
      } else if (symbol.kind == ExpandedSymbol::Kind::token) {
        emission = symbol.id >= 0 && symbol.id < width ? row[static_cast<std::size_t>(symbol.id)] : kNeg;
      }

      const float stay = previous.score[k];
      const float advance = previous.score[k - 1];
      const float skip = skips[k] ? previous.score[k - 2] : kNeg;
      std::size_t from = k;
      float best = stay;
      if (stay < advance) {
        from = advance < skip ? k - 2 : k - 1;
      } else if (stay < skip) {
        from = k - 2;
      }
      best = previous.score[from];

      if (best <= kDead) {
        current.score[k] = kNeg;
        current.start[k] = 0;
        current.end[k] = 0;
        continue;
      }
      current.score[k] = emission + best;
      current.start[k] = (from == 0 && k == 1) ? frame - 1 : previous.start[from];
      current.end[k] = symbol.kind == ExpandedSymbol::Kind::blank ? previous.end[from] : frame;
    }

    const std::size_t last = states - 2;
    const std::size_t chosen = current.score[states - 1] <= current.score[last] ? last : states - 1;
    result.scores[t] = current.score[chosen];
    result.starts[t] = current.start[chosen];
    result.ends[t] = current.end[chosen];
    std::swap(previous, current);
  }
  return result;
}

std::vector<Detection> ctcWordSpotMultiple(const CtcLogProbMatrix& logProbs,
                                           std::span<const std::int64_t> keywordTokens, float minScore,
                                           bool mergeOverlap, int blankId) {
  const std::size_t tokenCount = keywordTokens.size();
  const std::size_t frames = logProbs.size();
  if (tokenCount == 0 || frames == 0 || frames < tokenCount) return {};

  const TerminalStates terminal = terminalStates(logProbs, keywordTokens, blankId);
  const int realTokens = nonWildcardCount(keywordTokens);
  const float divisor = realTokens > 0 ? static_cast<float>(realTokens) : 1.0f;
  const auto normalised = [&](std::size_t f) { return terminal.scores[f] / divisor; };

  std::vector<Detection> detections;
  for (std::size_t f = tokenCount; f <= frames; ++f) {
    const float score = normalised(f);
    const float before = f == tokenCount ? kNeg : normalised(f - 1);
    const float after = f == frames ? kNeg : normalised(f + 1);
    if (before <= score && after < score && score >= minScore) {
      detections.push_back({score, terminal.starts[f], terminal.ends[f]});
    }
  }
  if (detections.empty()) {
    std::size_t best = tokenCount;
    for (std::size_t f = tokenCount + 1; f <= frames; ++f) {
      if (normalised(f) > normalised(best)) best = f;
    }
    if (normalised(best) >= minScore) detections.push_back({normalised(best), terminal.starts[best], terminal.ends[best]});
  }
  if (!mergeOverlap) return detections;

  return mergeOverlapping(std::move(detections));
}

std::vector<Detection> mergeOverlapping(std::vector<Detection> detections) {
  std::stable_sort(detections.begin(), detections.end(),
                   [](const Detection& a, const Detection& b) { return a.startFrame < b.startFrame; });
  std::vector<Detection> merged;
  for (const Detection& detection : detections) {
    if (merged.empty() || detection.startFrame > merged.back().endFrame) {
      merged.push_back(detection);
      continue;
    }
    Detection& kept = merged.back();
    int start = std::min(kept.startFrame, detection.startFrame);
    if (detection.score > kept.score) start = detection.startFrame;
    if (kept.score > detection.score) start = kept.startFrame;
    kept = {std::max(kept.score, detection.score), start, std::max(kept.endFrame, detection.endFrame)};
  }
  return merged;
}

int nonWildcardCount(std::span<const std::int64_t> tokens) {
  return static_cast<int>(std::count_if(tokens.begin(), tokens.end(), [](std::int64_t id) {
    return id != ContextBiasingConstants::wildcardTokenId;
  }));
}

}  // namespace tesselaudio::CtcDPAlgorithm
