#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV2.h"

namespace tesselaudio::TdtDecoderV2 {
namespace {

constexpr int64_t kV2BlankId = 1024;

}  // namespace

ASRConfig adaptConfigForV2(const ASRConfig& config) {
  if (config.tdtConfig.blankId == kV2BlankId) return config;
  TdtConfig tdtConfig = config.tdtConfig;
  tdtConfig.blankId = kV2BlankId;
  return ASRConfig(config.sampleRate, tdtConfig, config.encoderHiddenSize,
                   config.parallelChunkConcurrency, config.streamingEnabled,
                   config.streamingThreshold, config.melChunkContextOverride,
                   config.dualDecodeArbitration, config.seamGapRepair,
                   config.seamGapRepairMinGapSeconds, config.seamTimingRealignment);
}

}  // namespace tesselaudio::TdtDecoderV2
