#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV3.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "tests/support/ThrownDescription.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/ParakeetModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

const auto failureOf = testsupport::thrownDescription<ASRError>;

using platform::MLMultiArray;
using testsupport::ParakeetDecoderScript;
using testsupport::ParakeetJointScript;

constexpr int64_t kBlank = 8192;

// What frame t of a scripted encoder output asks the joint for.
struct Frame {
  int joint;     // class: blank, 17, 18, 19, 20, 506 for 0 to 5
  int duration;  // duration class
};

// The joint's classes, their tokens and probabilities, and top-K rows over the ids of kTopKIds.
const std::vector<int32_t> kTopKIds = {17, 18, 19, 506, 547, 21, 8192};

ParakeetJointScript jointScript() {
  ParakeetJointScript s;
  s.tokenIds = {8192, 17, 18, 19, 20, 506, 8192};
  s.probabilities = {0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.4f, NAN};
  s.logitIds = kTopKIds;
  const std::vector<float> quiet(7, -9.0f);
  s.logits = {quiet, {5, 3, 1, -9, -9, -9, -9}, quiet, quiet, quiet, {-9, -9, -9, 9, 8, 7, 6.5f}, quiet};
  s.topK = 4;
  return s;
}

const std::map<int, std::string>& vocabulary() {
  static const std::map<int, std::string> v = {{17, "\u2581hello"}, {18, "\u2581привет"}, {19, "\u2581"},
                                               {20, ","},           {506, "\u2581the"},    {547, "\u2581and"},
                                               {21, "\u2581le"}};
  return v;
}

// One decode call's arguments, with the defaults of a plain window.
struct Call {
  explicit Call(std::vector<Frame> frames) : frames(std::move(frames)) {}

  std::vector<Frame> frames;
  std::optional<int64_t> actualAudioFrames;
  int64_t contextFrameAdjustment = 0;
  bool isLastChunk = false;
  int64_t globalFrameOffset = 0;
  std::optional<Language> language;
  std::optional<int64_t> emitTokensAfterGlobalFrame;
  std::optional<int64_t> initialTimeIndexOverride;
  std::stop_token stop;
};

// Members are public so that the failure table can arrange the fixture.
class TdtDecoderV3Test : public ::testing::Test {
 public:
  void SetUp() override {
    joint_ = load(testsupport::parakeetJoint(jointScript()));
    decoderModel_ = load(testsupport::parakeetDecoder({}));
  }

  std::unique_ptr<platform::MLModel> load(const testsupport::ModelBuilder& model) {
    return std::make_unique<platform::MLModel>(model.writeBundle(folder_.path() / std::to_string(++models_)));
  }

  // [1, frames, 1024]; the joint rounds, so the values sit off the integers.
  static std::shared_ptr<MLMultiArray> encoderOutput(const std::vector<Frame>& frames) {
    std::vector<double> values(frames.size() * 1024, 0.0);
    for (size_t t = 0; t < frames.size(); ++t) {
      values[t * 1024] = frames[t].joint + 0.3;
      values[t * 1024 + 1] = frames[t].duration - 0.3;
    }
    return testsupport::makeArray({1, static_cast<int64_t>(frames.size()), 1024}, values);
  }

  TdtHypothesis decode(const Call& call, TdtDecoderState& state) {
    const auto frames = static_cast<int64_t>(call.frames.size());
    return decoder_.decodeWithTimings(encoderOutput(call.frames), frames, call.actualAudioFrames.value_or(frames),
                                      *decoderModel_, *joint_, state, call.contextFrameAdjustment, call.isLastChunk,
                                      call.globalFrameOffset, call.language, &vocabulary(), nullptr,
                                      call.emitTokensAfterGlobalFrame, call.initialTimeIndexOverride, call.stop);
  }

  // The prediction network adds 1 to the hidden state per run: its runs since the state was zeroed.
  static int runsOf(const TdtDecoderState& state) { return (*state.hiddenState)[0].intValue(); }


  testsupport::TemporaryFolder folder_;
  int models_ = 0;
  std::unique_ptr<platform::MLModel> joint_;
  std::unique_ptr<platform::MLModel> decoderModel_;
  TdtDecoderV3 decoder_{ASRConfig::default_()};
};

std::vector<Frame> repeated(Frame frame, size_t count) { return std::vector<Frame>(count, frame); }

TEST_F(TdtDecoderV3Test, StartFrame) {
  struct Case {
    const char* name;
    std::optional<int64_t> timeJump;
    int64_t adjustment;
    std::optional<int64_t> override_;
    int64_t start;
  };
  const Case cases[] = {
      {"exact seam", 0, 0, std::nullopt, 25},  {"jump 3", 3, 0, std::nullopt, 3},
      {"clamped at 0", -5, 2, std::nullopt, 0}, {"no jump", std::nullopt, 4, std::nullopt, 4},
      {"override as given", 3, 2, 7, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TdtDecoderState state(2);
    state.timeJump = c.timeJump;
    Call call{repeated({1, 1}, 40)};
    call.contextFrameAdjustment = c.adjustment;
    call.initialTimeIndexOverride = c.override_;
    const TdtHypothesis h = decode(call, state);
    ASSERT_FALSE(h.timestamps.empty());
    EXPECT_EQ(h.timestamps.front(), c.start);
  }
}

TEST_F(TdtDecoderV3Test, NothingToDecodeLeavesTheStateAlone) {
  struct Case {
    const char* name;
    size_t frames;
    std::optional<int64_t> override_;
  };
  const Case cases[] = {{"one frame", 1, std::nullopt}, {"start at L", 6, 6}, {"start beyond L", 6, 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TdtDecoderState state(2);
    state.hiddenState->set(0, 4.0);
    state.timeJump = 2;
    Call call{repeated({1, 1}, c.frames)};
    call.initialTimeIndexOverride = c.override_;
    const TdtHypothesis h = decode(call, state);
    EXPECT_TRUE(h.ySequence.empty());
    EXPECT_EQ(h.lastToken, std::nullopt);
    EXPECT_EQ(h.score, 0.0f);
    ASSERT_TRUE(h.decState);
    EXPECT_EQ(h.decState->hiddenState, state.hiddenState);
    EXPECT_EQ(runsOf(state), 4);  // no model call
    EXPECT_EQ(state.timeJump, 2);
    EXPECT_EQ(state.lastToken, std::nullopt);
    EXPECT_EQ(state.predictorOutput, nullptr);
  }
}

TEST_F(TdtDecoderV3Test, FreshStateIsZeroedAndPrimedOnTheBlank) {
  TdtDecoderState state(2);
  state.hiddenState->set(0, 7.0);  // left over, with neither a token nor a cached output
  const TdtHypothesis h = decode(Call{repeated({0, 1}, 4)}, state);
  EXPECT_TRUE(h.ySequence.empty());
  EXPECT_EQ(runsOf(state), 1);
  // The cached output is row 8192 mod 16 = 0 of the network's table: the blank was fed.
  ASSERT_TRUE(state.predictorOutput);
  EXPECT_FLOAT_EQ((*state.predictorOutput)[5].floatValue(), 0.005f);
  EXPECT_EQ(state.lastToken, std::nullopt);
  EXPECT_EQ(state.timeJump, 0);
}

TEST_F(TdtDecoderV3Test, MainLoopRules) {
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    int64_t maxSymbolsPerStep;
    int64_t maxTokensPerChunk;
    std::vector<int64_t> tokens;
    std::vector<int64_t> timestamps;
    std::vector<int64_t> durations;
    int64_t timeJump;
  };
  const Case cases[] = {
      {"blank of duration 0 advances one frame", {{0, 0}, {1, 1}, {0, 1}}, 10, 150, {17}, {1}, {1}, 0},
      {"second token of duration 0 at a frame advances", {{1, 0}, {2, 1}, {0, 1}}, 10, 150, {17, 17, 18},
       {0, 0, 1}, {0, 1, 1}, 0},
      {"one symbol per step forces the next frame", {{1, 2}, {1, 1}, {1, 1}, {2, 1}, {0, 1}, {0, 1}}, 1, 150,
       {17, 18}, {0, 3}, {2, 1}, 0},
      // Frame 3 answers a token of duration 0 for ever: the forced advance stays on it, the cap ends it.
      {"forced advance stays on the last frame", {{1, 3}, {0, 1}, {0, 1}, {2, 0}}, 1, 3, {17, 18, 18}, {0, 3, 3},
       {3, 0, 0}, -1},
      {"duration reaching L ends the loop unemitted", {{1, 1}, {2, 4}, {0, 1}, {0, 1}}, 10, 150, {17}, {0}, {1}, 1},
      {"blanks skip without the network", {{1, 1}, {0, 1}, {0, 2}, {0, 1}, {2, 1}, {0, 1}}, 10, 150, {17, 18}, {0, 4},
       {1, 1}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    decoder_.config.tdtConfig.maxSymbolsPerStep = c.maxSymbolsPerStep;
    decoder_.config.tdtConfig.maxTokensPerChunk = c.maxTokensPerChunk;
    TdtDecoderState state(2);
    const TdtHypothesis h = decode(Call{c.frames}, state);
    EXPECT_EQ(h.ySequence, c.tokens);
    EXPECT_EQ(h.timestamps, c.timestamps);
    EXPECT_EQ(h.tokenDurations, c.durations);
    EXPECT_EQ(h.tokenConfidences.size(), c.tokens.size());
    EXPECT_EQ(state.timeJump, c.timeJump);
    // One priming run and one run per emitted token.
    EXPECT_EQ(runsOf(state), 1 + static_cast<int>(c.tokens.size()));
    EXPECT_EQ(state.lastToken, c.tokens.back());
    EXPECT_EQ(h.lastToken, c.tokens.back());
  }
}

TEST_F(TdtDecoderV3Test, ConfidencesAndScore) {
  TdtDecoderState state(2);
  // Class 6 becomes a token whose probability is not a number.
  ParakeetJointScript s = jointScript();
  s.tokenIds[6] = 20;
  joint_ = load(testsupport::parakeetJoint(s));
  const TdtHypothesis h = decode(Call{{{1, 1}, {2, 1}, {6, 1}, {0, 1}}}, state);
  EXPECT_EQ(h.ySequence, (std::vector<int64_t>{17, 18, 20}));
  EXPECT_EQ(h.tokenConfidences, (std::vector<float>{0.8f, 0.7f, 0.0f}));
  EXPECT_FLOAT_EQ(h.score, 1.5f);
}

TEST_F(TdtDecoderV3Test, StopsAtTheTokenCap) {
  TdtDecoderState state(2);
  const TdtHypothesis h = decode(Call{repeated({1, 1}, 200)}, state);
  EXPECT_EQ(h.ySequence.size(), 150u);
  EXPECT_EQ(h.timestamps.back(), 149);
  // Token 151 was neither emitted nor fed; the final index is its t + d.
  EXPECT_EQ(runsOf(state), 151);
  EXPECT_EQ(state.timeJump, 151 - 200);
}

TEST_F(TdtDecoderV3Test, SuppressesTokensBeforeTheEmissionFrame) {
  std::vector<Frame> frames = repeated({0, 1}, 12);
  frames[9] = {1, 1};
  frames[10] = {2, 1};
  struct Case {
    const char* name;
    int64_t threshold;
    std::vector<int64_t> kept;
    std::vector<int64_t> suppressed;
    std::vector<int64_t> suppressedFrames;
    float score;
  };
  const Case cases[] = {
      {"frame 9 suppressed, frame 10 kept", 100, {18}, {17}, {99}, 0.7f},
      {"everything suppressed", 200, {}, {17, 18}, {99, 100}, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TdtDecoderState state(2);
    Call call{frames};
    call.globalFrameOffset = 90;
    call.emitTokensAfterGlobalFrame = c.threshold;
    const TdtHypothesis h = decode(call, state);
    EXPECT_EQ(h.ySequence, c.kept);
    EXPECT_EQ(h.suppressedTokens, c.suppressed);
    EXPECT_EQ(h.suppressedTimestamps, c.suppressedFrames);
    EXPECT_EQ(h.timestamps.size(), c.kept.size());
    EXPECT_EQ(h.tokenDurations.size(), c.kept.size());
    EXPECT_FLOAT_EQ(h.score, c.score);
    EXPECT_EQ(h.lastToken, 18);
    EXPECT_EQ(state.lastToken, 18);
    EXPECT_EQ(runsOf(state), 3);  // suppressed tokens are fed too
  }
}

TEST_F(TdtDecoderV3Test, LastWindowTail) {
  struct Case {
    const char* name;
    std::vector<Frame> frames;
    int64_t maxSymbolsPerStep;
    int64_t consecutiveBlankLimit;
    size_t tailTokens;
  };
  const Case cases[] = {
      // Every tail step finds a token: the step count is the cap.
      {"ten steps at most", repeated({1, 1}, 3), 10, 5, 10},
      {"steps follow maxSymbolsPerStep", repeated({1, 1}, 3), 4, 5, 4},
      // Tail frames run 2, 2, 1, 2, 2, 1, ...: blank, blank, token.
      {"blanks below the limit", {{1, 1}, {1, 1}, {0, 1}}, 10, 5, 3},
      {"two blanks in a row stop it", {{1, 1}, {1, 1}, {0, 1}}, 10, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    decoder_.config.tdtConfig.maxSymbolsPerStep = c.maxSymbolsPerStep;
    decoder_.config.tdtConfig.consecutiveBlankLimit = c.consecutiveBlankLimit;
    TdtDecoderState notLast(2);
    const size_t mainTokens = decode(Call{c.frames}, notLast).ySequence.size();

    TdtDecoderState state(2);
    Call call{c.frames};
    call.isLastChunk = true;
    const TdtHypothesis h = decode(call, state);
    EXPECT_EQ(h.ySequence.size(), mainTokens + c.tailTokens);
    for (size_t i = mainTokens; i < h.timestamps.size(); ++i) EXPECT_EQ(h.timestamps[i], 2);
    EXPECT_EQ(state.timeJump, std::nullopt);
    EXPECT_EQ(state.predictorOutput, nullptr);
    EXPECT_EQ(runsOf(state), 1 + static_cast<int>(h.ySequence.size()));
  }
}

TEST_F(TdtDecoderV3Test, CarriedStateFeedsTheNextWindow) {
  TdtDecoderState state(2);
  decode(Call{{{1, 1}, {2, 1}, {0, 1}}}, state);
  EXPECT_EQ(runsOf(state), 3);
  EXPECT_EQ(state.lastToken, 18);
  // The latest output travels on (row 18 mod 16 = 2), so the next window runs no extra step.
  ASSERT_TRUE(state.predictorOutput);
  EXPECT_FLOAT_EQ((*state.predictorOutput)[0].floatValue(), 2.0f);
  Call next{{{0, 1}, {1, 1}, {0, 1}}};
  next.contextFrameAdjustment = 1;
  decode(next, state);
  EXPECT_EQ(runsOf(state), 4);

  // After punctuation the next window feeds the last token again first.
  const std::set<int> punctuation = {17};
  const auto frames = std::vector<Frame>{{0, 1}, {1, 1}, {0, 1}};
  decoder_.decodeWithTimings(encoderOutput(frames), 3, 3, *decoderModel_, *joint_, state, 1, false, 0,
                             std::nullopt, &vocabulary(), &punctuation, std::nullopt, std::nullopt, {});
  EXPECT_EQ(state.predictorOutput, nullptr);
  EXPECT_EQ(runsOf(state), 5);
  Call blanks{{{0, 1}, {0, 1}}};
  blanks.initialTimeIndexOverride = 0;
  decode(blanks, state);
  EXPECT_EQ(runsOf(state), 6);
}

TEST_F(TdtDecoderV3Test, EitherProjectionLayoutDecodesAlike) {
  TdtDecoderState tall(2);
  const TdtHypothesis expected = decode(Call{{{1, 1}, {2, 0}, {3, 1}, {0, 1}}}, tall);
  ParakeetDecoderScript wideOutput;
  wideOutput.wideOutput = true;
  decoderModel_ = load(testsupport::parakeetDecoder(wideOutput));
  TdtDecoderState wide(2);
  const TdtHypothesis h = decode(Call{{{1, 1}, {2, 0}, {3, 1}, {0, 1}}}, wide);
  EXPECT_EQ(h.ySequence, expected.ySequence);
  EXPECT_EQ(h.timestamps, expected.timestamps);
  EXPECT_EQ(wide.predictorOutput->shape(), (std::vector<int64_t>{1, 1, 640}));
}

TEST_F(TdtDecoderV3Test, LanguageHints) {
  const float russianShare = std::exp(3.0f - 5) / (1 + std::exp(-2.0f) + std::exp(-4.0f) + std::exp(-14.0f));
  const float frenchShare = std::exp(-2.0f) / (1 + std::exp(-1.0f) + std::exp(-2.0f) + std::exp(-2.5f));
  struct Case {
    const char* name;
    int joint;
    std::optional<Language> language;
    int64_t token;
    float confidence;
  };
  const Case cases[] = {
      {"Russian replaces a Latin token", 1, Language::russian, 18, russianShare},
      {"Spanish keeps a Latin token", 1, Language::spanish, 17, 0.8f},
      {"French replaces a blocklisted token", 5, Language::french, 21, frenchShare},
      {"English keeps a blocklisted token", 5, Language::english, 506, 0.4f},
      {"no hint, no change", 5, std::nullopt, 506, 0.4f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TdtDecoderState state(2);
    Call call{{{c.joint, 1}, {0, 1}}};
    call.language = c.language;
    const TdtHypothesis h = decode(call, state);
    ASSERT_EQ(h.ySequence.size(), 1u);
    EXPECT_EQ(h.ySequence[0], c.token);
    EXPECT_FLOAT_EQ(h.tokenConfidences[0], c.confidence);
  }
}

TEST_F(TdtDecoderV3Test, TopKIsReadOnlyWithALanguage) {
  ParakeetJointScript s = jointScript();
  s.withoutTopKLogits = true;  // a broken pair shows whether it is read
  joint_ = load(testsupport::parakeetJoint(s));
  TdtDecoderState plain(2);
  EXPECT_EQ(decode(Call{{{1, 1}, {0, 1}}}, plain).ySequence, std::vector<int64_t>{17});
  Call call({{1, 1}, {0, 1}});
  call.language = Language::russian;
  TdtDecoderState hinted(2);
  EXPECT_EQ(failureOf([&] { decode(call, hinted); }),
            "ASR processing failed: Joint decision top-K outputs must be present as a pair (top_k_ids + top_k_logits)");
}

TEST_F(TdtDecoderV3Test, FailuresEndTheCall) {
  struct Case {
    const char* name;
    std::function<void(TdtDecoderV3Test&, Call&)> arrange;
    const char* description;
  };
  const Case cases[] = {
      {"duration class outside the bins", [](TdtDecoderV3Test&, Call& c) { c.frames = {{1, 7}, {0, 1}}; },
       "ASR processing failed: Duration bin index out of range: 7"},
      {"negative start frame", [](TdtDecoderV3Test&, Call& c) { c.initialTimeIndexOverride = -1; },
       "ASR processing failed: Encoder frame index out of range: -1"},
      {"prediction network without a decoder output",
       [](TdtDecoderV3Test& t, Call&) {
         ParakeetDecoderScript broken;
         broken.withoutDecoderOutput = true;
         t.decoderModel_ = t.load(testsupport::parakeetDecoder(broken));
       },
       "ASR processing failed: Invalid decoder output"},
      {"encoder output of another width",
       [](TdtDecoderV3Test& t, Call&) { t.decoder_.config.encoderHiddenSize = 512; },
       "ASR processing failed: Encoder hidden size mismatch: [1, 2, 1024], expected 512"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call({{1, 1}, {0, 1}});
    c.arrange(*this, call);
    TdtDecoderState state(2);
    EXPECT_EQ(failureOf([&] { decode(call, state); }), c.description);
    SetUp();
    decoder_.config = ASRConfig::default_();
  }
}

TEST_F(TdtDecoderV3Test, StopRequestCancelsAndKeepsWhatWasWritten) {
  std::stop_source source;
  source.request_stop();
  TdtDecoderState state(2);
  Call call{repeated({1, 1}, 5)};
  call.stop = source.get_token();
  EXPECT_THROW(decode(call, state), platform::CancellationError);
  EXPECT_EQ(runsOf(state), 1);  // the priming run
  EXPECT_NE(state.predictorOutput, nullptr);
}

}  // namespace
}  // namespace tesselaudio
