#include "speech/Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using testsupport::EchoOutput;
using Continuation = SegmentationChunkContinuation;

constexpr std::int64_t kWindow = 160000;
constexpr std::int64_t kStep = 32000;
constexpr std::int64_t kFrames = 589;

// A recognisable, non-repeating signal: sample i holds i / 1e7 with a sign from its 271-block.
std::vector<float> ramp(std::int64_t samples) {
  std::vector<float> values(static_cast<std::size_t>(samples));
  for (std::int64_t i = 0; i < samples; ++i) {
    values[static_cast<std::size_t>(i)] = static_cast<float>(i) * 1e-7f * ((i / 271) % 2 == 0 ? 1.0f : -1.0f);
  }
  return values;
}

// Wraps an array source and counts every sample it hands out, and every call.
class CountingSource final : public AudioSampleSource {
 public:
  struct Read {
    std::int64_t offset, count;
    bool operator==(const Read&) const = default;
  };

  explicit CountingSource(std::vector<float> samples)
      : inner_(std::move(samples)), readsPerSample_(inner_.samples().size(), 0) {}

  std::int64_t sampleCount() const override { return inner_.sampleCount(); }
  void copySamples(float* destination, std::int64_t offset, std::int64_t count) const override {
    calls_.push_back({offset, count});
    const auto span = clampedSpan(sampleCount(), offset, count);
    for (std::int64_t i = span.start; i < span.start + span.n; ++i) ++readsPerSample_[static_cast<std::size_t>(i)];
    inner_.copySamples(destination, offset, count);
  }

  const std::vector<int>& readsPerSample() const { return readsPerSample_; }
  const std::vector<Read>& calls() const { return calls_; }

 private:
  ArrayAudioSampleSource inner_;
  mutable std::vector<int> readsPerSample_;
  mutable std::vector<Read> calls_;
};

// Scores for the echo models: window 0's first samples, frame after frame, with class 1 on top
// unless a test puts another class there.
class EchoScores {
 public:
  explicit EchoScores(std::int64_t classes, std::int64_t samples = 8000) : classes_(classes), audio_(samples, 0.0f) {
    for (std::int64_t f = 0; f < kFrames; ++f) set(f, 1, 2.0f);
  }
  EchoScores& set(std::int64_t frame, std::int64_t c, float score) {
    audio_[static_cast<std::size_t>(frame * classes_ + c)] = score;
    return *this;
  }
  const std::vector<float>& audio() const { return audio_; }

 private:
  std::int64_t classes_;
  std::vector<float> audio_;
};

class OfflineSegmentationProcessorTest : public testing::Test {
 protected:
  OfflineSegmentationProcessorTest() { AppLogger::setMirrorsToConsole(false); }
  ~OfflineSegmentationProcessorTest() override { AppLogger::setMirrorsToConsole(true); }

  std::shared_ptr<platform::MLModel> load(const testsupport::ModelBuilder& builder) {
    return std::make_shared<platform::MLModel>(builder.writeBundle(folder_.path()));
  }

  SegmentationOutput run(const AudioSampleSource& source, const platform::MLModel& model,
                         const OfflineDiarizerConfig& config = OfflineDiarizerConfig::default_(),
                         const SegmentationChunkHandler& handler = {}, std::stop_token stop = {}) {
    return processor_.process(source, model, config, handler, stop);
  }

  // The pooled input of batches of `windows` windows.
  std::shared_ptr<platform::MLMultiArray> pooledInput(std::int64_t windows) {
    return processor_.memoryOptimizer().getPooledBuffer(
        "offline_segmentation_audio_" + std::to_string(windows) + "_160000", {windows, 1, kWindow},
        platform::MLMultiArrayDataType::float32);
  }

  // Expects slot k of `input` to hold the window starting at starts[k], zero past the recording.
  static void expectSlotsHoldWindows(const platform::MLMultiArray& input, const std::vector<float>& samples,
                                     const std::vector<std::int64_t>& starts) {
    const auto* data = static_cast<const float*>(input.dataPointer());
    for (std::size_t k = 0; k < starts.size(); ++k) {
      SCOPED_TRACE("window starting at " + std::to_string(starts[k]));
      const float* slot = data + static_cast<std::int64_t>(k) * input.strides()[0];
      std::int64_t mismatches = 0;
      for (std::int64_t i = 0; i < kWindow; ++i) {
        const std::int64_t at = starts[k] + i;
        const float expected = at < static_cast<std::int64_t>(samples.size()) ? samples[static_cast<std::size_t>(at)] : 0.0f;
        if (slot[i] != expected) ++mismatches;
      }
      EXPECT_EQ(mismatches, 0);
    }
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "OfflineSegmentation") out.push_back(record.message);
    }
    return out;
  }

  bool logged(const std::string& prefix) const {
    const auto all = messages();
    return std::any_of(all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); });
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
  OfflineSegmentationProcessor processor_;
};

TEST_F(OfflineSegmentationProcessorTest, WindowsStartAtEveryStepBelowTheEnd) {
  struct Case {
    const char* name;
    std::int64_t samples;
    std::int64_t windows;
  };
  const Case cases[] = {
      {"tenSeconds", 160000, 5},
      {"sixtySeconds", 960000, 30},
      {"shorterThanAStep", 20000, 1},
  };
  const auto model = load(testsupport::dcSegmentationModel());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto samples = ramp(c.samples);
    const auto output = run(ArrayAudioSampleSource(samples), *model);

    std::vector<std::int64_t> starts;
    std::vector<double> offsets;
    for (std::int64_t k = 0; k < c.windows; ++k) {
      starts.push_back(k * kStep);
      offsets.push_back(static_cast<double>(k * kStep) / 16000.0);
    }
    EXPECT_EQ(output.chunkOffsets, offsets);
    EXPECT_EQ(output.numChunks, c.windows);
    EXPECT_EQ(output.numFrames, kFrames);
    EXPECT_EQ(output.numSpeakers, 3);
    EXPECT_DOUBLE_EQ(output.frameDuration, 10.0 / 589.0);
    ASSERT_EQ(output.logProbs.size(), static_cast<std::size_t>(c.windows));
    ASSERT_EQ(output.speakerWeights.size(), static_cast<std::size_t>(c.windows));
    EXPECT_EQ(output.logProbs[0].size(), static_cast<std::size_t>(kFrames));
    EXPECT_EQ(output.logProbs[0][0].size(), 7u);
    EXPECT_EQ(output.speakerWeights[0][0].size(), 3u);
    // One batch holds them all, under the pool key of its size.
    expectSlotsHoldWindows(*pooledInput(c.windows), samples, starts);
  }
}

TEST_F(OfflineSegmentationProcessorTest, PaddedShortRecordingSpeaksOnlyWhereItHasSamples) {
  const auto model = load(testsupport::dcSegmentationModel());
  // +0.5 is local speaker 0, -0.5 local speaker 1; 20,000 samples fill frames 0 to 72.
  std::vector<float> samples(20000, 0.5f);
  std::fill(samples.begin() + 10000, samples.end(), -0.5f);
  const auto output = run(ArrayAudioSampleSource(samples), *model);
  ASSERT_EQ(output.numChunks, 1);
  const auto& weights = output.speakerWeights[0];
  EXPECT_EQ(weights[0], (std::vector<float>{1, 0, 0}));
  EXPECT_EQ(weights[40], (std::vector<float>{0, 1, 0}));
  EXPECT_EQ(weights[100], (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(weights[588], (std::vector<float>{0, 0, 0}));
}

TEST_F(OfflineSegmentationProcessorTest, HundredWindowsGoInBatchesOfThirtyTwoWithRunningIndices) {
  const auto model = load(testsupport::dcSegmentationModel());
  const auto samples = ramp(100 * kStep);
  std::vector<SegmentationChunk> chunks;
  const auto output = run(ArrayAudioSampleSource(samples), *model, OfflineDiarizerConfig::default_(),
                          [&](const SegmentationChunk& chunk) {
                            chunks.push_back(chunk);
                            return Continuation::proceed;
                          });
  EXPECT_EQ(output.numChunks, 100);
  ASSERT_EQ(chunks.size(), 100u);
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    EXPECT_EQ(chunks[k].chunkIndex, static_cast<std::int64_t>(k));
    EXPECT_EQ(chunks[k].chunkOffsetSeconds, output.chunkOffsets[k]);
    EXPECT_EQ(chunks[k].frameDuration, output.frameDuration);
    EXPECT_EQ(chunks[k].logProbs, output.logProbs[k]);
    EXPECT_EQ(chunks[k].speakerWeights, output.speakerWeights[k]);
  }
  // The last full batch held windows 64 to 95 and the last batch windows 96 to 99, read across
  // batch boundaries from the kept overlap.
  std::vector<std::int64_t> lastFull, tail;
  for (std::int64_t k = 64; k < 96; ++k) lastFull.push_back(k * kStep);
  for (std::int64_t k = 96; k < 100; ++k) tail.push_back(k * kStep);
  expectSlotsHoldWindows(*pooledInput(32), samples, lastFull);
  expectSlotsHoldWindows(*pooledInput(4), samples, tail);
}

TEST_F(OfflineSegmentationProcessorTest, HandlerThatStopsIsNotCalledAgainAndEveryWindowIsReturned) {
  const auto model = load(testsupport::dcSegmentationModel());
  auto config = OfflineDiarizerConfig::default_();
  config.segmentation.batchSize = 2;
  std::vector<std::int64_t> seen;
  const auto output = run(ArrayAudioSampleSource(ramp(160000)), *model, config, [&](const SegmentationChunk& chunk) {
    seen.push_back(chunk.chunkIndex);
    return Continuation::stop;
  });
  EXPECT_EQ(seen, std::vector<std::int64_t>{0});
  EXPECT_EQ(output.numChunks, 5);
}

TEST_F(OfflineSegmentationProcessorTest, OverlapIsReadOnceAndWindowsWithoutOverlapWhole) {
  const auto model = load(testsupport::dcSegmentationModel());
  {
    SCOPED_TRACE("step below the window");
    CountingSource source(ramp(1000000));
    auto config = OfflineDiarizerConfig::default_();
    config.segmentation.batchSize = 7;
    run(source, *model, config);
    EXPECT_TRUE(std::all_of(source.readsPerSample().begin(), source.readsPerSample().end(),
                            [](int reads) { return reads == 1; }));
  }
  {
    SCOPED_TRACE("step ratio 1.0");
    const auto samples = ramp(500000);
    CountingSource source(samples);
    auto config = OfflineDiarizerConfig::default_();
    config.segmentation.stepRatio = 1.0;
    config.segmentation.batchSize = 2;
    const auto output = run(source, *model, config);
    EXPECT_EQ(output.chunkOffsets, (std::vector<double>{0, 10, 20, 30}));
    EXPECT_EQ(source.calls(), (std::vector<CountingSource::Read>{{0, 160000}, {160000, 160000}, {320000, 160000},
                                                                 {480000, 20000}}));
    expectSlotsHoldWindows(*pooledInput(2), samples, {320000, 480000});
  }
}

TEST_F(OfflineSegmentationProcessorTest, RecordingWithoutSamplesOrWindowsFails) {
  const auto model = load(testsupport::dcSegmentationModel());
  try {
    run(ArrayAudioSampleSource({}), *model);
    ADD_FAILURE() << "no error";
  } catch (const OfflineDiarizationError& error) {
    EXPECT_EQ(error.errorCode(), OfflineDiarizationError::Code::noSpeechDetected);
  }
  auto config = OfflineDiarizerConfig::default_();
  config.segmentation.batchSize = 0;
  try {
    run(ArrayAudioSampleSource(ramp(1000)), *model, config);
    ADD_FAILURE() << "no error";
  } catch (const OfflineDiarizationError& error) {
    EXPECT_EQ(error.description(), "Processing failed: Segmentation produced no analysis windows");
  }
}

TEST_F(OfflineSegmentationProcessorTest, WinningClassGivesTheFrameItsSpeakers) {
  const auto model = load(testsupport::echoOfflineSegmentationModel(0));
  EchoScores scores(7);
  scores.set(0, 0, 3.0f).set(1, 5, 3.0f).set(2, 2, 3.0f).set(2, 4, 3.0f);
  const auto output = run(ArrayAudioSampleSource(scores.audio()), *model);
  ASSERT_EQ(output.numChunks, 1);
  const auto& weights = output.speakerWeights[0];
  EXPECT_EQ(weights[0], (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(weights[1], (std::vector<float>{1, 0, 1}));
  EXPECT_EQ(weights[2], (std::vector<float>{0, 1, 0}));
  EXPECT_EQ(weights[3], (std::vector<float>{1, 0, 0}));
  // Frame 0 alone is silent.
  EXPECT_TRUE(logged("Segmentation histogram: speechFrames=588 totalFrames=589 speechRatio=0.998 avgNonSpeechProb="));
  EXPECT_TRUE(logged("Winning speaker probability stats: count=588, avg="));

  for (std::size_t f = 0; f < output.logProbs[0].size(); ++f) {
    const auto& row = output.logProbs[0][f];
    ASSERT_EQ(row.size(), 7u);
    double sum = 0;
    for (float logProb : row) sum += std::exp(static_cast<double>(logProb));
    EXPECT_NEAR(sum, 1.0, 1e-5) << "frame " << f;
  }
  // Log-softmax of (0, 2, 0, ...): the scores less log(6 + e^2).
  EXPECT_NEAR(output.logProbs[0][3][1], 2.0 - std::log(6.0 + std::exp(2.0)), 1e-5);
}

TEST_F(OfflineSegmentationProcessorTest, ClassesBeyondThePowersetMapToAllThreeSpeakers) {
  const auto model = load(testsupport::echoOfflineSegmentationModel(0, 9));
  EchoScores scores(9);
  scores.set(0, 7, 3.0f).set(1, 8, 3.0f);
  const auto output = run(ArrayAudioSampleSource(scores.audio()), *model);
  EXPECT_EQ(output.speakerWeights[0][0], (std::vector<float>{1, 1, 1}));
  EXPECT_EQ(output.speakerWeights[0][1], (std::vector<float>{1, 1, 1}));
  EXPECT_EQ(output.speakerWeights[0][2], (std::vector<float>{1, 0, 0}));
  EXPECT_EQ(output.logProbs[0][0].size(), 9u);
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) {
    return r.level == platform::SystemLog::Level::error &&
           r.message == "Segmentation model returned 9 classes but only 8 powerset entries available";
  }));
}

TEST_F(OfflineSegmentationProcessorTest, FindsTheScoresUnderOtherNames) {
  for (const auto output : {EchoOutput::logProbs, EchoOutput::otherName}) {
    SCOPED_TRACE(static_cast<int>(output));
    const auto model = load(testsupport::echoOfflineSegmentationModel(0, 7, output));
    EchoScores scores(7);
    scores.set(0, 4, 3.0f);
    const auto result = run(ArrayAudioSampleSource(scores.audio()), *model);
    EXPECT_EQ(result.speakerWeights[0][0], (std::vector<float>{1, 1, 0}));
  }
}

TEST_F(OfflineSegmentationProcessorTest, TwoDimensionalOutputDecodesTheFirstWindowOfEachBatch) {
  const auto model = load(testsupport::echoOfflineSegmentationModel(0, 7, EchoOutput::twoDimensional));
  EchoScores scores(7, 40000);  // two windows, one batch
  scores.set(0, 6, 3.0f);
  const auto output = run(ArrayAudioSampleSource(scores.audio()), *model);
  EXPECT_EQ(output.numChunks, 1);
  EXPECT_EQ(output.chunkOffsets, std::vector<double>{0.0});
  EXPECT_EQ(output.speakerWeights[0][0], (std::vector<float>{0, 1, 1}));

  auto single = OfflineDiarizerConfig::default_();
  single.segmentation.batchSize = 1;
  EXPECT_EQ(run(ArrayAudioSampleSource(scores.audio()), *model, single).chunkOffsets,
            (std::vector<double>{0.0, 2.0}));
}

TEST_F(OfflineSegmentationProcessorTest, OutputOfAnotherRankFails) {
  const auto model = load(testsupport::echoOfflineSegmentationModel(0, 7, EchoOutput::rankFour));
  int handled = 0;
  try {
    run(ArrayAudioSampleSource(EchoScores(7, 20000).audio()), *model, OfflineDiarizerConfig::default_(),
        [&](const SegmentationChunk&) {
          ++handled;
          return Continuation::proceed;
        });
    ADD_FAILURE() << "no error";
  } catch (const OfflineDiarizationError& error) {
    EXPECT_EQ(error.description(), "Processing failed: Unexpected segmentation output shape [1, 2, 589, 7]");
  }
  EXPECT_EQ(handled, 0);
}

TEST_F(OfflineSegmentationProcessorTest, WritesStatisticsAndOneProfilingLine) {
  const auto model = load(testsupport::dcSegmentationModel());
  std::string profiling;
  {
    testsupport::OutputCapture stderrCapture(STDERR_FILENO);
    run(ArrayAudioSampleSource(std::vector<float>(160000, 0.5f)), *model);
    profiling = stderrCapture.text();
  }
  EXPECT_TRUE(profiling.starts_with("[Profiling] Segmentation timings: windows=5 prepareTotal=")) << profiling;
  EXPECT_NE(profiling.find("ms (perWindow="), std::string::npos) << profiling;
  EXPECT_NE(profiling.find("ms) predictionTotal="), std::string::npos) << profiling;
  EXPECT_TRUE(profiling.ends_with("ms)\n")) << profiling;
  EXPECT_EQ(std::count(profiling.begin(), profiling.end(), '\n'), 1);

  const auto all = messages();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front(), "Offline segmentation: chunkSize=160000, stepSize=32000, totalSamples=160000");
  // Window 0 speaks as speaker 0 throughout; the others are speaker 0 until the recording ends.
  EXPECT_TRUE(logged("Chunk 0 speaker frame counts: [589, 0, 0]"));
  EXPECT_TRUE(logged("Segmentation mask speech frames = "));
  EXPECT_TRUE(logged("Winning probability distribution \u22650.500:"));
  EXPECT_TRUE(logged("Empty-class probability on speech frames: avg="));
  EXPECT_TRUE(logged(profiling.substr(12, profiling.size() - 13)));
  EXPECT_EQ(std::count(all.begin(), all.end(), "Chunk 0 speaker frame counts: [589, 0, 0]"), 1);
}

TEST_F(OfflineSegmentationProcessorTest, UnwritableStandardErrorIsLoggedAndTheResultStillReturned) {
  const auto model = load(testsupport::dcSegmentationModel());
  const int saved = ::dup(STDERR_FILENO);
  const int readOnly = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(saved, 0);
  ASSERT_GE(readOnly, 0);
  ::dup2(readOnly, STDERR_FILENO);
  SegmentationOutput output;
  EXPECT_NO_THROW(output = run(ArrayAudioSampleSource(ramp(20000)), *model));
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(readOnly);

  EXPECT_EQ(output.numChunks, 1);
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) {
    return r.category == "OfflineSegmentation" &&
           r.message == "Failed to write profiling log: Bad file descriptor";
  }));
}

TEST_F(OfflineSegmentationProcessorTest, FailedWarmUpIsLoggedAndSegmentationGoesOn) {
  // A model fixed at two windows per call refuses the one-window warm-up.
  const auto model = load(testsupport::echoOfflineSegmentationModel(0, 7, EchoOutput::segments, 2));
  auto config = OfflineDiarizerConfig::default_();
  config.segmentation.batchSize = 2;
  const auto output = run(ArrayAudioSampleSource(EchoScores(7, 60000).audio()), *model, config);
  EXPECT_EQ(output.numChunks, 2);
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) {
    return r.level == platform::SystemLog::Level::debug &&
           r.message.starts_with("Segmentation warmup skipped due to error: ");
  }));
}

TEST_F(OfflineSegmentationProcessorTest, StopEndsTheRunBeforeTheNextBatch) {
  const auto model = load(testsupport::dcSegmentationModel());
  const ArrayAudioSampleSource source(ramp(160000));
  std::stop_source before;
  before.request_stop();
  EXPECT_THROW(run(source, *model, OfflineDiarizerConfig::default_(), {}, before.get_token()),
               platform::CancellationError);

  auto config = OfflineDiarizerConfig::default_();
  config.segmentation.batchSize = 1;
  std::stop_source during;
  int handled = 0;
  EXPECT_THROW(run(source, *model, config,
                   [&](const SegmentationChunk&) {
                     ++handled;
                     during.request_stop();
                     return Continuation::proceed;
                   },
                   during.get_token()),
               platform::CancellationError);
  EXPECT_EQ(handled, 1);
}

TEST_F(OfflineSegmentationProcessorTest, PowersetTable) {
  EXPECT_EQ(OfflineSegmentationProcessor::powerset(),
            (std::vector<std::vector<std::int64_t>>{{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}, {0, 1, 2}}));
}

}  // namespace
}  // namespace tesselaudio
