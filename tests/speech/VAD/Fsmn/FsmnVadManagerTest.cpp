#include "speech/VAD/Fsmn/FsmnVadManager.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/audio/AudioError.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/FrameMeanPreprocessor.h"
#include "tests/support/FsmnVadModelBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::ElementType;
using testsupport::FsmnVadScorerOptions;
using testsupport::ModelBuilder;

constexpr std::size_t kFrame = FsmnVadManager::kFrameSamples;

// Audio whose frame j has silence probability silence[j] under the stand-ins.
std::vector<float> audioFor(const std::vector<float>& silence) {
  std::vector<float> audio;
  audio.reserve(silence.size() * kFrame);
  for (float p : silence) audio.insert(audio.end(), kFrame, p / 32768.0f);
  return audio;
}

// Speech (0.1) and pauses (0.9) in turn, crossing chunk boundaries: speech in 700 of every 2,300
// frames, starting at 400, and a long run from 7,000 to 14,000.
std::vector<float> mixedSilence(std::size_t frames) {
  std::vector<float> silence(frames, 0.9f);
  for (std::size_t j = 0; j < frames; ++j) {
    if ((j % 2300 >= 400 && j % 2300 < 1100) || (j >= 7000 && j < 14000)) silence[j] = 0.1f;
  }
  return silence;
}

class FsmnVadManagerTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  std::unique_ptr<FsmnVadManager> manager(const ModelBuilder& preprocessor = testsupport::fsmnVadPreprocessor(),
                                          const ModelBuilder& scorer = testsupport::fsmnVadScorer()) {
    const fs::path folder = folder_.path() / std::to_string(made_++);
    auto pre = std::make_shared<platform::MLModel>(preprocessor.writeBundle(folder));
    auto score = std::make_shared<platform::MLModel>(scorer.writeBundle(folder));
    return std::make_unique<FsmnVadManager>(FsmnVadModels(std::move(pre), std::move(score)));
  }

  testsupport::TemporaryFolder folder_;
  int made_ = 0;
};

TEST_F(FsmnVadManagerTest, NoSamplesGiveNoSegments) {
  // A preprocessor that fails on an empty waveform shows that none runs.
  const auto vad = manager(testsupport::fsmnVadFixedFramesPreprocessor(10));
  EXPECT_TRUE(vad->silenceProbabilities({}).empty());
  EXPECT_TRUE(vad->detect(std::vector<float>{}).empty());
}

TEST_F(FsmnVadManagerTest, ScoresEachChunkWithTheSmallestInputThatHoldsIt) {
  struct Case {
    const char* name;
    std::size_t samples, frames;
    std::int64_t scorerFrames;
  };
  const Case cases[] = {
      {"lessThanAFrame", 159, 0, 512},
      {"fourHundredFrames", 400 * kFrame, 400, 512},
      {"exactly512", 512 * kFrame, 512, 512},
      {"513", 513 * kFrame + 159, 513, 1024},
      {"2049", 2049 * kFrame, 2049, 3072},
      {"aWholeChunk", 488'320, 3052, 3072},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FsmnVadScorerOptions options;
    options.acceptedFrames = {c.scorerFrames};
    const auto vad = manager(testsupport::fsmnVadPreprocessor(), testsupport::fsmnVadScorer(options));
    const auto silence = vad->silenceProbabilities(std::vector<float>(c.samples, 0.5f / 32768.0f));
    ASSERT_EQ(silence.size(), c.frames);
    for (float p : silence) ASSERT_FLOAT_EQ(p, 0.5f);
  }
}

TEST_F(FsmnVadManagerTest, LaterChunksContinueFrameByFrame) {
  // Frame j carries j ÷ 8192: exact through the scaling and the mean, so each value tells its frame.
  const std::size_t frames = 6000;
  std::vector<float> tagged(frames);
  for (std::size_t j = 0; j < frames; ++j) tagged[j] = static_cast<float>(j) / 8192.0f;
  const auto audio = audioFor(tagged);
  ASSERT_EQ(audio.size(), 960'000u);

  const auto silence = manager()->silenceProbabilities(audio);
  ASSERT_EQ(silence.size(), frames);
  for (std::size_t j = 0; j < frames; ++j) ASSERT_EQ(silence[j], tagged[j]) << "frame " << j;
}

TEST_F(FsmnVadManagerTest, DetectGivesWhatDecideGivesOnTheAudiosProbabilities) {
  struct Case {
    const char* name;
    std::vector<float> silence;
  };
  std::vector<float> worked(1000, 0.9f);
  for (std::size_t j = 100; j < 200; ++j) worked[j] = 0.1f;
  const Case cases[] = {
      {"workedExample", worked},
      {"threeChunks", mixedSilence(9000)},
      {"cutAfterSixtySecondsAcrossChunks", mixedSilence(16000)},
  };
  const auto vad = manager();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto expected = FsmnVadManager::decide(c.silence);
    EXPECT_EQ(vad->detect(audioFor(c.silence)), expected);
    EXPECT_FALSE(expected.empty());
  }
  EXPECT_EQ(vad->detect(audioFor(worked)), (std::vector<FsmnVadSegment>{{790, 2130}}));
}

TEST_F(FsmnVadManagerTest, ReadsHalfFloatScoresByElement) {
  FsmnVadScorerOptions options;
  options.outputType = ElementType::float16;
  const auto audio = audioFor(mixedSilence(4000));
  EXPECT_EQ(manager(testsupport::fsmnVadPreprocessor(), testsupport::fsmnVadScorer(options))->detect(audio),
            manager()->detect(audio));
}

TEST_F(FsmnVadManagerTest, DetectsInAnAacFile) {
  const fs::path file = folder_.path() / "silence.m4a";
  // Zeros are frames of silence probability 0 under the stand-ins: speech throughout.
  testsupport::writeAac(file, 44100, {std::vector<float>(3 * 44100, 0.0f)});
  const auto samples = AudioConverter().resampleAudioFile(file);
  ASSERT_GT(samples.size(), 2 * 16000u);

  const auto segments = manager()->detect(file);
  EXPECT_EQ(segments, (std::vector<FsmnVadSegment>{{0, static_cast<int>(samples.size() / kFrame * 10)}}));
}

TEST_F(FsmnVadManagerTest, AnUnreadableFilePassesTheReadersErrorOn) {
  const fs::path file = folder_.path() / "notes.m4a";
  { std::ofstream(file) << "not audio"; }
  EXPECT_THROW(manager()->detect(file), platform::AudioError);
}

TEST_F(FsmnVadManagerTest, FaultyOutputsEndTheCallWithTheirMessage) {
  struct Case {
    const char* name;
    ModelBuilder preprocessor;
    ModelBuilder scorer;
    std::size_t samples;
    const char* description;
  };
  FsmnVadScorerOptions elsewhere;
  elsewhere.outputName = "logits";
  FsmnVadScorerOptions tenRows;
  tenRows.rows = 10;
  const Case cases[] = {
      {"noFeatures", testsupport::frameMeanPreprocessor("FsmnVadPreprocessor", "waveform", "spectrum", 400),
       testsupport::fsmnVadScorer(), 16000, "ASR processing failed: FSMN-VAD preprocessor produced no `features`"},
      {"noScores", testsupport::fsmnVadPreprocessor(), testsupport::fsmnVadScorer(elsewhere), 16000,
       "ASR processing failed: FSMN-VAD scorer produced no `scores`"},
      {"moreFramesThanTheScorerTakes", testsupport::fsmnVadFixedFramesPreprocessor(3100), testsupport::fsmnVadScorer(),
       16000, "ASR processing failed: FSMN-VAD preprocessor produced 3100 frames; at most 3072 fit"},
      {"narrowFeatures", testsupport::frameMeanPreprocessor("FsmnVadPreprocessor", "waveform", "features", 200),
       testsupport::fsmnVadScorer(), 16000,
       "ASR processing failed: FSMN-VAD preprocessor produced `features` of shape [1, 100, 200]; 100 frames need "
       "40000 values"},
      {"fewerScoreRowsThanFrames", testsupport::fsmnVadPreprocessor(), testsupport::fsmnVadScorer(tenRows), 16000,
       "ASR processing failed: FSMN-VAD scorer produced `scores` of shape [1, 10, 2] for 100 frames"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto vad = manager(c.preprocessor, c.scorer);
    const std::vector<float> audio(c.samples, 0.1f / 32768.0f);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { vad->detect(audio); }), c.description);
  }
}

TEST_F(FsmnVadManagerTest, AFailingLaterChunkEndsTheCallWithoutSegments) {
  // The scorer takes only 3,072 frames: the first chunk fits, the second (700 frames) does not.
  FsmnVadScorerOptions options;
  options.acceptedFrames = {3072};
  const auto vad = manager(testsupport::fsmnVadPreprocessor(), testsupport::fsmnVadScorer(options));
  EXPECT_THROW(vad->detect(std::vector<float>(600'000, 0.1f / 32768.0f)), platform::MLModelError);
}

TEST_F(FsmnVadManagerTest, APreprocessorGivingTooFewFramesEndsAfterItsFirstChunk) {
  // The next chunk would start two frames before the end of what is covered: below sample 0 for
  // one frame, at sample 0 again for two.
  for (std::int64_t frames : {1, 2}) {
    SCOPED_TRACE(frames);
    const auto vad = manager(testsupport::fsmnVadFixedFramesPreprocessor(frames));
    const auto silence = vad->silenceProbabilities(std::vector<float>(960'000, 0.1f / 32768.0f));
    EXPECT_EQ(silence, std::vector<float>(static_cast<std::size_t>(frames), 0.1f));
  }
}

}  // namespace
}  // namespace tesselaudio
