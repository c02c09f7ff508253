#include "platform/speech/SpeechAnalyzer.h"

#include <gtest/gtest.h>

#include "platform/speech/SpeechError.h"
#include "platform/speech/SpeechTranscriber.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ScriptedSpeechBackend.h"

namespace platform {
namespace {

using testsupport::ScriptedSpeechBackend;

std::shared_ptr<const PcmBuffer> burst(double seconds, float amplitude) {
  return testsupport::floatBuffer(
      16000, {testsupport::sine(300, 16000, std::size_t(seconds * 16000), amplitude)});
}

TEST(SpeechAnalyzerTest, WithoutBackendNothingIsSupported) {
  SpeechBackend::install(nullptr);
  EXPECT_FALSE(SpeechTranscriber::supportedLocale("ja-JP"));
  auto transcriber = std::make_shared<SpeechTranscriber>(
      "ja_JP", SpeechTranscriber::Options::timeIndexedProgressiveTranscription());
  EXPECT_FALSE(SpeechAnalyzer::bestAvailableAudioFormat(*transcriber));
  SpeechAnalyzer analyzer(transcriber);
  EXPECT_THROW(analyzer.prepareToAnalyze(AudioFormat::float32(16000, 1)), SpeechError);
  EXPECT_THROW(analyzer.start(Channel<AnalyzerInput>::make().second), SpeechError);
}

// Final-only results keep the time line: inputs without a start follow on, an input with a start
// begins there.
TEST(SpeechAnalyzerTest, FinalOnlyResultsFollowInputStartTimes) {
  ScriptedSpeechBackend::Installation installed(
      std::make_shared<ScriptedSpeechBackend>(std::vector<std::string>{"あ。", "い。", "う。"}));
  auto transcriber = std::make_shared<SpeechTranscriber>(
      *SpeechTranscriber::supportedLocale("ja-JP"),
      SpeechTranscriber::Options::finalWithAudioTimeRange());
  auto results = transcriber->results();
  SpeechAnalyzer analyzer(transcriber);
  analyzer.prepareToAnalyze(*SpeechAnalyzer::bestAvailableAudioFormat(*transcriber));
  auto [inputs, inputStream] = Channel<AnalyzerInput>::make();
  analyzer.start(std::move(inputStream));

  inputs.send({burst(1.0, 0.0f), std::nullopt});   // 0 to 1 s, silence
  inputs.send({burst(0.5, 0.3f), std::nullopt});   // 1 s: first utterance
  inputs.send({burst(1.0, 0.0f), std::nullopt});
  inputs.send({burst(0.5, 0.3f), 10.0});           // 10 s: second utterance
  inputs.send({burst(1.0, 0.0f), std::nullopt});
  inputs.send({burst(0.5, 0.3f), std::nullopt});   // 11.5 s: third, settled when input ends
  inputs.finish();
  analyzer.finalizeAndFinishThroughEndOfInput();

  struct Expected {
    double start;
    const char* text;
  };
  const Expected expected[] = {{1.0, "あ。"}, {10.0, "い。"}, {11.5, "う。"}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.text);
    auto result = results.receive();
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->isFinal);
    EXPECT_EQ(result->text.characters(), e.text);
    EXPECT_NEAR(result->rangeStart, e.start, 0.011);
    EXPECT_NEAR(result->rangeDuration, 0.5, 0.011);
    ASSERT_TRUE(result->text.runs.front().audioTimeRange);
    EXPECT_NEAR(result->text.runs.front().audioTimeRange->start, e.start, 0.011);
  }
  EXPECT_FALSE(results.receive());
}

}  // namespace
}  // namespace platform
