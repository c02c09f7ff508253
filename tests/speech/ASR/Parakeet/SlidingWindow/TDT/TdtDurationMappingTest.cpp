#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDurationMapping.h"

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtConfig.h"

namespace tesselaudio {
namespace {

TEST(TdtDurationMappingTest, MapsClassesInsideTheBins) {
  const auto& bins = TdtConfig::default_().durationBins;
  for (int64_t c = 0; c < 5; ++c) EXPECT_EQ(TdtDurationMapping::mapDurationBin(c, bins), c);
  // Bins are used as given, unsorted and negative ones included.
  EXPECT_EQ(TdtDurationMapping::mapDurationBin(1, {7, -2, 3}), -2);
}

TEST(TdtDurationMappingTest, ClassesOutsideTheBinsFail) {
  struct Case {
    int64_t durationClass;
    const char* description;
  };
  const Case cases[] = {
      {5, "ASR processing failed: Duration bin index out of range: 5"},
      {-1, "ASR processing failed: Duration bin index out of range: -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.durationClass);
    try {
      TdtDurationMapping::mapDurationBin(c.durationClass, TdtConfig::default_().durationBins);
      ADD_FAILURE() << "mapped";
    } catch (const ASRError& e) {
      EXPECT_EQ(e.errorCase(), ASRError::Case::processingFailed);
      EXPECT_EQ(e.description(), c.description);
    }
  }
  EXPECT_THROW(TdtDurationMapping::mapDurationBin(0, {}), ASRError);
}

}  // namespace
}  // namespace tesselaudio
