#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <utility>
#include <vector>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstants.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyContext.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTerm.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcDPAlgorithm.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModels.h"
#include "speech/Shared/AppLogger.h"

namespace platform {
class MLFeatureProvider;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

// Finds custom-vocabulary terms in 16 kHz mono audio with the CTC spotter models: the audio becomes
// a matrix of per-frame log-probabilities (one padded 15 s window, or overlapping windows whose
// shared frames are averaged), and each term's tokens are searched in it with CtcDPAlgorithm.
// A value; its settings are fixed at construction. Calls keep nothing between them and may run
// concurrently (the models are shared and thread-safe); those that run the models block and stop
// at `stop` with platform::CancellationError.
//
//   CtcKeywordSpotter spotter(models, blankId);
//   auto result = spotter.spotKeywordsWithLogProbs(samples, vocabulary, std::nullopt, stop);
//   for (const auto& detection : result.detections) use(detection.term.text, detection.startTime);
struct CtcKeywordSpotter {
  struct CtcLogProbResult {
    CtcLogProbMatrix logProbs;
    double frameDuration = 0;
    int totalFrames = 0;
    int audioSamplesUsed = 0;
  };

  struct KeywordDetection {
    CustomVocabularyTerm term;
    float score = 0;
    // Frames of the whole matrix, not of the detection.
    int totalFrames = 0;
    int startFrame = 0;
    // One past the last frame that emitted one of the term's tokens.
    int endFrame = 0;
    double startTime = 0;
    double endTime = 0;
  };

  struct SpotKeywordsResult {
    std::vector<KeywordDetection> detections;
    CtcLogProbMatrix logProbs;
    double frameDuration = 0;
    int totalFrames = 0;
  };

  AppLogger logger{"CtcKeywordSpotter"};
  CtcModels models;
  int blankId = 0;
  int sampleRate = 16000;
  int maxModelSamples = 240000;
  int chunkOverlapSamples = 32000;
  bool debugMode = false;
  float temperature = ContextBiasingConstants::ctcTemperature;
  float blankBias = ContextBiasingConstants::blankBias;

  CtcKeywordSpotter(CtcModels models, int blankId);

  // Finds every term of `customVocabulary` in the audio and returns the detections (by term in
  // vocabulary order, then by start frame) with the matrix they were found in. A term shorter than
  // the vocabulary's minTermLength, or without ids, is skipped. Without `minScore` the threshold is
  // ContextBiasingConstants::defaultMinSpotterScore; with it, it drops by 1.0 per token beyond the
  // third. No samples give an empty result.
  // Throws what computing the matrix throws.
  SpotKeywordsResult spotKeywordsWithLogProbs(std::span<const float> audioSamples,
                                              const CustomVocabularyContext& customVocabulary,
                                              std::optional<float> minScore, std::stop_token stop = {}) const;

  // The same search over a matrix the caller holds. Never throws.
  SpotKeywordsResult spotKeywordsFromLogProbs(const CtcLogProbMatrix& logProbs, double frameDuration,
                                              const CustomVocabularyContext& customVocabulary,
                                              std::optional<float> minScore) const;

  // One window of at most maxModelSamples samples, zero-padded; the rows of the padding are cut.
  // Throws ASRError::processingFailed for a model output that is missing or of the wrong rank, and
  // the models' errors unchanged.
  // REQUIRES: audioSamples is not empty.
  CtcLogProbResult computeWithStagedModels(std::span<const float> audioSamples, std::stop_token stop = {}) const;

  // Audio longer than one window: windows every maxModelSamples - chunkOverlapSamples samples, run
  // one after another, the rows they share averaged in the probability domain. A failing window
  // fails the whole call.
  CtcLogProbResult computeLogProbsChunked(std::span<const float> audioSamples, std::stop_token stop = {}) const;

  // The mel model's "audio" array (rank and element type from its input description), zeroed, with
  // the first samples written, and the number of samples written.
  std::pair<std::shared_ptr<platform::MLMultiArray>, int> prepareAudioArray(std::span<const float> samples) const;
  std::unique_ptr<platform::MLFeatureProvider> makeAudioFeatureProvider(std::shared_ptr<platform::MLMultiArray> array,
                                                                        int length) const;
  // Throws ASRError::processingFailed("Invalid mel_length for CTC encoder input") when no length
  // of at least 1 can be found.
  std::unique_ptr<platform::MLFeatureProvider> makeEncoderInput(std::shared_ptr<platform::MLMultiArray> melFeatures,
                                                                std::optional<std::int64_t> melLength) const;

  // The encoder output ([1, T, V] or [1, V, 1, T], any element type) as log-softmaxed rows.
  // Throws ASRError::processingFailed for another rank.
  static CtcLogProbMatrix makeLogProbs(const platform::MLMultiArray& from, float temperature, float blankBias,
                                       int blankId);
  static std::vector<float> logSoftmax(std::span<const float> logits, float temperature);
  // The rows that cover `audioSampleCount` real samples of a padded window (at least one).
  CtcLogProbMatrix trimLogProbs(const CtcLogProbMatrix& logProbs, int audioSampleCount) const;

  // Each row log-softmaxed with `temperature`, then `blankBias` subtracted from the blank's entry.
  static CtcLogProbMatrix applyLogSoftmax(const CtcLogProbMatrix& rawLogits, int blankId, float temperature,
                                          float blankBias);
};

}  // namespace tesselaudio
