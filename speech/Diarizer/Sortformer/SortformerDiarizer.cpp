#include "speech/Diarizer/Sortformer/SortformerDiarizer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Sortformer/SortformerError.h"
#include "speech/Diarizer/Sortformer/SortformerFeatureLoader.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/AudioConverterError.h"

namespace tesselaudio {
namespace {

DiarizerTimelineConfig withSpeakers(DiarizerTimelineConfig config, std::int64_t numSpeakers) {
  config.numSpeakers = numSpeakers;
  return config;
}

std::string who(const std::optional<std::string>& named) {
  return named ? "named '" + *named + "'" : "(no name)";
}

void append(std::vector<float>& to, const std::vector<float>& values) {
  to.insert(to.end(), values.begin(), values.end());
}

}  // namespace

SortformerDiarizer::SortformerDiarizer(const SortformerConfig& config,
                                       const DiarizerTimelineConfig& timelineConfig)
    : config_(config),
      logger_("SortformerDiarizerPipeline"),
      stateUpdater_(config),
      timeline_(std::make_shared<DiarizerTimeline>(withSpeakers(timelineConfig, config.numSpeakers))),
      state_(config),
      // The models were trained on this front end, so it stays fixed whatever the configuration says.
      melSpectrogram_(16000, 128, 512, 160, 400, 0.97f, 1, 0x1p-24f,
                      AudioMelSpectrogram::LogFloorMode::additive, false) {
  resetMelStreamLocked();
}

// Set-up

void SortformerDiarizer::initialize(const std::filesystem::path& mainModelPath,
                                    std::optional<platform::MLComputeUnits> computeUnits,
                                    std::stop_token stop) {
  logger_.info("Initializing Sortformer diarizer (combined pipeline mode)");
  const auto models = SortformerModels::load(config_, mainModelPath, computeUnits, stop);
  validateConfigMatch(models);
  {
    std::scoped_lock lock(mutex_);
    storeModels(models);
  }
  logger_.info(fmt::format("Sortformer initialized in {:.2f}s", models.compilationDuration));
}

void SortformerDiarizer::initialize(const SortformerModels& models) {
  validateConfigMatch(models);
  std::scoped_lock lock(mutex_);
  storeModels(models);
  logger_.info("Sortformer initialized with pre-loaded models");
}

void SortformerDiarizer::storeModels(const SortformerModels& models) {
  models_ = models;
  state_ = SortformerStreamingState(config_);
  resetBuffersLocked(false);
}

void SortformerDiarizer::validateConfigMatch(const SortformerModels& models) const {
  const auto embedded = models.embeddedConfig();
  if (!embedded) return;
  const SortformerModels::EmbeddedConfig own{config_.chunkLen, config_.chunkLeftContext,
                                             config_.chunkRightContext, config_.fifoLen,
                                             config_.spkcacheLen};
  if (own == *embedded) return;
  logger_.error(fmt::format(
      "Sortformer config mismatch \u2014 diarizer config does not match the loaded model. This "
      "produces incorrect and much slower diarization. diarizer(chunkLen={}, leftCtx={}, "
      "rightCtx={}, fifoLen={}, spkcacheLen={}) vs model(chunkLen={}, leftCtx={}, rightCtx={}, "
      "fifoLen={}, spkcacheLen={}). Construct SortformerDiarizer with the SortformerConfig "
      "matching the model variant.",
      own.chunkLen, own.chunkLeftContext, own.chunkRightContext, own.fifoLen, own.spkcacheLen,
      embedded->chunkLen, embedded->chunkLeftContext, embedded->chunkRightContext,
      embedded->fifoLen, embedded->spkcacheLen));
}

void SortformerDiarizer::reset() {
  std::scoped_lock lock(mutex_);
  state_ = SortformerStreamingState(config_);
  resetBuffersLocked(false);
  logger_.debug("Sortformer state reset");
}

void SortformerDiarizer::cleanup() {
  std::scoped_lock lock(mutex_);
  models_.reset();
  state_.cleanup();
  resetBuffersLocked(false);
  logger_.info("Sortformer resources cleaned up");
}

// Properties

SortformerStreamingState SortformerDiarizer::state() const {
  std::scoped_lock lock(mutex_);
  return state_;
}

bool SortformerDiarizer::isAvailable() const {
  std::scoped_lock lock(mutex_);
  return models_.has_value();
}

std::int64_t SortformerDiarizer::numFramesProcessed() const {
  std::scoped_lock lock(mutex_);
  return numFramesProcessed_;
}

std::optional<double> SortformerDiarizer::modelFrameHz() const {
  // The frame duration is a single-precision value, so the rate is not exactly 12.5.
  const float seconds = static_cast<float>(config_.subsamplingFactor) *
                        static_cast<float>(config_.melStride) /
                        static_cast<float>(config_.sampleRate);
  return 1.0 / static_cast<double>(seconds);
}

std::shared_ptr<DiarizerTimeline> SortformerDiarizer::timeline() const {
  // Never replaced, so readers need not wait for a chunk that is running.
  return timeline_;
}

// Streaming

std::vector<float> SortformerDiarizer::normalizeSamples(std::span<const float> samples,
                                                        std::optional<double> sourceSampleRate) const {
  const auto target = static_cast<double>(config_.sampleRate);
  if (!sourceSampleRate || *sourceSampleRate == target) return {samples.begin(), samples.end()};
  // The platform converter has no meaning for such rates; refuse them before it divides by one.
  if (!std::isfinite(*sourceSampleRate) || *sourceSampleRate <= 0) {
    throw AudioConverterError::failedToCreateSourceFormat();
  }
  const AudioConverter converter(target, false);
  return converter.resample({samples.begin(), samples.end()}, *sourceSampleRate);
}

void SortformerDiarizer::addAudio(std::span<const float> samples) {
  std::scoped_lock lock(mutex_);
  appendAudioLocked(samples);
}

void SortformerDiarizer::addAudio(std::span<const float> samples,
                                  std::optional<double> sourceSampleRate) {
  const auto audio = normalizeSamples(samples, sourceSampleRate);
  std::scoped_lock lock(mutex_);
  appendAudioLocked(audio);
}

std::optional<DiarizerTimelineUpdate> SortformerDiarizer::process(std::stop_token stop) {
  std::scoped_lock lock(mutex_);
  return processLocked(stop);
}

std::optional<DiarizerTimelineUpdate> SortformerDiarizer::process(
    std::span<const float> samples, std::optional<double> sourceSampleRate, std::stop_token stop) {
  const auto audio = normalizeSamples(samples, sourceSampleRate);
  std::scoped_lock lock(mutex_);
  if (!appendAudioLocked(audio)) return std::nullopt;
  return processLocked(stop);
}

std::optional<DiarizerTimelineUpdate> SortformerDiarizer::finalizeSession(std::stop_token stop) {
  std::scoped_lock lock(mutex_);
  if (!models_) throw SortformerError::notInitialized();
  if (finalized_) return std::nullopt;
  padAndEmitRemainingMelLocked();

  const std::int64_t n = config_.numSpeakers;
  std::vector<float> all;
  std::optional<std::vector<float>> tentative;
  for (;;) {
    ChunkPredictions run;
    try {
      makeStreamingChunkLocked(true, run, stop);
    } catch (...) {
      // What ran stays in the timeline, so that frames keep their place if the caller goes on.
      append(all, run.finalized);
      numFramesProcessed_ += run.finalizedFrames;
      if (!all.empty()) timeline_->addPredictions(all, {});
      throw;
    }
    if (run.finalized.empty()) break;
    append(all, run.finalized);
    numFramesProcessed_ += run.finalizedFrames;
    tentative = std::move(run.tentative);
  }
  // Without a chunk here, the tail is the right context of the last chunk that ran while
  // streaming.
  if (!tentative) tentative = timeline_->tentativePredictions();
  append(all, *tentative);
  numFramesProcessed_ += static_cast<std::int64_t>(tentative->size()) / n;

  std::optional<DiarizerTimelineUpdate> update;
  if (!all.empty()) update = timeline_->addPredictions(all, {});
  timeline_->finalize();
  finalized_ = true;
  return update;
}

// Whole recordings

std::shared_ptr<DiarizerTimeline> SortformerDiarizer::processComplete(
    std::span<const float> samples, std::optional<double> sourceSampleRate,
    std::optional<bool> keepingEnrolledSpeakers, bool finalizeOnCompletion,
    ProgressCallback progressCallback, std::stop_token stop) {
  // Audio already at the model's rate is read where it lies: a recording of hours is not copied.
  std::vector<float> resampled;
  const bool resampling = sourceSampleRate && *sourceSampleRate != static_cast<double>(config_.sampleRate);
  if (resampling) resampled = normalizeSamples(samples, sourceSampleRate);
  std::scoped_lock lock(mutex_);
  return processCompleteLocked(resampling ? std::span<const float>(resampled) : samples, keepingEnrolledSpeakers,
                               finalizeOnCompletion, progressCallback, stop);
}

std::shared_ptr<DiarizerTimeline> SortformerDiarizer::processComplete(
    const std::filesystem::path& audioFileURL, std::optional<bool> keepingEnrolledSpeakers,
    bool finalizeOnCompletion, ProgressCallback progressCallback, std::stop_token stop) {
  const AudioConverter converter(static_cast<double>(config_.sampleRate), false);
  const auto audio = converter.resampleAudioFile(audioFileURL);
  std::scoped_lock lock(mutex_);
  return processCompleteLocked(audio, keepingEnrolledSpeakers, finalizeOnCompletion,
                               progressCallback, stop);
}

std::shared_ptr<DiarizerTimeline> SortformerDiarizer::processCompleteLocked(
    std::span<const float> audio, std::optional<bool> keepingEnrolledSpeakers,
    bool finalizeOnCompletion, const ProgressCallback& progressCallback, std::stop_token stop) {
  if (!models_) throw SortformerError::notInitialized();
  // An enrolled voice lives in the streaming state; keep it unless the session has moved on.
  const bool keep =
      keepingEnrolledSpeakers.value_or(realSamplesReceived_ == 0 && diarizerChunkIndex_ == 0);
  if (!keep) state_ = SortformerStreamingState(config_);
  resetBuffersLocked(keep);

  SortformerFeatureLoader loader(config_, audio);
  const auto total = static_cast<std::int64_t>(audio.size());
  const std::int64_t samplesPerChunk = config_.chunkLen * config_.subsamplingFactor * config_.melStride;
  ChunkPredictions run;
  while (auto chunk = loader.next()) {
    platform::CancellationError::throwIfRequested(stop);
    runChunkLocked(chunk->chunkFeatures, chunk->chunkLength, chunk->leftOffset, chunk->rightOffset,
                   run);
    if (progressCallback) {
      progressCallback(std::min(total, diarizerChunkIndex_ * samplesPerChunk), total,
                       diarizerChunkIndex_);
    }
  }

  const auto values = static_cast<std::int64_t>(run.finalized.size() + run.tentative.size());
  numFramesProcessed_ = values / config_.numSpeakers;
  if (config_.debugMode) {
    fmt::print(stdout, "[DEBUG] Phase 2 complete: diarizerChunks={}, totalProbs={}, totalFrames={}\n",
               diarizerChunkIndex_, values, numFramesProcessed_);
    std::fflush(stdout);
  }
  timeline_->rebuild(run.finalized, run.tentative, keep, finalizeOnCompletion);
  return timeline_;
}

// Enrollment

std::shared_ptr<DiarizerSpeaker> SortformerDiarizer::enrollSpeaker(
    std::span<const float> withAudio, std::optional<double> sourceSampleRate,
    std::optional<std::string> named, bool overwritingAssignedSpeakerName, std::stop_token stop) {
  if (withAudio.empty()) {
    logger_.warning("Failed to enroll speaker " + who(named) + " because no speech detected");
    return nullptr;
  }
  auto audio = normalizeSamples(withAudio, sourceSampleRate);
  std::scoped_lock lock(mutex_);
  return enrollLocked(std::move(audio), named, overwritingAssignedSpeakerName, stop);
}

// Runs the sample as a stream of its own, names the slot that holds most of it, and leaves the
// buffers and counters ready for a new stream while the streaming state keeps the voice.
std::shared_ptr<DiarizerSpeaker> SortformerDiarizer::enrollLocked(
    std::vector<float> audio, const std::optional<std::string>& named,
    bool overwritingAssignedSpeakerName, std::stop_token stop) {
  if (!models_) throw SortformerError::notInitialized();
  if (timeline_->hasSegments()) {
    logger_.warning("Trying to enroll a speaker while timeline has segments; timeline will be reset");
  }
  timeline_->reset(true);
  std::set<std::int64_t> kept;
  for (const auto& [slot, speaker] : timeline_->speakers()) kept.insert(speaker->index());
  const auto keepEarlierSpeakers = [&] {
    timeline_->reset([&](const DiarizerSpeaker& speaker) { return kept.contains(speaker.index()); });
  };

  const auto sampleCount = static_cast<std::int64_t>(audio.size());
  resetMelStreamLocked();
  diarizerChunkIndex_ = 0;
  realSamplesReceived_ = sampleCount;
  append(audioBuffer_, audio);
  padAndEmitRemainingMelLocked();

  const auto readyForNewStream = [&] {
    resetMelStreamLocked();
    diarizerChunkIndex_ = 0;
    numFramesProcessed_ = 0;
  };
  std::vector<std::int64_t> frames(static_cast<std::size_t>(config_.numSpeakers), 0);
  bool anyUpdate = false;
  try {
    std::vector<DiarizerSegment> lastTentative;
    while (auto update = processLocked(stop)) {
      anyUpdate = true;
      for (const auto& segment : update->finalizedSegments) {
        frames[static_cast<std::size_t>(segment.speakerIndex)] += segment.length();
      }
      lastTentative = std::move(update->tentativeSegments);
    }
    for (const auto& segment : lastTentative) {
      frames[static_cast<std::size_t>(segment.speakerIndex)] += segment.length();
    }
  } catch (...) {
    readyForNewStream();
    throw;
  }

  std::shared_ptr<DiarizerSpeaker> enrolled;
  if (!anyUpdate) {
    const float seconds = static_cast<float>(config_.subsamplingFactor) *
                          static_cast<float>(config_.melStride) /
                          static_cast<float>(config_.sampleRate) *
                          static_cast<float>(config_.chunkLen + config_.chunkRightContext);
    logger_.warning(fmt::format(
        "Failed to enroll speaker {}: not enough audio was provided. Please provide at least {:.2f} "
        "seconds of speech.",
        who(named), seconds));
    readyForNewStream();
    return nullptr;
  }

  // The slot holding most frames; the lowest slot wins a tie.
  std::int64_t best = -1;
  std::int64_t bestFrames = 0;
  for (std::size_t slot = 0; slot < frames.size(); ++slot) {
    if (frames[slot] > bestFrames) {
      best = static_cast<std::int64_t>(slot);
      bestFrames = frames[slot];
    }
  }
  if (best < 0) {
    logger_.warning("Failed to enroll speaker " + who(named) + " because no speech detected");
    keepEarlierSpeakers();
    readyForNewStream();
    return nullptr;
  }

  const auto speakers = timeline_->speakers();
  if (const auto existing = speakers.find(best); existing != speakers.end()) {
    if (const auto oldName = existing->second->name()) {
      if (!overwritingAssignedSpeakerName) {
        logger_.warning(fmt::format(
            "Failed to enroll speaker {}: diarizer matched existing speaker '{}' at index {} and "
            "overwritingAssignedSpeakerName=false",
            who(named), *oldName, best));
        keepEarlierSpeakers();
        readyForNewStream();
        return nullptr;
      }
      logger_.warning(fmt::format("Newly-enrolled speaker {} will overwrite the old one named {} at index {}",
                                  who(named), *oldName, best));
    }
  }

  enrolled = timeline_->upsertSpeaker(named, best);
  if (enrolled) kept.insert(best);
  keepEarlierSpeakers();
  if (enrolled) {
    logger_.info(fmt::format("Enrolled speaker {} with {} samples ({:.1f}s), spkcache={}, fifo={}",
                             who(named), sampleCount,
                             static_cast<double>(sampleCount) / static_cast<double>(config_.sampleRate),
                             state_.spkcacheLength, state_.fifoLength));
  }
  readyForNewStream();
  return enrolled;
}

// Mel stream

void SortformerDiarizer::resetMelStreamLocked() {
  featureBuffer_.clear();
  audioBuffer_.clear();
  startFeat_ = 0;
  lastAudioSample_ = 0;
  melFramesEmitted_ = 0;
  melInputExhausted_ = false;
  warnedDroppedAudio_ = false;
  realSamplesReceived_ = 0;
  audioBuffer_.insert(audioBuffer_.end(), static_cast<std::size_t>(melSpectrogram_.nFFT() / 2), 0.0f);
}

void SortformerDiarizer::resetBuffersLocked(bool keepingSpeakers) {
  resetMelStreamLocked();
  diarizerChunkIndex_ = 0;
  numFramesProcessed_ = 0;
  finalized_ = false;
  timeline_->reset(keepingSpeakers);
  // One full chunk with its context plus one more core, so a session never reallocates.
  const std::int64_t melFrames =
      (config_.chunkLen + config_.chunkLeftContext + config_.chunkRightContext) * config_.subsamplingFactor +
      config_.chunkLen * config_.subsamplingFactor;
  featureBuffer_.reserve(static_cast<std::size_t>(melFrames * config_.melFeatures));
}

bool SortformerDiarizer::appendAudioLocked(std::span<const float> samples) {
  if (melInputExhausted_) {
    if (!warnedDroppedAudio_) {
      logger_.warning("Audio added after finalizeSession is ignored; call reset() to start a new session");
      warnedDroppedAudio_ = true;
    }
    return false;
  }
  audioBuffer_.insert(audioBuffer_.end(), samples.begin(), samples.end());
  realSamplesReceived_ += static_cast<std::int64_t>(samples.size());
  preprocessAudioToFeaturesLocked();
  return true;
}

void SortformerDiarizer::preprocessAudioToFeaturesLocked() {
  if (melInputExhausted_) return;
  // Mel frame i needs the real samples up to i × melStride + melWindow ÷ 2.
  const std::int64_t half = config_.melWindow / 2;
  if (realSamplesReceived_ < half) return;
  const std::int64_t available = (realSamplesReceived_ - half) / config_.melStride + 1;
  const std::int64_t count = available - melFramesEmitted_;
  if (count >= 1) emitMelFramesLocked(count);
}

void SortformerDiarizer::emitMelFramesLocked(std::int64_t count) {
  const auto result = melSpectrogram_.computeFlatTransposed(
      audioBuffer_, lastAudioSample_, AudioMelSpectrogram::PaddingMode::prePadded,
      static_cast<int>(count));
  const auto values = std::min<std::size_t>(result.mel.size(),
                                            static_cast<std::size_t>(count * config_.melFeatures));
  featureBuffer_.insert(featureBuffer_.end(), result.mel.begin(),
                        result.mel.begin() + static_cast<std::ptrdiff_t>(values));
  // The buffer then starts at the next frame's window, and pre-emphasis runs on across calls.
  const auto consumed = std::min(audioBuffer_.size(), static_cast<std::size_t>(count * config_.melStride));
  if (consumed > 0) lastAudioSample_ = audioBuffer_[consumed - 1];
  audioBuffer_.erase(audioBuffer_.begin(), audioBuffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
  melFramesEmitted_ += count;
}

void SortformerDiarizer::padAndEmitRemainingMelLocked() {
  if (melInputExhausted_) return;
  melInputExhausted_ = true;
  if (realSamplesReceived_ <= 0) return;
  const std::int64_t nFFT = melSpectrogram_.nFFT();
  const std::int64_t total = (realSamplesReceived_ + nFFT - config_.melWindow) / config_.melStride + 1;
  const std::int64_t count = total - melFramesEmitted_;
  if (count <= 0) return;
  // A pad that decays as the pre-emphasis filter does leaves the filtered signal exactly 0.
  std::vector<float> pad(static_cast<std::size_t>(nFFT / 2), 0.0f);
  const float preemph = melSpectrogram_.preemph();
  if (preemph != 0.0f && !audioBuffer_.empty()) {
    const float last = audioBuffer_.back();
    float factor = preemph;
    for (auto& value : pad) {
      value = factor * last;
      factor *= preemph;
    }
  }
  append(audioBuffer_, pad);
  emitMelFramesLocked(count);
}

// Chunks

std::optional<SortformerDiarizer::StreamingChunk> SortformerDiarizer::getNextChunkFeaturesLocked(
    bool isFinal) {
  const std::int64_t s = config_.subsamplingFactor;
  const std::int64_t core = config_.chunkLen * s;
  const std::int64_t lc = config_.chunkLeftContext * s;
  const std::int64_t rc = config_.chunkRightContext * s;
  const std::int64_t width = config_.melFeatures;
  const auto available = static_cast<std::int64_t>(featureBuffer_.size()) / width;

  const std::int64_t end = std::min(available, startFeat_ + core);
  if (startFeat_ >= end) return std::nullopt;
  // While streaming a chunk waits for its whole right context.
  if (!isFinal && available < end + rc) return std::nullopt;

  StreamingChunk chunk;
  chunk.leftOffset = std::min(startFeat_, lc);
  chunk.rightOffset = std::min(available - end, rc);
  const std::int64_t first = startFeat_ - chunk.leftOffset;
  const std::int64_t last = end + chunk.rightOffset;
  chunk.mel.assign(featureBuffer_.begin() + first * width, featureBuffer_.begin() + last * width);
  chunk.melLength = last - first;

  startFeat_ = end;
  // Keep exactly the frames the next chunk needs as left context.
  if (const std::int64_t drop = end - lc; drop > 0) {
    featureBuffer_.erase(featureBuffer_.begin(), featureBuffer_.begin() + drop * width);
    startFeat_ -= drop;
  }
  return chunk;
}

void SortformerDiarizer::runChunkLocked(const std::vector<float>& mel, std::int64_t melLength,
                                        std::int64_t leftOffset, std::int64_t rightOffset,
                                        ChunkPredictions& into) {
  const std::int64_t s = config_.subsamplingFactor;
  const auto output = models_->runMainModel(mel, melLength, state_.spkcache, state_.spkcacheLength,
                                            state_.fifo, state_.fifoLength, config_);
  const auto embeddingValues = std::clamp<std::int64_t>(
      output.chunkLength * config_.preEncoderDims, 0,
      static_cast<std::int64_t>(output.chunkEmbeddings.size()));
  const auto embeddings = std::span(output.chunkEmbeddings).first(static_cast<std::size_t>(embeddingValues));
  const std::int64_t leftContext = (leftOffset + s / 2) / s;
  const std::int64_t rightContext = (rightOffset + s - 1) / s;
  auto result = stateUpdater_.streamingUpdate(state_, embeddings, output.predictions, leftContext,
                                              rightContext);
  append(into.finalized, result.confirmed);
  into.finalizedFrames += result.confirmedFrameCount();
  into.tentative = std::move(result.tentative);
  diarizerChunkIndex_ += 1;
}

void SortformerDiarizer::makeStreamingChunkLocked(bool isFinal, ChunkPredictions& into,
                                                  std::stop_token stop) {
  if (!models_) throw SortformerError::notInitialized();
  while (auto chunk = getNextChunkFeaturesLocked(isFinal)) {
    try {
      platform::CancellationError::throwIfRequested(stop);
      runChunkLocked(chunk->mel, chunk->melLength, chunk->leftOffset, chunk->rightOffset, into);
    } catch (...) {
      // The chunk's features are consumed either way: its frames count as silence, so that every
      // later frame keeps its place in time.
      const std::int64_t s = config_.subsamplingFactor;
      const std::int64_t coreMel = chunk->melLength - chunk->leftOffset - chunk->rightOffset;
      const std::int64_t frames = (coreMel + s - 1) / s;
      into.finalized.insert(into.finalized.end(),
                            static_cast<std::size_t>(frames * config_.numSpeakers), 0.0f);
      into.finalizedFrames += frames;
      into.tentative.clear();
      throw;
    }
  }
}

std::optional<DiarizerTimelineUpdate> SortformerDiarizer::processLocked(std::stop_token stop) {
  ChunkPredictions run;
  try {
    makeStreamingChunkLocked(false, run, stop);
  } catch (...) {
    handOverLocked(run);
    throw;
  }
  return handOverLocked(run);
}

std::optional<DiarizerTimelineUpdate> SortformerDiarizer::handOverLocked(
    const ChunkPredictions& predictions) {
  if (predictions.finalized.empty()) return std::nullopt;
  const DiarizerChunkResult chunk(numFramesProcessed_, predictions.finalized,
                                  predictions.finalizedFrames, predictions.tentative,
                                  static_cast<std::int64_t>(predictions.tentative.size()) /
                                      config_.numSpeakers);
  numFramesProcessed_ += predictions.finalizedFrames;
  return timeline_->addChunk(chunk);
}

}  // namespace tesselaudio
