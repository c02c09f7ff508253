#include "speech/VAD/VadManager.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TemporaryFolder.h"
#include "tests/support/VadModelBuilder.h"

namespace tesselaudio {
namespace {

using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<VadResult> resultsOf(const std::vector<float>& probabilities) {
  std::vector<VadResult> results;
  for (const float p : probabilities) results.push_back(VadResult{p, p >= 0.85f, 0, VadState::initial()});
  return results;
}

// `count` chunks at 0.95 with `pauses` (chunk, probability) in between.
std::vector<float> speechWithPauses(std::size_t count, const std::vector<std::pair<std::size_t, float>>& pauses) {
  std::vector<float> probabilities(count, 0.95f);
  for (const auto& [chunk, p] : pauses) probabilities[chunk] = p;
  return probabilities;
}

Ranges samplesOf(const std::vector<VadSegment>& segments) {
  Ranges ranges;
  for (const auto& segment : segments) {
    // Every boundary is a whole number of samples divided by 16,000.
    EXPECT_EQ(segment.startTime * 16000.0, std::round(segment.startTime * 16000.0));
    ranges.emplace_back(segment.startSample(16000), segment.endSample(16000));
  }
  return ranges;
}

VadSegmentationConfig with(void (*change)(VadSegmentationConfig&)) {
  VadSegmentationConfig config;
  change(config);
  return config;
}

struct Case {
  const char* name;
  std::vector<float> probabilities;
  std::int64_t totalSamples;
  VadSegmentationConfig config;
  Ranges expected;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class VadSpeechSegmentationTest : public testing::TestWithParam<Case> {};

TEST_P(VadSpeechSegmentationTest, FindsTheSpeechRanges) {
  const auto& c = GetParam();
  VadManager vad(VadConfig::default_(), std::shared_ptr<const platform::MLModel>());
  EXPECT_EQ(samplesOf(vad.segmentSpeech(resultsOf(c.probabilities), c.totalSamples, c.config)), c.expected);
}

const std::vector<float> kSplitAudio = speechWithPauses(60, {{20, 0.5f}});
// A long pause (chunks 10 and 11) and a later short one (chunk 30).
const std::vector<float> kTwoPauses = speechWithPauses(60, {{10, 0.5f}, {11, 0.5f}, {30, 0.5f}});

INSTANTIATE_TEST_SUITE_P(
    Cases, VadSpeechSegmentationTest,
    testing::Values(
        Case{"OnePaddedSegment", {0.1f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, 32768, {}, {{2496, 9792}}},
        Case{"SplitAtTheLongestPause", kSplitAudio, 245760, {}, {{0, 83520}, {84416, 245760}}},
        Case{"SplitAtTheLatestPause", kSplitAudio, 245760,
             with([](VadSegmentationConfig& c) { c.useMaxPossibleSilenceAtMaxSpeech = false; }),
             {{0, 83520}, {84416, 245760}}},
        Case{"LongestOfSeveralPauses", kTwoPauses, 245760, {}, {{0, 42560}, {47552, 245760}}},
        Case{"LatestOfSeveralPauses", kTwoPauses, 245760,
             with([](VadSegmentationConfig& c) { c.useMaxPossibleSilenceAtMaxSpeech = false; }),
             {{0, 124480}, {125376, 245760}}},
        Case{"QuietPauseBeforeALongerOne", speechWithPauses(60, {{10, 0.5f}, {11, 0.5f}, {30, 0.2f}}), 245760, {},
             {{0, 124480}, {125376, 245760}}},
        Case{"NoSplitWithoutALimit", speechWithPauses(200, {{20, 0.5f}}), 200 * 4096,
             with([](VadSegmentationConfig& c) { c.maxSpeechDuration = std::numeric_limits<double>::infinity(); }),
             {{0, 200 * 4096}}},
        Case{"ShortSegmentDropped", {0.1f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f}, 6 * 4096,
             with([](VadSegmentationConfig& c) { c.minSpeechDuration = 0.3; }), {}},
        Case{"ShortSegmentDroppedAtTheEnd", {0.1f, 0.1f, 0.9f}, 3 * 4096,
             with([](VadSegmentationConfig& c) { c.minSpeechDuration = 0.3; }), {}},
        Case{"ShortSegmentDroppedAtASplit", speechWithPauses(55, {{1, 0.5f}}), 55 * 4096,
             with([](VadSegmentationConfig& c) { c.minSpeechDuration = 0.3; }), {{6592, 55 * 4096}}},
        Case{"BandChunkOpensNoPause", {0.9f, 0.75f, 0.75f, 0.75f, 0.75f, 0.1f, 0.1f, 0.1f, 0.1f}, 9 * 4096, {},
             {{0, 22080}}},
        Case{"BandChunkDoesNotResetAPause", {0.9f, 0.1f, 0.75f, 0.75f, 0.1f, 0.9f, 0.9f}, 7 * 4096, {},
             {{0, 5696}, {18880, 28672}}},
        Case{"BandChunkDoesNotEndAPause", {0.9f, 0.1f, 0.1f, 0.1f, 0.75f, 0.9f, 0.9f, 0.9f}, 8 * 4096, {},
             {{0, 32768}}},
        Case{"NaNNeitherOpensNorEndsAPause", {0.9f, kNaN, kNaN, kNaN, kNaN, 0.9f}, 6 * 4096, {}, {{0, 6 * 4096}}},
        Case{"NaNStartsNoSpeech", {kNaN, kNaN, kNaN}, 3 * 4096, {}, {}},
        Case{"LoudLastChunkEndsAtTheTotal", {0.1f, 0.9f, 0.9f}, 2 * 4096 + 1000, {}, {{2496, 9192}}},
        Case{"CloseRangesMeetHalfway", {0.9f, 0.1f, 0.9f}, 3 * 4096,
             with([](VadSegmentationConfig& c) {
               c.minSilenceDuration = 0;
               c.speechPadding = 0.2;
             }),
             {{0, 6144}, {6144, 12288}}},
        Case{"NothingLoudEnough", {0.1f, 0.84f, 0.5f}, 3 * 4096, {}, {}},
        Case{"NoResults", {}, 4096, {}, {}},
        Case{"NoSamples", {0.9f, 0.9f}, 0, {}, {}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(VadSpeechSegmentationAudioTest, OneSliceOfAudioPerSegment) {
  testsupport::TemporaryFolder folder;
  VadManager vad(VadConfig::default_(), testsupport::loadVadEchoModel(folder.path()));
  // The echo model reads each chunk's first sample as its probability.
  const std::vector<float> levels = {0.1f, 0.9f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f, 0.9f, 0.9f, 0.1f};
  std::vector<float> samples;
  for (const float level : levels) samples.insert(samples.end(), 4096, level);
  samples.resize(samples.size() - 500);

  const auto segments = vad.segmentSpeech(samples, VadSegmentationConfig::default_());
  const auto slices = vad.segmentSpeechAudio(samples, VadSegmentationConfig::default_());
  ASSERT_EQ(segments.size(), 2u);
  ASSERT_EQ(slices.size(), segments.size());
  for (std::size_t i = 0; i < segments.size(); ++i) {
    SCOPED_TRACE(i);
    const auto start = static_cast<std::size_t>(segments[i].startSample(16000));
    const auto end = static_cast<std::size_t>(segments[i].endSample(16000));
    EXPECT_EQ(slices[i], std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(start),
                                            samples.begin() + static_cast<std::ptrdiff_t>(end)));
  }
}

}  // namespace
}  // namespace tesselaudio
