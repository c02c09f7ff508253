#pragma once

#include <cstdint>
#include <optional>

namespace tesselaudio {

// Consistent bounds for the number of speakers of one clustering, resolved from the optional
// counts of the configuration. A value; `resolve` is safe from any thread.
//
//   auto constraints = SpeakerCountConstraints::resolve(embeddings.size(), config.clustering.numSpeakers,
//                                                       config.clustering.minSpeakers,
//                                                       config.clustering.maxSpeakers);
struct SpeakerCountConstraints {
  std::optional<std::int64_t> numSpeakers;  // the exact count, when fixed
  std::int64_t minSpeakers = 1;             // >= 1
  std::int64_t maxSpeakers = 1;             // >= minSpeakers

  // Bounds for `numEmbeddings` embeddings: max is numSpeakers, else maxSpeakers, else the count;
  // min is numSpeakers, else minSpeakers, else 1; both capped by the count and at least 1. A min
  // above the max is lowered to it with a warning. numSpeakers is set when min equals max, else
  // kept as given. Never throws.
  static SpeakerCountConstraints resolve(std::int64_t numEmbeddings, std::optional<std::int64_t> numSpeakers,
                                         std::optional<std::int64_t> minSpeakers,
                                         std::optional<std::int64_t> maxSpeakers);

  bool operator==(const SpeakerCountConstraints&) const = default;
};

}  // namespace tesselaudio
