#include "speech/Diarizer/Offline/Core/OfflineDiarizerManager.h"

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "platform/sys/Channel.h"
#include "platform/sys/TaskGroup.h"
#include "speech/Diarizer/Offline/Clustering/PLDATransform.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "speech/Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"
#include "speech/Shared/ArrayAudioSampleSource.h"

namespace tesselaudio {
namespace {

using Clock = std::chrono::steady_clock;
using ChunkStream = platform::Channel<SegmentationChunk>;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct SegmentationResult {
  SegmentationOutput output;
  double seconds = 0;
};

struct EmbeddingsResult {
  std::vector<TimedEmbedding> embeddings;
  double seconds = 0;
};

// Segments the whole source and hands each window to the stream; ends the stream normally after
// the last window, or with the error that stopped it.
SegmentationResult runSegmentationWorker(const AudioSampleSource& source, const OfflineDiarizerModels& models,
                                         const OfflineDiarizerConfig& config,
                                         const OfflineProgressCallback& progressCallback, std::int64_t estimate,
                                         const ChunkStream::Sender& stream, std::stop_token stop) {
  try {
    OfflineSegmentationProcessor processor;
    const auto started = Clock::now();
    auto output = processor.process(
        source, *models.segmentationModel, config,
        [&](const SegmentationChunk& chunk) {
          if (progressCallback) progressCallback(chunk.chunkIndex + 1, estimate);
          // A consumer that is gone wants no more windows.
          return stream.send(chunk) ? SegmentationChunkContinuation::proceed : SegmentationChunkContinuation::stop;
        },
        stop);
    stream.finish();
    return {std::move(output), secondsSince(started)};
  } catch (...) {
    stream.fail(std::current_exception());
    throw;
  }
}

// Embeds the local speakers of every window read from the stream.
EmbeddingsResult runEmbeddingWorker(const OfflineDiarizerModels& models, const OfflineDiarizerConfig& config,
                                    const AudioSampleSource& source, ChunkStream::Receiver& stream,
                                    std::stop_token stop) {
  std::optional<PLDATransform> plda;
  if (models.pldaRhoModel) plda.emplace(models.pldaRhoModel, models.pldaPsi);
  const auto extractor = OfflineEmbeddingExtractor::make(models.fbankModel, models.embeddingModel, std::move(plda), config);
  if (!extractor) throw OfflineDiarizationError::modelNotLoaded("offline embedding extractor");
  const auto started = Clock::now();
  auto embeddings = extractor->extractEmbeddings(source, stream, stop);
  return {std::move(embeddings), secondsSince(started)};
}

}  // namespace

OfflineDiarizerManager::OfflineDiarizerManager(OfflineDiarizerConfig config)
    : logger_("OfflineDiarizer"), config_(std::move(config)) {}

void OfflineDiarizerManager::initialize(OfflineDiarizerModels models) {
  models_ = std::make_shared<const OfflineDiarizerModels>(std::move(models));
  logger_.info("Offline diarizer models initialized");
}

std::int64_t OfflineDiarizerManager::estimatedChunkCount(std::int64_t sampleCount, std::int64_t samplesPerStep) {
  const std::int64_t step = std::max<std::int64_t>(1, samplesPerStep);
  const std::int64_t samples = std::max<std::int64_t>(0, sampleCount);
  return std::max<std::int64_t>(1, samples / step + (samples % step != 0 ? 1 : 0));
}

PreparedDiarization OfflineDiarizerManager::prepare(std::vector<float> audio,
                                                    const OfflineProgressCallback& progressCallback,
                                                    std::stop_token stop) {
  return prepare(std::make_shared<const ArrayAudioSampleSource>(std::move(audio)), 0, progressCallback,
                 std::move(stop));
}

PreparedDiarization OfflineDiarizerManager::prepare(std::shared_ptr<const AudioSampleSource> audioSource,
                                                    double audioLoadingSeconds,
                                                    const OfflineProgressCallback& progressCallback,
                                                    std::stop_token stop) {
  config_.validate();
  const auto models = models_;
  if (!models || !models->segmentationModel || !models->fbankModel || !models->embeddingModel) {
    throw OfflineDiarizationError::modelNotLoaded("offline-diarizer");
  }
  const auto started = Clock::now();
  const std::int64_t estimate = estimatedChunkCount(audioSource->sampleCount(), config_.samplesPerStep());
  auto [sender, receiver] = ChunkStream::make();
  auto stream = std::make_shared<ChunkStream::Receiver>(std::move(receiver));

  std::optional<SegmentationResult> segmentation;
  std::optional<EmbeddingsResult> embeddings;
  {
    platform::TaskGroup group(stop);
    try {
      group.add([&, sender](std::stop_token token) {
        segmentation = runSegmentationWorker(*audioSource, *models, config_, progressCallback, estimate, sender, token);
      });
      group.add([&](std::stop_token token) {
        try {
          embeddings = runEmbeddingWorker(*models, config_, *audioSource, *stream, token);
        } catch (...) {
          // The segmentation need not deliver any more windows.
          stream->close();
          throw;
        }
      });
      while (group.next()) {
      }
    } catch (...) {
      sender.fail(std::current_exception());
      throw;
    }
  }
  if (!segmentation || !embeddings) {
    throw OfflineDiarizationError::processingFailed("Offline preparation workers ended without complete results");
  }
  logger_.debug(fmt::format("Segmentation completed in {}s (async)", segmentation->seconds));
  logger_.debug(fmt::format("Embedding extraction produced {} vectors in {}s (async)",
                            embeddings->embeddings.size(), embeddings->seconds));

  PreparedDiarization prepared;
  prepared.audioSource = std::move(audioSource);
  prepared.segmentation = std::move(segmentation->output);
  prepared.timedEmbeddings = std::move(embeddings->embeddings);
  prepared.audioLoadingSeconds = audioLoadingSeconds;
  prepared.segmentationSeconds = segmentation->seconds;
  prepared.embeddingExtractionSeconds = embeddings->seconds;
  prepared.prepareWallSeconds = secondsSince(started);
  return prepared;
}

}  // namespace tesselaudio
