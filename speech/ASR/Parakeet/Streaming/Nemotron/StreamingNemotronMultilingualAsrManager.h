#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/MLModelConfiguration.h"
#include "platform/ml/MLPredictionOptions.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTerm.h"
#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualStreamingConfig.h"
#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronStreamingConfig.h"
#include "speech/ASR/Parakeet/TokenTiming.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"

namespace platform {
class MLModel;
class MLMultiArray;
class MLState;
}  // namespace platform

namespace tesselaudio {

class NemotronMultilingualTokenizer;

// The streaming recogniser of the multilingual Nemotron model: 16 kHz audio is cut into chunks of
// config().chunkSamples(), each chunk's mel goes through the cache-aware encoder with the current
// language prompt id and then through greedy RNN-T decoding; the model may emit language-tag tokens
// that name the language it hears. Hold it in a std::shared_ptr.
//
//   auto recogniser = std::make_shared<StreamingNemotronMultilingualAsrManager>();
//   recogniser->setLanguage("pt-BR");     // prompt id of the language; seeds the tag when the
//   recogniser->setForcedPrefix(true);    // forced prefix is on and models are loaded
//
// Safe from any thread: the state sits behind one mutex, which is never held while a model
// predicts or a callback runs, so other calls may go through while the forced prefix is seeded.
class StreamingNemotronMultilingualAsrManager {
 public:
  using PartialCallback = std::function<void(const std::string&)>;

  // Everything the recogniser holds, with its value on creation.
  struct State {
    std::optional<NemotronMelExtractor> melExtractor;
    std::optional<NemotronMelExtractor> prefetchMelExtractor;
    std::shared_ptr<const platform::MLModel> encoder;
    std::shared_ptr<const platform::MLModel> decoder;
    std::shared_ptr<const platform::MLModel> joint;
    std::shared_ptr<const platform::MLModel> decoderJoint;
    std::shared_ptr<const platform::MLModel> decoderJointArgmax;
    std::shared_ptr<const platform::MLModel> decoderJointNoEncProj;
    std::shared_ptr<const platform::MLModel> jointNoEncProjBatched;
    std::int64_t jointNoEncProjBatchedK = 8;
    std::shared_ptr<const NemotronMultilingualTokenizer> tokenizer;
    NemotronMultilingualStreamingConfig config;

    bool appendTerminalPunctuation = false;
    std::vector<float> audioBuffer;
    std::int64_t audioBufferOffset = 0;
    std::vector<std::int64_t> accumulatedTokenIds;
    std::vector<CustomVocabularyTerm> vocabularyTerms;
    std::optional<std::filesystem::path> modelDirectory;
    std::vector<TokenTiming> accumulatedTokenTimings;
    std::int64_t absoluteFrameBase = 0;
    std::vector<TokenTiming> lastFinishTokenTimings;
    std::optional<std::string> firstDetectedLanguage;

    std::shared_ptr<platform::MLMultiArray> cacheChannel;
    std::shared_ptr<platform::MLMultiArray> cacheTime;
    std::shared_ptr<platform::MLMultiArray> cacheLen;
    std::shared_ptr<platform::MLState> encoderState;
    std::shared_ptr<platform::MLMultiArray> melCache;
    std::shared_ptr<platform::MLMultiArray> prefetchedMel;
    std::optional<platform::MLPredictionOptions> encoderPredictionOptions;
    std::optional<platform::MLPredictionOptions> decoderPredictionOptions;
    std::optional<platform::MLPredictionOptions> jointPredictionOptions;
    std::optional<platform::MLPredictionOptions> decoderJointPredictionOptions;
    std::optional<platform::MLPredictionOptions> decoderJointArgmaxPredictionOptions;
    std::optional<platform::MLPredictionOptions> decoderJointNoEncProjPredictionOptions;
    std::optional<platform::MLPredictionOptions> jointNoEncProjBatchedPredictionOptions;
    std::shared_ptr<platform::MLMultiArray> encoderStepBuf;
    std::shared_ptr<platform::MLMultiArray> encoderProjStepBuf;
    std::shared_ptr<platform::MLMultiArray> encProjReusable;
    std::shared_ptr<platform::MLMultiArray> encProjBatchReusable;
    std::shared_ptr<platform::MLMultiArray> tokenInputBuf;
    std::shared_ptr<platform::MLMultiArray> tokenLenBuf;
    std::shared_ptr<platform::MLMultiArray> prefetchedEncoded;
    std::shared_ptr<platform::MLMultiArray> prefetchedEncoderProj;
    std::shared_ptr<platform::MLMultiArray> prefetchedCacheChannel;
    std::shared_ptr<platform::MLMultiArray> prefetchedCacheTime;
    std::shared_ptr<platform::MLMultiArray> prefetchedCacheLen;

    std::uint64_t prepNanos = 0;
    std::uint64_t encNanos = 0;
    std::uint64_t decNanos = 0;
    std::int64_t chunkCount = 0;
    std::int64_t vadSkipCount = 0;
    std::int64_t specWindowsTotal = 0;
    std::int64_t specWindowsAllBlank = 0;
    std::int64_t specWindowsHitNonBlank = 0;
    std::int64_t vadConsecutiveLowChunks = 0;

    std::int64_t rescueFrameCursor = 0;
    bool rescueSpanOpen = false;
    std::int64_t rescueSpanStartFrame = 0;
    std::int64_t rescueSpanLastSpeechFrame = 0;
    std::int64_t rescueSpanSpeechWindows = 0;
    std::int64_t rescueSpanPreRollFrames = 0;
    std::int64_t rescueSilentWindowRun = 0;
    std::vector<float> rescueSpanAudio;
    bool rescueSpanOverflowed = false;
    std::vector<float> rescuePreRollTail;
    bool inBlankRescue = false;
    std::int64_t detectedBlankSpanCount = 0;
    std::int64_t blankRescueCount = 0;

    std::shared_ptr<platform::MLMultiArray> hState;
    std::shared_ptr<platform::MLMultiArray> cState;
    std::int32_t lastToken = 13087;
    std::int32_t currentPromptId = 101;
    std::optional<std::string> currentLanguageCode;
    bool useForcedPrefix = false;
    PartialCallback partialCallback;
    std::int64_t partialPublicationSuppressionDepth = 0;
    std::optional<std::string> lastDeliveredPartialText;
    std::int64_t processedChunks = 0;
    std::int64_t lastFinishTokenCount = 0;
    std::optional<std::string> lastFinishDetectedLanguage;
    std::int64_t lastFinishProcessedChunks = 0;
    platform::MLModelConfiguration mlConfiguration;
  };

  // What the last finish decoded.
  struct DecodeStats {
    std::int64_t tokenCount = 0;
    std::optional<std::string> detectedLanguage;
    std::int64_t processedChunks = 0;

    bool operator==(const DecodeStats&) const = default;
  };

  // Loads nothing and logs nothing. Without a configuration, models go to CPU and Neural Engine
  // with low-precision GPU accumulation allowed; a given one is kept as it is.
  explicit StreamingNemotronMultilingualAsrManager(
      std::optional<platform::MLModelConfiguration> configuration = std::nullopt);
  ~StreamingNemotronMultilingualAsrManager();
  StreamingNemotronMultilingualAsrManager(const StreamingNemotronMultilingualAsrManager&) = delete;
  StreamingNemotronMultilingualAsrManager& operator=(const StreamingNemotronMultilingualAsrManager&) = delete;

  NemotronMultilingualStreamingConfig config() const;
  platform::MLModelConfiguration mlConfiguration() const;
  bool appendTerminalPunctuation() const;
  void setAppendTerminalPunctuation(bool on);
  std::uint64_t prepNanos() const;
  std::uint64_t encNanos() const;
  std::uint64_t decNanos() const;
  std::int64_t chunkCount() const;
  std::int64_t vadSkipCount() const;
  std::int64_t specWindowsTotal() const;
  std::int64_t specWindowsAllBlank() const;
  std::int64_t specWindowsHitNonBlank() const;
  std::int64_t detectedBlankSpanCount() const;
  std::int64_t blankRescueCount() const;

  // Replaces any earlier callback; it receives partial transcripts on the decoding thread.
  void setPartialCallback(PartialCallback callback);
  // Chooses the prompt id of a language (the default one for none or an unknown code) and logs it;
  // with the forced prefix on, seeds the decoder with the language's tag. Never throws: a seeding
  // failure is logged.
  void setLanguage(const std::optional<std::string>& language);
  // Turns the forced language prefix on or off and logs it; turning it on seeds as setLanguage()
  // does. Turning it off keeps an earlier seed. Never throws.
  void setForcedPrefix(bool enabled);
  bool forcedPrefixEnabled() const;
  // Sets the prompt id given to the encoder; the language code stays. Throws
  // platform::InvalidArgumentError for an id outside int32, changing nothing.
  void setPromptId(std::int64_t id);
  std::int64_t promptId() const;
  // The first language of the stream: a decoded tag or the seeded prefix.
  std::optional<std::string> detectedLanguage() const;

  // Starts a new stream with the loaded models: clears audio, tokens, timings, counters and the
  // detected language, rebuilds the streaming state and seeds the prefix when it is on. Keeps the
  // settings, the callback, the models and what lastDecodeStats() reports. Never throws: failures
  // are logged.
  void reset();
  // reset(), then drops the mel front ends, encoder, decoder, joint, tokenizer, caches, mel cache
  // and decoder states. The fused and batched step models stay. Never throws.
  void cleanup();
  // Fresh streaming state from config(): zero caches (cacheLen[0] = 1), a new encoder state when
  // the encoder declares states, zero decoder states [decoderLayers, 1, decoderHidden], lastToken =
  // blank; drops the mel cache and the prefetched arrays and clears the rescue state. Throws the
  // error of an array that cannot be made, leaving the state partly rebuilt.
  void resetStates();
  // With the forced prefix on, a language set, the tokenizer, the separate decoder and both decoder
  // states present: runs the decoder once on the language's tag token and keeps its new states,
  // with lastToken = the tag. Throws the prediction's error, changing nothing.
  void applyForcedPrefixIfNeeded();

  // The text of the tokens so far ("" without a tokenizer); records the language it names when
  // none was detected yet.
  std::string getPartialTranscript();
  // The timings of the tokens since the last finish or reset.
  std::vector<TokenTiming> getTokenTimings() const;
  // (0, none, 0) before the first finish.
  DecodeStats lastDecodeStats() const;

  // For loading, the shared-model path and tests: a copy of the whole state, and a change applied
  // under the lock. `change` must not call back into the recogniser.
  State stateSnapshot() const;
  void updateState(const std::function<void(State&)>& change);

 private:
  // REQUIRES: mutex_ held.
  void resetStatesLocked();
  void resetRescueState();
  // Logs a seeding failure instead of throwing it.
  void seedForcedPrefixLogged();

  const AppLogger logger_;
  const AudioConverter audioConverter_;

  mutable std::mutex mutex_;
  State state_;  // guarded by mutex_
};

}  // namespace tesselaudio
