#include "speech/Diarizer/Core/DiarizerManager.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "speech/Diarizer/Core/DiarizerError.h"
#include "speech/Diarizer/Segmentation/AudioValidation.h"
#include "speech/Speaker/SpeakerInitializationMode.h"

namespace tesselaudio {
namespace {

using Clock = std::chrono::steady_clock;
using Frames = std::vector<std::vector<float>>;

// The segmentation model always looks at 10 s of 16 kHz audio.
constexpr std::int64_t kSegmentationInputSamples = 160000;
constexpr std::int64_t kMaxChunkSeconds = 10;
// A frame with this much summed activity holds overlapping speech and is left out of every mask.
constexpr float kOverlapLimit = 2.0f;
constexpr float kActivityThreshold = 0.3f;
constexpr float kOverlapActivityThreshold = 0.15f;
constexpr float kQualityNormScale = 10.0f;
constexpr float kSpeakerThresholdFactor = 1.2f;
constexpr float kEmbeddingThresholdFactor = 0.8f;
constexpr float kSingleEmbeddingActivityFloor = 10.0f;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// True when `value` converts to a signed 64-bit integer without overflow.
bool fitsInt64(double value) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  return value >= -kLimit && value < kLimit;
}

float valueOf(const std::vector<float>& frame, std::size_t speaker) {
  return speaker < frame.size() ? frame[speaker] : 0.0f;
}

std::size_t localSpeakerCount(const Frames& frames) {
  return frames.empty() ? 0 : frames.front().size();
}

const Frames& firstBatch(const SegmentationProcessor::Activity& segments) {
  static const Frames kNone;
  return segments.empty() ? kNone : segments.front();
}

// One mask per local speaker: its activity in every frame without overlapping speech.
std::vector<std::vector<float>> masksOf(const Frames& frames) {
  const std::size_t speakers = localSpeakerCount(frames);
  std::vector<std::vector<float>> masks(speakers, std::vector<float>(frames.size(), 0.0f));
  for (std::size_t f = 0; f < frames.size(); ++f) {
    float sum = 0;
    for (float value : frames[f]) sum += value;
    if (sum >= kOverlapLimit) continue;
    for (std::size_t s = 0; s < speakers; ++s) masks[s][f] = valueOf(frames[f], s);
  }
  return masks;
}

// Each local speaker's activity summed over the chunk's frames.
std::vector<float> calculateSpeakerActivities(const Frames& frames) {
  std::vector<float> activities(localSpeakerCount(frames), 0.0f);
  for (const auto& frame : frames) {
    for (std::size_t s = 0; s < activities.size(); ++s) activities[s] += valueOf(frame, s);
  }
  return activities;
}

// Whether local speaker `speaker` talks in `frame`: a lower bar while someone else clearly does.
bool isActive(const std::vector<float>& frame, std::size_t speaker) {
  bool otherSpeaks = false;
  for (std::size_t s = 0; s < frame.size(); ++s) {
    if (s != speaker && frame[s] > kActivityThreshold) otherSpeaks = true;
  }
  const float value = valueOf(frame, speaker);
  return otherSpeaks ? value > kOverlapActivityThreshold : value > kActivityThreshold;
}

float norm(const std::vector<float>& values) {
  float sum = 0;
  for (float value : values) sum += value * value;
  return std::sqrt(sum);
}

}  // namespace

DiarizerManager::DiarizerManager(DiarizerConfig config)
    : logger_("Diarizer"),
      config_(config),
      speakerManager_(config.clusteringThreshold * kSpeakerThresholdFactor,
                      config.clusteringThreshold * kEmbeddingThresholdFactor, config.minSpeechDuration,
                      config.minEmbeddingUpdateDuration) {}

void DiarizerManager::initialize(DiarizerModels models) {
  logger_.info("Initializing diarization system");
  embeddingExtractor_ = std::make_shared<EmbeddingExtractor>(models.embeddingModel);
  logger_.info("EmbeddingExtractor initialized with embedding model");
  models_ = std::move(models);
}

void DiarizerManager::cleanup() {
  models_.reset();
  logger_.info("Diarization resources cleaned up");
}

std::shared_ptr<const platform::MLModel> DiarizerManager::segmentationModel() const {
  return models_ ? models_->segmentationModel : nullptr;
}

bool DiarizerManager::validateEmbedding(std::span<const float> embedding) const {
  return AudioValidation::validateEmbedding(embedding);
}

AudioValidationResult DiarizerManager::validateAudio(std::span<const float> samples) const {
  return AudioValidation::validateAudio(samples);
}

void DiarizerManager::initializeKnownSpeakers(const std::vector<Speaker>& speakers) {
  speakerManager_.initializeKnownSpeakers(speakers, SpeakerInitializationMode::skip, true);
}

std::vector<float> DiarizerManager::extractSpeakerEmbedding(std::span<const float> from) {
  if (!embeddingExtractor_ || !models_) throw DiarizerError::notInitialized();
  // Silence with an empty mask would come back as a confident-looking embedding of nothing.
  if (from.empty()) throw DiarizerError::invalidAudioData();

  const auto& outputs = models_->segmentationModel->modelDescription().outputDescriptionsByName;
  const auto segments = outputs.find("segments");
  const bool hasShape = segments != outputs.end() && segments->second.multiArrayConstraint &&
                        segments->second.multiArrayConstraint->shape.size() >= 2 &&
                        segments->second.multiArrayConstraint->shape[1] > 0;
  if (!hasShape) {
    throw DiarizerError::processingFailed("Cannot determine segmentation frame count from model output shape");
  }
  const auto frames = static_cast<std::size_t>(segments->second.multiArrayConstraint->shape[1]);
  const auto embeddings = embeddingExtractor_->getEmbeddings(from, {std::vector<float>(frames, 1.0f)},
                                                              kSingleEmbeddingActivityFloor);
  if (embeddings.empty()) throw DiarizerError::embeddingExtractionFailed();
  return embeddings.front();
}

DiarizerManager::ChunkPlan DiarizerManager::planChunks(std::int64_t sampleRate) const {
  if (sampleRate != kSampleRate) {
    logger_.error(fmt::format("Sample rate {} Hz refused: the diarizer models take {} Hz audio", sampleRate,
                              kSampleRate));
    throw DiarizerError::invalidAudioData();
  }
  // The messages show the values as configured, in 32-bit floats.
  const float duration = config_.chunkDuration;
  const float overlap = config_.chunkOverlap;
  if (!std::isfinite(duration) || !std::isfinite(overlap)) {
    throw DiarizerError::processingFailed(
        fmt::format("chunkDuration {} s and chunkOverlap {} s must be finite", duration, overlap));
  }
  const double seconds = std::round(static_cast<double>(duration));
  const double overlapSeconds = std::round(static_cast<double>(overlap));
  if (seconds <= 0 || seconds > kMaxChunkSeconds) {
    throw DiarizerError::processingFailed(fmt::format(
        "chunkDuration {} s rounds to {} s; chunks last from 1 to {} whole seconds", duration, seconds,
        kMaxChunkSeconds));
  }
  const double rate = static_cast<double>(sampleRate);
  const std::int64_t chunkSize = static_cast<std::int64_t>(seconds) * sampleRate;
  std::int64_t step = 0;
  if (!fitsInt64(overlapSeconds * rate) ||
      __builtin_sub_overflow(chunkSize, static_cast<std::int64_t>(overlapSeconds * rate), &step)) {
    throw DiarizerError::processingFailed(fmt::format(
        "chunkOverlap {} s at {} Hz leaves the 64-bit range of sample positions", overlap, sampleRate));
  }
  if (step <= 0) {
    throw DiarizerError::processingFailed(fmt::format(
        "chunkOverlap {} s rounds to {} s, which leaves no step forward after chunks of {} s", overlap,
        overlapSeconds, seconds));
  }
  return ChunkPlan{chunkSize, step};
}

DiarizationResult DiarizerManager::performCompleteDiarization(std::span<const float> samples,
                                                              std::int64_t sampleRate, double atTime,
                                                              const ProgressHandler& progressHandler) {
  if (!models_) throw DiarizerError::notInitialized();
  const ChunkPlan plan = planChunks(sampleRate);
  const DiarizerModels models = *models_;

  const auto count = static_cast<std::int64_t>(samples.size());
  std::vector<float> chunkBuffer(static_cast<std::size_t>(std::max<std::int64_t>(plan.chunkSize, 1)), 0.0f);
  std::vector<std::vector<TimedSpeakerSegment>> chunkSegments;
  std::vector<ChunkEmbedding> chunkEmbeddings;
  ChunkTimings sums;
  for (std::int64_t start = 0, index = 0; start < count; ++index) {
    const std::int64_t length = std::min(plan.chunkSize, count - start);
    const double offset = atTime + static_cast<double>(start) / static_cast<double>(sampleRate);
    auto chunk = processChunkWithSpeakerTracking(
        samples.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(length)), index, offset, models,
        plan.chunkSize, chunkBuffer);
    chunkSegments.push_back(std::move(chunk.segments));
    chunkEmbeddings.insert(chunkEmbeddings.end(), std::make_move_iterator(chunk.chunkEmbeddings.begin()),
                           std::make_move_iterator(chunk.chunkEmbeddings.end()));
    sums.segmentationSeconds += chunk.timings.segmentationSeconds;
    sums.embeddingExtractionSeconds += chunk.timings.embeddingExtractionSeconds;
    sums.speakerClusteringSeconds += chunk.timings.speakerClusteringSeconds;

    // Written so that a step past the end cannot overflow.
    const std::int64_t next = plan.step >= count - start ? count : start + plan.step;
    if (progressHandler) progressHandler(static_cast<double>(next) / static_cast<double>(count));
    start = next;
  }
  if (progressHandler) progressHandler(1.0);

  const auto postProcessingStart = Clock::now();
  DiarizationResult result;
  for (auto& segments : chunkSegments) {
    result.segments.insert(result.segments.end(), std::make_move_iterator(segments.begin()),
                           std::make_move_iterator(segments.end()));
  }
  const double postProcessingSeconds = secondsSince(postProcessingStart);

  if (config_.exposeChunkEmbeddings) result.chunkEmbeddings = std::move(chunkEmbeddings);
  if (config_.debugMode) {
    std::map<std::string, std::vector<float>> database;
    for (const auto& [id, speaker] : speakerManager_.speakerDatabase()) database[id] = speaker.currentEmbedding;
    result.speakerDatabase = std::move(database);
    result.timings = PipelineTimings(models.compilationDuration, 0, sums.segmentationSeconds,
                                     sums.embeddingExtractionSeconds, sums.speakerClusteringSeconds,
                                     postProcessingSeconds);
  }
  return result;
}

DiarizerManager::ChunkResult DiarizerManager::processChunkWithSpeakerTracking(
    std::span<const float> chunk, std::int64_t chunkIndex, double chunkOffset, const DiarizerModels& models,
    std::int64_t chunkSize, std::vector<float>& chunkBuffer) {
  const auto start = Clock::now();
  const auto size = static_cast<std::size_t>(chunkSize);
  if (chunkBuffer.size() != size) chunkBuffer.assign(size, 0.0f);
  // A short last chunk is padded with zeros, never with the previous chunk's samples.
  std::fill(chunkBuffer.begin(), chunkBuffer.end(), 0.0f);
  std::copy_n(chunk.begin(), std::min(size, chunk.size()), chunkBuffer.begin());
  const std::span<const float> audio(chunkBuffer.data(), size);

  ChunkResult result;
  const auto output = segmentationProcessor_.getSegments(audio, *models.segmentationModel, kSegmentationInputSamples);
  result.timings.segmentationSeconds = secondsSince(start);

  const auto embeddingStart = Clock::now();
  if (!embeddingExtractor_) throw DiarizerError::notInitialized();
  const Frames& frames = firstBatch(output.segments);
  const auto embeddings = embeddingExtractor_->getEmbeddings(audio, masksOf(frames), config_.minActiveFramesCount);
  result.timings.embeddingExtractionSeconds = secondsSince(embeddingStart);

  const auto clusteringStart = Clock::now();
  const auto activities = calculateSpeakerActivities(frames);
  const auto speakerIds = assignSpeakers(embeddings, activities);
  result.timings.speakerClusteringSeconds = secondsSince(clusteringStart);

  result.segments = createTimedSegments(output.segments, chunkOffset, embeddings, speakerIds, activities);
  if (config_.exposeChunkEmbeddings) {
    result.chunkEmbeddings = chunkEmbeddingsOf(output.segments, chunkIndex, chunkOffset, embeddings, speakerIds);
  }
  return result;
}

std::vector<std::string> DiarizerManager::assignSpeakers(const std::vector<std::vector<float>>& embeddings,
                                                         const std::vector<float>& activities) {
  std::vector<std::string> ids(activities.size());
  // In slot order, so that a speaker made for slot 0 can already take slot 1.
  for (std::size_t s = 0; s < activities.size(); ++s) {
    if (s >= embeddings.size()) continue;
    if (!(config_.minActiveFramesCount < activities[s]) || !validateEmbedding(embeddings[s])) continue;
    const float speechDuration = activities[s] * static_cast<float>(kFrameStepSeconds);
    if (const auto speaker = speakerManager_.assignSpeaker(embeddings[s], speechDuration)) ids[s] = speaker->id;
  }
  return ids;
}

std::vector<TimedSpeakerSegment> DiarizerManager::createTimedSegments(
    const SegmentationProcessor::Activity& segments, double chunkOffset,
    const std::vector<std::vector<float>>& embeddings, const std::vector<std::string>& speakerIds,
    const std::vector<float>& activities) const {
  const Frames& frames = firstBatch(segments);
  const std::size_t speakers = localSpeakerCount(frames);
  std::vector<TimedSpeakerSegment> result;
  for (std::size_t j = 0; j < speakers; ++j) {
    const float activity = j < activities.size() ? activities[j] : 0.0f;
    if (activity < config_.minActiveFramesCount) continue;
    const bool hasSpeaker = j < speakerIds.size() && !speakerIds[j].empty() && j < embeddings.size();

    auto emit = [&](std::size_t a, std::size_t b) {
      if (!hasSpeaker) return;
      const double start = chunkOffset + kFrameStepSeconds * static_cast<double>(a);
      const double end = chunkOffset + kFrameStepSeconds * static_cast<double>(b);
      if (static_cast<float>(end - start) < config_.minSpeechDuration) return;
      const float quality = activity / static_cast<float>(b - a) * std::min(norm(embeddings[j]) / kQualityNormScale, 1.0f);
      result.emplace_back(speakerIds[j], embeddings[j], static_cast<float>(start), static_cast<float>(end), quality);
    };
    std::optional<std::size_t> runStart;
    for (std::size_t f = 0; f < frames.size(); ++f) {
      const bool active = isActive(frames[f], j);
      if (active && !runStart) runStart = f;
      if (!active && runStart) {
        emit(*runStart, f);
        runStart.reset();
      }
    }
    if (runStart) emit(*runStart, frames.size());
  }
  std::stable_sort(result.begin(), result.end(), [](const TimedSpeakerSegment& a, const TimedSpeakerSegment& b) {
    return a.startTimeSeconds < b.startTimeSeconds;
  });
  return result;
}

std::vector<ChunkEmbedding> DiarizerManager::chunkEmbeddingsOf(const SegmentationProcessor::Activity& segments,
                                                               std::int64_t chunkIndex, double chunkOffset,
                                                               const std::vector<std::vector<float>>& embeddings,
                                                               const std::vector<std::string>& speakerIds) const {
  const Frames& frames = firstBatch(segments);
  std::vector<ChunkEmbedding> result;
  for (std::size_t s = 0; s < speakerIds.size() && s < embeddings.size(); ++s) {
    if (speakerIds[s].empty()) continue;
    std::optional<std::size_t> first, last;
    for (std::size_t f = 0; f < frames.size(); ++f) {
      if (valueOf(frames[f], s) > 0) {
        if (!first) first = f;
        last = f;
      }
    }
    if (!first) continue;
    result.push_back(ChunkEmbedding{speakerIds[s], chunkIndex, static_cast<std::int64_t>(s),
                                    chunkOffset + static_cast<double>(*first) * kFrameStepSeconds,
                                    chunkOffset + static_cast<double>(*last + 1) * kFrameStepSeconds,
                                    embeddings[s], {}});
  }
  return result;
}

}  // namespace tesselaudio
