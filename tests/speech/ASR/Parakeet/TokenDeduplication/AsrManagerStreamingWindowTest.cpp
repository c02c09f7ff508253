#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/AsrManager.h"
#include "tests/speech/ASR/Parakeet/AsrManagerFixture.h"

namespace tesselaudio {
namespace {

using Ids = std::vector<int64_t>;
using Frames = std::vector<int64_t>;

// Logs of the seam steps, in the order they may appear.
std::vector<std::string> seamLines(const std::vector<std::string>& messages) {
  std::vector<std::string> out;
  for (const auto& message : messages) {
    if (message.starts_with("Window seam") || message.starts_with("Found")) out.push_back(message);
  }
  return out;
}

class AsrManagerDeduplicationTest : public AsrManagerFixture {};

TEST_F(AsrManagerDeduplicationTest, RemoveDuplicateTokenSequence) {
  const struct {
    const char* name;
    Ids previous;
    std::optional<Frames> previousFrames;
    Ids current;
    std::optional<Frames> currentFrames;
    int64_t boundarySearchFrames;
    std::optional<std::set<int>> punctuation;
    Ids deduped;
    int64_t removed;
    std::vector<std::string> lines;
  } cases[] = {
      {"suffixPrefixWithinTolerance", {1, 2, 3, 4, 5, 6}, Frames{10, 11, 12, 13, 14, 15}, {3, 4, 5, 6, 9},
       Frames{22, 21, 24, 25, 26}, 20, std::nullopt, {9}, 4, {"Found exact suffix-prefix overlap of length 4"}},
      {"suffixPrefixTooFar", {1, 2, 3, 4, 5, 6}, Frames{10, 11, 12, 13, 14, 15}, {3, 4, 5, 6, 9},
       Frames{23, 24, 25, 26, 27}, 20, std::nullopt, {3, 4, 5, 6, 9}, 0, {}},
      {"runAtIndexThree", {1, 2, 3, 4, 5}, Frames{10, 11, 12, 13, 14}, {7, 8, 9, 4, 5, 11},
       Frames{15, 16, 17, 18, 19, 20}, 20, std::nullopt, {11}, 5,
       {"Found duplicate sequence length=2 at currStart=3 (boundarySearch=20)"}},
      {"runPastBoundary", {1, 2, 3, 4, 5}, Frames{10, 11, 12, 13, 14}, {7, 8, 9, 4, 5, 11},
       Frames{15, 16, 17, 18, 19, 20}, 3, std::nullopt, {7, 8, 9, 4, 5, 11}, 0, {}},
      {"repeatedFullStop", {1, 7883}, Frames{10, 11}, {7883, 9}, Frames{40, 41}, 20, std::set<int>{7883, 7956}, {9}, 1, {}},
      {"fullStopThenOverlap", {1, 2, 7883}, Frames{10, 11, 12}, {7883, 1, 2, 9}, Frames{12, 10, 11, 13}, 20,
       std::set<int>{7883}, {9}, 3, {"Found duplicate sequence length=2 at currStart=0 (boundarySearch=20)"}},
      {"repeatNotPunctuation", {1, 7883}, Frames{10, 11}, {7883, 9}, Frames{40, 41}, 20, std::set<int>{7956}, {7883, 9}, 0, {}},
      {"noPunctuationSet", {1, 7883}, Frames{10, 11}, {7883, 9}, Frames{40, 41}, 20, std::nullopt, {7883, 9}, 0, {}},
      {"singlePrevious", {4}, Frames{10}, {4, 5}, Frames{10, 11}, 20, std::nullopt, {4, 5}, 0, {}},
      {"singleCurrent", {3, 4}, Frames{10, 11}, {4}, Frames{11}, 20, std::nullopt, {4}, 0, {}},
      {"previousWithoutFrames", {1, 2, 3}, std::nullopt, {2, 3, 9}, Frames{500, 501, 502}, 20, std::nullopt, {9}, 2,
       {"Found exact suffix-prefix overlap of length 2"}},
      {"previousFramesShort", {1, 2, 3}, Frames{10}, {2, 3, 9}, Frames{500, 501, 502}, 20, std::nullopt, {9}, 2,
       {"Found exact suffix-prefix overlap of length 2"}},
      {"currentFramesShort", {1, 2, 3}, Frames{10, 11, 12}, {2, 3, 9}, Frames{500}, 20, std::nullopt, {9}, 2,
       {"Found exact suffix-prefix overlap of length 2"}},
      {"emptyPrevious", {}, std::nullopt, {2, 3}, std::nullopt, 20, std::nullopt, {2, 3}, 0, {}},
      {"emptyCurrent", {1, 2}, std::nullopt, {}, std::nullopt, 20, std::nullopt, {}, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASRConfig config;
    config.tdtConfig.boundarySearchFrames = c.boundarySearchFrames;
    const auto recogniser = manager(std::nullopt, config);
    testsupport::SystemLogCapture log;
    const auto result =
        recogniser->removeDuplicateTokenSequence(c.previous, c.current, 12, c.previousFrames, c.currentFrames, 10, c.punctuation);
    EXPECT_EQ(result.deduped, c.deduped);
    EXPECT_EQ(result.removedCount, c.removed);
    EXPECT_EQ(seamLines(log.messages("ASR")), c.lines);
  }
}

// Stand-in windows whose joint speaks a small vocabulary of words, one piece per 1,280-sample
// block.
class AsrManagerStreamingWindowTest : public AsrManagerFixture {
 protected:
  static constexpr int64_t kWe = 200, kWalk = 201, kIng = 202, kHome = 203, kNow = 204, kSee = 205, kYou = 206;

  static std::vector<int32_t> tokens(AsrModelVersion version) {
    return {static_cast<int32_t>(version.blankId()), kWe, kWalk, kIng, kHome, kNow, kSee, kYou};
  }

  std::shared_ptr<AsrManager> wordManager(AsrModelVersion version = AsrModelVersion::v3) {
    auto window = script(version);
    window.tokenIds = tokens(version);
    window.probabilities = std::vector<float>(window.tokenIds.size(), 0.9f);
    window.probabilities[0] = 1.0f;
    return manager(load(version, window, false,
                        {{kWe, "\u2581we"}, {kWalk, "\u2581walk"}, {kIng, "ing"}, {kHome, "\u2581home"},
                         {kNow, "\u2581now"}, {kSee, "\u2581see"}, {kYou, "\u2581you"}}));
  }

  // `samples` samples of silence with the token `id` spoken over block (frame) k for each (k, id).
  static std::vector<float> spoken(const std::map<int64_t, int64_t>& tokensByFrame, int64_t samples = kWindow) {
    const std::vector<int32_t> classes = tokens(AsrModelVersion::v3);
    std::vector<float> audio(static_cast<size_t>(samples), 0.0f);
    for (const auto& [frame, id] : tokensByFrame) {
      const auto level = static_cast<float>(std::sqrt((std::find(classes.begin(), classes.end(), id) - classes.begin()) / 1000.0));
      const auto begin = static_cast<size_t>(frame * kBlock);
      std::fill(audio.begin() + static_cast<int64_t>(begin),
                audio.begin() + static_cast<int64_t>(std::min(audio.size(), begin + kBlock)), level);
    }
    return audio;
  }

  // The shared test window: see at 2, we at 10, walk at 20, ing at 21, home at 30, now at 40.
  static std::vector<float> walkingHome() {
    return spoken({{2, kSee}, {10, kWe}, {20, kWalk}, {21, kIng}, {30, kHome}, {40, kNow}});
  }

  static float hidden(const TdtDecoderState& state) { return firstValue(state.hiddenState); }

  // A state after the shared window decoded as a last window, so that nothing of it runs on.
  static TdtDecoderState primed(const AsrManager& recogniser) {
    TdtDecoderState state(recogniser.decoderLayerCount());
    recogniser.executeMLInferenceWithTimings(walkingHome(), std::nullopt, std::nullopt, state, 0, true);
    return state;
  }
};

TEST_F(AsrManagerStreamingWindowTest, FirstWindowIsAlignedPaddedAndContinuesTheState) {
  const auto recogniser = wordManager();
  TdtDecoderState state = primed(*recogniser);
  TdtDecoderState twin = primed(*recogniser);
  const float before = hidden(state);
  ASSERT_GT(before, 0.0f);

  // 100,001 samples align to 101,120 (79 frames), whose mel gives 80 encoder frames; unaligned, 79.
  const std::vector<float> samples = spoken({{3, kWe}, {5, kWalk}, {77, kHome}}, 100001);
  std::vector<float> padded = spoken({{3, kWe}, {5, kWalk}, {77, kHome}}, 101120);
  padded.resize(kWindow, 0.0f);
  const auto expected = recogniser->executeMLInferenceWithTimings(padded, 101120, std::nullopt, twin);

  const auto result = recogniser->transcribeChunk(samples, state, {}, std::nullopt, 0, false, std::nullopt, 0);
  EXPECT_EQ(result.encoderSequenceLength, 80);
  EXPECT_EQ(result.tokens, expected.hypothesis.ySequence);
  EXPECT_EQ(result.tokens, (Ids{kWe, kWalk, kHome}));
  EXPECT_EQ(result.timestamps, (Frames{3, 5, 77}));
  EXPECT_EQ(result.confidences.size(), 3u);
  EXPECT_EQ(result.droppedPreviousTokens, 0);
  EXPECT_EQ(hidden(state), hidden(twin));
  EXPECT_GT(hidden(state), before);
}

TEST_F(AsrManagerStreamingWindowTest, WithoutTimestampsTheStateContinuesAndIdsMatchAlone) {
  const auto recogniser = wordManager();
  TdtDecoderState state = primed(*recogniser);
  TdtDecoderState twin = primed(*recogniser);
  const std::vector<float> samples = spoken({{2, kWe}, {5, kWalk}, {9, kHome}});
  recogniser->executeMLInferenceWithTimings(samples, kWindow, std::nullopt, twin);

  const auto result = recogniser->transcribeChunk(samples, state, {kSee, kWe, kWalk}, std::nullopt, 500, false,
                                                  std::nullopt, 0);
  EXPECT_EQ(result.tokens, (Ids{kHome}));
  EXPECT_EQ(result.timestamps, (Frames{9}));
  EXPECT_EQ(result.confidences.size(), 1u);
  EXPECT_EQ(result.droppedPreviousTokens, 0);
  EXPECT_EQ(hidden(state), hidden(twin));
  EXPECT_EQ(seamLines(logged(platform::SystemLog::Level::debug)),
            std::vector<std::string>{"Found exact suffix-prefix overlap of length 2"});
}

TEST_F(AsrManagerStreamingWindowTest, SeamPlacement) {
  const struct {
    const char* name;
    Ids previous;
    Frames previousFrames;
    int64_t globalFrameOffset;
    int64_t stableTokenFloor;
    Ids tokens;
    Frames timestamps;
    int64_t droppedPrevious;
    std::vector<std::string> lines;
  } cases[] = {
      // Seam at walk (frame 20): emission from frame 15; walking replaces walk.
      {"trailingWordStart", {kWe, kWalk}, {10, 20}, 0, 0, {kWalk, kIng, kHome, kNow}, {20, 21, 30, 40}, 1,
       {"Window seam: dropped 1 trailing previous token(s), 0 leading current token(s)"}},
      // The floor reaches the end: seam at the last frame, no word handling.
      {"floorAtEnd", {kWe, kWalk}, {10, 20}, 0, 2, {kWalk, kIng, kHome, kNow}, {20, 21, 30, 40}, 0, {}},
      {"floorPastEnd", {kWe, kWalk}, {10, 20}, 0, 7, {kWalk, kIng, kHome, kNow}, {20, 21, 30, 40}, 0, {}},
      // The floor moves the seam to ing; walk decoded again within 10 frames is removed first.
      {"floorMovesSeam", {kWe, kWalk, kIng}, {10, 10, 21}, 0, 2, {kHome, kNow}, {30, 40}, 0,
       {"Window seam: dropped 0 trailing previous token(s), 1 leading current token(s)"}},
      // Walk 11 frames away fails the floor check and stays.
      {"floorOverlapTooFar", {kWe, kWalk, kIng}, {10, 9, 21}, 0, 2, {kWalk, kIng, kHome, kNow}, {20, 21, 30, 40}, 1,
       {"Window seam: dropped 1 trailing previous token(s), 0 leading current token(s)"}},
      // Only the first piece starts a word: seam at the largest frame, plain de-duplication.
      {"noTrailingWordStart", {kWalk, kIng}, {20, 21}, 0, 0, {kHome, kNow}, {30, 40}, 0,
       {"Found exact suffix-prefix overlap of length 2"}},
      // Seam 3 frames after the window start: emission from window frame 0, so see at window
      // frame 2 is decoded and dropped as an accepted word.
      {"seamJustAfterOffset", {kSee, kWe}, {12, 13}, 10, 0, {kWalk, kIng, kHome, kNow}, {20, 21, 30, 40}, 0,
       {"Window seam: dropped 0 trailing previous token(s), 2 leading current token(s)"}},
  };
  const auto recogniser = wordManager();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    TdtDecoderState state(recogniser->decoderLayerCount());
    const auto result = recogniser->transcribeChunk(walkingHome(), state, c.previous, c.previousFrames,
                                                    c.globalFrameOffset, false, std::nullopt, c.stableTokenFloor);
    EXPECT_EQ(result.tokens, c.tokens);
    EXPECT_EQ(result.timestamps, c.timestamps);
    EXPECT_EQ(result.confidences.size(), c.tokens.size());
    EXPECT_EQ(result.droppedPreviousTokens, c.droppedPrevious);
    EXPECT_EQ(result.encoderSequenceLength, 188);
    EXPECT_EQ(seamLines(log.messages("ASR")), c.lines);
  }
}

TEST_F(AsrManagerStreamingWindowTest, SeamContextDecodesFromAFreshState) {
  const auto recogniser = wordManager(AsrModelVersion::tdtCtc110m);
  ASSERT_EQ(recogniser->decoderLayerCount(), 1);
  TdtDecoderState state(2);
  const auto incoming = state.hiddenState;
  TdtDecoderState reference(1);
  const auto expected = recogniser->executeMLInferenceWithTimings(walkingHome(), std::nullopt, std::nullopt, reference,
                                                                  0, false, 0, std::nullopt, 15, 0);

  const auto result =
      recogniser->transcribeChunk(walkingHome(), state, {kWe, kWalk}, Frames{10, 20}, 0, false, std::nullopt, 0);
  EXPECT_NE(state.hiddenState, incoming);
  EXPECT_EQ(state.hiddenState->shape(), (std::vector<int64_t>{1, 1, 640}));
  EXPECT_EQ(hidden(state), hidden(reference));
  // Tokens before frame 15 come back only as suppressed evidence.
  EXPECT_EQ(expected.hypothesis.suppressedTokens, (Ids{kSee, kWe}));
  EXPECT_EQ(result.tokens, (Ids{kWalk, kIng, kHome, kNow}));
}

TEST_F(AsrManagerStreamingWindowTest, TooLongWindowFailsBeforeAnythingChanges) {
  const auto recogniser = wordManager();
  TdtDecoderState state(recogniser->decoderLayerCount());
  const auto incoming = state.hiddenState;
  const std::vector<float> samples(kWindow + 1, 0.0f);
  try {
    recogniser->transcribeChunk(samples, state, {kWe}, Frames{10}, 0, false, std::nullopt, 0);
    ADD_FAILURE() << "no error";
  } catch (const ASRError& error) {
    EXPECT_EQ(error.errorCase(), ASRError::Case::processingFailed);
  }
  EXPECT_EQ(state.hiddenState, incoming);
}

TEST_F(AsrManagerStreamingWindowTest, UnknownIdsAreWordMaterial) {
  const auto recogniser = wordManager();
  EXPECT_EQ(recogniser->stableStreamingTokenCount({kWe, kWalk, 99999, kIng}), 1);
  EXPECT_EQ(recogniser->stableStreamingTokenCount({kWe, 99999}), 0);
  EXPECT_EQ(recogniser->stableStreamingTokenCount({}), 0);
}

// A stream of 20 s read in two 15 s windows, the second starting at frame 64: "see you we walking
// home now", with walking cut by the end of the first window.
TEST_F(AsrManagerStreamingWindowTest, OverlappingWindowsRepeatNoWord) {
  const auto recogniser = wordManager();
  const int64_t offset = 64;
  const std::vector<float> stream =
      spoken({{20, kSee}, {40, kYou}, {150, kWe}, {185, kWalk}, {188, kIng}, {200, kHome}, {230, kNow}},
             (offset + 188) * kBlock);

  TdtDecoderState state(recogniser->decoderLayerCount());
  const std::span<const float> all(stream);
  const auto first = recogniser->transcribeChunk(all.first(kWindow), state, {}, std::nullopt, 0, false, std::nullopt, 0);
  Ids accepted = first.tokens;
  Frames frames = first.timestamps;
  ASSERT_EQ(recogniser->convertTokensToText(accepted), "see you we walk");
  const int64_t stable = recogniser->stableStreamingTokenCount(accepted);
  EXPECT_EQ(stable, 3);

  const auto second = recogniser->transcribeChunk(all.subspan(static_cast<size_t>(offset * kBlock), kWindow), state,
                                                  accepted, frames, offset, false, std::nullopt, stable);
  accepted.resize(accepted.size() - static_cast<size_t>(second.droppedPreviousTokens));
  accepted.insert(accepted.end(), second.tokens.begin(), second.tokens.end());
  EXPECT_EQ(recogniser->convertTokensToText(accepted), "see you we walking home now");
  EXPECT_EQ(recogniser->stableStreamingTokenCount(accepted), static_cast<int64_t>(accepted.size()) - 1);
}

}  // namespace
}  // namespace tesselaudio
