#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLModelConfiguration.h"
#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronStreamingConfig.h"
#include "speech/ASR/Parakeet/Streaming/StreamingAsrManager.h"
#include "speech/ASR/Parakeet/TokenTiming.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLModel;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

class Tokenizer;

// The English cache-aware streaming Nemotron 0.6B recogniser. Audio is converted to 16 kHz mono and
// decoded in whole chunks of config().chunkSamples(): each chunk's mel goes behind the last mel
// frames of the chunk before, through one encoder call that also returns the next encoder caches,
// and then through greedy RNN-T decoding with the LSTM prediction network and the joint (or one
// fused decoder_joint model).
//
// Safe from any thread. Chunk decoding, loading, reset and cleanup run one at a time;
// appendAudio() and the getters go through while a chunk decodes. The partial callback runs on
// the decoding thread after the chunk's results are stored, without the engine's lock held.
//
// A chunk either succeeds or leaves the stream as it was: its samples stay buffered and caches,
// mel cache, decoder state, tokens and timings are those of before it, so a retry gives the
// result of an undisturbed run.
//
// Model folder: "encoder/encoder_int8.mlmodelc", "decoder.mlmodelc", "joint.mlmodelc",
// "tokenizer.json", optionally "metadata.json" and "decoder_joint.mlmodelc".
class StreamingNemotronAsrManager : public StreamingAsrManager {
 public:
  // A missing configuration becomes CPU and Neural Engine with low-precision GPU accumulation.
  StreamingNemotronAsrManager(std::optional<platform::MLModelConfiguration> configuration,
                              std::optional<NemotronChunkSize> requestedChunkSize);
  ~StreamingNemotronAsrManager() override;
  StreamingNemotronAsrManager(const StreamingNemotronAsrManager&) = delete;
  StreamingNemotronAsrManager& operator=(const StreamingNemotronAsrManager&) = delete;

  NemotronStreamingConfig config() const;
  platform::MLModelConfiguration mlConfiguration() const;
  std::optional<NemotronChunkSize> requestedChunkSize() const { return requestedChunkSize_; }
  std::int64_t processedChunks() const;
  std::int64_t absoluteFrameBase() const;
  std::vector<float> audioBuffer() const;
  std::vector<std::int64_t> accumulatedTokenIds() const;
  bool hasFusedDecoderJoint() const;
  // Stream state, for inspection; null before loading and after cleanup() (melCache also right
  // after a reset).
  std::shared_ptr<const platform::MLMultiArray> cacheChannel() const;
  std::shared_ptr<const platform::MLMultiArray> cacheTime() const;
  std::shared_ptr<const platform::MLMultiArray> cacheLen() const;
  std::shared_ptr<const platform::MLMultiArray> melCache() const;
  std::shared_ptr<const platform::MLMultiArray> hState() const;
  std::shared_ptr<const platform::MLMultiArray> cState() const;
  std::int32_t lastToken() const;

  void setPartialCallback(PartialTranscriptCallback callback);
  void setPartialTranscriptCallback(PartialTranscriptCallback callback) override;

  // "Nemotron 0.6B (<chunkMs>ms)".
  std::string displayName() const override;

  void loadModels(std::stop_token stopToken) override;
  // Fetches the requested size's repository (2240 ms when none) into `to` (default: the models
  // root) when files are missing and loads the model folder through model delivery, which purges
  // and fetches once more when the load fails. A given configuration replaces the stored one first.
  void loadModels(const std::optional<std::filesystem::path>& to,
                  const std::optional<platform::MLModelConfiguration>& configuration,
                  const ProgressHandler& progressHandler, std::stop_token stopToken);
  // Loads one model folder, then runs the encoder once on a synthetic input: an all-zero output
  // throws ASRError(encoderInstantiationFailed). A bad "metadata.json" throws before anything
  // changes; models loaded before a failing one stay.
  void loadModels(const std::filesystem::path& from);

  // Converts and buffers; decodes nothing. Throws the conversion error, appending nothing.
  void appendAudio(const platform::PcmBuffer& buffer) override;
  // Decodes every whole chunk in the buffer. Throws ASRError(notInitialized) without models, the
  // error of a failed chunk (whose samples stay) or platform::CancellationError before a chunk.
  void processBufferedAudio(std::stop_token stopToken) override;
  // appendAudio() and processBufferedAudio(); returns "" (text arrives through the callback).
  std::string process(const platform::PcmBuffer& audioBuffer, std::stop_token stopToken);
  // Decodes every whole chunk, then the rest padded with zeros to one chunk, and returns the
  // utterance's text, handing its timings over to lastFinishTokenTimings(). Caches, decoder state
  // and the frame base carry on into the next utterance.
  std::string finish(std::stop_token stopToken) override;
  std::pair<std::string, std::vector<TokenTiming>> finishWithTokenTimings(std::stop_token stopToken);
  std::vector<TokenTiming> lastFinishTokenTimings() const;
  std::string getPartialTranscript() const override;
  std::vector<TokenTiming> getTokenTimings() const;
  // New stream with the loaded models; needs none. Never throws.
  void reset(std::stop_token stopToken) override;
  void reset();
  // reset(), then drops models, tokenizer and stream state.
  void cleanup(std::stop_token stopToken) noexcept override;

  // Decodes exactly one chunk of config().chunkSamples() samples and, on success, removes
  // `consumedSamples` from the front of the buffer.
  void processChunk(const std::vector<float>& samples, std::size_t consumedSamples);
  // The load probe: true when the encoder gives any non-zero "encoded" value.
  bool encoderProducesNonZeroOutput();
  // The encoder's "mel" for a chunk's mel [1, melFeatures, M]: the stream's mel cache (zeros after
  // a reset), then the chunk's first totalMelFrames - preEncodeCache frames.
  std::shared_ptr<platform::MLMultiArray> prependMelCache(const platform::MLMultiArray& mel) const;
  // The chunk's last min(M, preEncodeCache) frames, which the next chunk's input starts with.
  std::shared_ptr<platform::MLMultiArray> extractMelCache(const platform::MLMultiArray& mel) const;

 private:
  struct Stream;

  std::shared_ptr<const platform::MLMultiArray> streamArray(std::shared_ptr<platform::MLMultiArray> Stream::*member) const;
  // REQUIRES: processingMutex_ held.
  void processCompleteChunks(std::stop_token stopToken);
  void decodeChunk(const std::vector<float>& samples, std::size_t consumedSamples);
  // REQUIRES: mutex_ held.
  void resetStates();
  void resetLocked();

  const AppLogger logger_;
  const AudioConverter audioConverter_;
  const std::optional<NemotronChunkSize> requestedChunkSize_;

  // Serialises chunks, loading, reset and cleanup; taken before mutex_.
  std::mutex processingMutex_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  platform::MLModelConfiguration mlConfiguration_;
  NemotronStreamingConfig config_;
  std::optional<NemotronMelExtractor> melExtractor_;
  std::shared_ptr<const platform::MLModel> encoder_;
  std::shared_ptr<const platform::MLModel> decoder_;
  std::shared_ptr<const platform::MLModel> joint_;
  std::shared_ptr<const platform::MLModel> decoderJoint_;
  std::shared_ptr<const Tokenizer> tokenizer_;
  std::unique_ptr<Stream> stream_;
  std::vector<float> audioBuffer_;
  std::vector<std::int64_t> accumulatedTokenIds_;
  std::vector<TokenTiming> accumulatedTokenTimings_;
  std::vector<TokenTiming> lastFinishTokenTimings_;
  std::int64_t absoluteFrameBase_ = 0;
  std::int64_t processedChunks_ = 0;
  PartialTranscriptCallback partialCallback_;
};

}  // namespace tesselaudio
