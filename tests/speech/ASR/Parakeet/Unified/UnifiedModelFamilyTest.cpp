#include "speech/ASR/Parakeet/Unified/UnifiedModelFamily.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(UnifiedModelFamilyTest, OfflineEncoderFileFollowsFamilyAndPrecision) {
  struct Case {
    const char* name;
    UnifiedModelFamily family;
    UnifiedEncoderPrecision precision;
    const char* expected;
  };
  const Case cases[] = {
      {"englishInt8", UnifiedModelFamily::parakeetEnglish(), UnifiedEncoderPrecision::int8,
       "parakeet_unified_encoder_int8.mlmodelc"},
      {"englishFp16", UnifiedModelFamily::parakeetEnglish(), UnifiedEncoderPrecision::fp16,
       "parakeet_unified_encoder.mlmodelc"},
      {"multilingualAutoInt8",
       UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage::auto_),
       UnifiedEncoderPrecision::int8, "nemotron_unified_encoder_int8.mlmodelc"},
      {"multilingualGermanFp16",
       UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage::de),
       UnifiedEncoderPrecision::fp16, "nemotron_unified_encoder.mlmodelc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.family.offlineEncoderFile(c.precision), c.expected);
  }
}

TEST(UnifiedModelFamilyTest, EqualityComparesLanguageOnlyForMultilingual) {
  auto german = UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage::de);
  EXPECT_EQ(german, UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage::de));
  EXPECT_NE(german, UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage::en));
  EXPECT_NE(UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage::auto_),
            UnifiedModelFamily::parakeetEnglish());
  EXPECT_EQ(UnifiedModelFamily::parakeetEnglish(), UnifiedModelFamily::parakeetEnglish());
}

}  // namespace
}  // namespace tesselaudio
