// Greedy end-of-utterance RNN-T decoding on the scripted transducer stand-ins (1027 logits, hidden
// size 640).
//
// BM_RnntDecode: 1,000 blank encoder frames (80 s of audio at 80 ms a frame) decoded once through
//   the reference decoder and joint models (two evaluations a frame, the baseline) and once
//   through the fused step model (one evaluation a frame), in the same iteration. Counters:
//   reference_ms and fused_ms per pass, and ratio = fused time ÷ reference time (target ≤ 0.7).

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoder.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TransducerModelBuilder.h"

namespace tesselaudio {
namespace {

constexpr std::int64_t kFrames = 1000;

double decodeSeconds(RnntDecoder& decoder, const platform::MLMultiArray& encoderOutput) {
  decoder.resetState();
  const auto start = std::chrono::steady_clock::now();
  auto result = decoder.decodeWithEOU(encoderOutput, 0, 0, std::nullopt);
  const auto end = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(result);
  return std::chrono::duration<double>(end - start).count();
}

void BM_RnntDecode(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  const auto models = testsupport::loadTransducerStandIns(folder.path());
  const auto encoderOutput =
      testsupport::transducerEncoderOutput(std::vector<std::vector<std::int64_t>>(kFrames));
  RnntDecoder reference(models.decoder, models.joint);
  RnntDecoder fused(models.decoder, models.joint, models.fused);
  // Warm-up outside the measurement.
  decodeSeconds(reference, *encoderOutput);
  decodeSeconds(fused, *encoderOutput);

  double referenceSeconds = 0;
  double fusedSeconds = 0;
  for (auto _ : state) {
    referenceSeconds += decodeSeconds(reference, *encoderOutput);
    fusedSeconds += decodeSeconds(fused, *encoderOutput);
  }
  const auto passes = static_cast<double>(state.iterations());
  state.counters["reference_ms"] = 1000 * referenceSeconds / passes;
  state.counters["fused_ms"] = 1000 * fusedSeconds / passes;
  state.counters["ratio"] = fusedSeconds / referenceSeconds;
  state.SetItemsProcessed(state.iterations() * 2 * kFrames);
}
BENCHMARK(BM_RnntDecode)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
