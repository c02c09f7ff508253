#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "speech/VAD/VadManager.h"

namespace tesselaudio {
namespace {

using detail::saturatingAdd;
using detail::saturatingSub;

// Seconds of `sampleIndex`, rounded to `resolution` decimals with halves away from zero.
double roundedSeconds(std::int64_t sampleIndex, int resolution) {
  const double scale = std::pow(10.0, resolution);
  return std::round(static_cast<double>(sampleIndex) / VadManager::sampleRate * scale) / scale;
}

void clearPause(VadStreamState& state) {
  state.tempEndSample.reset();
  state.tempEndChunkLength = 0;
}

}  // namespace

VadStreamState VadManager::makeStreamState() const { return VadStreamState::initial(); }

VadStreamResult VadManager::processStreamingChunk(std::span<const float> chunk, const VadStreamState& state,
                                                  const VadSegmentationConfig& config, bool returnSeconds,
                                                  int timeResolution) {
  std::scoped_lock lock(mutex_);
  const auto chunkResult = processChunkLocked(chunk, state.modelState);
  const float p = chunkResult.probability;
  const std::int64_t length = static_cast<std::int64_t>(chunk.size());
  const std::int64_t before = state.processedSamples;
  const std::int64_t after = saturatingAdd(before, length);
  const float speechThreshold = config.speechThreshold(config_.defaultThreshold);
  const float silenceThreshold = config.effectiveNegativeThreshold(config_.defaultThreshold);
  const std::int64_t padding = VadSegmentationConfig::samples(config.speechPadding);
  const std::int64_t minSilence = VadSegmentationConfig::samples(config.minSilenceDuration);

  VadStreamResult result;
  result.probability = p;
  result.state = state;
  result.state.modelState = chunkResult.outputState;
  result.state.processedSamples = after;
  auto& next = result.state;
  std::optional<VadStreamEvent> event;

  if (p >= speechThreshold) {
    if (!next.triggered) {
      event = VadStreamEvent{VadStreamEvent::Kind::speechStart, std::max<std::int64_t>(saturatingSub(before, padding), 0),
                             std::nullopt};
    }
    next.triggered = true;
    clearPause(next);
  } else if (p < silenceThreshold && next.triggered) {
    // The pause runs from its first quiet chunk: remembered, or this one.
    const std::int64_t pauseEnd = next.tempEndSample.value_or(after);
    const std::int64_t firstLength = next.tempEndSample ? next.tempEndChunkLength : length;
    if (saturatingSub(after, pauseEnd) >= minSilence) {
      // Measured from the start of the first quiet chunk, so unequal chunks after it do not move the end.
      const std::int64_t pauseStart = saturatingSub(pauseEnd, firstLength);
      event = VadStreamEvent{VadStreamEvent::Kind::speechEnd,
                             std::max<std::int64_t>(saturatingAdd(pauseStart, padding), 0), std::nullopt};
      next.triggered = false;
      clearPause(next);
    } else {
      next.tempEndSample = pauseEnd;
      next.tempEndChunkLength = firstLength;
    }
  }
  // Anything else (between the thresholds, quiet in silence, NaN) leaves the machine as it was.

  if (event && returnSeconds) event->time = roundedSeconds(event->sampleIndex, timeResolution);
  result.event = event;
  return result;
}

}  // namespace tesselaudio
