#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV2.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(TdtDecoderV2Test, BlankOf1024IsKeptAsItIs) {
  ASRConfig config;
  config.tdtConfig.blankId = 1024;
  // Outside the constructor's range, so a copy through it would show.
  config.parallelChunkConcurrency = 0;
  EXPECT_EQ(TdtDecoderV2::adaptConfigForV2(config), config);
}

TEST(TdtDecoderV2Test, OtherBlankBecomes1024AndNothingElseChanges) {
  TdtConfig tdt = TdtConfig::default_();
  tdt.maxSymbolsPerStep = 3;
  tdt.durationBins = {0, 2, 4};
  const ASRConfig config(8000, tdt, 512, 2, false, 1234, false, true, false, 0.75, false);
  ASRConfig expected = config;
  expected.tdtConfig.blankId = 1024;

  const ASRConfig adapted = TdtDecoderV2::adaptConfigForV2(config);
  EXPECT_EQ(adapted, expected);
  EXPECT_EQ(adapted.tdtConfig.blankId, 1024);
  EXPECT_EQ(TdtDecoderV2::adaptConfigForV2(ASRConfig::default_()).tdtConfig.blankId, 1024);
}

}  // namespace
}  // namespace tesselaudio
