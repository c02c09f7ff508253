#include "speech/Diarizer/Nemotron3/Nemotron3Diarizer.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Nemotron3/Nemotron3FeatureLoader.h"
#include "speech/Shared/AudioMelSpectrogram.h"

namespace tesselaudio {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t ceilDiv(std::int64_t a, std::int64_t b) { return (a + b - 1) / b; }

// Whether any of mask[from, to) is true; false for an empty range.
bool hasSpeech(const std::vector<bool>& mask, std::int64_t from, std::int64_t to) {
  to = std::min(to, static_cast<std::int64_t>(mask.size()));
  for (std::int64_t i = from; i < to; ++i) {
    if (mask[static_cast<std::size_t>(i)]) return true;
  }
  return false;
}

}  // namespace

Nemotron3Diarizer::Nemotron3Diarizer(const Nemotron3Config& config, Nemotron3Models models)
    : config_(config),
      models_(std::move(models)),
      updater_(config, models_.silenceEmbedding),
      state_(config),
      logger_("Nemotron3Diarizer"),
      frontend_(config) {}

Nemotron3ChunkResult Nemotron3Diarizer::chunkStep(std::span<const float> features, std::int64_t length,
                                                  std::int64_t leftOffset, std::int64_t rightOffset,
                                                  PipelineProfile* profile) {
  const auto start = Clock::now();
  const auto out = config_.splitGraph ? models_.runSplit(features, length, state_, config_)
                                      : models_.run(features, length, state_, config_);
  const double inference = secondsSince(start);
  const std::int64_t s = config_.subsamplingFactor;
  const std::int64_t lc = (leftOffset + s / 2) / s;
  const std::int64_t rc = ceilDiv(rightOffset, s);
  const auto updateStart = Clock::now();
  auto result =
      updater_.update(state_, out.chunkEmbeddings, out.chunkLength, out.predictions, out.highResPredictions, lc, rc);
  if (profile != nullptr) {
    profile->inferenceSeconds += inference;
    profile->inputPrepSeconds += out.inputPrepSeconds;
    profile->predictSeconds += out.predictSeconds;
    profile->readbackSeconds += out.readbackSeconds;
    profile->stateUpdateSeconds += secondsSince(updateStart);
  }
  return result;
}

std::int64_t Nemotron3Diarizer::skippedFrameCount(const Nemotron3ChunkWindow& window) const {
  const std::int64_t s = config_.subsamplingFactor;
  const std::int64_t lcE = (window.leftOffset + s / 2) / s;
  const std::int64_t rcE = ceilDiv(window.rightOffset, s);
  const std::int64_t frames = std::min(config_.chunkEncFrames() - lcE - rcE,
                                       std::max<std::int64_t>(0, ceilDiv(window.length, s) - lcE));
  return std::max<std::int64_t>(0, frames) * config_.upsampleFactor;
}

Nemotron3Diarizer::CompleteResult Nemotron3Diarizer::processComplete(std::span<const float> audio,
                                                                     const std::optional<std::vector<bool>>& speechMask,
                                                                     std::stop_token stop) {
  resetStream();
  const auto totalStart = Clock::now();
  PipelineProfile profile;

  AudioMelSpectrogram mel(static_cast<int>(config_.sampleRate), static_cast<int>(config_.melFeatures), 512, 160, 400,
                          AudioMelSpectrogram::defaultPreemph, 1, 0x1p-24f, AudioMelSpectrogram::LogFloorMode::additive,
                          false);
  auto features = mel.computeFlatTransposed(audio, 0.0f);
  profile.melSeconds = secondsSince(totalStart);
  const std::int64_t melLength = features.melLength;
  const std::int64_t frameTotal = features.numFrames;
  const std::int64_t n = config_.numSpeakers;

  std::vector<float> output;
  // The last core rounds up to whole encoder frames.
  output.reserve(static_cast<std::size_t>(n * (melLength + config_.subsamplingFactor)));
  Nemotron3FeatureLoader loader(config_, std::move(features.mel), melLength, frameTotal);
  const std::int64_t coreMel = config_.subsamplingFactor * config_.chunkLen;
  std::int64_t pos = 0;
  for (;;) {
    platform::CancellationError::throwIfRequested(stop);
    const auto sliceStart = Clock::now();
    auto window = loader.next();
    profile.chunkSliceSeconds += secondsSince(sliceStart);
    if (!window) break;
    const std::int64_t coreEnd = std::min(melLength, pos + coreMel);
    if (speechMask && !hasSpeech(*speechMask, pos, coreEnd)) {
      output.resize(output.size() + static_cast<std::size_t>(skippedFrameCount(*window) * n), 0.0f);
      ++profile.skippedChunks;
    } else {
      const auto result = chunkStep(window->features, window->length, window->leftOffset, window->rightOffset, &profile);
      const auto appendStart = Clock::now();
      output.insert(output.end(), result.probabilities.begin(), result.probabilities.end());
      profile.outputAppendSeconds += secondsSince(appendStart);
      ++profile.chunkCount;
    }
    pos = coreEnd;
  }
  profile.totalSeconds = secondsSince(totalStart);
  lastProfile_ = profile;

  // The frames past the buffer are cut.
  const std::int64_t frameCount = std::min(static_cast<std::int64_t>(output.size()) / n, frameTotal);
  output.resize(static_cast<std::size_t>(frameCount * n));
  return {std::move(output), frameCount};
}

void Nemotron3Diarizer::appendAudio(std::span<const float> samples) {
  // A finished stream is closed until reset: extending it would misplace every later frame.
  if (streamFinished_) return;
  frontend_.audio.insert(frontend_.audio.end(), samples.begin(), samples.end());
  frontend_.samplesReceived += static_cast<std::int64_t>(samples.size());
}

std::vector<Nemotron3ChunkResult> Nemotron3Diarizer::processBufferedAudio(std::stop_token stop) {
  return runChunks(false, std::move(stop));
}

std::vector<Nemotron3ChunkResult> Nemotron3Diarizer::finishStream(std::stop_token stop) {
  // A drained stream offers no window, so calling again costs no model call; a drain that failed
  // or was cancelled goes on where it stopped.
  streamFinished_ = true;
  return runChunks(true, std::move(stop));
}

void Nemotron3Diarizer::capFinal(Nemotron3ChunkResult& result) const {
  const std::int64_t remaining = frontend_.melFramesComputed - streamedFrameCount_;
  if (remaining >= result.frameCount) return;
  const std::int64_t frames = std::max<std::int64_t>(0, remaining);
  result.probabilities.resize(static_cast<std::size_t>(frames * config_.numSpeakers));
  result.frameCount = frames;
  result.numSpeakers = config_.numSpeakers;
}

std::vector<Nemotron3ChunkResult> Nemotron3Diarizer::runChunks(bool final, std::stop_token stop) {
  auto results = std::exchange(heldResults_, {});
  auto keep = [&](Nemotron3ChunkResult result) {
    if (final) capFinal(result);
    streamedFrameCount_ += result.frameCount;
    results.push_back(std::move(result));
  };
  for (;;) {
    try {
      platform::CancellationError::throwIfRequested(stop);
    } catch (const platform::CancellationError&) {
      heldResults_ = std::move(results);
      throw;
    }
    auto window = frontend_.nextChunk(final);
    if (!window) break;
    try {
      keep(chunkStep(window->features, window->length, window->leftOffset, window->rightOffset));
    } catch (const platform::CancellationError&) {
      heldResults_ = std::move(results);
      throw;
    } catch (...) {
      // The window has left the front end: its frames become zeros so later frames keep their place.
      const std::int64_t frames = skippedFrameCount(*window);
      keep({std::vector<float>(static_cast<std::size_t>(frames * config_.numSpeakers), 0.0f), frames,
            config_.numSpeakers});
      heldResults_ = std::move(results);
      throw;
    }
  }
  return results;
}

void Nemotron3Diarizer::resetStream() {
  state_ = Nemotron3StreamingState(config_);
  frontend_.reset();
  streamFinished_ = false;
  streamedFrameCount_ = 0;
  heldResults_.clear();
}

void Nemotron3Diarizer::reset() { resetStream(); }

Nemotron3ChunkResult Nemotron3Diarizer::step(std::span<const float> chunkFeatures, std::int64_t chunkMelLength,
                                             std::int64_t leftOffsetMel, std::int64_t rightOffsetMel) {
  return chunkStep(chunkFeatures, chunkMelLength, leftOffsetMel, rightOffsetMel);
}

std::vector<Nemotron3Segment> Nemotron3Diarizer::segments(std::span<const float> probabilities,
                                                          std::int64_t frameCount, std::int64_t numSpeakers,
                                                          float threshold, float frameSeconds,
                                                          float minDurationSeconds) {
  std::vector<Nemotron3Segment> found;
  if (frameCount < 0 || numSpeakers < 0) return found;
  if (numSpeakers > 0 && frameCount > static_cast<std::int64_t>(probabilities.size()) / numSpeakers) return found;
  for (std::int64_t k = 0; k < numSpeakers; ++k) {
    std::optional<std::int64_t> open;
    for (std::int64_t i = 0; i <= frameCount; ++i) {
      if (i < frameCount && probabilities[static_cast<std::size_t>(i * numSpeakers + k)] > threshold) {
        if (!open) open = i;
        continue;
      }
      if (!open) continue;
      const float start = frameSeconds * static_cast<float>(*open);
      const float end = frameSeconds * static_cast<float>(i);
      if (frameSeconds * static_cast<float>(i - *open) >= minDurationSeconds) found.push_back({k, start, end});
      open.reset();
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Nemotron3Segment& a, const Nemotron3Segment& b) { return a.startSeconds < b.startSeconds; });
  return found;
}

}  // namespace tesselaudio
