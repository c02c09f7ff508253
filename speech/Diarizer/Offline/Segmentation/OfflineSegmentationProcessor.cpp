#include "speech/Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Diarizer/Offline/Utils/VDSPOperations.h"
#include "speech/Shared/MLModelExtensions.h"
#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPowersetClasses = 8;
constexpr std::size_t kLocalSpeakers = 3;
constexpr std::array<double, 9> kWinningThresholds = {0.5, 0.7, 0.8, 0.9, 0.95, 0.98, 0.99, 0.995, 0.999};

// The speaker weights of each powerset class.
constexpr std::array<std::array<float, kLocalSpeakers>, kPowersetClasses> kClassWeights{{
    {0, 0, 0},
    {1, 0, 0},
    {0, 1, 0},
    {0, 0, 1},
    {1, 1, 0},
    {1, 0, 1},
    {0, 1, 1},
    {1, 1, 1},
}};

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string describe(const std::exception_ptr& error) { return platform::Error::messageOf(error); }

// The output to decode: "segments", else "log_probs", else the first multi-array output by name.
std::shared_ptr<MLMultiArray> findScores(const platform::MLFeatureProvider& outputs) {
  for (const char* name : {"segments", "log_probs"}) {
    if (const auto value = outputs.featureValue(name); value && value->multiArrayValue()) {
      return value->multiArrayValue();
    }
  }
  for (const auto& name : outputs.featureNames()) {
    if (const auto value = outputs.featureValue(name); value && value->multiArrayValue()) {
      return value->multiArrayValue();
    }
  }
  return nullptr;
}

std::string quotedList(const std::set<std::string>& names) {
  std::string text = "[";
  for (const auto& name : names) {
    if (text.size() > 1) text += ", ";
    text += "\"" + name + "\"";
  }
  return text + "]";
}

// The array's elements as float32 in row-major order: the array's own memory when it is dense
// float32, else a converted copy kept in `scratch`.
const float* readFloats(const MLMultiArray& array, std::vector<float>& scratch) {
  if (array.dataType() == MLMultiArrayDataType::float32 && array.isContiguous()) {
    return static_cast<const float*>(array.dataPointer());
  }
  scratch.resize(static_cast<std::size_t>(array.count()));
  for (std::int64_t i = 0; i < array.count(); ++i) scratch[static_cast<std::size_t>(i)] = array[i].floatValue();
  return scratch.data();
}

// The index of the largest score, the first of equal maxima.
std::size_t winningClass(std::span<const float> row) {
  std::size_t winner = 0;
  float best = std::numeric_limits<float>::lowest();
  for (std::size_t c = 0; c < row.size(); ++c) {
    if (row[c] > best) {
      best = row[c];
      winner = c;
    }
  }
  return winner;
}

// Counters behind the debug lines of one run.
struct Statistics {
  std::array<std::int64_t, kPowersetClasses> histogram{};
  std::array<double, kPowersetClasses> classProbabilitySums{};
  std::int64_t speechFrames = 0;
  double winningMin = 1.0;
  double winningMax = 0.0;
  double winningSum = 0.0;
  std::array<std::int64_t, kWinningThresholds.size()> thresholdCounts{};
  double silenceOnSpeechSum = 0.0;
  std::int64_t maskSpeechFrames = 0;
};

}  // namespace

// The working state of one process() call.
struct OfflineSegmentationProcessor::Run {
  const AudioSampleSource* source = nullptr;
  std::int64_t total = 0;
  std::int64_t window = 0;
  std::int64_t step = 0;
  double windowSeconds = 0;
  double sampleRate = 0;
  float onsetThreshold = 0;

  // One window of samples, kept across batches so that overlapping samples are read once.
  std::vector<float> buffer;
  std::optional<std::int64_t> lastFilledStart;
  std::int64_t chunkIndex = 0;
  bool handlerStopped = false;

  SegmentationOutput output;
  std::int64_t frames = 0;
  double frameDuration = 0;

  double prepareMilliseconds = 0;
  double predictionMilliseconds = 0;
  Statistics statistics;
  std::vector<float> scratch;
};

OfflineSegmentationProcessor::OfflineSegmentationProcessor()
    : logger_("OfflineSegmentation"),
      signposter_("tessel-audio.diarization", platform::Signposter::pointsOfInterest) {}

const std::vector<std::vector<std::int64_t>>& OfflineSegmentationProcessor::powerset() {
  static const std::vector<std::vector<std::int64_t>> table = {{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}, {0, 1, 2}};
  return table;
}

SegmentationOutput OfflineSegmentationProcessor::process(const AudioSampleSource& audioSource,
                                                         const platform::MLModel& segmentationModel,
                                                         const OfflineDiarizerConfig& config,
                                                         const SegmentationChunkHandler& chunkHandler,
                                                         std::stop_token stop) {
  Run run;
  run.source = &audioSource;
  run.total = audioSource.sampleCount();
  if (run.total < 1) throw OfflineDiarizationError::noSpeechDetected();
  run.window = config.samplesPerWindow();
  run.step = config.samplesPerStep();
  run.windowSeconds = config.segmentation.windowDurationSeconds;
  run.sampleRate = static_cast<double>(config.segmentation.sampleRate);
  run.onsetThreshold = config.segmentation.speechOnsetThreshold;
  const std::int64_t batch = config.segmentation.batchSize;
  logger_.debug(fmt::format("Offline segmentation: chunkSize={}, stepSize={}, totalSamples={}", run.window,
                            run.step, run.total));
  run.buffer.assign(static_cast<std::size_t>(run.window), 0.0f);

  warmUp(segmentationModel, run.window, stop);

  std::int64_t nextStart = 0;
  bool first = true;
  while (true) {
    platform::CancellationError::throwIfRequested(stop);
    std::vector<std::int64_t> starts;
    for (std::int64_t s = nextStart; s < run.total && static_cast<std::int64_t>(starts.size()) < batch; s += run.step) {
      starts.push_back(s);
    }
    if (starts.empty()) {
      if (first) throw OfflineDiarizationError::processingFailed("Segmentation produced no analysis windows");
      break;
    }
    first = false;
    nextStart = starts.back() + run.step;

    const auto count = static_cast<std::int64_t>(starts.size());
    auto input = memoryOptimizer_.getPooledBuffer(fmt::format("offline_segmentation_audio_{}_{}", count, run.window),
                                                  {count, 1, run.window}, MLMultiArrayDataType::float32);
    const auto prepareStart = Clock::now();
    auto* slots = static_cast<float*>(input->dataPointer());
    const std::int64_t slotStride = input->strides()[0];
    for (std::int64_t i = 0; i < count; ++i) {
      fillWindow(run, starts[static_cast<std::size_t>(i)], slots + i * slotStride);
    }
    run.prepareMilliseconds += millisecondsSince(prepareStart);

    const ZeroCopyDiarizerFeatureProvider features(
        {{"audio", std::make_shared<const platform::MLFeatureValue>(input)}});
    std::unique_ptr<platform::MLFeatureProvider> outputs;
    {
      auto interval = signposter_.beginInterval("Segmentation Model Prediction");
      platform::CancellationError::throwIfRequested(stop);
      const auto predictionStart = Clock::now();
      outputs = compatPrediction(segmentationModel, features, {}, stop);
      run.predictionMilliseconds += millisecondsSince(predictionStart);
    }
    decodeBatch(run, *outputs, starts, chunkHandler);
  }

  logStatistics(run);
  reportTimings(run);
  run.output.numChunks = static_cast<std::int64_t>(run.output.logProbs.size());
  run.output.numFrames = run.frames;
  run.output.numSpeakers = static_cast<std::int64_t>(kLocalSpeakers);
  run.output.frameDuration = run.frameDuration;
  return std::move(run.output);
}

void OfflineSegmentationProcessor::warmUp(const platform::MLModel& model, std::int64_t window, std::stop_token stop) {
  try {
    auto input = memoryOptimizer_.getPooledBuffer(fmt::format("offline_segmentation_warmup_{}", window),
                                                  {1, 1, window}, MLMultiArrayDataType::float32);
    std::fill_n(static_cast<float*>(input->dataPointer()), input->strides()[0], 0.0f);
    const ZeroCopyDiarizerFeatureProvider features(
        {{"audio", std::make_shared<const platform::MLFeatureValue>(input)}});
    compatPrediction(model, features, {}, stop);
  } catch (const platform::CancellationError&) {
    throw;
  } catch (...) {
    logger_.debug("Segmentation warmup skipped due to error: " + describe(std::current_exception()));
  }
}

void OfflineSegmentationProcessor::fillWindow(Run& run, std::int64_t start, float* slot) const {
  float* buffer = run.buffer.data();
  const std::int64_t window = run.window;
  const std::int64_t step = run.step;
  if (run.lastFilledStart && step < window && *run.lastFilledStart + step == start) {
    // Keep the overlap and read only the new tail.
    const std::int64_t kept = window - step;
    std::memmove(buffer, buffer + step, static_cast<std::size_t>(kept) * sizeof(float));
    const std::int64_t tailStart = start + kept;
    const std::int64_t n = std::max<std::int64_t>(0, std::min(step, run.total - tailStart));
    if (n > 0) run.source->copySamples(buffer + kept, tailStart, n);
    std::fill(buffer + kept + n, buffer + window, 0.0f);
  } else {
    const std::int64_t n = std::max<std::int64_t>(0, std::min(window, run.total - start));
    if (n > 0) run.source->copySamples(buffer, start, n);
    std::fill(buffer + n, buffer + window, 0.0f);
  }
  run.lastFilledStart = start;
  std::memcpy(slot, buffer, static_cast<std::size_t>(window) * sizeof(float));
}

void OfflineSegmentationProcessor::decodeBatch(Run& run, const platform::MLFeatureProvider& outputs,
                                               const std::vector<std::int64_t>& starts,
                                               const SegmentationChunkHandler& chunkHandler) const {
  const auto scores = findScores(outputs);
  if (!scores) {
    throw OfflineDiarizationError::processingFailed(
        "Segmentation model missing expected multiarray output. Available: " + quotedList(outputs.featureNames()));
  }
  const auto& shape = scores->shape();
  std::int64_t batchOut = 0, frames = 0, classes = 0;
  if (shape.size() == 2) {
    batchOut = 1;
    frames = shape[0];
    classes = shape[1];
  } else if (shape.size() == 3) {
    batchOut = shape[0];
    frames = shape[1];
    classes = shape[2];
  } else {
    throw OfflineDiarizationError::processingFailed(
        fmt::format("Unexpected segmentation output shape [{}]", fmt::join(shape, ", ")));
  }
  if (classes > static_cast<std::int64_t>(kPowersetClasses)) {
    logger_.error(fmt::format("Segmentation model returned {} classes but only {} powerset entries available",
                              classes, kPowersetClasses));
  }
  const float* data = readFloats(*scores, run.scratch);
  const double frameDuration = run.windowSeconds / static_cast<double>(frames);
  run.frames = frames;
  run.frameDuration = frameDuration;
  const auto classCount = static_cast<std::size_t>(classes);
  const std::size_t knownClasses = std::min(classCount, kPowersetClasses);
  Statistics& stats = run.statistics;
  std::vector<float> probabilities(classCount);

  const std::int64_t windows = std::min(static_cast<std::int64_t>(starts.size()), batchOut);
  for (std::int64_t w = 0; w < windows; ++w) {
    const double offsetSeconds = static_cast<double>(starts[static_cast<std::size_t>(w)]) / run.sampleRate;
    run.output.chunkOffsets.push_back(offsetSeconds);
    std::vector<std::vector<float>> logProbs(static_cast<std::size_t>(frames));
    std::vector<std::vector<float>> weights(static_cast<std::size_t>(frames));
    std::array<std::int64_t, kLocalSpeakers> speakerFrames{};
    for (std::int64_t f = 0; f < frames; ++f) {
      const std::span<const float> row(data + (w * frames + f) * classes, classCount);
      const std::size_t winner = winningClass(row);
      const float lse = VDSPOperations::logSumExp(row);
      auto& frameLogProbs = logProbs[static_cast<std::size_t>(f)];
      frameLogProbs.resize(classCount);
      for (std::size_t c = 0; c < classCount; ++c) {
        frameLogProbs[c] = row[c] - lse;
        probabilities[c] = std::exp(frameLogProbs[c]);
      }
      for (std::size_t c = 0; c < knownClasses; ++c) stats.classProbabilitySums[c] += probabilities[c];
      if (winner < kPowersetClasses) ++stats.histogram[winner];

      const std::size_t c = std::min(winner, kPowersetClasses - 1);
      const auto& classWeights = kClassWeights[c];
      const float silence = classCount > 0 ? probabilities[0] : 0.0f;
      auto& frameWeights = weights[static_cast<std::size_t>(f)];
      if (c != 0) {
        ++stats.speechFrames;
        const double p = c < classCount ? probabilities[c] : 0.0;
        stats.winningMin = std::min(stats.winningMin, p);
        stats.winningMax = std::max(stats.winningMax, p);
        stats.winningSum += p;
        for (std::size_t t = 0; t < kWinningThresholds.size(); ++t) {
          if (p >= kWinningThresholds[t]) ++stats.thresholdCounts[t];
        }
        stats.silenceOnSpeechSum += silence;
        frameWeights.assign(classWeights.begin(), classWeights.end());
      } else {
        frameWeights.assign(kLocalSpeakers, 0.0f);
      }
      if (std::clamp(1.0f - silence, 0.0f, 1.0f) >= run.onsetThreshold) ++stats.maskSpeechFrames;
      for (std::size_t s = 0; s < kLocalSpeakers; ++s) {
        if (frameWeights[s] >= run.onsetThreshold) ++speakerFrames[s];
      }
    }

    if (chunkHandler && !run.handlerStopped) {
      const SegmentationChunk chunk{run.chunkIndex, offsetSeconds, frameDuration, logProbs, weights};
      if (chunkHandler(chunk) == SegmentationChunkContinuation::stop) run.handlerStopped = true;
    }
    if (run.chunkIndex == 0) {
      logger_.debug(fmt::format("Chunk 0 speaker frame counts: [{}]", fmt::join(speakerFrames, ", ")));
    }
    run.output.logProbs.push_back(std::move(logProbs));
    run.output.speakerWeights.push_back(std::move(weights));
    ++run.chunkIndex;
  }
}

void OfflineSegmentationProcessor::logStatistics(const Run& run) const {
  const Statistics& stats = run.statistics;
  std::int64_t histogramTotal = 0;
  for (auto count : stats.histogram) histogramTotal += count;
  if (histogramTotal > 0) {
    const auto total = static_cast<double>(histogramTotal);
    const std::int64_t speech = histogramTotal - stats.histogram[0];
    logger_.debug(fmt::format("Segmentation histogram: speechFrames={} totalFrames={} speechRatio={:.3f} "
                              "avgNonSpeechProb={:.3f}",
                              speech, histogramTotal, static_cast<double>(speech) / total,
                              stats.classProbabilitySums[0] / total));
  }
  const std::int64_t frames = run.frames * static_cast<std::int64_t>(run.output.logProbs.size());
  if (frames >= 1) {
    logger_.debug(fmt::format("Segmentation mask speech frames = {} / {} (ratio={:.3f}, speechSeconds\u2248{:.1f}s)",
                              stats.maskSpeechFrames, frames,
                              static_cast<double>(stats.maskSpeechFrames) / static_cast<double>(frames),
                              run.frameDuration * static_cast<double>(stats.maskSpeechFrames)));
  }
  if (stats.speechFrames > 0) {
    const auto count = static_cast<double>(stats.speechFrames);
    logger_.debug(fmt::format("Winning speaker probability stats: count={}, avg={:.3f}, min={:.3f}, max={:.3f}",
                              stats.speechFrames, stats.winningSum / count, stats.winningMin, stats.winningMax));
    std::string distribution;
    for (std::size_t t = 0; t < kWinningThresholds.size(); ++t) {
      if (t > 0) distribution += ", ";
      distribution += fmt::format("\u2265{:.3f}:{}", kWinningThresholds[t], stats.thresholdCounts[t]);
    }
    logger_.debug("Winning probability distribution " + distribution);
    logger_.debug(fmt::format("Empty-class probability on speech frames: avg={:.3f}", stats.silenceOnSpeechSum / count));
  }
}

void OfflineSegmentationProcessor::reportTimings(const Run& run) const {
  const auto windows = static_cast<std::int64_t>(run.output.logProbs.size());
  if (windows <= 0) return;
  const auto w = static_cast<double>(windows);
  const std::string line = fmt::format(
      "Segmentation timings: windows={} prepareTotal={:.2f}ms (perWindow={:.4f}ms) predictionTotal={:.2f}ms "
      "(perWindow={:.4f}ms)",
      windows, run.prepareMilliseconds, run.prepareMilliseconds / w, run.predictionMilliseconds,
      run.predictionMilliseconds / w);
  logger_.debug(line);
  // One write, so that the line never interleaves with another thread's output.
  const std::string profiling = "[Profiling] " + line + "\n";
  const ssize_t written = ::write(STDERR_FILENO, profiling.data(), profiling.size());
  if (written != static_cast<ssize_t>(profiling.size())) {
    static const AppLogger shared("OfflineSegmentation");
    const std::string reason = written < 0 ? std::strerror(errno) : "short write";
    shared.warning("Failed to write profiling log: " + reason);
  }
}

}  // namespace tesselaudio
