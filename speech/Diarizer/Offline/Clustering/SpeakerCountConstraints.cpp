#include "speech/Diarizer/Offline/Clustering/SpeakerCountConstraints.h"

#include <algorithm>

#include <fmt/format.h>

#include "speech/Shared/AppLogger.h"

namespace tesselaudio {
namespace {

const AppLogger& logger() {
  static const AppLogger instance("SpeakerCountConstraints");
  return instance;
}

}  // namespace

SpeakerCountConstraints SpeakerCountConstraints::resolve(std::int64_t numEmbeddings,
                                                         std::optional<std::int64_t> numSpeakers,
                                                         std::optional<std::int64_t> minSpeakers,
                                                         std::optional<std::int64_t> maxSpeakers) {
  const std::int64_t upper =
      std::max<std::int64_t>(std::min(numSpeakers.value_or(maxSpeakers.value_or(numEmbeddings)), numEmbeddings), 1);
  std::int64_t lower =
      std::max<std::int64_t>(std::min(numSpeakers.value_or(minSpeakers.value_or(1)), numEmbeddings), 1);
  if (lower > upper) {
    logger().warning(fmt::format("minSpeakers ({}) > maxSpeakers ({}); clamping minSpeakers to {}", lower, upper, upper));
    lower = upper;
  }
  SpeakerCountConstraints result{lower == upper ? std::optional(lower) : numSpeakers, lower, upper};
  logger().debug(fmt::format("Resolved constraints: numSpeakers={}, min={}, max={}",
                             result.numSpeakers ? fmt::to_string(*result.numSpeakers) : "nil", lower, upper));
  return result;
}

}  // namespace tesselaudio
