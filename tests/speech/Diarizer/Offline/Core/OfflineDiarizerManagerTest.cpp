#include "speech/Diarizer/Offline/Core/OfflineDiarizerManager.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "tests/speech/Diarizer/Offline/Extraction/OfflineEmbeddingFixture.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

using testsupport::ElementType;
using testsupport::ModelBuilder;

constexpr std::int64_t kWindow = 160000;
constexpr std::int64_t kStep = 32000;

// Two voices taking turns in 5 s blocks, at levels the DC segmentation tells apart.
std::vector<float> voices(std::int64_t seconds) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i / 80000) % 2 == 0 ? 0.5f : -0.5f;
  return samples;
}

class ReadFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A source over `samples` that counts its reads and fails every read reaching past `failFrom`.
// A gated one holds segmentation's read of window 3 (its step-sized read at window + 2 × step)
// until the embedding worker has read window 0 (the second whole-window read at offset 0), at
// most 30 s, so that workers run one after the other fail the test instead of hanging it.
struct SourceOptions {
  std::int64_t failFrom = std::numeric_limits<std::int64_t>::max();
  bool gated = false;
};

class TestSource final : public AudioSampleSource {
 public:
  explicit TestSource(std::vector<float> samples, SourceOptions options = {})
      : inner_(std::move(samples)), failFrom_(options.failFrom), gated_(options.gated) {}

  std::int64_t sampleCount() const override { return inner_.sampleCount(); }

  void copySamples(float* destination, std::int64_t offset, std::int64_t count) const override {
    ++active_;
    struct Leave {
      std::atomic<int>& active;
      ~Leave() { --active; }
    } leave{active_};
    {
      std::unique_lock lock(mutex_);
      ++reads_;
      if (offset == 0 && count == kWindow) {
        ++wholeReadsAtZero_;
        changed_.notify_all();
      }
      if (gated_ && offset == kWindow + 2 * kStep && count == kStep) {
        gateReached_ = true;
        gateOpened_ = changed_.wait_for(lock, std::chrono::seconds(30), [&] { return wholeReadsAtZero_ >= 2; });
      }
    }
    if (offset + count > failFrom_) throw ReadFailure("read failed at " + std::to_string(offset));
    inner_.copySamples(destination, offset, count);
  }

  int reads() const {
    std::scoped_lock lock(mutex_);
    return reads_;
  }
  bool gateReached() const {
    std::scoped_lock lock(mutex_);
    return gateReached_;
  }
  bool gateOpened() const {
    std::scoped_lock lock(mutex_);
    return gateOpened_;
  }
  int activeReads() const { return active_; }

 private:
  ArrayAudioSampleSource inner_;
  std::int64_t failFrom_;
  bool gated_;
  mutable std::atomic<int> active_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable int reads_ = 0;
  mutable int wholeReadsAtZero_ = 0;
  mutable bool gateReached_ = false;
  mutable bool gateOpened_ = false;
};

// Progress calls, from whichever thread makes them.
class Progress {
 public:
  OfflineProgressCallback callback() {
    return [this](std::int64_t done, std::int64_t total) {
      std::scoped_lock lock(mutex_);
      calls_.emplace_back(done, total);
    };
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> calls() const {
    std::scoped_lock lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::int64_t, std::int64_t>> calls_;
};

class OfflineDiarizerManagerTest : public OfflineEmbeddingFixture {
 protected:
  std::unique_ptr<OfflineDiarizerManager> manager(OfflineDiarizerConfig config, OfflineDiarizerModels models) {
    auto made = std::make_unique<OfflineDiarizerManager>(std::move(config));
    made->initialize(std::move(models));
    return made;
  }

  static OfflineDiarizerConfig oneWindowPerBatch() {
    auto config = OfflineDiarizerConfig::default_();
    config.segmentation.batchSize = 1;
    return config;
  }

  testsupport::OutputCapture standardError_{STDERR_FILENO};
};

TEST(OfflineDiarizerManagerEstimateTest, ChunkEstimateRoundsUpToWholeSteps) {
  struct Case {
    const char* name;
    std::int64_t samples;
    std::int64_t estimate;
  };
  for (const Case& c : {Case{"noSamples", 0, 1}, Case{"oneStep", kStep, 1}, Case{"oneStepAndASample", kStep + 1, 2},
                        Case{"tenSeconds", kWindow, 5}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(OfflineDiarizerManager::estimatedChunkCount(c.samples, kStep), c.estimate);
  }
}

TEST_F(OfflineDiarizerManagerTest, PreparesSegmentationAndEmbeddingsTogether) {
  auto prepare = manager(OfflineDiarizerConfig::default_(), standInModels());
  const auto source = std::make_shared<TestSource>(voices(20));
  Progress progress;
  const auto prepared = prepare->prepare(source, 0.25, progress.callback());

  EXPECT_EQ(prepared.audioSource, source);
  EXPECT_EQ(prepared.segmentationChunkCount(), 10);
  EXPECT_EQ(prepared.segmentation.numChunks, 10);
  EXPECT_GT(prepared.embeddingCount(), 0);
  EXPECT_EQ(prepared.embeddingCount(), static_cast<std::int64_t>(prepared.timedEmbeddings.size()));
  EXPECT_EQ(prepared.audioLoadingSeconds, 0.25);
  EXPECT_GT(prepared.segmentationSeconds, 0);
  EXPECT_GT(prepared.embeddingExtractionSeconds, 0);
  EXPECT_GT(prepared.prepareWallSeconds, 0);
  std::vector<std::pair<std::int64_t, std::int64_t>> expected;
  for (std::int64_t k = 1; k <= 10; ++k) expected.emplace_back(k, 10);
  EXPECT_EQ(progress.calls(), expected);
  EXPECT_TRUE(logged("OfflineDiarizer", "Segmentation completed in "));
  EXPECT_TRUE(logged("OfflineDiarizer", "Embedding extraction produced " + std::to_string(prepared.embeddingCount()) +
                                            " vectors in "));
  for (const auto& m : messages("OfflineDiarizer")) {
    if (m.starts_with("Segmentation completed in ")) {
      EXPECT_TRUE(m.ends_with("s (async)")) << m;
    }
  }
}

TEST_F(OfflineDiarizerManagerTest, ProgressCarriesTheEstimateNotTheWindowCount) {
  auto prepare = manager(OfflineDiarizerConfig::default_(), standInModels());
  Progress progress;
  // One sample past a step: two windows, estimate 2.
  auto samples = voices(3);
  samples.resize(kStep + 1);
  const auto prepared = prepare->prepare(samples, progress.callback());
  EXPECT_EQ(prepared.audioLoadingSeconds, 0);
  EXPECT_EQ(progress.calls(), (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 2}, {2, 2}}));
  EXPECT_EQ(prepared.segmentationChunkCount(), 2);
}

TEST_F(OfflineDiarizerManagerTest, NothingRunsWithoutValidConfigurationOrModels) {
  auto config = OfflineDiarizerConfig::default_();
  config.clustering.threshold = 0;
  auto invalid = manager(config, standInModels());
  const auto source = std::make_shared<TestSource>(voices(20));
  Progress progress;
  EXPECT_EQ(testsupport::thrownDescription<OfflineDiarizationError>(
                [&] { invalid->prepare(source, 0, progress.callback()); }),
            "Invalid configuration: clustering.threshold must be within (0, 2], got 0.0");

  OfflineDiarizerManager withoutModels(OfflineDiarizerConfig::default_());
  EXPECT_EQ(testsupport::thrownDescription<OfflineDiarizationError>([&] { withoutModels.prepare(source, 0); }),
            "Model not loaded: offline-diarizer");
  EXPECT_EQ(source->reads(), 0);
  EXPECT_TRUE(progress.calls().empty());
}

TEST_F(OfflineDiarizerManagerTest, EmbeddingConsumesWindowsWhileSegmentationGoesOn) {
  auto prepare = manager(oneWindowPerBatch(), standInModels());
  const auto source = std::make_shared<TestSource>(voices(20), SourceOptions{.gated = true});
  const auto prepared = prepare->prepare(source, 0);
  EXPECT_TRUE(source->gateReached());
  EXPECT_TRUE(source->gateOpened()) << "segmentation read window 3 before the embedding worker read window 0";
  EXPECT_EQ(prepared.segmentationChunkCount(), 10);
}

TEST_F(OfflineDiarizerManagerTest, EmbeddingFailureStopsSegmentationAndReachesTheCaller) {
  auto config = oneWindowPerBatch();
  config.embedding.batchSize = 1;
  auto models = standInModels();
  // Features of 589 frames never fit this input: every prediction fails.
  ModelBuilder narrow("Embedding");
  narrow.input("fbank_features", ElementType::float32, {1, 1, 1, 500})
      .input("weights", ElementType::float32, {1, 589})
      .output("embedding", ElementType::float32, {1, 589})
      .initializer("rowShape", testsupport::TensorValue::int64s({1, 500}))
      .node("Reshape", {"fbank_features", "rowShape"}, {"row"})
      .node("MatMul", {"row", "weights"}, {"embedding"});
  models.embeddingModel = load(narrow);
  auto prepare = manager(config, std::move(models));
  const auto source = std::make_shared<TestSource>(voices(600));
  Progress progress;
  EXPECT_THROW(prepare->prepare(source, 0, progress.callback()), platform::MLModelError);
  EXPECT_LT(progress.calls().size(), 300u);
  // The warm-up met the same failure and let the extraction go on to its first window.
  EXPECT_TRUE(logged("OfflineEmbedding", "Embedding warmup skipped due to error: "));
  EXPECT_EQ(source->activeReads(), 0);
}

TEST_F(OfflineDiarizerManagerTest, SourceFailureEndsBothWorkersWithItsError) {
  auto prepare = manager(oneWindowPerBatch(), standInModels());
  // Window 5's new samples start at 288,000.
  const auto source = std::make_shared<TestSource>(voices(20), SourceOptions{.failFrom = 5 * kStep + kWindow - kStep});
  try {
    prepare->prepare(source, 0);
    FAIL() << "prepare returned";
  } catch (const ReadFailure& e) {
    EXPECT_EQ(std::string(e.what()).rfind("read failed at ", 0), 0u);
  }
  EXPECT_EQ(source->activeReads(), 0);
}

TEST_F(OfflineDiarizerManagerTest, StopOnTheCallersTokenEndsBothWorkers) {
  auto prepare = manager(oneWindowPerBatch(), standInModels());
  const auto source = std::make_shared<TestSource>(voices(60));
  std::stop_source stop;
  Progress progress;
  const auto record = progress.callback();
  EXPECT_THROW(prepare->prepare(
                   source, 0,
                   [&](std::int64_t done, std::int64_t total) {
                     record(done, total);
                     if (done == 2) stop.request_stop();
                   },
                   stop.get_token()),
               platform::CancellationError);
  EXPECT_LT(progress.calls().size(), 30u);
  EXPECT_EQ(source->activeReads(), 0);
}

TEST_F(OfflineDiarizerManagerTest, MissingPldaModelFailsTheFirstDueBatch) {
  auto models = standInModels();
  models.pldaRhoModel.reset();
  auto prepare = manager(OfflineDiarizerConfig::default_(), std::move(models));
  EXPECT_EQ(testsupport::thrownDescription<OfflineDiarizationError>([&] { prepare->prepare(voices(20)); }),
            "Model not loaded: PLDA transform");
}

}  // namespace
}  // namespace tesselaudio
