#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ml/MLPredictionOptions.h"
#include "speech/ASR/Parakeet/ASRConfig.h"
#include "speech/ASR/Parakeet/AsrModelVersion.h"
#include "speech/ASR/Parakeet/AsrModels.h"
#include "speech/ASR/Parakeet/EncoderLadderFunction.h"
#include "speech/ASR/Parakeet/InferenceLengthPolicy.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderState.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtHypothesis.h"
#include "speech/ASR/Parakeet/TokenTiming.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Language.h"
#include "speech/Shared/ProgressEmitter.h"

namespace platform {
class MLFeatureProvider;
class MLModel;
}  // namespace platform

namespace tesselaudio {

// The Parakeet TDT recogniser: a loaded model set (preprocessor, encoder or encoder ladder,
// prediction and joint networks, vocabulary), its configuration and a progress emitter, and the
// window pipeline that turns up to 240,000 samples into a TDT hypothesis. Held by std::shared_ptr
// and safe from any thread: the model fields sit behind one mutex, every call works on a snapshot
// of them and no lock is held while a model runs or a callback is called. The background work of
// the constructor, reset() and cleanup() runs on threads the manager joins before it goes away.
//
//   auto manager = std::make_shared<AsrManager>(ASRConfig{}, AsrModels::loadLocal(folder));
//   TdtDecoderState state(manager->decoderLayerCount());
//   auto [hypothesis, frames] = manager->executeMLInferenceWithTimings(window, realSamples,
//                                                                      std::nullopt, state);
//   std::string text = manager->convertTokensToText(hypothesis.ySequence);
class AsrManager {
 public:
  // Per-window progress of a long transcription.
  struct WindowProgress {
    int64_t index = 0;
    int64_t windowCount = 0;
    double startSeconds = 0;
    double endSeconds = 0;
    std::string text;

    bool operator==(const WindowProgress&) const = default;
  };
  // Called from the thread that reports the window; must be safe from any thread.
  using WindowHandler = std::function<void(const WindowProgress&)>;

  using InferenceLengthPolicy = tesselaudio::InferenceLengthPolicy;

  // What one window inference hands back: the decoder's hypothesis as it made it, and the encoder
  // output's "encoder_length".
  struct InferenceResult {
    TdtHypothesis hypothesis;
    int64_t encoderSequenceLength = 0;
  };

  // Four parallel lists describing decoded tokens.
  struct TokenLists {
    std::vector<int64_t> tokenIds;
    std::vector<int64_t> timestamps;  // encoder frames
    std::vector<float> confidences;
    std::vector<int64_t> tokenDurations;  // encoder frames; may be empty

    bool operator==(const TokenLists&) const = default;
  };

  // Stores `config`, installs `models` when given (without logging), then starts two background
  // tasks: prewarming the shared array cache for one window ([1, 240000] float32), a length input
  // ([1] int32) and one LSTM state ([2, 1, 640] float32), and opening a progress session.
  // Throws std::system_error when no thread can be started.
  explicit AsrManager(ASRConfig config = ASRConfig::default_(), std::optional<AsrModels> models = std::nullopt);
  // Waits for the background tasks.
  ~AsrManager();

  AsrManager(const AsrManager&) = delete;
  AsrManager& operator=(const AsrManager&) = delete;

  // Category "ASR".
  const AppLogger& logger() const { return logger_; }
  const ASRConfig& config() const { return config_; }

  // Models of the installed set; null when none (the encoder also for a fused front end).
  std::shared_ptr<const platform::MLModel> preprocessorModel() const;
  std::shared_ptr<const platform::MLModel> encoderModel() const;
  std::vector<EncoderLadderFunction> encoderLadder() const;
  std::shared_ptr<const platform::MLModel> decoderModel() const;
  std::shared_ptr<const platform::MLModel> jointModel() const;
  // The installed set; null when none.
  std::shared_ptr<const AsrModels> asrModels() const;

  // 1 for tdtCtc110m, else 2 (also without models).
  int64_t decoderLayerCount() const;
  std::optional<AsrModelVersion> modelVersion() const;
  bool hasEncoderLadder() const;
  // The seconds of each ladder function, in ladder order.
  std::vector<double> encoderLadderSeconds() const;
  // The configuration's override when set; otherwise true without models and for v2 and
  // tdtCtc110m, false for the other versions.
  bool melChunkContext() const;
  int64_t parallelChunkConcurrency() const;
  bool dualDecodeArbitration() const { return config_.dualDecodeArbitration; }
  bool seamGapRepair() const { return config_.seamGapRepair; }
  bool seamTimingRealignment() const { return config_.seamTimingRealignment; }
  double seamGapRepairMinGapSeconds() const { return config_.seamGapRepairMinGapSeconds; }

  std::map<int, std::string> vocabulary() const;
  // Ids of sentence-final punctuation: 7883, 7956 and 8020 until a set is installed, then those of
  // its vocabulary.
  std::set<int> punctuationTokenIds() const;
  // Options without output backings, used by the preprocessor and encoder predictions.
  const platform::MLPredictionOptions& predictionOptions() const { return predictionOptions_; }

  // Logs "Loading AsrManager with provided models", installs `models` (replacing every model, the
  // ladder, the vocabulary and the punctuation ids) and logs "AsrManager loaded successfully with
  // provided models". Never throws.
  void loadModels(const AsrModels& models);

  // False without decoder or joint; otherwise, without a set or for tdtCtc110m, whether the
  // preprocessor is there, and for the other versions whether preprocessor and encoder both are.
  bool isAvailable() const;

  // Drops the models and the ladder, keeps the vocabulary and punctuation ids, empties the shared
  // array cache in the background and logs "AsrManager resources cleaned up".
  void cleanup();
  // Empties the shared array cache in the background; nothing else changes.
  void reset();

  // A new manager with this configuration and model set (the same model objects), its own emitter
  // and no window handler; null without a set.
  std::shared_ptr<AsrManager> makeWorkerClone() const;

  // The emitter's current stream, opening a session when none is open.
  ProgressEmitter::Stream transcriptionProgressStream();
  ProgressEmitter& progressEmitter() { return progressEmitter_; }

  // Replaces the window handler; an empty function removes it.
  void setWindowHandler(WindowHandler handler);
  // Calls the window handler, when set, once on this thread with the frames as seconds (80 ms each)
  // and the ids as text.
  void reportWindow(int64_t index, int64_t windowCount, int64_t startFrame, int64_t endFrame,
                    const std::vector<int64_t>& tokenIds) const;

  // "audio_signal" = a [1, N] float32 array borrowed from the shared array cache holding `samples`,
  // "audio_length" = a new [1] int32 array of `actualLength`, or N when none. The caller gives the
  // "audio_signal" array back to the cache when done. Throws the cache's allocation error (the
  // array then is back in the cache).
  std::unique_ptr<platform::MLFeatureProvider> preparePreprocessorInput(std::span<const float> samples,
                                                                        std::optional<int64_t> actualLength) const;

  // The pieces of the ids joined, ids without a piece skipped, empty pieces and "<unk>" dropped,
  // "▁" turned into spaces, spaces and tabs trimmed at both ends.
  std::string convertTokensToText(const std::vector<int64_t>& tokenIds) const;

  // The lists without the tokens whose piece is exactly "<unk>". A list other than the ids is
  // filtered only when it is as long as the ids, and passed through unchanged otherwise.
  TokenLists droppingUnknownTokens(std::vector<int64_t> tokenIds, std::vector<int64_t> timestamps,
                                   std::vector<float> confidences, std::vector<int64_t> tokenDurations) const;

  // One timing per token, sorted by frame (stably). start = max(0, frame - D) x 0.08 s, where D is
  // TDT_EMISSION_DELAY_FRAMES read now (an optional sign and digits, held to +-1,000,000; 1 when
  // missing or malformed); the end follows the duration when present and above 0, else the next
  // token's start, and lasts at least 0.08 s. Empty when there are no ids or when frames or
  // confidences are not as many as the ids; a non-empty duration list shorter than the ids drops
  // the trailing tokens.
  std::vector<TokenTiming> createTokenTimings(const std::vector<int64_t>& tokenIds, const std::vector<int64_t>& timestamps,
                                              const std::vector<float>& confidences,
                                              const std::vector<int64_t>& tokenDurations) const;

  // 0.1 for an empty text; 0.5 with the warning "Expected token confidences but got none - this
  // should not happen" when the confidences are missing or not one per token; else their mean,
  // held to [0.1, 1.0].
  float calculateConfidence(int64_t tokenCount, bool isEmpty, const std::vector<float>& tokenConfidences) const;

  // Decodes one window (at most 240,000 samples, padded at the end past `originalLength` real
  // samples; all are real when none) starting from `decoderState`, which it advances. A v3-family
  // window with at least 2 s of audible speech that decodes to nothing is decoded again from the
  // starting state under each of emptyDecodeRecoveryPolicies(); the first credible retry is logged
  // and returned, and `decoderState` becomes the state it ended in.
  // Throws ASRError::processingFailed for a negative `originalLength` or `actualAudioFrames`, an
  // `originalLength` above the sample count or more than 240,000 samples (before any model runs),
  // for an encoder input neither provider has, an unsliceable mel and a missing encoder output;
  // ASRError::notInitialized without models; platform::CancellationError for a stop seen before
  // the preprocessor or the encoder, or inside the decoder; the models' and decoder's errors
  // unchanged. An error of any retry ends the call.
  InferenceResult executeMLInferenceWithTimings(std::span<const float> samples, std::optional<int64_t> originalLength,
                                                std::optional<int64_t> actualAudioFrames, TdtDecoderState& decoderState,
                                                int64_t contextFrameAdjustment = 0, bool isLastChunk = false,
                                                int64_t globalFrameOffset = 0, std::optional<Language> language = std::nullopt,
                                                std::optional<int64_t> emitTokensAfterGlobalFrame = std::nullopt,
                                                std::optional<int64_t> initialTimeIndexOverride = std::nullopt,
                                                std::stop_token stop = {}) const;

  // Library-internal: one inference under `lengthPolicy`, without recovery. Throws as above.
  InferenceResult runInference(std::span<const float> samples, std::optional<int64_t> originalLength,
                               std::optional<int64_t> actualAudioFrames, InferenceLengthPolicy lengthPolicy,
                               TdtDecoderState& decoderState, int64_t contextFrameAdjustment = 0,
                               bool isLastChunk = false, int64_t globalFrameOffset = 0,
                               std::optional<Language> language = std::nullopt,
                               std::optional<int64_t> emitTokensAfterGlobalFrame = std::nullopt,
                               std::optional<int64_t> initialTimeIndexOverride = std::nullopt,
                               std::stop_token stop = {}) const;

  // Library-internal: waits until the background tasks started so far have finished.
  void waitForBackgroundTasks();

  // The samples padded with zeros up to the next multiple of 1,280 when `allowAlignment` and that
  // length is at most 240,000; otherwise unchanged. Returns the samples and their count.
  static std::pair<std::vector<float>, int64_t> frameAlignedAudio(std::vector<float> samples, bool allowAlignment);

  // `provider` with its rank-3 "mel" cut to its first `toFrames` frames (a new contiguous float32
  // array); unchanged without such a mel or when it already has that many frames.
  // Throws ASRError::processingFailed("Cannot slice mel <shape> of type <code> to <F> frames") for a
  // mel that is not [1, C, T >= F] float32.
  static std::shared_ptr<const platform::MLFeatureProvider> slicingMel(
      const std::shared_ptr<const platform::MLFeatureProvider>& provider, int64_t toFrames);

  // `provider` with "mel_length" set to the last dimension of its rank-3 "mel"; unchanged when
  // either is missing.
  static std::shared_ptr<const platform::MLFeatureProvider> declaringFullMelLength(
      const std::shared_ptr<const platform::MLFeatureProvider>& provider);

  // Whether at least 32,000 of the first min(count, actualLength) samples are there and their RMS
  // is at least 0.003.
  static bool shouldRecoverEmptyDecode(std::span<const float> samples, int64_t actualLength);
  // More than one token and a mean confidence of at least 0.7.
  static bool recoveryIsCredible(const TdtHypothesis& hypothesis);
  // encoderFull, preprocessorFull, trimmedTail, encoderFull+trimmedTail, preprocessorFull+trimmedTail.
  static const std::vector<InferenceLengthPolicy>& emptyDecodeRecoveryPolicies();

  // Streaming windows and their seam. Frames here are global encoder frames (80 ms each, counted
  // from the start of the stream) unless a comment says window frames.

  // What transcribeChunk hands back.
  struct StreamingWindowResult {
    std::vector<int64_t> tokens;
    std::vector<int64_t> timestamps;  // window frames; the caller adds globalFrameOffset
    std::vector<float> confidences;
    int64_t encoderSequenceLength = 0;
    // How many of the caller's last accepted tokens it must withdraw.
    int64_t droppedPreviousTokens = 0;

    bool operator==(const StreamingWindowResult&) const = default;
  };

  // Decodes one window of a stream (at most 240,000 samples, starting at global frame
  // `globalFrameOffset`) so that what the caller has already accepted (`previousTokens`, with
  // their global frames when known) is not emitted again. With timestamps the window is decoded
  // from a fresh decoder state, tokens up to 5 frames before the seam come back only as
  // suppressed evidence, the word straddling the seam is reconciled and repeated runs are
  // removed; the seam never lies before index `stableTokenFloor`. Without timestamps (or for a
  // first window) `decoderState` is continued. `decoderState` holds the decoder's final state on
  // return.
  // Throws ASRError::processingFailed for more than 240,000 samples (before anything changes),
  // the fresh state's allocation error, and every error of executeMLInferenceWithTimings
  // unchanged (`decoderState` may then already be the fresh state).
  StreamingWindowResult transcribeChunk(std::span<const float> samples, TdtDecoderState& decoderState,
                                        const std::vector<int64_t>& previousTokens,
                                        const std::optional<std::vector<int64_t>>& previousTokenTimestamps,
                                        int64_t globalFrameOffset, bool isLastChunk, std::optional<Language> language,
                                        int64_t stableTokenFloor, std::stop_token stop = {}) const;

  // How many leading `tokens` form complete words: the index of the last word start, 0 when none.
  int64_t stableStreamingTokenCount(const std::vector<int64_t>& tokens) const;

  struct Deduplication {
    std::vector<int64_t> deduped;
    int64_t removedCount = 0;

    bool operator==(const Deduplication&) const = default;
  };

  // `current` without its leading tokens that repeat the tail of `previous`: a repeated
  // sentence-final punctuation id first, then the longest suffix-prefix overlap (up to
  // `maxOverlap`), or else a repeated run near the start of current together with everything
  // before it. Two tokens are the same when their ids are equal and their frames at most
  // `frameTolerance` apart; a side whose timestamps are missing or not one per token matches by
  // id only.
  Deduplication removeDuplicateTokenSequence(const std::vector<int64_t>& previous, const std::vector<int64_t>& current,
                                             int64_t maxOverlap,
                                             const std::optional<std::vector<int64_t>>& previousTimestamps,
                                             const std::optional<std::vector<int64_t>>& currentTimestamps,
                                             int64_t frameTolerance,
                                             const std::optional<std::set<int>>& punctuationTokens) const;

  // Word helpers over SentencePiece pieces (UTF-8, possibly empty). A boundary piece begins with
  // "▁" (U+2581) or a space; whitespace is spaces and tabs, punctuation is general category P,
  // both tested per scalar; a joiner is "'", "’" or "-".

  // One word of a piece list: its core and the frame of its first piece.
  struct PieceWord {
    std::string core;
    int64_t frame = 0;

    bool operator==(const PieceWord&) const = default;
  };

  // The index of the last boundary piece; none when there is none or it is the first piece.
  static std::optional<int64_t> trailingWordStartIndex(const std::vector<std::string>& pieces);
  // Punctuation only, once a leading "▁" and surrounding whitespace are gone; a bare "▁" is not.
  static bool isPunctuationPiece(std::string_view piece);
  // Whether the piece at `index` begins a word: a boundary piece that is not punctuation, or a
  // boundary joiner ("▁-") followed by a piece that is neither a boundary nor punctuation.
  // REQUIRES: 0 <= index < pieces.size().
  static bool startsWordPiece(const std::vector<std::string>& pieces, int64_t index);
  // The exclusive end of the word that begins at `start`.
  static int64_t wordExtent(const std::vector<std::string>& pieces, int64_t start);
  // The words that begin before the smallest of `limit` and both list lengths.
  static std::vector<PieceWord> words(const std::vector<std::string>& pieces, const std::vector<int64_t>& timestamps,
                                      int64_t limit);
  // The pieces of the first word; empty when no piece begins one.
  static std::vector<std::string> firstWordPieces(std::span<const std::string> pieces);
  // The pieces joined, "▁" as spaces, "’" as "'", lower-cased, whitespace and punctuation stripped
  // at both ends ("▁Don’t," gives "don't").
  static std::string wordCore(std::span<const std::string> pieces);

  struct SeamReconciliation {
    int64_t droppedPrevious = 0;
    int64_t droppedCurrent = 0;

    bool operator==(const SeamReconciliation&) const = default;
  };

  // Decides, for a window decoded again from the start of the previous side's trailing word
  // (index `trailingWordStart`), how many trailing previous tokens to withdraw (0 or all from
  // trailingWordStart on) and how many leading current tokens repeat what is kept. All frames on
  // one base. (0, 0) for any list of the wrong length, an empty current side or a
  // trailingWordStart outside [1, previous count).
  static SeamReconciliation reconcileFinalWindowSeam(
      const std::vector<int64_t>& previousTokens, const std::vector<int64_t>& previousTimestamps,
      int64_t trailingWordStart, const std::vector<int64_t>& currentTokens,
      const std::vector<int64_t>& currentTimestamps, const std::vector<std::string>& currentPieces,
      const std::vector<std::string>& previousPieces, const std::vector<std::string>& suppressedPieces,
      const std::vector<int64_t>& suppressedTimestamps, int64_t jitterFrames, int64_t frameTolerance);

 private:
  // What one call reads of the fields, taken under the mutex.
  struct Snapshot {
    std::shared_ptr<const AsrModels> asrModels;
    std::shared_ptr<const platform::MLModel> preprocessor;
    std::shared_ptr<const platform::MLModel> encoder;
    std::vector<EncoderLadderFunction> encoderLadder;
    std::shared_ptr<const platform::MLModel> decoder;
    std::shared_ptr<const platform::MLModel> joint;
    std::shared_ptr<const std::map<int, std::string>> vocabulary;
    std::shared_ptr<const std::set<int>> punctuationTokenIds;
  };

  Snapshot snapshot() const;
  void install(const AsrModels& models);
  void startBackgroundTask(std::function<void()> task);

  // The encoder output of the window: through the encoder (or a ladder function) for a split front
  // end, the preprocessor's own output for a fused one.
  std::shared_ptr<const platform::MLFeatureProvider> encode(
      const Snapshot& models, const std::shared_ptr<const platform::MLFeatureProvider>& preprocessorInput,
      InferenceLengthPolicy lengthPolicy, const std::stop_token& stop) const;
  // The encoder's input provider: the preprocessor output itself when it has every input,
  // otherwise each input from it or from the preprocessor input.
  static std::shared_ptr<const platform::MLFeatureProvider> prepareEncoderInput(
      const platform::MLModel& encoder, const std::shared_ptr<const platform::MLFeatureProvider>& preprocessorOutput,
      const platform::MLFeatureProvider& originalInput);

  // Constant after construction.
  const AppLogger logger_{"ASR"};
  const ASRConfig config_;
  const platform::MLPredictionOptions predictionOptions_;
  ProgressEmitter progressEmitter_;  // safe from any thread on its own

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<const AsrModels> asrModels_;
  std::shared_ptr<const platform::MLModel> preprocessorModel_;
  std::shared_ptr<const platform::MLModel> encoderModel_;
  std::vector<EncoderLadderFunction> encoderLadder_;
  std::shared_ptr<const platform::MLModel> decoderModel_;
  std::shared_ptr<const platform::MLModel> jointModel_;
  std::shared_ptr<const std::map<int, std::string>> vocabulary_;
  std::shared_ptr<const std::set<int>> punctuationTokenIds_;
  WindowHandler windowHandler_;

  struct BackgroundTask {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  std::mutex backgroundMutex_;
  std::vector<BackgroundTask> backgroundTasks_;  // guarded by backgroundMutex_
};

}  // namespace tesselaudio
