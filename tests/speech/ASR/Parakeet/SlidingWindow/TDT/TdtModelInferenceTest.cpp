#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtModelInference.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameView.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/ReusableJointInputProvider.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "tests/support/ThrownDescription.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/ParakeetModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

const auto failureOf = testsupport::thrownDescription<ASRError>;

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::ElementType;
using testsupport::ParakeetJointScript;

constexpr int64_t kTwoTo31 = int64_t{1} << 31;


std::vector<double> projectionValues() {
  std::vector<double> values;
  for (int i = 0; i < 640; ++i) values.push_back(i * 0.25 - 40);
  return values;
}

TEST(TdtModelInferenceTest, BothProjectionLayoutsGiveTheSamePreparedStep) {
  const auto wide = testsupport::makeArray({1, 1, 640}, projectionValues());
  const auto tall = testsupport::makeArray({1, 640, 1}, projectionValues());
  // A runtime may hand out a padded [1, 640, 1]: stride 16 along the hidden axis.
  auto padded = ANEMemoryUtils::createAlignedArray({1, 640, 1}, MLMultiArrayDataType::float32, true);
  for (int64_t i = 0; i < 640; ++i) padded->set(i, projectionValues()[static_cast<size_t>(i)]);

  const auto fresh = TdtModelInference::normalizeDecoderProjection(*wide);
  EXPECT_EQ(fresh->shape(), (std::vector<int64_t>{1, 640, 1}));
  EXPECT_EQ(fresh->dataType(), MLMultiArrayDataType::float32);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(fresh->dataPointer()) % 64, 0u);
  EXPECT_EQ(testsupport::arrayValues(*fresh), projectionValues());
  // Padding between the values stays zero.
  EXPECT_EQ(static_cast<const float*>(fresh->dataPointer())[1], 0.0f);

  for (const auto& source : {tall, padded}) {
    auto into = ANEMemoryUtils::createAlignedArray({1, 640, 1}, MLMultiArrayDataType::float32, true);
    EXPECT_EQ(TdtModelInference::normalizeDecoderProjection(*source, into), into);
    EXPECT_EQ(testsupport::arrayValues(*into), projectionValues());
  }
  auto dense = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 640, 1}, MLMultiArrayDataType::float32);
  TdtModelInference::normalizeDecoderProjection(*wide, dense);
  EXPECT_EQ(testsupport::arrayValues(*dense), projectionValues());
}

TEST(TdtModelInferenceTest, BadProjectionsAndDestinationsFail) {
  float tiny[16] = {};
  auto overTiny = [&](std::vector<int64_t> shape, std::vector<int64_t> strides) {
    return std::make_shared<MLMultiArray>(tiny, std::move(shape), MLMultiArrayDataType::float32, std::move(strides));
  };
  auto array = [](std::vector<int64_t> shape, MLMultiArrayDataType type = MLMultiArrayDataType::float32) {
    return std::make_shared<MLMultiArray>(std::move(shape), type);
  };
  struct Case {
    const char* name;
    std::shared_ptr<MLMultiArray> projection;
    std::shared_ptr<MLMultiArray> into;
    const char* description;
  };
  const Case cases[] = {
      {"rank 2", array({1, 640}), nullptr, "Invalid decoder projection rank: [1, 640]"},
      {"batch before type", array({2, 640, 1}, MLMultiArrayDataType::float16), nullptr,
       "Unsupported decoder batch dimension: 2"},
      {"float16", array({1, 640, 1}, MLMultiArrayDataType::float16), nullptr,
       "Unsupported decoder projection type: float16"},
      {"no 640 axis", array({1, 320, 1}), nullptr, "Decoder projection hidden size mismatch: [1, 320, 1]"},
      {"time axis of 640", array({1, 640, 640}), nullptr, "Decoder projection time axis must be 1: [1, 640, 640]"},
      {"time axis of 2", array({1, 2, 640}), nullptr, "Decoder projection time axis must be 1: [1, 2, 640]"},
      {"destination of two steps", array({1, 640, 1}), array({1, 640, 2}),
       "Prepared decoder step shape mismatch: 1x640x2"},
      {"float16 destination", array({1, 640, 1}), array({1, 640, 1}, MLMultiArrayDataType::float16),
       "Prepared decoder step shape mismatch: 1x640x1"},
      {"destination stride beyond 32 bits", array({1, 640, 1}), overTiny({1, 640, 1}, {1, kTwoTo31, 1}),
       "Decoder destination stride exceeds supported range"},
      {"projection stride beyond 32 bits", overTiny({1, 640, 1}, {1, kTwoTo31, 1}), array({1, 640, 1}),
       "Decoder projection stride exceeds supported range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failureOf([&] { TdtModelInference::normalizeDecoderProjection(*c.projection, c.into); }),
              std::string("ASR processing failed: ") + c.description);
  }
}

// A fault of the scripted joint and the text it ends a call with.
struct DamagedJoint {
  const char* name;
  std::function<void(ParakeetJointScript&)> damage;
  const char* description;
};

// A scripted joint loaded from a temporary folder, the per-call buffers of a decode loop, and an
// encoder output [1, frames, 1024] whose frame t asks for class classes[t] and duration class
// durations[t].
class JointFixture : public ::testing::Test {
 protected:
  static ParakeetJointScript script() {
    ParakeetJointScript s;
    s.tokenIds = {8192, 17, -1};
    s.probabilities = {0.25f, 0.75f, 0.5f};
    s.logitIds = {10, 11, 12, 13};
    s.logits = {{1, 2, 3, 4}, {4, 3, 2, 1}, {0, 9, 0, 8}};
    s.topK = 3;
    return s;
  }

  void load(const ParakeetJointScript& s) {
    joint_ = std::make_unique<platform::MLModel>(testsupport::parakeetJoint(s).writeBundle(folder_.path()));
  }

  // Loads the script with `joint`'s fault and returns a one-frame view asking for token 17.
  EncoderFrameView loadDamaged(const DamagedJoint& joint);

  EncoderFrameView frames(const std::vector<int>& classes, const std::vector<int>& durations) {
    std::vector<double> values;
    for (size_t t = 0; t < classes.size(); ++t) {
      std::vector<double> frame(1024, 0.0);
      frame[0] = classes[t] + 0.2;  // the joint rounds
      frame[1] = durations[t] - 0.2;
      values.insert(values.end(), frame.begin(), frame.end());
    }
    return EncoderFrameView(testsupport::makeArray({1, static_cast<int64_t>(classes.size()), 1024}, values),
                            static_cast<int64_t>(classes.size()), 1024);
  }

  TdtJointDecision run(const EncoderFrameView& view, int64_t timeIndex, bool needsTopK) {
    return inference_.runJointPrepared(view, timeIndex, *decoderStep_, *joint_, *encoderStep_,
                                       static_cast<float*>(encoderStep_->dataPointer()), encoderStep_->strides()[1],
                                       provider_, tokenId_, tokenProb_, duration_, needsTopK);
  }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<platform::MLModel> joint_;
  TdtModelInference inference_;
  std::shared_ptr<MLMultiArray> encoderStep_ =
      ANEMemoryUtils::createAlignedArray({1, 1024, 1}, MLMultiArrayDataType::float32, true);
  std::shared_ptr<MLMultiArray> decoderStep_ =
      ANEMemoryUtils::createAlignedArray({1, 640, 1}, MLMultiArrayDataType::float32, true);
  ReusableJointInputProvider provider_{encoderStep_, decoderStep_};
  std::shared_ptr<MLMultiArray> tokenId_ =
      std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::int32);
  std::shared_ptr<MLMultiArray> tokenProb_ =
      std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::float32);
  std::shared_ptr<MLMultiArray> duration_ =
      std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::int32);
};

TEST_F(JointFixture, ReadsTheDecisionFromTheBackings) {
  load(script());
  const EncoderFrameView view = frames({0, 1, 2}, {0, 3, 1});
  struct Case {
    int64_t frame;
    int64_t token;
    float probability;
    int64_t durationBin;
  };
  const Case cases[] = {{0, 8192, 0.25f, 0}, {1, 17, 0.75f, 3}, {2, -1, 0.5f, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    const TdtJointDecision decision = run(view, c.frame, false);
    EXPECT_EQ(decision.token, c.token);
    EXPECT_EQ(decision.probability, c.probability);
    EXPECT_EQ(decision.durationBin, c.durationBin);
    EXPECT_EQ(decision.topKIds, std::nullopt);
    EXPECT_EQ(decision.topKLogits, std::nullopt);
    // The joint wrote into the caller's arrays.
    EXPECT_EQ((*tokenId_)[0].int64Value(), c.token);
    EXPECT_EQ((*duration_)[0].int64Value(), c.durationBin);
    // The frame sits in the encoder step, 16 elements apart.
    EXPECT_FLOAT_EQ(static_cast<const float*>(encoderStep_->dataPointer())[16], c.durationBin - 0.2f);
  }
  EXPECT_EQ(inference_.predictionOptions->outputBackings.size(), 3u);
  EXPECT_EQ(inference_.predictionOptions->outputBackings.at("token_prob"), tokenProb_);
  EXPECT_EQ(failureOf([&] { run(view, 3, false); }), "ASR processing failed: Encoder frame index out of range: 3");
}

TEST_F(JointFixture, ReadsTopKOnlyWhenAskedAndPresent) {
  load(script());
  const EncoderFrameView view = frames({0, 2}, {0, 0});
  const TdtJointDecision decision = run(view, 1, true);
  EXPECT_EQ(decision.topKIds, (std::vector<int64_t>{11, 13, 10}));
  EXPECT_EQ(decision.topKLogits, (std::vector<float>{9, 8, 0}));

  ParakeetJointScript withoutTopK = script();
  withoutTopK.logits.clear();
  load(withoutTopK);
  EXPECT_EQ(run(view, 1, true).topKIds, std::nullopt);
}

EncoderFrameView JointFixture::loadDamaged(const DamagedJoint& joint) {
  ParakeetJointScript s = script();
  joint.damage(s);
  load(s);
  return frames({1}, {0});
}

TEST_F(JointFixture, BrokenTopKOutputsFailWhenAsked) {
  const DamagedJoint cases[] = {
      {"ids alone", [](ParakeetJointScript& s) { s.withoutTopKLogits = true; },
       "Joint decision top-K outputs must be present as a pair (top_k_ids + top_k_logits)"},
      {"unequal lengths", [](ParakeetJointScript& s) { s.shortTopKLogits = true; },
       "Joint decision top-K length mismatch: 3 vs 2"},
      {"float ids", [](ParakeetJointScript& s) { s.topKIdsType = ElementType::float32; },
       "Expected Int32 for top_k_ids, got 65568"},
      {"integer logits", [](ParakeetJointScript& s) { s.topKLogitsType = ElementType::int32; },
       "Expected Float32 for top_k_logits, got 131104"},
  };
  for (const DamagedJoint& c : cases) {
    SCOPED_TRACE(c.name);
    const EncoderFrameView view = loadDamaged(c);
    EXPECT_EQ(failureOf([&] { run(view, 0, true); }), std::string("ASR processing failed: ") + c.description);
    // Not asked for, the same outputs are never read.
    EXPECT_EQ(run(view, 0, false).token, 17);
  }
}

TEST_F(JointFixture, JointOutputsThatDoNotFitTheBackingsFailInThePlatform) {
  const DamagedJoint cases[] = {
      {"no token_id", [](ParakeetJointScript& s) { s.withoutTokenId = true; },
       "Output backing 'token_id' names no output of the model."},
      {"two-element token_prob", [](ParakeetJointScript& s) { s.twoElementProbability = true; },
       "Output backing 'token_prob' has shape"},
  };
  for (const DamagedJoint& c : cases) {
    SCOPED_TRACE(c.name);
    const EncoderFrameView view = loadDamaged(c);
    try {
      run(view, 0, false);
      ADD_FAILURE() << "ran";
    } catch (const platform::MLModelError& e) {
      EXPECT_NE(e.description().find(c.description), std::string::npos) << e.description();
    }
  }
}

}  // namespace
}  // namespace tesselaudio
