// The offline reconstruction of one hour: 1,800 windows of 10 s every 2 s, 589 frames each, three
// local speakers, eight clusters taking turns of 3 to 7 s.
//
// BM_Reconstruction: OfflineReconstruction::buildSegments over the hour with the default settings.
// BM_Reconstruction_Baseline: only the vote pass over the same input: every window frame placed
//   on the global frame grid, its local speakers' activity summed per cluster.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/sys/HostInfo.h"
#include "speech/Diarizer/Offline/Reconstruction/OfflineReconstruction.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {
namespace {

constexpr std::int64_t kWindows = 1800;
constexpr std::int64_t kFrames = 589;
constexpr std::int64_t kLocalSpeakers = 3;
constexpr std::int64_t kClusters = 8;
constexpr double kWindowSeconds = 10.0;
constexpr double kStepSeconds = 2.0;
constexpr double kFrameDuration = kWindowSeconds / kFrames;
constexpr std::int64_t kAudioSamples = 3600 * 16000;

struct Hour {
  SegmentationOutput segmentation;
  std::vector<std::vector<std::int64_t>> hardClusters;
  std::vector<std::vector<double>> centroids;
};

// Turn i lasts 3 to 7 s and goes to cluster 3i mod 8; each turn overlaps the next by 0.3 s.
struct Turn {
  double start, end;
  std::int64_t cluster;
};

std::vector<Turn> turns() {
  std::vector<Turn> out;
  double at = 0;
  for (std::int64_t i = 0; at < 3700; ++i) {
    const double length = 3.0 + static_cast<double>((i * 7) % 5);
    out.push_back({at, at + length + 0.3, (i * 3) % kClusters});
    at += length;
  }
  return out;
}

Hour makeHour() {
  const auto all = turns();
  Hour hour;
  auto& s = hour.segmentation;
  s.numChunks = kWindows;
  s.numFrames = kFrames;
  s.numSpeakers = kLocalSpeakers;
  s.frameDuration = kFrameDuration;
  for (std::int64_t k = 0; k < kWindows; ++k) {
    const double offset = static_cast<double>(k) * kStepSeconds;
    s.chunkOffsets.push_back(offset);
    std::vector<std::int64_t> mapping(kLocalSpeakers, -2);
    std::vector<std::vector<float>> rows(kFrames, std::vector<float>(kLocalSpeakers, 0.0f));
    for (std::int64_t t = 0; t < kFrames; ++t) {
      const double time = offset + static_cast<double>(t) * kFrameDuration;
      for (const auto& turn : all) {
        if (time < turn.start || time >= turn.end) continue;
        auto local = std::find(mapping.begin(), mapping.end(), turn.cluster);
        if (local == mapping.end()) local = std::find(mapping.begin(), mapping.end(), -2);
        if (local == mapping.end()) continue;
        *local = turn.cluster;
        rows[static_cast<std::size_t>(t)][static_cast<std::size_t>(local - mapping.begin())] = 1.0f;
      }
    }
    s.speakerWeights.push_back(std::move(rows));
    hour.hardClusters.push_back(std::move(mapping));
  }
  for (std::int64_t c = 0; c < kClusters; ++c) {
    std::vector<double> centroid(256, 0.0);
    centroid[static_cast<std::size_t>(c)] = 1.0;
    hour.centroids.push_back(std::move(centroid));
  }
  return hour;
}

const Hour& hour() {
  static const Hour made = [] {
    benchmark::AddCustomContext("host", platform::HostInfo::cpuModelName().value_or("unknown"));
    AppLogger::setMirrorsToConsole(false);
    AppLogger::setMinimumLevel(AppLogger::Level::info);
    return makeHour();
  }();
  return made;
}

void BM_Reconstruction(benchmark::State& state) {
  const Hour& input = hour();
  const OfflineReconstruction reconstruction{OfflineDiarizerConfig::default_()};
  std::size_t segmentCount = 0;
  for (auto _ : state) {
    auto segments = reconstruction.buildSegments(input.segmentation, input.hardClusters, input.centroids);
    segmentCount = segments.size();
    benchmark::DoNotOptimize(segments);
  }
  state.SetItemsProcessed(state.iterations() * kAudioSamples);
  state.counters["Segments"] = static_cast<double>(segmentCount);
}
BENCHMARK(BM_Reconstruction)->Unit(benchmark::kMillisecond);

void BM_Reconstruction_Baseline(benchmark::State& state) {
  const Hour& input = hour();
  const auto& s = input.segmentation;
  for (auto _ : state) {
    double end = 0;
    for (const double offset : s.chunkOffsets) end = std::max(end, offset + static_cast<double>(kFrames) * kFrameDuration);
    const auto frames = static_cast<std::size_t>(std::ceil(end / kFrameDuration));
    std::vector<double> sums(frames * kClusters, 0.0), votes(frames * kClusters, 0.0);
    for (std::size_t k = 0; k < s.speakerWeights.size(); ++k) {
      const auto& mapping = input.hardClusters[k];
      for (std::size_t t = 0; t < s.speakerWeights[k].size(); ++t) {
        const auto& row = s.speakerWeights[k][t];
        const double position = std::round((s.chunkOffsets[k] + kFrameDuration * static_cast<double>(t)) / kFrameDuration);
        const auto g = std::min(static_cast<std::size_t>(position), frames - 1);
        for (std::size_t l = 0; l < row.size(); ++l) {
          if (mapping[l] < 0 || row[l] <= 0) continue;
          sums[g * kClusters + static_cast<std::size_t>(mapping[l])] += row[l];
          votes[g * kClusters + static_cast<std::size_t>(mapping[l])] += 1;
        }
      }
    }
    benchmark::DoNotOptimize(sums);
    benchmark::DoNotOptimize(votes);
  }
  state.SetItemsProcessed(state.iterations() * kAudioSamples);
}
BENCHMARK(BM_Reconstruction_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
