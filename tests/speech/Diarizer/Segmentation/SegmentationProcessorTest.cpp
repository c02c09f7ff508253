#include "speech/Diarizer/Segmentation/SegmentationProcessor.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "speech/Diarizer/Core/DiarizerError.h"
#include "tests/support/DiarizerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using testsupport::kDiarizerChunkSamples;
using testsupport::kSegmentationClasses;
using testsupport::kSegmentationFrames;
using Frame = std::vector<float>;
using ClassScores = std::array<float, 7>;

class SegmentationProcessorTest : public ::testing::Test {
 protected:
  std::shared_ptr<const platform::MLModel> load(const testsupport::ModelBuilder& builder) {
    const auto folder = folder_ / std::to_string(models_++);
    return std::make_shared<const platform::MLModel>(builder.writeBundle(folder));
  }

  // A chunk whose samples from `offset` on read as the class scores of consecutive frames.
  static std::vector<float> audioWithScores(std::int64_t offset, const std::vector<ClassScores>& frames,
                                            std::size_t samples = kDiarizerChunkSamples) {
    std::vector<float> audio(samples, 0.0f);
    for (std::size_t f = 0; f < frames.size(); ++f) {
      for (std::size_t c = 0; c < 7; ++c) audio[static_cast<std::size_t>(offset) + f * 7 + c] = frames[f][c];
    }
    return audio;
  }

  testsupport::TemporaryFolder folder_;
  int models_ = 0;
  SegmentationProcessor processor_;
};

TEST_F(SegmentationProcessorTest, BestClassOfEachFrameBecomesItsLocalSpeakers) {
  struct Case {
    const char* name;
    ClassScores scores;
    Frame activity;
  };
  const Case cases[] = {
      {"class 4: speakers 0 and 1", {0.1f, 0.2f, 0.1f, 0.0f, 0.9f, 0.3f, 0.2f}, {1, 1, 0}},
      {"class 0: nobody", {0.8f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, {0, 0, 0}},
      {"class 6: speakers 1 and 2", {0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}, {0, 1, 1}},
      {"class 1: speaker 0", {-1.0f, 2.0f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f}, {1, 0, 0}},
      {"class 3: speaker 2", {0, 0, 0, 5, 0, 0, 0}, {0, 0, 1}},
      {"class 5: speakers 0 and 2", {0, 0, 0, 0, 0, 3, 0}, {1, 0, 1}},
      {"tie of classes 2 and 5: the lower wins", {0.1f, 0.1f, 0.7f, 0.1f, 0.1f, 0.7f, 0.1f}, {0, 1, 0}},
  };
  std::vector<ClassScores> frames;
  for (const auto& c : cases) frames.push_back(c.scores);
  const std::int64_t offset = 7000;
  const auto model = load(testsupport::echoSegmentationModel(offset));

  const auto output = processor_.getSegments(audioWithScores(offset, frames), *model, kDiarizerChunkSamples);

  ASSERT_EQ(output.segments.size(), 1u);
  ASSERT_EQ(output.segments[0].size(), static_cast<std::size_t>(kSegmentationFrames));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(output.segments[0][i], cases[i].activity);
  }
  // Frames of equal (zero) scores read class 0.
  EXPECT_EQ(output.segments[0].back(), (Frame{0, 0, 0}));
  ASSERT_NE(output.featureProvider, nullptr);
  const auto segments = output.featureProvider->featureValue("segments");
  ASSERT_NE(segments, nullptr);
  EXPECT_EQ(segments->multiArrayValue()->shape(), (std::vector<std::int64_t>{1, 589, 7}));
}

TEST_F(SegmentationProcessorTest, ShortSliceIsZeroPadded) {
  // Frames 0 to 9 come from before sample 80,000, frames 10 on from after it.
  const std::int64_t offset = 80000 - 10 * 7;
  const ClassScores class4{0, 0, 0, 0, 1, 0, 0};
  // The buffer holds the pattern past the slice too: only the slice may reach the model.
  const auto buffer = audioWithScores(offset, std::vector<ClassScores>(kSegmentationFrames, class4));
  const auto model = load(testsupport::echoSegmentationModel(offset));

  const auto output = processor_.getSegments(std::span(buffer).first(80000), *model, kDiarizerChunkSamples);

  const auto& frames = output.segments.at(0);
  for (std::size_t f = 0; f < frames.size(); ++f) {
    SCOPED_TRACE(f);
    EXPECT_EQ(frames[f], (f < 10 ? Frame{1, 1, 0} : Frame{0, 0, 0}));
  }
}

TEST_F(SegmentationProcessorTest, MissingSegmentsOutputFails) {
  const auto model = load(testsupport::echoSegmentationModel(0, {1, 589, 7}, "logits"));
  try {
    processor_.getSegments(std::vector<float>(kDiarizerChunkSamples, 0.0f), *model, kDiarizerChunkSamples);
    FAIL() << "expected processingFailed";
  } catch (const DiarizerError& error) {
    EXPECT_EQ(error.errorCode(), DiarizerError::Code::processingFailed);
    EXPECT_EQ(error.description(), "Processing failed: Missing segments output from segmentation model");
  }
}

TEST_F(SegmentationProcessorTest, OutputsOutsideThePowersetDesignAreRefused) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> shape;
  };
  const Case cases[] = {
      {"two dimensions", {589, 7}},
      {"one dimension", {4123}},
      {"no frames", {1, 0, 7}},
      {"eight classes", {1, 589, 8}},
  };
  // Scores that peak at a class beyond 6 if a frame of eight were read.
  std::vector<float> audio(kDiarizerChunkSamples, 0.0f);
  for (std::size_t i = 7; i < audio.size(); i += 8) audio[i] = 1.0f;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto model = load(testsupport::echoSegmentationModel(0, c.shape));
    try {
      processor_.getSegments(audio, *model, kDiarizerChunkSamples);
      ADD_FAILURE() << "expected processingFailed";
    } catch (const DiarizerError& error) {
      EXPECT_EQ(error.errorCode(), DiarizerError::Code::processingFailed);
    }
  }
}

TEST_F(SegmentationProcessorTest, PredictionErrorPassesUnchanged) {
  const auto model = load(testsupport::failingSegmentationModel());
  EXPECT_THROW(processor_.getSegments(std::vector<float>(kDiarizerChunkSamples, 0.0f), *model,
                                      kDiarizerChunkSamples),
               platform::MLModelError);
}

TEST_F(SegmentationProcessorTest, AlignedAndListConversionsAgree) {
  const unsigned seed = 589;
  std::printf("SegmentationProcessorTest seed: %u\n", seed);
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> score(-4.0f, 4.0f);
  // Coarse values as well, so that ties between classes occur.
  std::uniform_int_distribution<int> coarse(0, 2);
  SegmentationProcessor::Scores scores(3, std::vector<Frame>(kSegmentationFrames, Frame(7)));
  for (std::size_t b = 0; b < scores.size(); ++b) {
    for (auto& frame : scores[b]) {
      for (float& value : frame) value = b == 1 ? static_cast<float>(coarse(random)) : score(random);
    }
  }
  // A frame of fewer classes and one without scores.
  scores[2][5] = {0.1f, 0.3f};
  scores[2][6] = {};

  const auto optimized = processor_.powersetConversionOptimized(scores);
  const auto fallback = processor_.powersetConversionFallback(scores);
  EXPECT_EQ(optimized, fallback);
  ASSERT_EQ(optimized.size(), 3u);
  EXPECT_EQ(optimized[2][5], (Frame{1, 0, 0}));
  EXPECT_EQ(optimized[2][6], (Frame{0, 0, 0}));
}

TEST_F(SegmentationProcessorTest, ConversionsRefuseScoresOutsideTheDesign) {
  struct Case {
    const char* name;
    SegmentationProcessor::Scores scores;
  };
  const Case cases[] = {
      {"no batch", {}},
      {"batches of unequal length", {{Frame(7), Frame(7)}, {Frame(7)}}},
      {"a frame of eight classes", {{Frame(7), Frame{0, 0, 0, 0, 0, 0, 0, 1}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(processor_.powersetConversionOptimized(c.scores), DiarizerError);
    EXPECT_THROW(processor_.powersetConversionFallback(c.scores), DiarizerError);
  }
}

}  // namespace
}  // namespace tesselaudio
