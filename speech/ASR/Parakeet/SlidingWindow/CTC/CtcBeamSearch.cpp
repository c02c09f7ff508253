#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcBeamSearch.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModel.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcBeam.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcFrames.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecoding.h"

namespace tesselaudio {
namespace {

constexpr float kNegativeInfinity = -std::numeric_limits<float>::infinity();
constexpr std::string_view kWordBoundary = "\u2581";

// Higher scores first; NaN after every number, so sorting stays well defined.
bool ranksBefore(float a, float b) {
  if (std::isnan(b)) return !std::isnan(a);
  if (std::isnan(a)) return false;
  return a > b;
}

float scoreAt(std::span<const float> row, int id) {
  return id >= 0 && static_cast<size_t>(id) < row.size() ? row[static_cast<size_t>(id)] : kNegativeInfinity;
}

// A beam with the hash of its prefix, kept up to date as the prefix grows.
struct Hypothesis {
  CtcBeam beam;
  size_t hash = 0;
};

size_t extendedHash(size_t hash, int token) {
  return (hash ^ static_cast<uint32_t>(token)) * 0x100000001b3ULL + 0x9e3779b97f4a7c15ULL;
}

bool extends(const std::vector<int>& longer, const std::vector<int>& prefix, int token) {
  return longer.size() == prefix.size() + 1 && longer.back() == token &&
         std::equal(prefix.begin(), prefix.end(), longer.begin());
}

// The beams of one frame keyed by prefix, in the order they were first made (so that the stable
// pruning after it is deterministic).
class BeamTable {
 public:
  explicit BeamTable(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
    entries_.reserve(expected);
  }

  // The entry of `from`'s prefix, or of it followed by `token`, and the slot where it belongs.
  std::pair<Hypothesis*, size_t> find(const Hypothesis& from, std::optional<int> token, size_t hash) {
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      if (slots_[slot] == kEmpty) return {nullptr, slot};
      Hypothesis& entry = entries_[slots_[slot]];
      if (entry.hash != hash) continue;
      const bool same = token ? extends(entry.beam.prefix, from.beam.prefix, *token)
                              : entry.beam.prefix == from.beam.prefix;
      if (same) return {&entry, slot};
    }
  }

  // REQUIRES: `slot` came from find() for this hypothesis's prefix, with nothing added since.
  void add(size_t slot, Hypothesis hypothesis) {
    slots_[slot] = entries_.size();
    entries_.push_back(std::move(hypothesis));
    if (entries_.size() * 2 > slots_.size()) rehash();
  }

  std::vector<Hypothesis> take() { return std::move(entries_); }

 private:
  static constexpr size_t kEmpty = std::numeric_limits<size_t>::max();

  void rehash() {
    slots_.assign(slots_.size() * 2, kEmpty);
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
      size_t slot = entries_[i].hash & mask;
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
      slots_[slot] = i;
    }
  }

  std::vector<Hypothesis> entries_;
  std::vector<size_t> slots_;
};

// The ids of a frame worth expanding: all ids of the first frame's width but the blank, best first.
class CandidatePicker {
 public:
  CandidatePicker(size_t width, int blankId) {
    for (size_t id = 0; id < width; ++id) {
      if (static_cast<int>(id) != blankId) ids_.push_back(static_cast<int>(id));
    }
    scored_.reserve(ids_.size());
  }

  // The `count` best ids of `row` with their scores, lower ids first among equal scores.
  const std::vector<std::pair<float, int>>& best(std::span<const float> row, size_t count) {
    scored_.clear();
    for (const int id : ids_) scored_.emplace_back(scoreAt(row, id), id);
    const size_t kept = std::min(count, scored_.size());
    // Ties broken by id make the order total, so a partial sort gives the stable order.
    std::partial_sort(scored_.begin(), scored_.begin() + static_cast<std::ptrdiff_t>(kept), scored_.end(),
                      [](const auto& a, const auto& b) {
                        if (ranksBefore(a.first, b.first)) return true;
                        if (ranksBefore(b.first, a.first)) return false;
                        return a.second < b.second;
                      });
    scored_.resize(kept);
    return scored_;
  }

 private:
  std::vector<int> ids_;
  std::vector<std::pair<float, int>> scored_;
};

class PrefixBeamSearch {
 public:
  PrefixBeamSearch(const std::map<int, std::string>& vocabulary, const ARPALanguageModel* lm, float lmWeight,
                   float wordBonus, int blankId)
      : vocabulary_(vocabulary), lm_(lm), lmWeight_(lmWeight), wordBonus_(wordBonus), blankId_(blankId) {}

  std::string run(const detail::CtcFrames& frames, size_t beamWidth, size_t tokenCandidates) const {
    if (frames.rows.empty() || frames.rows.front().empty()) return {};
    CandidatePicker picker(frames.rows.front().size(), blankId_);
    std::vector<Hypothesis> beams(1);
    beams[0].beam = CtcBeam{.prefix = {}, .pBlank = 0, .pNonBlank = kNegativeInfinity, .lmScore = 0,
                            .wordPieces = {}, .prevWord = std::nullopt};
    for (const auto& row : frames.rows) {
      beams = expanded(beams, row, picker.best(row, tokenCandidates));
      pruneTo(beams, beamWidth);
      if (beams.empty()) return {};
    }
    if (lm_) scoreLastWords(beams);
    return decodeCtcTokenIds(winner(beams).prefix, vocabulary_);
  }

 private:
  enum class Field { blank, nonBlank };

  std::vector<Hypothesis> expanded(const std::vector<Hypothesis>& beams, std::span<const float> row,
                                   const std::vector<std::pair<float, int>>& candidates) const {
    const float blank = scoreAt(row, blankId_);
    BeamTable next(beams.size() * (candidates.size() + 1));
    for (const Hypothesis& from : beams) {
      const float total = from.beam.totalAcoustic();
      contribute(next, from, std::nullopt, Field::blank, blank + total);
      const std::optional<int> last = from.beam.lastToken();
      for (const auto& [p, token] : candidates) {
        if (last == token) {
          // The token goes on, and after a blank it starts again.
          contribute(next, from, std::nullopt, Field::nonBlank, from.beam.pNonBlank + p);
          contribute(next, from, token, Field::nonBlank, from.beam.pBlank + p);
        } else {
          contribute(next, from, token, Field::nonBlank, total + p);
        }
      }
    }
    return next.take();
  }

  // Adds `value` to the entry of `from`'s prefix (followed by `token` when given), making the entry
  // when it is new; an existing entry keeps everything but the field it merges into.
  void contribute(BeamTable& table, const Hypothesis& from, std::optional<int> token, Field field,
                  float value) const {
    const size_t hash = token ? extendedHash(from.hash, *token) : from.hash;
    const auto [entry, slot] = table.find(from, token, hash);
    if (entry) {
      float& target = field == Field::blank ? entry->beam.pBlank : entry->beam.pNonBlank;
      target = logAddExp(target, value);
      return;
    }
    Hypothesis made;
    made.hash = hash;
    if (token) {
      made.beam = extension(from.beam, *token);
    } else {
      made.beam = from.beam;
    }
    made.beam.pBlank = field == Field::blank ? value : kNegativeInfinity;
    made.beam.pNonBlank = field == Field::nonBlank ? value : kNegativeInfinity;
    table.add(slot, std::move(made));
  }

  // `from` followed by `token`, with the word bookkeeping that the language model needs.
  CtcBeam extension(const CtcBeam& from, int token) const {
    CtcBeam beam;
    beam.prefix.reserve(from.prefix.size() + 1);
    beam.prefix = from.prefix;
    beam.prefix.push_back(token);
    beam.lmScore = from.lmScore;
    beam.prevWord = from.prevWord;
    if (!lm_) {
      beam.wordPieces = from.wordPieces;
      return beam;
    }
    const auto found = vocabulary_.find(token);
    const std::string_view piece = found != vocabulary_.end() ? std::string_view(found->second) : std::string_view();
    if (!piece.starts_with(kWordBoundary)) {
      beam.wordPieces = from.wordPieces;
      beam.wordPieces.emplace_back(piece);
      return beam;
    }
    std::string word = joined(from.wordPieces);
    if (!word.empty()) {
      beam.lmScore += wordScore(word, from.prevWord);
      beam.prevWord = std::move(word);
    }
    if (piece.size() > kWordBoundary.size()) beam.wordPieces.emplace_back(piece.substr(kWordBoundary.size()));
    return beam;
  }

  float wordScore(std::string_view word, const std::optional<std::string>& prevWord) const {
    const auto previous = prevWord ? std::optional<std::string_view>(*prevWord) : std::nullopt;
    return wordBonus_ + lmWeight_ * lm_->score(word, previous);
  }

  static std::string joined(const std::vector<std::string>& pieces) {
    std::string word;
    for (const auto& piece : pieces) word += piece;
    return word;
  }

  static void pruneTo(std::vector<Hypothesis>& beams, size_t beamWidth) {
    std::vector<std::pair<float, size_t>> ranked;
    ranked.reserve(beams.size());
    for (size_t i = 0; i < beams.size(); ++i) ranked.emplace_back(beams[i].beam.total(), i);
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return ranksBefore(a.first, b.first); });
    ranked.resize(std::min(beamWidth, ranked.size()));
    std::vector<Hypothesis> kept;
    kept.reserve(ranked.size());
    for (const auto& [total, index] : ranked) kept.push_back(std::move(beams[index]));
    beams = std::move(kept);
  }

  // The word still in progress after the last frame counts too.
  void scoreLastWords(std::vector<Hypothesis>& beams) const {
    for (Hypothesis& hypothesis : beams) {
      const std::string word = joined(hypothesis.beam.wordPieces);
      if (!word.empty()) hypothesis.beam.lmScore += wordScore(word, hypothesis.beam.prevWord);
    }
  }

  // REQUIRES: beams is not empty.
  static const CtcBeam& winner(const std::vector<Hypothesis>& beams) {
    const Hypothesis* best = &beams.front();
    for (const Hypothesis& hypothesis : beams) {
      if (ranksBefore(hypothesis.beam.total(), best->beam.total())) best = &hypothesis;
    }
    return best->beam;
  }

  const std::map<int, std::string>& vocabulary_;
  const ARPALanguageModel* lm_;
  float lmWeight_;
  float wordBonus_;
  int blankId_;
};

size_t countOf(int value) { return value > 0 ? static_cast<size_t>(value) : 0; }

}  // namespace

std::string ctcBeamSearch(const std::vector<std::vector<float>>& logProbs,
                          const std::map<int, std::string>& vocabulary, const ARPALanguageModel* lm,
                          int beamWidth, float lmWeight, float wordBonus, int blankId, int tokenCandidates) {
  return PrefixBeamSearch(vocabulary, lm, lmWeight, wordBonus, blankId)
      .run(detail::CtcFrames::of(logProbs), countOf(beamWidth), countOf(tokenCandidates));
}

std::string ctcBeamSearch(const platform::MLMultiArray& logProbs, const std::map<int, std::string>& vocabulary,
                          const ARPALanguageModel* lm, int beamWidth, float lmWeight, float wordBonus, int blankId,
                          int tokenCandidates) {
  const auto frames = detail::CtcFrames::of(logProbs);
  if (!frames) return {};
  return PrefixBeamSearch(vocabulary, lm, lmWeight, wordBonus, blankId)
      .run(*frames, countOf(beamWidth), countOf(tokenCandidates));
}

}  // namespace tesselaudio
