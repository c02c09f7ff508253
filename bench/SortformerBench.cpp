// The streaming Sortformer's per-chunk work at the balancedV2_1 shape: 6 core frames of 4 slots
// and 512-value embeddings, one chunk standing for 0.48 s of audio.
//
// BM_StreamingUpdate: the speaker-cache and FIFO update in its steady state, with a full cache:
//   every 24th chunk moves 144 frames and compresses the cache, so the time is amortised over that
//   cycle. RTF = processing time ÷ 0.48 s of audio.
// BM_RunMainModel: one inference step on the band-oracle stand-in model (copying the inputs into
//   the aligned buffers, running the executor, reading the outputs back), full cache and FIFO.
// BM_RunMainModel_Baseline: the model's prediction alone on inputs already in place, so the
//   difference is what runMainModel's copies and output reads cost.

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Diarizer/Sortformer/SortformerFeatureLoader.h"
#include "speech/Diarizer/Sortformer/SortformerModels.h"
#include "speech/Diarizer/Sortformer/SortformerStateUpdater.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

constexpr double kChunkSeconds = 0.48;
constexpr std::int64_t kDims = 512;
constexpr std::int64_t kSpeakers = 4;
constexpr std::int64_t kChunkFrames = 14;

// Every fifth frame silent, speakers taking turns of 12 frames.
float probability(std::int64_t frame, std::int64_t slot) {
  if (frame % 5 == 0) return 0.01f;
  return (frame / 12) % kSpeakers == slot ? 0.9f : 0.05f;
}

void BM_StreamingUpdate(benchmark::State& state) {
  const auto& config = SortformerConfig::balancedV2_1();
  const SortformerStateUpdater updater(config);
  SortformerStreamingState streaming(config);
  // One prediction array long enough for any cache and FIFO fill, and one chunk of embeddings.
  const std::int64_t rows = config.spkcacheLen + config.fifoLen + kChunkFrames;
  std::vector<float> preds(static_cast<std::size_t>(rows * kSpeakers));
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t s = 0; s < kSpeakers; ++s) preds[static_cast<std::size_t>(r * kSpeakers + s)] = probability(r, s);
  }
  std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames * kDims));
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<float>(i % 97) * 0.01f;

  // Warm up until the cache has been compressed once: the steady state.
  while (!streaming.spkcachePreds) updater.streamingUpdate(streaming, chunk, preds, 1, 7);

  for (auto _ : state) {
    auto result = updater.streamingUpdate(streaming, chunk, preds, 1, 7);
    benchmark::DoNotOptimize(result.confirmed.data());
  }
  state.counters["RTF"] = benchmark::Counter(
      kChunkSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StreamingUpdate);

// A chunk of band-limited audio and a full cache and FIFO of its embeddings.
struct MainModelInputs {
  std::vector<float> chunk;
  std::int64_t chunkLength = 0;
  std::vector<float> spkcache;
  std::vector<float> fifo;
};

MainModelInputs prepareInputs(const SortformerModels& models, const SortformerConfig& config) {
  MainModelInputs inputs;
  std::vector<float> audio;
  for (int slot = 0; slot < 4; ++slot) {
    const auto band = testsupport::sortformerBandAudio(slot, 16000);
    audio.insert(audio.end(), band.begin(), band.end());
  }
  SortformerFeatureLoader loader(config, audio);
  std::vector<float> embeddings;
  while (auto chunk = loader.next()) {
    auto output = models.runMainModel(chunk->chunkFeatures, chunk->chunkLength, {}, 0, {}, 0, config);
    embeddings.insert(embeddings.end(), output.chunkEmbeddings.begin(),
                      output.chunkEmbeddings.begin() + output.chunkLength * kDims);
    if (inputs.chunk.empty() && chunk->leftOffset > 0) {
      inputs.chunk = chunk->chunkFeatures;
      inputs.chunkLength = chunk->chunkLength;
    }
  }
  for (std::int64_t f = 0; f < config.spkcacheLen; ++f) {
    const auto row = embeddings.begin() + static_cast<std::ptrdiff_t>((f % (embeddings.size() / kDims)) * kDims);
    inputs.spkcache.insert(inputs.spkcache.end(), row, row + kDims);
  }
  inputs.fifo = inputs.spkcache;
  return inputs;
}

void BM_RunMainModel(benchmark::State& state) {
  const auto& config = SortformerConfig::balancedV2_1();
  testsupport::TemporaryFolder folder;
  const auto bundle = testsupport::sortformerBandOracleModel().writeBundle(folder.path());
  const SortformerModels models(config, std::make_shared<const platform::MLModel>(bundle), 0);
  const auto inputs = prepareInputs(models, config);
  for (auto _ : state) {
    auto output = models.runMainModel(inputs.chunk, inputs.chunkLength, inputs.spkcache, config.spkcacheLen,
                                      inputs.fifo, config.fifoLen, config);
    benchmark::DoNotOptimize(output.predictions.data());
  }
  state.counters["RTF"] = benchmark::Counter(
      kChunkSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RunMainModel);

// The same prediction straight on the model with the inputs already in place: what runMainModel
// adds on top (copies into the buffers, reading the outputs back) is the difference.
void BM_RunMainModel_Baseline(benchmark::State& state) {
  const auto& config = SortformerConfig::balancedV2_1();
  testsupport::TemporaryFolder folder;
  const auto bundle = testsupport::sortformerBandOracleModel().writeBundle(folder.path());
  const SortformerModels models(config, std::make_shared<const platform::MLModel>(bundle), 0);
  const auto inputs = prepareInputs(models, config);
  // One step leaves the inputs in the buffers.
  models.runMainModel(inputs.chunk, inputs.chunkLength, inputs.spkcache, config.spkcacheLen, inputs.fifo,
                      config.fifoLen, config);
  const platform::MLDictionaryFeatureProvider prepared(std::map<std::string, std::shared_ptr<platform::MLMultiArray>>{
      {"chunk", models.chunkArray},
      {"chunk_lengths", models.chunkLengthArray},
      {"spkcache", models.spkcacheArray},
      {"spkcache_lengths", models.spkcacheLengthArray},
      {"fifo", models.fifoArray},
      {"fifo_lengths", models.fifoLengthArray},
  });
  for (auto _ : state) {
    auto outputs = models.mainModel->prediction(prepared);
    benchmark::DoNotOptimize(outputs.get());
  }
  state.counters["RTF"] = benchmark::Counter(
      kChunkSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RunMainModel_Baseline);

}  // namespace
}  // namespace tesselaudio
