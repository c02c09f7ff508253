#pragma once

#include <cstdint>
#include <optional>

#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtConfig.h"

namespace tesselaudio {

// Configuration of one Parakeet recogniser. A value: the default constructor gives the preset
// default_(); the constructor with all eleven fields keeps parallelChunkConcurrency at least 1 and
// seamGapRepairMinGapSeconds at least 0.5 (a value that is not a number becomes 0.5).
struct ASRConfig {
  int64_t sampleRate = 16000;  // Hz
  TdtConfig tdtConfig;
  int64_t encoderHiddenSize = 1024;
  // Workers the long-form processor decodes windows with.
  int64_t parallelChunkConcurrency = 4;
  // Whether a long file may be transcribed from disk.
  bool streamingEnabled = true;
  // Samples (after conversion) above which a file is transcribed from disk: 30 s at 16 kHz.
  int64_t streamingThreshold = 480000;
  // Forces the recogniser's mel-context choice when set.
  std::optional<bool> melChunkContextOverride;
  bool dualDecodeArbitration = false;
  bool seamGapRepair = true;
  double seamGapRepairMinGapSeconds = 0.5;
  bool seamTimingRealignment = true;

  ASRConfig() = default;
  // Stores max(1, parallelChunkConcurrency) and max(seamGapRepairMinGapSeconds, 0.5); the rest as
  // given. The fields in declaration order.
  ASRConfig(int64_t sampleRate, TdtConfig tdtConfig, int64_t encoderHiddenSize,
            int64_t parallelChunkConcurrency, bool streamingEnabled, int64_t streamingThreshold,
            std::optional<bool> melChunkContextOverride, bool dualDecodeArbitration,
            bool seamGapRepair, double seamGapRepairMinGapSeconds, bool seamTimingRealignment);

  // The preset: the member values above with TdtConfig::default_(), built once on first use.
  static const ASRConfig& default_();

  // The override when set, else true.
  bool melChunkContext() const { return melChunkContextOverride.value_or(true); }

  bool operator==(const ASRConfig&) const = default;
};

}  // namespace tesselaudio
