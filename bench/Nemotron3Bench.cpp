// The Nemotron 3 diarizer's per-chunk work at the offline preset's shape (W 380, T 684, 8 speakers,
// 512-value embeddings).
//
// BM_Nemotron3Readback: reads the three float16 outputs ([1, 684, 8], [1, 5472, 8], [1, 380, 512])
//   into flat float arrays with Nemotron3Models::floats.
// BM_Nemotron3Readback_Baseline: the same arrays read element by element through the multi-array's
//   subscript. Target: at most 0.1 × the baseline.
// BM_Nemotron3Compress: one speaker-cache compression of the offline preset's first overflow
//   (264 cache frames + 300 popped = 564 frames) with the partial insertion lists.
// BM_Nemotron3Compress_Baseline: the same selections made by fully sorting all scores. Target: at
//   most 1.0 × the baseline.
// BM_Nemotron3Stream: 60 s of audio fed to the streaming front end of the "low" preset in 20 ms
//   pieces, each appended and followed by nextChunk(false), then the final drain.
// BM_Nemotron3Stream_Baseline: the whole-buffer log-mel of the same 60 s, computed once. Target:
//   at most 1.5 × the baseline's CPU time.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLMultiArray.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Models.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StateUpdater.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StreamingFrontend.h"
#include "speech/Shared/AudioMelSpectrogram.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

constexpr std::int64_t kFrames = 564;
constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();

std::vector<std::shared_ptr<MLMultiArray>> offlineOutputs() {
  std::vector<std::shared_ptr<MLMultiArray>> arrays;
  for (const auto& shape : {std::vector<std::int64_t>{1, 684, 8}, {1, 5472, 8}, {1, 380, 512}}) {
    auto array = std::make_shared<MLMultiArray>(shape, MLMultiArrayDataType::float16);
    for (std::int64_t i = 0; i < array->count(); ++i) array->set(i, platform::NSNumber(static_cast<float>(i % 97) / 97.0f));
    arrays.push_back(std::move(array));
  }
  return arrays;
}

void BM_Nemotron3Readback(benchmark::State& state) {
  const auto arrays = offlineOutputs();
  for (auto _ : state) {
    for (const auto& array : arrays) {
      auto values = Nemotron3Models::floats(*array);
      benchmark::DoNotOptimize(values.data());
    }
  }
}
BENCHMARK(BM_Nemotron3Readback);

void BM_Nemotron3Readback_Baseline(benchmark::State& state) {
  const auto arrays = offlineOutputs();
  for (auto _ : state) {
    for (const auto& array : arrays) {
      std::vector<float> values(static_cast<std::size_t>(array->count()));
      for (std::int64_t i = 0; i < array->count(); ++i) values[static_cast<std::size_t>(i)] = (*array)[i].floatValue();
      benchmark::DoNotOptimize(values.data());
    }
  }
}
BENCHMARK(BM_Nemotron3Readback_Baseline);

// Speakers taking turns of 20 frames, every seventh frame silent, two speakers overlapping in
// every fifth turn.
struct CacheInput {
  std::vector<float> embs;
  std::vector<float> preds;
};

CacheInput cacheInput() {
  CacheInput input{std::vector<float>(kFrames * 512), std::vector<float>(kFrames * 8, 0.05f)};
  for (std::int64_t f = 0; f < kFrames; ++f) {
    for (std::int64_t d = 0; d < 512; ++d) input.embs[static_cast<std::size_t>(f * 512 + d)] = static_cast<float>((f * 31 + d) % 101) * 0.01f;
    if (f % 7 == 0) continue;
    const std::int64_t turn = f / 20;
    const float sureness = 0.6f + 0.35f * static_cast<float>((f * 13) % 10) / 10.0f;
    input.preds[static_cast<std::size_t>(f * 8 + turn % 6)] = sureness;
    if (turn % 5 == 0) input.preds[static_cast<std::size_t>(f * 8 + (turn + 1) % 6)] = 0.55f;
  }
  return input;
}

// The k best of `ids` by score, ties to the earlier id, by a full stable sort.
std::vector<std::int64_t> sortedBest(std::vector<std::int64_t> ids, const std::vector<float>& scoreOf, std::int64_t k) {
  std::stable_sort(ids.begin(), ids.end(), [&](std::int64_t a, std::int64_t b) {
    return scoreOf[static_cast<std::size_t>(a)] > scoreOf[static_cast<std::size_t>(b)];
  });
  ids.resize(static_cast<std::size_t>(std::min<std::int64_t>(k, static_cast<std::int64_t>(ids.size()))));
  return ids;
}

// compressSpkcache with every selection made by fully sorting the scores.
Nemotron3StateUpdater::CompressedCache sortingCompress(const Nemotron3StateUpdater& updater, const CacheInput& input) {
  const auto& config = updater.config();
  const std::int64_t n = config.numSpeakers, capacity = config.spkcacheLen, silence = config.spkcacheSilFramesPerSpk;
  const float quota = static_cast<float>(capacity / n - silence);
  auto scores = updater.logPredScores(input.preds, kFrames);
  updater.disableLowScores(input.preds, scores, kFrames, static_cast<std::int64_t>(config.minPosScoresRate * quota));
  for (std::int64_t i = capacity * n; i < kFrames * n; ++i) {
    if (scores[static_cast<std::size_t>(i)] != kMinusInfinity) scores[static_cast<std::size_t>(i)] += config.scoresBoostLatest;
  }
  for (const auto& [rate, scale] : {std::pair{config.strongBoostRate, 2.0f}, std::pair{config.weakBoostRate, 1.0f}}) {
    const auto k = static_cast<std::int64_t>(rate * quota);
    for (std::int64_t s = 0; s < n; ++s) {
      std::vector<std::int64_t> finite;
      for (std::int64_t f = 0; f < kFrames; ++f) {
        if (scores[static_cast<std::size_t>(f * n + s)] != kMinusInfinity) finite.push_back(f * n + s);
      }
      for (std::int64_t i : sortedBest(finite, scores, k)) scores[static_cast<std::size_t>(i)] += scale * 0.6931472f;
    }
  }
  const std::int64_t total = kFrames + silence;
  scores.resize(static_cast<std::size_t>(total * n), std::numeric_limits<float>::infinity());
  // Speaker-major ids, their scores gathered so that the sort compares them directly.
  std::vector<float> bySpeaker(static_cast<std::size_t>(total * n));
  std::vector<std::int64_t> finite;
  for (std::int64_t s = 0; s < n; ++s) {
    for (std::int64_t f = 0; f < total; ++f) {
      bySpeaker[static_cast<std::size_t>(s * total + f)] = scores[static_cast<std::size_t>(f * n + s)];
      if (scores[static_cast<std::size_t>(f * n + s)] != kMinusInfinity) finite.push_back(s * total + f);
    }
  }
  auto picked = sortedBest(finite, bySpeaker, capacity);
  picked.resize(static_cast<std::size_t>(capacity), config.maxIndex);
  std::sort(picked.begin(), picked.end());
  Nemotron3StateUpdater::CompressedCache cache{std::vector<float>(capacity * 512, 0.0f), std::vector<float>(capacity * n, 0.0f)};
  for (std::size_t slot = 0; slot < picked.size(); ++slot) {
    const std::int64_t frame = picked[slot] % total;
    auto embedding = cache.spkcache.begin() + static_cast<std::ptrdiff_t>(slot * 512);
    if (picked[slot] == config.maxIndex || frame >= kFrames) {
      std::copy_n(updater.silenceEmbedding().begin(), 512, embedding);
      continue;
    }
    std::copy_n(input.embs.begin() + frame * 512, 512, embedding);
    std::copy_n(input.preds.begin() + frame * n, n, cache.spkcachePreds.begin() + static_cast<std::ptrdiff_t>(slot) * n);
  }
  return cache;
}

void BM_Nemotron3Compress(benchmark::State& state) {
  const Nemotron3StateUpdater updater(Nemotron3Config::offline(), std::vector<float>(512, -1.0f));
  const auto input = cacheInput();
  const auto expected = sortingCompress(updater, input);
  const auto got = updater.compressSpkcache(input.embs, input.preds, kFrames);
  if (got.spkcache != expected.spkcache || got.spkcachePreds != expected.spkcachePreds) {
    state.SkipWithError("the two compressions choose different frames");
    return;
  }
  for (auto _ : state) {
    auto cache = updater.compressSpkcache(input.embs, input.preds, kFrames);
    benchmark::DoNotOptimize(cache.spkcache.data());
  }
}
BENCHMARK(BM_Nemotron3Compress);

void BM_Nemotron3Compress_Baseline(benchmark::State& state) {
  const Nemotron3StateUpdater updater(Nemotron3Config::offline(), std::vector<float>(512, -1.0f));
  const auto input = cacheInput();
  for (auto _ : state) {
    auto cache = sortingCompress(updater, input);
    benchmark::DoNotOptimize(cache.spkcache.data());
  }
}
BENCHMARK(BM_Nemotron3Compress_Baseline);

constexpr std::size_t kStreamSamples = 960000;
constexpr std::size_t kPieceSamples = 320;

std::vector<float> minuteOfNoise() {
  std::mt19937 random(7);
  std::normal_distribution<float> value(0.0f, 0.1f);
  std::vector<float> audio(kStreamSamples);
  for (auto& sample : audio) sample = value(random);
  return audio;
}

void BM_Nemotron3Stream(benchmark::State& state) {
  const auto audio = minuteOfNoise();
  Nemotron3StreamingFrontend frontend(Nemotron3Config::low());
  for (auto _ : state) {
    frontend.reset();
    for (std::size_t at = 0; at < audio.size(); at += kPieceSamples) {
      frontend.audio.insert(frontend.audio.end(), audio.begin() + static_cast<std::ptrdiff_t>(at),
                            audio.begin() + static_cast<std::ptrdiff_t>(at + kPieceSamples));
      frontend.samplesReceived += static_cast<std::int64_t>(kPieceSamples);
      while (auto window = frontend.nextChunk(false)) benchmark::DoNotOptimize(window->features.data());
    }
    while (auto window = frontend.nextChunk(true)) benchmark::DoNotOptimize(window->features.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamSamples));
}
BENCHMARK(BM_Nemotron3Stream)->Unit(benchmark::kMillisecond);

void BM_Nemotron3Stream_Baseline(benchmark::State& state) {
  const auto audio = minuteOfNoise();
  AudioMelSpectrogram mel(16000, 128, 512, 160, 400, AudioMelSpectrogram::defaultPreemph, 1, 0x1p-24f,
                          AudioMelSpectrogram::LogFloorMode::additive, false);
  for (auto _ : state) {
    auto features = mel.computeFlatTransposed(audio, 0.0f);
    benchmark::DoNotOptimize(features.mel.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamSamples));
}
BENCHMARK(BM_Nemotron3Stream_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
