#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLModelConfiguration.h"
#include "speech/ASR/Parakeet/Streaming/EOU/StreamingChunkSize.h"
#include "speech/ASR/Parakeet/Streaming/StreamingAsrEouProvider.h"
#include "speech/ASR/Parakeet/Streaming/StreamingAsrManager.h"
#include "speech/ASR/Parakeet/Streaming/StreamingAsrRawTokenProvider.h"
#include "speech/ASR/Parakeet/Streaming/StreamingAsrTokenTimestampProvider.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/AudioMelSpectrogram.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLModel;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

class RnntDecoder;
class Tokenizer;

// The streaming recogniser of the "Parakeet EOU 120M" models: a cache-aware streaming encoder, an
// RNN-T decoder whose vocabulary holds an end-of-utterance token, and a debounce that turns that
// token into one confirmed end of utterance per segment. Audio of any format is converted to 16 kHz
// mono and cut into windows of the chunk size; each window is encoded once with the caches carried
// from the window before and decoded from where the decoder stopped.
//
// Safe from any thread. Window processing, loading, reset and cleanup run one at a time;
// appendAudio() and the getters go through while a window is decoded. The callbacks run on the
// thread that processes the window, after its results are stored and without the engine's lock
// held, so they may call the getters (but not processing operations).
//
// A window either succeeds or leaves the engine as it was: its samples stay buffered and the
// encoder caches and the decoder state are those of before the window, so a retry encodes the
// same audio with the same context.
//
//   StreamingEouAsrManager engine({}, StreamingChunkSize::ms320, 1280, false);
//   engine.setEouCallback([](const std::string& text) { commit(text); });
//   engine.loadModels(stop);
//   for (auto& buffer : buffers) engine.process(*buffer, stop);
//   std::string text = engine.finish(stop);
//
// Model folder (<base>/<repository folder>): "streaming_encoder.mlmodelc", "decoder.mlmodelc",
// "joint_decision.mlmodelc", "vocab.json", optionally "decoder_joint_decision_fused.mlmodelc".
// Encoder: "audio_signal" float32 [1, 128, F], "audio_length" int32 [1], "pre_cache" float32
// [1, 128, preCacheSize], "cache_last_channel" float32 [17, 1, 70, 512], "cache_last_time" float32
// [17, 1, 512, 8], "cache_last_channel_len" int32 [1] → "encoded_output" float32 [1, D, T] and
// optionally "new_pre_cache", "new_cache_last_channel", "new_cache_last_time",
// "new_cache_last_channel_len", each replacing its cache when present.
class StreamingEouAsrManager : public StreamingAsrManager,
                               public StreamingAsrTokenTimestampProvider,
                               public StreamingAsrRawTokenProvider,
                               public StreamingAsrEouProvider {
 public:
  using EouCallback = std::function<void(const std::string& transcript)>;

  static constexpr std::int64_t kSampleRate = 16000;
  static constexpr const char* kFusedModelFile = "decoder_joint_decision_fused.mlmodelc";

  // No model is loaded. Logs the chunk duration and the debounce.
  StreamingEouAsrManager(platform::MLModelConfiguration configuration, StreamingChunkSize chunkSize,
                         std::int64_t eouDebounceMs, bool debugFeatures);
  ~StreamingEouAsrManager() override;
  StreamingEouAsrManager(const StreamingEouAsrManager&) = delete;
  StreamingEouAsrManager& operator=(const StreamingEouAsrManager&) = delete;

  StreamingChunkSize chunkSize() const { return chunkSize_; }
  bool debugFeatures() const { return debugFeatures_; }
  std::int64_t hopLength() const { return hopLength_; }
  platform::MLModelConfiguration configuration() const;
  std::int64_t eouDebounceMs() const;
  // Takes effect from the next window on.
  void setEouDebounceMs(std::int64_t milliseconds);
  // True once an end of utterance was confirmed in this segment; false again after reset().
  bool eouDetected() const;
  // Windows processed since the last reset.
  std::int64_t processedChunks() const;
  // Sum of the windows' advances since the last reset, in samples.
  std::int64_t totalSamplesProcessed() const;
  // Converted samples not yet consumed (a copy).
  std::vector<float> audioBuffer() const;
  // Token ids of the current segment (a copy).
  std::vector<std::int64_t> accumulatedTokenIds() const;
  bool isLoaded() const;
  // The encoder caches the next window starts from; null before loading and after cleanup().
  std::shared_ptr<const platform::MLMultiArray> preCache() const;
  std::shared_ptr<const platform::MLMultiArray> cacheLastChannel() const;
  std::shared_ptr<const platform::MLMultiArray> cacheLastTime() const;
  std::shared_ptr<const platform::MLMultiArray> cacheLastChannelLen() const;
  // The decoder with its state; null before loading and after cleanup().
  std::shared_ptr<const RnntDecoder> rnntDecoder() const;
  // The vocabulary; null before loading and after cleanup(). Without one, token ids and times
  // still accumulate while raw strings, transcripts and callbacks are skipped.
  std::shared_ptr<const Tokenizer> tokenizer() const;
  void setTokenizer(std::shared_ptr<const Tokenizer> tokenizer);

  // Replace the stored callback; an empty one stops the calls. The end-of-utterance callback gets
  // the segment's transcript once per confirmed end of utterance (with a vocabulary loaded).
  void setEouCallback(EouCallback callback);
  void setPartialCallback(PartialTranscriptCallback callback);
  void setPartialTranscriptCallback(PartialTranscriptCallback callback) override;

  std::vector<std::int64_t> getTokenTimestampsMs() const override;
  std::vector<std::string> getRawTokenStrings() const override;
  std::vector<std::int64_t> getEouTimestampsMs() const override;

  // "Parakeet EOU 120M (<durationMs>ms)".
  std::string displayName() const override;

  // loadModels(to, configuration, progressHandler, stop) with the default folder, the stored
  // configuration and no progress handler.
  void loadModels(std::stop_token stopToken) override;
  // Fetches the chunk size's repository into `to` (default: the models root / "parakeet-eou-
  // streaming"; the repository folder repeats that name) when files are missing and loads the
  // model folder through model delivery, which purges and fetches once more when the load fails
  // for a reason other than a cache-preserving one. A given configuration replaces the stored one
  // first. Throws the download errors of model delivery, the load errors below, or
  // platform::CancellationError.
  void loadModels(const std::optional<std::filesystem::path>& to,
                  const std::optional<platform::MLModelConfiguration>& configuration,
                  const ProgressHandler& progressHandler, std::stop_token stopToken);
  // Loads the models and the vocabulary of one model folder; with TESSEL_EOU_FUSED exactly "1"
  // also the fused step model when the folder has it (a warning when not). Zeroes the caches and
  // empties the audio buffer; results, counters and the end-of-utterance state stay. Throws
  // UnsupportedModelFormatError for a bundle without model.onnx, platform::MLModelError for any
  // other model that does not load, or the Tokenizer's errors; models loaded before the failing
  // one stay.
  void loadModels(const std::filesystem::path& from);

  // Converts `buffer` and appends the samples; processes nothing. Throws the conversion error, and
  // then nothing is appended.
  void appendAudio(const platform::PcmBuffer& buffer) override;
  // Processes every complete window, each advancing the buffer by shiftSamples. Throws
  // ASRError(notInitialized) without models, the error of a failed window (whose samples stay
  // buffered) or platform::CancellationError when a stop is requested before a window.
  void processBufferedAudio(std::stop_token stopToken) override;
  // appendAudio() and the window loop in one call; returns "" (text arrives through the callbacks,
  // getPartialTranscript() and finish()). Checks for a stop even when no window is complete.
  // Throws as both.
  std::string process(const platform::PcmBuffer& audioBuffer, std::stop_token stopToken);
  // Ends the segment: processes every complete window, then the rest padded with zeros to one
  // window, and returns the segment's transcript, clearing the tokens, times, raw strings and
  // end-of-utterance times. Without a vocabulary returns "" and keeps them. Counters, caches and
  // the decoder state stay, so the next segment continues the time line. Throws as
  // processBufferedAudio(); after a failure in the padded window the buffer holds it with its zeros.
  std::string finish(std::stop_token stopToken) override;
  // Starts over: empties the buffer and every result, zeroes the counters, the caches and the
  // decoder state. Callbacks, models, vocabulary and the debounce stay. Never throws; the token is
  // not consulted (a reset is quick and must not be skipped).
  void reset(std::stop_token stopToken) override;
  // reset(), then drops models, decoder, vocabulary and caches, and logs.
  void cleanup(std::stop_token stopToken) noexcept override;
  std::string getPartialTranscript() const override;

  // Appends Int(seconds × 16000) zeros (truncated); processes nothing. Throws
  // platform::InvalidArgumentError for a negative or non-finite duration, appending nothing.
  void injectSilence(double seconds);

  // Writes the kept mel features as pretty-printed JSON {"mel_features": [...], "count": n}.
  // Throws platform::FileError when the file cannot be written.
  void saveDebugFeatures(const std::filesystem::path& to) const;

  // For each token frame f: (baseFrame + f) × frameDurationMs, in order.
  static std::vector<std::int64_t> computeTokenTimestampsMs(std::int64_t baseFrame,
                                                            const std::vector<std::int64_t>& tokenFrames,
                                                            std::int64_t frameDurationMs);

 private:
  struct Caches;
  struct WindowOutcome;

  std::shared_ptr<const platform::MLMultiArray> cache(std::shared_ptr<platform::MLMultiArray> Caches::*member) const;
  // The window loop; REQUIRES: processingMutex_ held.
  void processCompleteWindows(std::stop_token stopToken);
  // One window; on success its results are stored and `consumedSamples` leave the buffer, then the
  // callbacks run. REQUIRES: processingMutex_ held.
  void processChunkAndDecode(const std::vector<float>& window, std::size_t consumedSamples);
  // Stores a decoded window's results. REQUIRES: mutex_ held.
  WindowOutcome commitWindow(Caches caches, const std::vector<std::int64_t>& tokenIds,
                             const std::vector<std::int64_t>& tokenFrames, bool eouToken,
                             std::vector<float> features, std::size_t consumedSamples);
  // The debounce after a window; true when it confirmed. REQUIRES: mutex_ held.
  bool updateEouDebounce(bool windowHadTokens, bool eouToken);
  // Zero caches. REQUIRES: mutex_ held.
  void resetStates();
  void resetLocked();

  // Constant after construction.
  const AppLogger logger_;
  const StreamingChunkSize chunkSize_;
  const bool debugFeatures_;
  const std::int64_t hopLength_ = 160;
  const AudioConverter audioConverter_;

  // Serialises window processing, loading, reset and cleanup; taken before mutex_.
  std::mutex processingMutex_;
  // Guarded by processingMutex_.
  AudioMelSpectrogram melProcessor_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  platform::MLModelConfiguration configuration_;
  std::int64_t eouDebounceMs_;
  std::shared_ptr<const platform::MLModel> streamingEncoder_;
  std::shared_ptr<const platform::MLModel> decoder_;
  std::shared_ptr<const platform::MLModel> joint_;
  // The object is used under processingMutex_ only.
  std::shared_ptr<RnntDecoder> rnntDecoder_;
  std::shared_ptr<const Tokenizer> tokenizer_;
  std::unique_ptr<Caches> caches_;
  std::vector<float> audioBuffer_;
  std::vector<std::int64_t> accumulatedTokenIds_;
  std::vector<std::int64_t> accumulatedTokenTimestampsMs_;
  std::vector<std::string> accumulatedRawTokenStrings_;
  std::vector<std::int64_t> accumulatedEouTimestampsMs_;
  std::vector<float> debugFeatureBuffer_;
  std::int64_t processedChunks_ = 0;
  std::int64_t totalSamplesProcessed_ = 0;
  bool eouDetected_ = false;
  std::optional<std::int64_t> eouFirstDetectedAt_;
  EouCallback eouCallback_;
  PartialTranscriptCallback partialCallback_;
};

}  // namespace tesselaudio
