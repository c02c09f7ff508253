// The streaming extraction of OfflineEmbeddingExtractor: segmentation chunks in, timed embeddings
// with PLDA features out.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "speech/Diarizer/Offline/Extraction/WeightInterpolation.h"
#include "speech/Shared/ArrayAudioSampleSource.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

// A frame counts for a speaker when its weight exceeds this.
constexpr float kActiveThreshold = 0.001f;
// A speaker needs a weight sum of at least this share of the window's frames.
constexpr float kMinimumCleanShare = 0.2f;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A per-item figure: 0 when there was no item.
double per(double total, std::int64_t items) { return items < 1 ? 0.0 : total / static_cast<double>(items); }

float sum(std::span<const float> values) { return std::accumulate(values.begin(), values.end(), 0.0f); }

// What a queued FBANK window needs once its features exist.
struct OfflineChunkBatchInfo {
  std::int64_t chunkIndex = 0;
  double chunkOffsetSeconds = 0;
  double frameDuration = 0;
  std::vector<std::vector<float>> speakerWeights;
};

struct CachedSpeakerEmbedding {
  std::vector<float> mask;
  std::vector<float> embedding;
};

// Cosine similarity of two frame masks; 0 for an empty first mask, masks of different lengths or
// a zero norm.
float maskCosineSimilarity(std::span<const float> a, std::span<const float> b) {
  if (a.empty() || a.size() != b.size()) return 0;
  float dot = 0, na = 0, nb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  const float norms = std::sqrt(na) * std::sqrt(nb);
  return norms > 0 ? dot / norms : 0;
}

}  // namespace

// The working state of one extraction call.
class OfflineEmbeddingExtractor::Extraction {
 public:
  Extraction(const OfflineEmbeddingExtractor& extractor, const AudioSampleSource& source, std::stop_token stop)
      : extractor_(extractor),
        source_(source),
        stop_(std::move(stop)),
        config_(extractor.config_),
        batchSize_(extractor.modelBatchLimit_),
        sampleCount_(source.sampleCount()),
        windowSamples_(std::max<std::int64_t>(0, extractor.config_.samplesPerWindow())),
        window_(static_cast<std::size_t>(windowSamples_), 0.0f) {
    const auto& strategy = config_.embedding.skipStrategy;
    if (strategy.kind == OfflineDiarizerConfig::EmbeddingSkipStrategy::Kind::maskSimilarity) {
      skipThreshold_ = strategy.threshold;
    }
    results_.reserve(static_cast<std::size_t>(8 * config_.embedding.batchSize > 0 ? 8 * config_.embedding.batchSize : 0));
    fbankQueue_.reserve(static_cast<std::size_t>(batchSize_));
    fbankInfo_.reserve(static_cast<std::size_t>(batchSize_));
    pldaQueue_.reserve(static_cast<std::size_t>(batchSize_));
  }

  std::vector<TimedEmbedding> run(platform::Channel<SegmentationChunk>::Receiver& stream) {
    extractor_.performEmbeddingWarmup(stop_);
    while (auto chunk = stream.receive(stop_)) {
      platform::CancellationError::throwIfRequested(stop_);
      queueWindow(std::move(*chunk));
    }
    if (!fbankQueue_.empty()) runFbankBatch();
    if (!pldaQueue_.empty()) runPldaBatch();
    logSummary();
    return std::move(results_);
  }

 private:
  void queueWindow(SegmentationChunk chunk) {
    const auto frames = static_cast<std::int64_t>(chunk.speakerWeights.size());
    if (frames == 0) return;
    const double windowSeconds = config_.segmentation.windowDurationSeconds;
    const double frameDuration =
        chunk.frameDuration > 0 ? chunk.frameDuration : windowSeconds / static_cast<double>(frames);
    const double offset = std::isfinite(chunk.chunkOffsetSeconds)
                              ? chunk.chunkOffsetSeconds
                              : windowSeconds * static_cast<double>(chunk.chunkIndex);

    // Clamped as a double first: an offset far past the end must not overflow the conversion.
    const double rounded = std::round(offset * static_cast<double>(config_.segmentation.sampleRate));
    const auto start = static_cast<std::int64_t>(std::clamp(rounded, 0.0, static_cast<double>(sampleCount_)));
    const std::int64_t end = std::min(sampleCount_, start + windowSamples_);
    if (end <= start) return;  // the window lies wholly after the end of the audio

    // The source fills [0, end − start); only the rest needs clearing.
    source_.copySamples(window_.data(), start, windowSamples_);
    std::fill(window_.begin() + (end - start), window_.end(), 0.0f);
    fbankQueue_.push_back(extractor_.prepareFbankInput(window_.data(), end - start));
    ++windows_;
    fbankInfo_.push_back({chunk.chunkIndex, offset, frameDuration, std::move(chunk.speakerWeights)});
    if (static_cast<std::int64_t>(fbankQueue_.size()) >= batchSize_) runFbankBatch();
  }

  void runFbankBatch() {
    const auto started = Clock::now();
    const auto features = extractor_.runFbankBatch(fbankQueue_, stop_);
    fbankMilliseconds_ += millisecondsSince(started);
    ++fbankBatches_;
    for (std::size_t i = 0; i < fbankInfo_.size(); ++i) processChunk(fbankInfo_[i], features[i]);
    // A cached embedding serves only the FBANK batch it was computed in.
    speakerCache_.clear();
    fbankQueue_.clear();
    fbankInfo_.clear();
  }

  void processChunk(const OfflineChunkBatchInfo& info, const std::shared_ptr<MLMultiArray>& fbankFeatures) {
    const auto frames = static_cast<std::int64_t>(info.speakerWeights.size());
    const auto speakers = frames == 0 ? 0 : static_cast<std::int64_t>(info.speakerWeights.front().size());
    if (frames == 0 || speakers == 0) return;

    const float minActiveFrames =
        info.frameDuration > 0
            ? static_cast<float>(std::max(1.0, std::ceil(config_.embedding.minSegmentDurationSeconds / info.frameDuration)))
            : 1.0f;
    const auto overlapped = overlappedFrames(info.speakerWeights, speakers);
    const auto transposed = transposeWeights(info.speakerWeights, frames, speakers);
    const auto* rows = static_cast<const float*>(transposed->dataPointer());
    const std::int64_t rowStride = transposed->strides()[0];
    std::optional<WeightInterpolation::InterpolationCoefficients> resampling;
    if (frames != extractor_.weightFrameCount_) resampling.emplace(frames, extractor_.weightFrameCount_);

    for (std::int64_t j = 0; j < speakers; ++j) {
      auto started = Clock::now();
      const std::span<const float> weights(rows + j * rowStride, static_cast<std::size_t>(frames));
      const float weightSum = sum(weights);
      std::vector<float> clean(weights.begin(), weights.end());
      if (!overlapped.empty()) {
        for (std::size_t f = 0; f < clean.size(); ++f) {
          if (overlapped[f]) clean[f] = 0;
        }
      }
      const float cleanSum = sum(clean);
      // Written so that NaN weights count as empty.
      if (!(weightSum > 0) || !(cleanSum >= kMinimumCleanShare * static_cast<float>(frames))) {
        emptyMask(maskPrepMilliseconds_, started);
        continue;
      }
      std::vector<float> mask;
      float active = 0;
      if (cleanSum >= minActiveFrames) {
        mask = std::move(clean);
        active = cleanSum;
      } else {
        mask.assign(weights.begin(), weights.end());
        active = weightSum;
        ++fallbackMasks_;
      }
      maskPrepMilliseconds_ += millisecondsSince(started);

      started = Clock::now();
      const std::vector<float> resampled = resampling ? resampling->interpolate(mask) : mask;
      if (resampled.empty() || !(sum(resampled) > 0)) {
        emptyMask(resampleMilliseconds_, started);
        continue;
      }
      resampleMilliseconds_ += millisecondsSince(started);

      auto embedding = embed(j, mask, resampled, fbankFeatures);
      const auto activeFrame = [](float w) { return w > kActiveThreshold; };
      const auto first = std::find_if(mask.begin(), mask.end(), activeFrame);
      const auto last = std::find_if(mask.rbegin(), mask.rend(), activeFrame);
      const std::int64_t startFrame = first == mask.end() ? 0 : first - mask.begin();
      const std::int64_t endFrame =
          last == mask.rend() ? startFrame : static_cast<std::int64_t>(mask.rend() - last) - 1;
      ++validMasks_;
      activeFrameSum_ += active;
      const double startTime = info.chunkOffsetSeconds + info.frameDuration * static_cast<double>(startFrame);
      const double endTime = info.chunkOffsetSeconds + info.frameDuration * static_cast<double>(endFrame + 1);
      pldaQueue_.push_back({info.chunkIndex, j, startFrame, endFrame, std::move(mask), startTime, endTime,
                            std::move(embedding), {}});
      if (static_cast<std::int64_t>(pldaQueue_.size()) >= batchSize_) runPldaBatch();
    }
    evaluations_ += speakers;
  }

  // Per frame, whether two or more speakers are active in it; empty when overlap is kept.
  std::vector<bool> overlappedFrames(const std::vector<std::vector<float>>& weights, std::int64_t speakers) const {
    if (!config_.embedding.excludeOverlap) return {};
    std::vector<bool> overlapped(weights.size());
    for (std::size_t f = 0; f < weights.size(); ++f) {
      const auto& row = weights[f];
      const auto n = std::min(row.size(), static_cast<std::size_t>(speakers));
      overlapped[f] = std::count_if(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(n),
                                    [](float w) { return w > kActiveThreshold; }) >= 2;
    }
    return overlapped;
  }

  // The weights speaker by speaker (S × F), through the pooled row-major and transposed arrays of
  // this window size. A short row reads as zeros.
  std::shared_ptr<MLMultiArray> transposeWeights(const std::vector<std::vector<float>>& weights, std::int64_t frames,
                                                 std::int64_t speakers) {
    auto& pool = extractor_.memoryOptimizer();
    const auto rowMajor = pool.getPooledBuffer(fmt::format("offline_embedding_row_major_{}_{}", frames, speakers),
                                               {frames, speakers}, MLMultiArrayDataType::float32);
    const auto transposed = pool.getPooledBuffer(fmt::format("offline_embedding_transposed_{}_{}", speakers, frames),
                                                 {speakers, frames}, MLMultiArrayDataType::float32);
    auto* byFrame = static_cast<float*>(rowMajor->dataPointer());
    const std::int64_t frameStride = rowMajor->strides()[0];
    for (std::int64_t f = 0; f < frames; ++f) {
      float* row = byFrame + f * frameStride;
      std::fill(row, row + speakers, 0.0f);
      const auto& source = weights[static_cast<std::size_t>(f)];
      std::copy_n(source.begin(), std::min<std::int64_t>(speakers, static_cast<std::int64_t>(source.size())), row);
    }
    auto* bySpeaker = static_cast<float*>(transposed->dataPointer());
    const std::int64_t speakerStride = transposed->strides()[0];
    for (std::int64_t j = 0; j < speakers; ++j) {
      for (std::int64_t f = 0; f < frames; ++f) bySpeaker[j * speakerStride + f] = byFrame[f * frameStride + j];
    }
    return transposed;
  }

  // Speaker j's embedding: the cached one when its mask is close enough, else a model run.
  std::vector<float> embed(std::int64_t j, const std::vector<float>& mask, const std::vector<float>& resampled,
                           const std::shared_ptr<MLMultiArray>& fbankFeatures) {
    if (skipThreshold_) {
      const auto cached = speakerCache_.find(j);
      if (cached != speakerCache_.end() && maskCosineSimilarity(mask, cached->second.mask) >= *skipThreshold_) {
        ++skipped_;
        return cached->second.embedding;
      }
    }
    const auto started = Clock::now();
    auto embedding = extractor_.runEmbeddingModel(fbankFeatures, extractor_.prepareWeightsInput(resampled), stop_);
    embeddingMilliseconds_ += millisecondsSince(started);
    if (skipThreshold_) speakerCache_[j] = {mask, embedding};
    return embedding;
  }

  void emptyMask(double& stageMilliseconds, Clock::time_point started) {
    ++emptyMasks_;
    stageMilliseconds += millisecondsSince(started);
  }

  void runPldaBatch() {
    if (!extractor_.pldaTransform_) throw OfflineDiarizationError::modelNotLoaded("PLDA transform");
    std::vector<std::vector<float>> embeddings;
    embeddings.reserve(pldaQueue_.size());
    for (const auto& pending : pldaQueue_) embeddings.push_back(pending.embedding256);
    const auto started = Clock::now();
    auto rho = extractor_.pldaTransform_->transform(embeddings, stop_);
    pldaMilliseconds_ += millisecondsSince(started);
    ++pldaBatches_;
    if (rho.size() != pldaQueue_.size()) {
      throw OfflineDiarizationError::processingFailed(fmt::format(
          "PldaRho batch size mismatch (expected {}, got {})", pldaQueue_.size(), rho.size()));
    }
    for (std::size_t i = 0; i < pldaQueue_.size(); ++i) {
      pldaQueue_[i].rho128 = std::move(rho[i]);
      results_.push_back(std::move(pldaQueue_[i]));
    }
    pldaQueue_.clear();
  }

  void logSummary() const {
    const AppLogger& logger = extractor_.logger_;
    if (validMasks_ == 0) {
      logger.debug("Embedding extractor produced no valid speaker masks");
    } else {
      logger.debug(fmt::format("Embedding masks generated: {} (meanActiveFrames={:.2f}, fallbackMasks={}, emptyMasks={})",
                               results_.size(), activeFrameSum_ / static_cast<double>(validMasks_), fallbackMasks_,
                               emptyMasks_));
    }
    if (windows_ == 0) return;
    std::string line = fmt::format(
        "Embedding timings: fbankTotal={:.2f}ms (perWindow={:.3f}ms), maskPrepTotal={:.2f}ms (perEval={:.3f}ms), "
        "resampleTotal={:.2f}ms (perValid={:.3f}ms), embeddingTotal={:.2f}ms (perValid={:.3f}ms), "
        "pldaTotal={:.2f}ms (perValid={:.3f}ms), batches(fbank={}, plda={})",
        fbankMilliseconds_, per(fbankMilliseconds_, windows_), maskPrepMilliseconds_,
        per(maskPrepMilliseconds_, evaluations_), resampleMilliseconds_, per(resampleMilliseconds_, validMasks_),
        embeddingMilliseconds_, per(embeddingMilliseconds_, validMasks_), pldaMilliseconds_,
        per(pldaMilliseconds_, validMasks_), fbankBatches_, pldaBatches_);
    if (skipped_ > 0) line += fmt::format(", skipped={}/{}", skipped_, validMasks_);
    logger.debug(line);
    emitProfileLog(line);
  }

  const OfflineEmbeddingExtractor& extractor_;
  const AudioSampleSource& source_;
  const std::stop_token stop_;
  const OfflineDiarizerConfig& config_;
  const std::int64_t batchSize_;
  const std::int64_t sampleCount_;
  const std::int64_t windowSamples_;
  std::optional<float> skipThreshold_;

  std::vector<float> window_;
  std::vector<std::shared_ptr<MLMultiArray>> fbankQueue_;
  std::vector<OfflineChunkBatchInfo> fbankInfo_;
  // Embeddings still waiting for their PLDA features.
  std::vector<TimedEmbedding> pldaQueue_;
  std::map<std::int64_t, CachedSpeakerEmbedding> speakerCache_;
  std::vector<TimedEmbedding> results_;

  std::int64_t windows_ = 0;
  std::int64_t fbankBatches_ = 0;
  std::int64_t evaluations_ = 0;
  std::int64_t validMasks_ = 0;
  std::int64_t fallbackMasks_ = 0;
  std::int64_t emptyMasks_ = 0;
  std::int64_t skipped_ = 0;
  std::int64_t pldaBatches_ = 0;
  double activeFrameSum_ = 0;
  double fbankMilliseconds_ = 0;
  double maskPrepMilliseconds_ = 0;
  double resampleMilliseconds_ = 0;
  double embeddingMilliseconds_ = 0;
  double pldaMilliseconds_ = 0;
};

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(
    const AudioSampleSource& audioSource, platform::Channel<SegmentationChunk>::Receiver& segmentationStream,
    std::stop_token stop) const {
  return Extraction(*this, audioSource, std::move(stop)).run(segmentationStream);
}

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(const AudioSampleSource& audioSource,
                                                                         const SegmentationOutput& segmentation,
                                                                         std::stop_token stop) const {
  auto [sender, receiver] = platform::Channel<SegmentationChunk>::make();
  for (std::int64_t a = 0; a < segmentation.numChunks; ++a) {
    const auto at = static_cast<std::size_t>(a);
    if (at >= segmentation.speakerWeights.size() || segmentation.speakerWeights[at].empty()) continue;
    SegmentationChunk chunk;
    chunk.chunkIndex = a;
    chunk.chunkOffsetSeconds = at < segmentation.chunkOffsets.size()
                                   ? segmentation.chunkOffsets[at]
                                   : config_.segmentation.windowDurationSeconds * static_cast<double>(a);
    chunk.frameDuration = segmentation.frameDuration;
    if (at < segmentation.logProbs.size()) chunk.logProbs = segmentation.logProbs[at];
    chunk.speakerWeights = segmentation.speakerWeights[at];
    sender.send(std::move(chunk));
  }
  sender.finish();
  return extractEmbeddings(audioSource, receiver, std::move(stop));
}

std::vector<TimedEmbedding> OfflineEmbeddingExtractor::extractEmbeddings(const std::vector<float>& audio,
                                                                         const SegmentationOutput& segmentation,
                                                                         std::stop_token stop) const {
  return extractEmbeddings(ArrayAudioSampleSource(audio), segmentation, std::move(stop));
}

}  // namespace tesselaudio
