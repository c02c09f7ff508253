#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoder.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoderError.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TransducerModelBuilder.h"

namespace tesselaudio {
namespace {

using testsupport::kTransducerBlankId;
using testsupport::kTransducerEouId;
using testsupport::TransducerStandIn;
using Script = std::vector<std::vector<std::int64_t>>;

enum class Path { reference, fused };

std::string pathName(Path path) { return path == Path::reference ? "Reference" : "Fused"; }
void PrintTo(Path path, std::ostream* os) { *os << pathName(path); }

// Stand-ins are written and loaded once per variant and process.
const testsupport::TransducerModels& standIns(const TransducerStandIn& standIn = {}) {
  static testsupport::TemporaryFolder folder;
  static std::map<std::string, testsupport::TransducerModels> loaded;
  std::string key = std::to_string(standIn.penalty) + "_" + std::to_string(standIn.decoderSteps);
  for (const auto& name : standIn.missingOutputs) key += "_" + name;
  auto it = loaded.find(key);
  if (it == loaded.end()) it = loaded.emplace(key, testsupport::loadTransducerStandIns(folder / key, standIn)).first;
  return it->second;
}

std::unique_ptr<RnntDecoder> makeDecoder(Path path, const TransducerStandIn& standIn = {}) {
  const auto& models = standIns(standIn);
  return std::make_unique<RnntDecoder>(models.decoder, models.joint, path == Path::fused ? models.fused : nullptr);
}

// Every element of a state array equals `value`.
void expectFilled(const platform::MLMultiArray& state, double value) {
  EXPECT_EQ(state.shape(), (std::vector<std::int64_t>{1, 1, 640}));
  EXPECT_EQ(testsupport::arrayValues(state), std::vector<double>(640, value));
}

// `steps`: the tokens emitted, which the stand-ins' states count; `lastToken`: the last of them.
struct DecodeCase {
  DecodeCase(const char* name, Script script, RnntDecoder::DecodeResult expected, int steps = 0,
             std::int64_t lastToken = kTransducerBlankId)
      : name(name), script(std::move(script)), expected(std::move(expected)), steps(steps), lastToken(lastToken) {}

  DecodeCase skip(std::int64_t frames) const { auto c = *this; c.skipFrames = frames; return c; }
  DecodeCase bound(std::int64_t frames) const { auto c = *this; c.validOutLen = frames; return c; }
  DecodeCase penalty(float value) const { auto c = *this; c.standIn.penalty = value; return c; }
  DecodeCase decoderSteps(std::int64_t steps) const { auto c = *this; c.standIn.decoderSteps = steps; return c; }
  DecodeCase frameMajorLayout() const { auto c = *this; c.frameMajor = true; return c; }

  const char* name;
  Script script;
  RnntDecoder::DecodeResult expected;
  int steps;
  std::int64_t lastToken;
  std::int64_t skipFrames = 0;
  std::optional<std::int64_t> validOutLen;
  TransducerStandIn standIn;
  bool frameMajor = false;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

const std::int64_t kEou = kTransducerEouId;

const DecodeCase kDecodeCases[] = {
    DecodeCase("TokensOnSeparateFrames", {{5}, {}, {7}}, {{5, 7}, {0, 2}, false}, 2, 7),
    DecodeCase("EouOnTheFirstAttemptLeavesTheStateAlone", {{kEou}, {5}}, {{}, {}, true}),
    DecodeCase("EouAfterATokenStopsTheRestOfTheFrames", {{5}, {kEou}, {7}}, {{5}, {0}, true}, 1, 5),
    DecodeCase("EouAsTheSecondDecisionOfAFrame", {{5, kEou}, {7}}, {{5}, {0}, true}, 1, 5),
    DecodeCase("TwoTokensShareAFrameAndNoThirdIsDecided", {{5, 7}, {}}, {{5, 7}, {0, 0}, false}, 2, 7),
    DecodeCase("WithoutPenaltyATokenRepeatsUpToTheLimit", {{5}, {}}, {{5, 5}, {0, 0}, false}, 2, 5).penalty(0),
    DecodeCase("BlankEverywhere", {{}, {}, {}}, {{}, {}, false}),
    DecodeCase("SkipFramesStartsLater", {{5}, {7}}, {{7}, {1}, false}, 1, 7).skip(1),
    DecodeCase("SkipFramesAtTheEndFrame", {{5}, {7}}, {{}, {}, false}).skip(2),
    DecodeCase("SkipFramesPastTheEndFrame", {{5}, {7}}, {{}, {}, false}).skip(9),
    DecodeCase("SkipFramesAtAValidOutLenEnd", {{5}, {7}, {9}}, {{}, {}, false}).skip(1).bound(1),
    DecodeCase("ValidOutLenBoundsTheFrames", {{5}, {7}, {9}}, {{5, 7}, {0, 1}, false}, 2, 7).bound(2),
    DecodeCase("ValidOutLenBeyondTheFrames", {{5}, {7}, {9}}, {{5, 7, 9}, {0, 1, 2}, false}, 3, 9).bound(10),
    DecodeCase("NegativeValidOutLen", {{5}}, {{}, {}, false}).bound(-1),
    DecodeCase("DecoderOfThreeStepsReachesTheJointAsItsLast", {{5}, {}, {7}}, {{5, 7}, {0, 2}, false}, 2, 7)
        .decoderSteps(3),
    DecodeCase("FrameMajorEncoderOutputIsReadThroughItsStrides", {{5}, {}, {7, 11}},
               {{5, 7, 11}, {0, 2, 2}, false}, 3, 11)
        .frameMajorLayout(),
};

class RnntDecoderDecodeTest : public testing::TestWithParam<std::tuple<DecodeCase, Path>> {};

TEST_P(RnntDecoderDecodeTest, DecodesAsScripted) {
  const auto& [c, path] = GetParam();
  const auto encoderOutput = testsupport::transducerEncoderOutput(c.script, c.frameMajor);
  // The result is the same whatever the time offset.
  for (std::int64_t timeOffset : {std::int64_t{0}, std::int64_t{12345}, std::int64_t{-7}}) {
    SCOPED_TRACE(testing::Message() << "timeOffset " << timeOffset);
    auto decoder = makeDecoder(path, c.standIn);
    const auto hBefore = decoder->hState();
    const auto cBefore = decoder->cState();

    EXPECT_EQ(decoder->decodeWithEOU(*encoderOutput, timeOffset, c.skipFrames, c.validOutLen), c.expected);

    EXPECT_EQ(decoder->lastToken(), c.lastToken);
    expectFilled(*decoder->hState(), c.steps);
    expectFilled(*decoder->cState(), 2.0 * c.steps);
    if (c.steps == 0) {
      EXPECT_EQ(decoder->hState(), hBefore);
      EXPECT_EQ(decoder->cState(), cBefore);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, RnntDecoderDecodeTest,
                         testing::Combine(testing::ValuesIn(kDecodeCases),
                                          testing::Values(Path::reference, Path::fused)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + pathName(std::get<1>(info.param));
                         });

class RnntDecoderPathTest : public testing::TestWithParam<Path> {};

TEST_P(RnntDecoderPathTest, StateCarriesAcrossCallsUntilReset) {
  auto decoder = makeDecoder(GetParam());
  const auto five = testsupport::transducerEncoderOutput({{5}});
  EXPECT_EQ(decoder->decodeWithEOU(*five, 0, 0, std::nullopt), (RnntDecoder::DecodeResult{{5}, {0}, false}));
  // The next chunk starts from token 5, whose penalty lets the blank win.
  EXPECT_EQ(decoder->decodeWithEOU(*five, 0, 0, std::nullopt), (RnntDecoder::DecodeResult{{}, {}, false}));
  expectFilled(*decoder->hState(), 1);

  decoder->resetState();
  EXPECT_EQ(decoder->lastToken(), kTransducerBlankId);
  expectFilled(*decoder->hState(), 0);
  expectFilled(*decoder->cState(), 0);
  EXPECT_EQ(decoder->decodeWithEOU(*five, 0, 0, std::nullopt), (RnntDecoder::DecodeResult{{5}, {0}, false}));
}

TEST_P(RnntDecoderPathTest, AnEmptyFrameRangeEvaluatesNoModel) {
  auto decoder = makeDecoder(GetParam());
  // Five features fit no stand-in: any evaluation would fail.
  const auto unfit = testsupport::makeArray({1, 5, 3}, std::vector<double>(15, 0.0));
  EXPECT_EQ(decoder->decodeWithEOU(*unfit, 0, 3, std::nullopt), RnntDecoder::DecodeResult{});
  EXPECT_EQ(decoder->decodeWithEOU(*unfit, 0, 1, 1), RnntDecoder::DecodeResult{});
  EXPECT_EQ(decoder->decodeWithEOU(*unfit, 0, 0, 0), RnntDecoder::DecodeResult{});
  EXPECT_THROW(decoder->decodeWithEOU(*unfit, 0, 2, std::nullopt), platform::MLModelError);
}

TEST_P(RnntDecoderPathTest, EncoderOutputsOfAnotherTypeOrShapeAreRefused) {
  using platform::MLMultiArrayDataType;
  struct Case {
    const char* name;
    std::vector<std::int64_t> shape;
    MLMultiArrayDataType type;
    std::int64_t skipFrames = 0;
  };
  const Case cases[] = {
      {"float16", {1, 1027, 2}, MLMultiArrayDataType::float16},
      {"float64", {1, 1027, 2}, MLMultiArrayDataType::float64},
      {"int32", {1, 1027, 2}, MLMultiArrayDataType::int32},
      {"rank 2", {1027, 2}, MLMultiArrayDataType::float32},
      {"rank 4", {1, 1027, 2, 1}, MLMultiArrayDataType::float32},
      {"rank 0", {}, MLMultiArrayDataType::float32},
      {"empty batch", {0, 1027, 2}, MLMultiArrayDataType::float32},
      {"negative skipFrames", {1, 1027, 2}, MLMultiArrayDataType::float32, -1},
  };
  auto decoder = makeDecoder(GetParam());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::MLMultiArray encoderOutput(c.shape, c.type);
    try {
      decoder->decodeWithEOU(encoderOutput, 0, c.skipFrames, std::nullopt);
      ADD_FAILURE() << "no error";
    } catch (const ASRError& e) {
      EXPECT_EQ(e.errorCase(), ASRError::Case::processingFailed) << e.description();
    }
  }
  EXPECT_EQ(decoder->lastToken(), kTransducerBlankId);
}

INSTANTIATE_TEST_SUITE_P(Paths, RnntDecoderPathTest, testing::Values(Path::reference, Path::fused),
                         [](const auto& info) { return pathName(info.param); });

TEST(RnntDecoderTest, MissingOutputsAreNamedInTheOrderTheyAreRead) {
  struct Case {
    const char* name;
    Path path;
    std::set<std::string> missing;
    const char* expected;
  };
  const Case cases[] = {
      {"reference without decoder and states", Path::reference, {"decoder", "h_out", "c_out"}, "decoder"},
      {"reference without token and states", Path::reference, {"token_id", "h_out", "c_out"}, "token_id"},
      {"reference without states", Path::reference, {"h_out", "c_out"}, "h_out"},
      {"reference without cell state", Path::reference, {"c_out"}, "c_out"},
      {"fused without token and states", Path::fused, {"token_id", "h_out", "c_out"}, "token_id"},
      {"fused without states", Path::fused, {"h_out", "c_out"}, "h_out"},
      {"fused without cell state", Path::fused, {"c_out"}, "c_out"},
  };
  // A blank frame: the outputs are read before the token is looked at.
  const auto encoderOutput = testsupport::transducerEncoderOutput({{}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransducerStandIn standIn;
    standIn.missingOutputs = c.missing;
    auto decoder = makeDecoder(c.path, standIn);
    try {
      decoder->decodeWithEOU(*encoderOutput, 0, 0, std::nullopt);
      ADD_FAILURE() << "no error";
    } catch (const RnntDecoderError& e) {
      EXPECT_EQ(e.errorCase(), RnntDecoderError::Case::missingOutput);
      EXPECT_EQ(e.outputName(), c.expected);
      EXPECT_EQ(e.description(), std::string("RNNT decoder missing expected output: ") + c.expected);
      EXPECT_EQ(e.domain(), "TesselAudio.RnntDecoderError");
    }
  }
}

}  // namespace
}  // namespace tesselaudio
