#include "speech/Shared/ASRConstants.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(ASRConstantsTest, TableValues) {
  EXPECT_EQ(ASRConstants::sampleRate, 16000);
  EXPECT_EQ(ASRConstants::maxModelSamples, 240000);
  EXPECT_EQ(ASRConstants::maxDurationSeconds, 15.0);
  EXPECT_EQ(ASRConstants::minimumAudioDurationSeconds, 0.3);
  EXPECT_EQ(ASRConstants::melHopSize, 160);
  EXPECT_EQ(ASRConstants::encoderSubsampling, 8);
  EXPECT_EQ(ASRConstants::samplesPerEncoderFrame, 1280);
  EXPECT_EQ(ASRConstants::secondsPerEncoderFrame, 0.08);
  EXPECT_EQ(ASRConstants::encoderHiddenSize, 1024);
  EXPECT_EQ(ASRConstants::decoderHiddenSize, 640);
  EXPECT_EQ(ASRConstants::standardOverlapFrames, 25);
  EXPECT_EQ(ASRConstants::duplicateFrameTolerance, 25);
  EXPECT_EQ(ASRConstants::highWERThreshold, 0.15);
  EXPECT_EQ(ASRConstants::minConfidence, 0.1f);
  EXPECT_EQ(ASRConstants::maxConfidence, 1.0f);
  EXPECT_EQ(ASRConstants::sentencePieceWordBoundary, "\xE2\x96\x81");
  EXPECT_EQ(ASRConstants::sentencePieceUnknownToken, "<unk>");
  EXPECT_EQ(ASRConstants::punctuationTokens, (std::array<int, 3>{7883, 7956, 8020}));
  EXPECT_EQ(ASRConstants::sentenceFinalPunctuation(),
            (std::set<std::string>{".", "?", "!", "\xE3\x80\x82", "\xEF\xBC\x9F", "\xEF\xBC\x81"}));
}

TEST(ASRConstantsTest, EncoderFramesRoundUp) {
  const std::pair<std::int64_t, int> cases[] = {{0, 0}, {1, 1}, {1280, 1}, {1281, 2}, {240000, 188}};
  for (const auto& [samples, frames] : cases) {
    EXPECT_EQ(ASRConstants::calculateEncoderFrames(samples), frames) << samples;
  }
}

TEST(ASRConstantsTest, MinimumRequiredSamplesTruncate) {
  EXPECT_EQ(ASRConstants::minimumRequiredSamples(16000), 4800);
  EXPECT_EQ(ASRConstants::minimumRequiredSamples(44100), 13230);
  EXPECT_EQ(ASRConstants::minimumRequiredSamples(8001), 2400);
}

TEST(ASRConstantsTest, PunctuationTokenIdsDropAtMostOneLeadingMark) {
  const std::map<int, std::string> vocabulary = {
      {1, "\u2581."},           // mark and full stop
      {2, " ?"},                // blank and question mark
      {3, "\u3002"},            // ideographic full stop alone
      {4, "\u2581\u2581."},     // two marks
      {5, ".."},                // two full stops
      {6, "\u2581 ."},          // mark, blank, full stop
      {7, "\u2581"},            // the mark alone
      {8, "\uFF01"},            // full-width exclamation mark
      {9, "\u2581hello"},
      {10, ""},
      {11, "  !"},              // two blanks
      {12, "!"},
  };
  EXPECT_EQ(ASRConstants::punctuationTokenIds(vocabulary), (std::set<int>{1, 2, 3, 8, 12}));
  EXPECT_TRUE(ASRConstants::punctuationTokenIds({}).empty());
}

}  // namespace
}  // namespace tesselaudio
