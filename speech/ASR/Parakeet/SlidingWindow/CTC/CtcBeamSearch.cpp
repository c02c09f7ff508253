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

// A beam that survived pruning, with the hash of its prefix and its word pieces joined.
struct Hypothesis {
  CtcBeam beam;
  size_t hash = 0;
  std::string word;
};

constexpr int kNoToken = -1;

// A beam of the next frame before pruning: the prefix of beam `parent`, followed by `token` unless
// that is kNoToken. Its prefix and word pieces are made only if it survives the pruning.
struct Expansion {
  size_t parent = 0;
  int token = kNoToken;
  size_t hash = 0;
  float pBlank = kNegativeInfinity;
  float pNonBlank = kNegativeInfinity;
  float lmScore = 0;

  float total() const { return logAddExp(pBlank, pNonBlank) + lmScore; }
};

size_t extendedHash(size_t hash, int token) {
  return (hash ^ static_cast<uint32_t>(token)) * 0x100000001b3ULL + 0x9e3779b97f4a7c15ULL;
}

bool extends(const std::vector<int>& longer, const std::vector<int>& prefix, int token) {
  return longer.size() == prefix.size() + 1 && longer.back() == token &&
         std::equal(prefix.begin(), prefix.end(), longer.begin());
}

// The expansions of one frame keyed by prefix, in the order they were first made (so that the
// stable pruning after it is deterministic).
class ExpansionTable {
 public:
  ExpansionTable(const std::vector<Hypothesis>& beams, size_t expected) : beams_(beams) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
    entries_.reserve(expected);
  }

  // The expansion of beam `parent`'s prefix followed by `token` (or not), and the slot where it
  // belongs when there is none yet.
  std::pair<Expansion*, size_t> find(size_t parent, int token, size_t hash) {
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      if (slots_[slot] == kEmpty) return {nullptr, slot};
      Expansion& entry = entries_[slots_[slot]];
      if (entry.hash == hash && samePrefix(entry, parent, token)) return {&entry, slot};
    }
  }

  // REQUIRES: `slot` came from find() for this expansion's prefix, with nothing added since.
  void add(size_t slot, const Expansion& expansion) {
    slots_[slot] = entries_.size();
    entries_.push_back(expansion);
    if (entries_.size() * 2 > slots_.size()) rehash();
  }

  const std::vector<Expansion>& entries() const { return entries_; }

 private:
  static constexpr size_t kEmpty = std::numeric_limits<size_t>::max();

  // The beams have distinct prefixes, so two expansions can only meet when one extends a beam's
  // prefix to another beam's.
  bool samePrefix(const Expansion& entry, size_t parent, int token) const {
    if (entry.parent == parent && entry.token == token) return true;
    if ((entry.token == kNoToken) == (token == kNoToken)) return false;
    if (token == kNoToken) return extends(beams_[parent].beam.prefix, beams_[entry.parent].beam.prefix, entry.token);
    return extends(beams_[entry.parent].beam.prefix, beams_[parent].beam.prefix, token);
  }

  void rehash() {
    slots_.assign(slots_.size() * 2, kEmpty);
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
      size_t slot = entries_[i].hash & mask;
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
      slots_[slot] = i;
    }
  }

  const std::vector<Hypothesis>& beams_;
  std::vector<Expansion> entries_;
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
      ExpansionTable next(beams, beams.size() * (std::min(tokenCandidates, row.size()) + 2));
      expand(beams, row, picker.best(row, tokenCandidates), next);
      beams = survivors(beams, next.entries(), beamWidth);
      if (beams.empty()) return {};
    }
    if (lm_) scoreLastWords(beams);
    return decodeCtcTokenIds(winner(beams).prefix, vocabulary_);
  }

 private:
  enum class Field { blank, nonBlank };

  void expand(const std::vector<Hypothesis>& beams, std::span<const float> row,
              const std::vector<std::pair<float, int>>& candidates, ExpansionTable& next) const {
    const float blank = scoreAt(row, blankId_);
    for (size_t parent = 0; parent < beams.size(); ++parent) {
      const CtcBeam& beam = beams[parent].beam;
      const float total = beam.totalAcoustic();
      std::optional<float> completion;  // of the parent's word, worked out once
      auto contribute = [&](int token, Field field, float value) {
        const size_t hash = token == kNoToken ? beams[parent].hash : extendedHash(beams[parent].hash, token);
        const auto [entry, slot] = next.find(parent, token, hash);
        if (entry) {
          float& target = field == Field::blank ? entry->pBlank : entry->pNonBlank;
          target = logAddExp(target, value);
          return;
        }
        Expansion made{.parent = parent, .token = token, .hash = hash, .lmScore = beam.lmScore};
        (field == Field::blank ? made.pBlank : made.pNonBlank) = value;
        if (token != kNoToken && lm_ && startsWord(token) && !beams[parent].word.empty()) {
          if (!completion) completion = wordScore(beams[parent].word, beam.prevWord);
          made.lmScore += *completion;
        }
        next.add(slot, made);
      };
      contribute(kNoToken, Field::blank, blank + total);
      const std::optional<int> last = beam.lastToken();
      for (const auto& [p, token] : candidates) {
        if (last == token) {
          // The token goes on, and after a blank it starts again.
          contribute(kNoToken, Field::nonBlank, beam.pNonBlank + p);
          contribute(token, Field::nonBlank, beam.pBlank + p);
        } else {
          contribute(token, Field::nonBlank, total + p);
        }
      }
    }
  }

  // The `beamWidth` expansions of highest total (the earlier made first among equals), made beams.
  std::vector<Hypothesis> survivors(const std::vector<Hypothesis>& beams, const std::vector<Expansion>& expansions,
                                    size_t beamWidth) const {
    std::vector<std::pair<float, size_t>> ranked;
    ranked.reserve(expansions.size());
    for (size_t i = 0; i < expansions.size(); ++i) ranked.emplace_back(expansions[i].total(), i);
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return ranksBefore(a.first, b.first); });
    ranked.resize(std::min(beamWidth, ranked.size()));
    std::vector<Hypothesis> kept;
    kept.reserve(ranked.size());
    for (const auto& [total, index] : ranked) kept.push_back(made(beams, expansions[index]));
    return kept;
  }

  Hypothesis made(const std::vector<Hypothesis>& beams, const Expansion& expansion) const {
    const Hypothesis& parent = beams[expansion.parent];
    Hypothesis hypothesis = expansion.token == kNoToken ? parent : extension(parent, expansion.token);
    hypothesis.hash = expansion.hash;
    hypothesis.beam.pBlank = expansion.pBlank;
    hypothesis.beam.pNonBlank = expansion.pNonBlank;
    hypothesis.beam.lmScore = expansion.lmScore;
    return hypothesis;
  }

  // `parent` followed by `token`, with the word bookkeeping that the language model needs.
  Hypothesis extension(const Hypothesis& parent, int token) const {
    Hypothesis hypothesis;
    CtcBeam& beam = hypothesis.beam;
    beam.prefix.reserve(parent.beam.prefix.size() + 1);
    beam.prefix = parent.beam.prefix;
    beam.prefix.push_back(token);
    beam.prevWord = parent.beam.prevWord;
    if (!lm_) return hypothesis;
    const std::string_view piece = pieceOf(token);
    if (!piece.starts_with(kWordBoundary)) {
      beam.wordPieces = parent.beam.wordPieces;
      beam.wordPieces.emplace_back(piece);
      hypothesis.word = parent.word + std::string(piece);
      return hypothesis;
    }
    if (!parent.word.empty()) beam.prevWord = parent.word;
    const std::string_view rest = piece.substr(kWordBoundary.size());
    if (!rest.empty()) beam.wordPieces.emplace_back(rest);
    hypothesis.word = rest;
    return hypothesis;
  }

  std::string_view pieceOf(int token) const {
    const auto found = vocabulary_.find(token);
    return found != vocabulary_.end() ? std::string_view(found->second) : std::string_view();
  }

  bool startsWord(int token) const { return pieceOf(token).starts_with(kWordBoundary); }

  float wordScore(std::string_view word, const std::optional<std::string>& prevWord) const {
    const auto previous = prevWord ? std::optional<std::string_view>(*prevWord) : std::nullopt;
    return wordBonus_ + lmWeight_ * lm_->score(word, previous);
  }

  // The word still in progress after the last frame counts too.
  void scoreLastWords(std::vector<Hypothesis>& beams) const {
    for (Hypothesis& hypothesis : beams) {
      if (!hypothesis.word.empty()) hypothesis.beam.lmScore += wordScore(hypothesis.word, hypothesis.beam.prevWord);
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
