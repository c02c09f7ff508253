#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "speech/VAD/Fsmn/FsmnVadManager.h"

namespace tesselaudio {
namespace {

constexpr float kSpeech = 0.1f;
constexpr float kSilence = 0.9f;

// `frames` silence probabilities, speech at every frame of `speech` (first, last inclusive ranges).
std::vector<float> frames(int count, const std::vector<std::pair<int, int>>& speech) {
  std::vector<float> silence(static_cast<std::size_t>(count), kSilence);
  for (const auto& [first, last] : speech) {
    for (int i = first; i <= last; ++i) silence[static_cast<std::size_t>(i)] = kSpeech;
  }
  return silence;
}

struct Case {
  const char* name;
  std::vector<float> silence;
  std::vector<FsmnVadSegment> segments;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FsmnVadDecideTest : public testing::TestWithParam<Case> {};

TEST_P(FsmnVadDecideTest, GivesTheSegments) {
  EXPECT_EQ(FsmnVadManager::decide(GetParam().silence), GetParam().segments);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FsmnVadDecideTest,
    testing::Values(
        Case{"NoFrames", {}, {}},
        Case{"EveryFrameAboveTheThreshold", std::vector<float>(5000, 0.2001f), {}},
        // At exactly 0.2 a frame is speech.
        Case{"EveryFrameAtTheThreshold", std::vector<float>(200, 0.2f), {{0, 2000}}},
        // Frame 114 is the first with 15 speech frames (opens at 79); frame 204 has 15 after a voiced
        // frame, which needs 16; 80 quiet frames end at 283.
        Case{"WorkedExample", frames(1000, {{100, 199}}), {{790, 2130}}},
        Case{"FourteenSpeechFramesNeverVote", frames(1000, {{100, 113}}), {}},
        // 15 open the segment at frame 114; while all 15 stay in the window the vote flips each
        // frame (15 is too few after a voiced frame, enough after a quiet one), last voiced at 118.
        Case{"FifteenSpeechFramesOpenASegment", frames(1000, {{100, 114}}), {{790, 1280}}},
        // Frame 204 (15 after voiced) is quiet, frame 205 (15 after quiet) voiced again, so the
        // quiet count starts over one frame later than in the worked example.
        Case{"FifteenAfterAQuietFrameVotesAgain", frames(1000, {{100, 199}, {205, 205}}), {{790, 2150}}},
        Case{"PreRollStopsAtTheFirstFrame", frames(400, {{10, 60}}), {{0, 740}}},
        Case{"OpenAtTheEndEndsWithTheLastFrame", frames(300, {{100, 299}}), {{790, 3000}}},
        Case{"TwoSegments", frames(2000, {{100, 199}, {1000, 1099}}), {{790, 2130}, {9790, 11130}}},
        // Cut at frame 6000; frame 6001 opens again with the full pre-roll, before the cut.
        Case{"CutAfterSixtySeconds", std::vector<float>(7000, kSpeech), {{0, 60000}, {59660, 70000}}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The rules as written, one frame at a time with a ring of 20 flags, to hold the detector's faster
// form against.
std::vector<FsmnVadSegment> frameByFrame(const std::vector<float>& silence) {
  std::vector<FsmnVadSegment> out;
  bool ring[20] = {};
  int next = 0, count = 0, start = 0, quiet = 0;
  bool inSegment = false, previousVoiced = false;
  const int frames = static_cast<int>(silence.size());
  for (int i = 0; i < frames; ++i) {
    const bool speech = silence[static_cast<std::size_t>(i)] <= 0.2f;
    count += static_cast<int>(speech) - static_cast<int>(ring[next]);
    ring[next] = speech;
    next = (next + 1) % 20;
    const bool voiced = count >= (previousVoiced ? 16 : 15);
    if (!inSegment) {
      if (voiced) {
        inSegment = true;
        start = std::max(i - 35, 0);
        quiet = 0;
      }
      previousVoiced = voiced;
    } else if (voiced) {
      quiet = 0;
      previousVoiced = true;
    } else {
      ++quiet;
      previousVoiced = false;
      if (quiet >= 80) {
        out.push_back({start * 10, (i - 70) * 10});
        inSegment = false;
        continue;
      }
    }
    if (inSegment && i - start >= 6000) {
      out.push_back({start * 10, i * 10});
      inSegment = false;
      previousVoiced = false;
    }
  }
  if (inSegment) out.push_back({start * 10, frames * 10});
  return out;
}

TEST(FsmnVadDecideRulesTest, MatchesTheRulesFrameByFrameOnRandomFrames) {
  const auto seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  for (int trial = 0; trial < 400; ++trial) {
    // Runs of speech and pauses (some longer than 60 s), clean, with a stray frame now and then, or
    // with many frames flipped; probabilities at and around the threshold.
    std::vector<float> silence(random() % 14000);
    const auto switchPer100k = 5u << (random() % 10);
    const auto kind = random() % 3;
    const auto flipPerMille = kind == 0 ? 0 : kind == 1 ? 3 : random() % 300;
    bool talking = random() % 2 == 0;
    for (float& p : silence) {
      if (random() % 100000 < switchPer100k) talking = !talking;
      const bool speech = talking != (random() % 1000 < flipPerMille);
      p = speech ? 0.2f - 0.001f * static_cast<float>(random() % 3) : 0.2001f + 0.1f * static_cast<float>(random() % 8);
    }
    ASSERT_EQ(FsmnVadManager::decide(silence), frameByFrame(silence)) << "trial " << trial;
  }
}

}  // namespace
}  // namespace tesselaudio
