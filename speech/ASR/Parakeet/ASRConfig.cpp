#include "speech/ASR/Parakeet/ASRConfig.h"

#include <algorithm>
#include <utility>

namespace tesselaudio {

ASRConfig::ASRConfig(int64_t sampleRate, TdtConfig tdtConfig, int64_t encoderHiddenSize,
                     int64_t parallelChunkConcurrency, bool streamingEnabled,
                     int64_t streamingThreshold, std::optional<bool> melChunkContextOverride,
                     bool dualDecodeArbitration, bool seamGapRepair,
                     double seamGapRepairMinGapSeconds, bool seamTimingRealignment)
    : sampleRate(sampleRate),
      tdtConfig(std::move(tdtConfig)),
      encoderHiddenSize(encoderHiddenSize),
      parallelChunkConcurrency(std::max<int64_t>(1, parallelChunkConcurrency)),
      streamingEnabled(streamingEnabled),
      streamingThreshold(streamingThreshold),
      melChunkContextOverride(melChunkContextOverride),
      dualDecodeArbitration(dualDecodeArbitration),
      seamGapRepair(seamGapRepair),
      // Written so that a gap that is not a number also becomes 0.5.
      seamGapRepairMinGapSeconds(seamGapRepairMinGapSeconds >= 0.5 ? seamGapRepairMinGapSeconds : 0.5),
      seamTimingRealignment(seamTimingRealignment) {}

const ASRConfig& ASRConfig::default_() {
  static const ASRConfig preset;
  return preset;
}

}  // namespace tesselaudio
