#include "speech/ITN/TextNormalizer.h"

#include <unistd.h>

#include <type_traits>

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/ASRResult.h"
#include "speech/Shared/TesselAudio.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

TEST(TextNormalizerTest, EveryCallHandsItsInputBack) {
  TextNormalizer& normalizer = TextNormalizer::shared();
  EXPECT_EQ(&normalizer, &TextNormalizer::shared());
  EXPECT_FALSE(normalizer.isNativeAvailable());
  EXPECT_FALSE(normalizer.isTnAvailable());
  for (const std::string text : {"", "twenty five dollars", "\u4E8C\u5341\u4E94\u5186", "a\nb"}) {
    EXPECT_EQ(normalizer.normalize(text), text);
    EXPECT_EQ(normalizer.normalizeSentence(text), text);
    EXPECT_EQ(normalizer.normalizeSentence(text, 3), text);
    EXPECT_EQ(normalizer.tnNormalize(text), text);
    EXPECT_EQ(normalizer.tnNormalizeSentence(text), text);
  }
  ASRResult result{"one two", 0.5f, 1.0, 0.1, std::vector<TokenTiming>{{" one", 1, 0, 0.1, 0.9f}},
                   {}, std::vector<std::string>{"x"}, {}, {}};
  EXPECT_EQ(normalizer.normalize(result), result);
  EXPECT_EQ(normalizer.version(), std::nullopt);
  EXPECT_FALSE(normalizer.removeRule("one"));
  normalizer.clearRules();
  EXPECT_EQ(normalizer.ruleCount(), 0);
}

TEST(TextNormalizerTest, AddRuleIsRefusedWithAWarning) {
  testsupport::SystemLogCapture systemLog;
  testsupport::OutputCapture console(STDERR_FILENO);
  TextNormalizer::shared().addRule("twenty", "20");
  EXPECT_EQ(TextNormalizer::shared().ruleCount(), 0);

  ASSERT_EQ(systemLog.records().size(), 1u);
  EXPECT_EQ(systemLog.records()[0].category, "ITN");
  EXPECT_EQ(systemLog.records()[0].subsystem, "tessel-inference");
  EXPECT_EQ(systemLog.records()[0].level, platform::SystemLog::Level::error);
  EXPECT_EQ(systemLog.records()[0].message, "addRule ignored: NemoTextProcessing engine not linked");
  const std::string line = console.text();
  EXPECT_TRUE(line.ends_with("] [WARN] [TesselAudio.ITN] addRule ignored: NemoTextProcessing engine not linked\n")) << line;
}

TEST(TextNormalizerTest, LibraryNameTypeIsEmpty) {
  EXPECT_TRUE(std::is_empty_v<TesselAudio>);
}

}  // namespace
}  // namespace tesselaudio
