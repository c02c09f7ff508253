#include "speech/Diarizer/LS-EEND/LSEENDDiarizer.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/LS-EEND/LSEENDError.h"
#include "speech/Diarizer/LS-EEND/LSEENDFeatureProvider.h"
#include "speech/Diarizer/LS-EEND/LSEENDInput.h"
#include "speech/Diarizer/LS-EEND/LSEENDModel.h"

namespace tesselaudio {
namespace {

DiarizerTimelineConfig forModel(DiarizerTimelineConfig config, const LSEENDMetadata& metadata) {
  config.numSpeakers = metadata.maxSpeakers;
  config.frameDurationSeconds = metadata.frameDurationSeconds;
  return config;
}

std::int64_t samplesPerChunk(const LSEENDMetadata& metadata) {
  return metadata.hopLength * metadata.subsampling * metadata.chunkSize;
}

// Slots already taken: with a name only named speakers count, without one every speaker does.
std::set<std::int64_t> occupiedSlots(const DiarizerTimeline& timeline, bool named) {
  std::set<std::int64_t> occupied;
  for (const auto& [slot, speaker] : timeline.speakers()) {
    if (!named || speaker->name()) occupied.insert(slot);
  }
  return occupied;
}

std::map<std::int64_t, float> scoreSlots(const DiarizerTimelineUpdate& update) {
  std::map<std::int64_t, float> scores;
  auto add = [&](const std::vector<DiarizerSegment>& segments) {
    for (const auto& segment : segments) {
      scores[segment.speakerIndex] +=
          segment.activity * static_cast<float>(segment.endFrame - segment.startFrame);
    }
  };
  add(update.finalizedSegments);
  add(update.tentativeSegments);
  return scores;
}

// A free slot beats an occupied one whatever the scores; otherwise the higher score wins and ties
// keep the lower slot.
std::int64_t bestSlot(const std::map<std::int64_t, float>& scores, const std::set<std::int64_t>& occupied) {
  auto best = scores.begin();
  for (auto candidate = std::next(scores.begin()); candidate != scores.end(); ++candidate) {
    const bool bestTaken = occupied.contains(best->first);
    const bool candidateTaken = occupied.contains(candidate->first);
    if (bestTaken == candidateTaken ? candidate->second > best->second : bestTaken) best = candidate;
  }
  return best->first;
}

}  // namespace

DiarizerTimelineConfig LSEENDDiarizer::defaultTimelineConfig() {
  return DiarizerTimelineConfig::default_(1, 0.1f);
}

LSEENDDiarizer::LSEENDDiarizer(std::optional<DiarizerTimelineConfig> timelineConfig)
    : logger_("LSEENDDiarizer"),
      timelineConfig_(timelineConfig.value_or(defaultTimelineConfig())),
      timeline_(std::make_shared<DiarizerTimeline>(timelineConfig_)) {}

LSEENDDiarizer::LSEENDDiarizer(std::shared_ptr<const LSEENDModel> model,
                               std::optional<DiarizerTimelineConfig> timelineConfig)
    : logger_("LSEENDDiarizer"),
      timelineConfig_(forModel(timelineConfig.value_or(defaultTimelineConfig()), model->metadata())) {
  auto session = std::make_unique<LSEENDFeatureProvider>(model->metadata());
  timeline_ = std::make_shared<DiarizerTimeline>(timelineConfig_);
  adoptModel(std::move(model), std::move(session));
}

LSEENDDiarizer::LSEENDDiarizer(ModelNames::LSEEND::Variant variant, ModelNames::LSEEND::StepSize stepSize,
                               std::optional<DiarizerTimelineConfig> timelineConfig, std::stop_token stop)
    : LSEENDDiarizer(std::shared_ptr<const LSEENDModel>(LSEENDModel::loadFromHuggingFace(
                         variant, stepSize, std::nullopt, platform::MLComputeUnits::cpuOnly, {}, stop)),
                     std::move(timelineConfig)) {}

LSEENDDiarizer::~LSEENDDiarizer() = default;

void LSEENDDiarizer::initialize(std::shared_ptr<const LSEENDModel> model) {
  auto session = std::make_unique<LSEENDFeatureProvider>(model->metadata());
  timelineConfig_ = forModel(timelineConfig_, model->metadata());
  timeline_ = std::make_shared<DiarizerTimeline>(timelineConfig_);
  adoptModel(std::move(model), std::move(session));
  session_->reset();
  framesFedToModel_ = 0;
  finalized_ = false;
}

void LSEENDDiarizer::initialize(ModelNames::LSEEND::Variant variant, ModelNames::LSEEND::StepSize stepSize,
                                const std::optional<std::filesystem::path>& cacheDirectory,
                                platform::MLComputeUnits computeUnits, const ProgressHandler& progressHandler,
                                std::stop_token stop) {
  initialize(std::shared_ptr<const LSEENDModel>(
      LSEENDModel::loadFromHuggingFace(variant, stepSize, cacheDirectory, computeUnits, progressHandler, stop)));
}

void LSEENDDiarizer::adoptModel(std::shared_ptr<const LSEENDModel> model,
                                std::unique_ptr<LSEENDFeatureProvider> session) {
  const LSEENDMetadata& metadata = model->metadata();
  targetSampleRate_ = metadata.sampleRate;
  modelFrameHz_ = 1.0 / static_cast<double>(metadata.frameDurationSeconds);
  numSpeakers_ = metadata.maxSpeakers;
  model_ = std::move(model);
  session_ = std::move(session);
  isAvailable_ = true;
}

std::int64_t LSEENDDiarizer::numFramesProcessed() const { return timeline_->numFinalizedFrames(); }

void LSEENDDiarizer::setTimeline(std::shared_ptr<DiarizerTimeline> timeline) { timeline_ = std::move(timeline); }

void LSEENDDiarizer::addAudio(std::span<const float> samples, std::optional<double> sourceSampleRate) {
  if (samples.empty()) return;
  if (!session_) throw LSEENDError::notInitialized();
  session_->enqueueAudio(samples, sourceSampleRate, true);
}

std::optional<DiarizerTimelineUpdate> LSEENDDiarizer::process(std::stop_token stop) {
  return flush(true, {}, stop);
}

std::optional<DiarizerTimelineUpdate> LSEENDDiarizer::process(std::span<const float> samples,
                                                              std::optional<double> sourceSampleRate,
                                                              std::stop_token stop) {
  addAudio(samples, sourceSampleRate);
  return process(stop);
}

std::optional<DiarizerTimelineUpdate> LSEENDDiarizer::finalizeSession(std::stop_token stop) {
  if (finalized_) return std::nullopt;
  if (!session_) throw LSEENDError::notInitialized();
  session_->drainRightContextWithSilence(true);
  auto update = flush(true, {}, stop);
  timeline_->finalize();
  finalized_ = true;
  return update;
}

std::shared_ptr<DiarizerTimeline> LSEENDDiarizer::processComplete(
    std::span<const float> samples, std::optional<double> sourceSampleRate,
    std::optional<bool> keepingEnrolledSpeakers, bool finalizeOnCompletion, ProgressCallback progressCallback,
    std::stop_token stop) {
  return processCompleteWith([&] { addAudio(samples, sourceSampleRate); }, keepingEnrolledSpeakers,
                             finalizeOnCompletion, progressCallback, stop);
}

std::shared_ptr<DiarizerTimeline> LSEENDDiarizer::processComplete(const std::filesystem::path& audioFileURL,
                                                                  std::optional<bool> keepingEnrolledSpeakers,
                                                                  bool finalizeOnCompletion,
                                                                  ProgressCallback progressCallback,
                                                                  std::stop_token stop) {
  return processCompleteWith([&] { session_->enqueueAudioFile(audioFileURL); }, keepingEnrolledSpeakers,
                             finalizeOnCompletion, progressCallback, stop);
}

std::shared_ptr<DiarizerTimeline> LSEENDDiarizer::processCompleteWith(const std::function<void()>& enqueue,
                                                                      std::optional<bool> keepingEnrolledSpeakers,
                                                                      bool finalizeOnCompletion,
                                                                      const ProgressCallback& progressCallback,
                                                                      std::stop_token stop) {
  if (!session_ || !model_) throw LSEENDError::notInitialized();
  const bool keep = keepingEnrolledSpeakers.value_or(!timeline_->hasSegments());
  session_->reset();
  framesFedToModel_ = 0;
  finalized_ = false;
  timeline_->reset(keep);
  enqueue();
  if (finalizeOnCompletion) session_->drainRightContextWithSilence(true);
  flush(true, progressCallback, stop);
  if (finalizeOnCompletion) {
    timeline_->finalize();
    finalized_ = true;
  }
  return timeline_;
}

void LSEENDDiarizer::restartSession() {
  if (session_) session_->reset();
  framesFedToModel_ = 0;
  finalized_ = false;
}

void LSEENDDiarizer::reset() {
  restartSession();
  timeline_->reset(false);
}

void LSEENDDiarizer::cleanup() {
  restartSession();
  model_.reset();
  session_.reset();
  modelFrameHz_.reset();
  numSpeakers_.reset();
  targetSampleRate_.reset();
  isAvailable_ = false;
}

std::shared_ptr<DiarizerSpeaker> LSEENDDiarizer::enrollSpeaker(std::span<const float> withAudio,
                                                               std::optional<double> sourceSampleRate,
                                                               std::optional<std::string> named,
                                                               bool overwritingAssignedSpeakerName,
                                                               std::stop_token stop) {
  if (!session_) throw LSEENDError::notInitialized();
  auto savedSession = session_->takeSnapshot();
  const auto savedTimeline = timeline_->takeSnapshot();
  const std::int64_t savedFramesFed = framesFedToModel_;
  if (timeline_->hasSegments()) {
    logger_.warning("Enrolling speaker mid session. The timeline will be reset if successful.");
  }

  // Finish and record the audio already queued, so that the clip starts on its own.
  session_->drainRightContextWithSilence(true);
  flush(true, {}, stop);
  const auto occupied = occupiedSlots(*timeline_, named.has_value());

  session_->enqueueAudio(withAudio, sourceSampleRate, false);
  session_->drainRightContextWithSilence(true);
  const auto update = flush(false, {}, stop);

  std::shared_ptr<DiarizerSpeaker> speaker;
  if (update && !update->finalizedSegments.empty()) {
    const std::int64_t slot = bestSlot(scoreSlots(*update), occupied);
    if (!named || overwritingAssignedSpeakerName || !occupied.contains(slot)) {
      speaker = timeline_->upsertSpeaker(named, slot);
    }
  }
  if (!speaker) {
    session_->rollback(std::move(savedSession), false);
    timeline_->rollback(savedTimeline, false);
    framesFedToModel_ = savedFramesFed;
    return nullptr;
  }
  // The recurrent state keeps the voice; only the timeline and the warm-up start again.
  timeline_->reset(true);
  framesFedToModel_ = 0;
  return speaker;
}

std::optional<DiarizerTimelineUpdate> LSEENDDiarizer::flush(bool recordFrames, const ProgressCallback& progressCallback,
                                                            std::stop_token stop) {
  if (!session_ || !model_) throw LSEENDError::notInitialized();
  const LSEENDMetadata& metadata = model_->metadata();
  const std::int64_t perChunk = samplesPerChunk(metadata);
  const std::int64_t expected = session_->readyChunks() * perChunk;
  std::vector<float> predictions;
  predictions.reserve(static_cast<std::size_t>(session_->readyChunks() * metadata.chunkSize * metadata.maxSpeakers));
  std::int64_t count = 0;
  while (true) {
    // Checked before a chunk leaves the provider, so a stop consumes nothing.
    if (stop.stop_requested()) {
      handOver(predictions);
      platform::CancellationError::throwIfRequested(stop);
    }
    LSEENDInput* chunk = session_->emitNextChunk();
    if (!chunk) break;
    if (recordFrames) {
      chunk->setWarmupFrames(std::max<std::int64_t>(0, std::min(metadata.chunkSize, metadata.convDelay - framesFedToModel_)));
      framesFedToModel_ += metadata.chunkSize;
    }
    try {
      const auto probs = model_->predict(*chunk);
      predictions.insert(predictions.end(), probs.begin(), probs.end());
    } catch (...) {
      // The chunk has left the provider and moved the recurrent state: its frames count as
      // silence, so that every later frame keeps its place in time.
      const std::int64_t frames = std::max<std::int64_t>(0, metadata.chunkSize - chunk->warmupFrames());
      predictions.insert(predictions.end(), static_cast<std::size_t>(frames * metadata.maxSpeakers), 0.0f);
      handOver(predictions);
      throw;
    }
    count += 1;
    if (progressCallback) progressCallback(count * perChunk, expected, count);
  }
  return handOver(predictions);
}

std::optional<DiarizerTimelineUpdate> LSEENDDiarizer::handOver(const std::vector<float>& predictions) {
  if (predictions.empty()) return std::nullopt;
  return timeline_->addPredictions(predictions, {});
}

}  // namespace tesselaudio
