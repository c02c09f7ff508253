#pragma once

#include <cstdint>

namespace tesselaudio {

// The vocabulary rescorer's tuning record, with its two ready-made values and the adaptive weight
// formula. A plain value; safe from any thread.
//
//   auto config = VocabularyRescorerConfig::default_();
//   float cbw = config.adaptiveCbw(4.5f, spellingTokenCount);
struct VocabularyRescorerConfig {
  // Whether adaptiveCbw changes the base weight at all.
  bool useAdaptiveThresholds = false;
  // Token count above which the weight grows.
  std::int64_t referenceTokenCount = 0;
  // Token count below which the weight is tapered; below 2 there is no taper.
  std::int64_t shortTermCbwTaperPivot = 0;
  float shortTermCbwTaperExponent = 0;
  // Similarity floors of one-word and multi-word spotter-rescue candidates.
  float spotterRescueMinSimilarity = 0;
  float spotterRescueMultiWordMinSimilarity = 0;
  bool spotterRescueEnabled = false;
  // Whether words heard with high confidence keep a vocabulary spelling from a positive boost.
  bool confidentWordBiasGate = false;

  // The configuration of a boosting session whose caller gives none: adaptive, reference 3, the
  // taper and the rescue settings from ContextBiasingConstants' environment-backed defaults, the
  // bias gate on. Read once, on the first call in the process (thread-safely); later changes of
  // the environment do not reach it.
  static VocabularyRescorerConfig default_();

  // The configuration of the unified recognisers' boosting sessions: as default_(), but rescue
  // floors 0.3 and 0.5 (the environment is not read for them) and the bias gate off. Read once,
  // like default_().
  static VocabularyRescorerConfig itnDefault();

  // The context-biasing weight for a vocabulary spelling of `tokenCount` CTC tokens, from the base
  // weight `baseCbw`: unchanged when not adaptive; tapered by (max(n, 1) / pivot) ^ exponent
  // below a pivot of 2 or more; grown by 1 + 0.3 log2(n / referenceTokenCount) above the
  // reference count; unchanged otherwise. A reference count below 1 never grows the weight.
  float adaptiveCbw(float baseCbw, std::int64_t tokenCount) const;

  bool operator==(const VocabularyRescorerConfig&) const = default;
};

}  // namespace tesselaudio
