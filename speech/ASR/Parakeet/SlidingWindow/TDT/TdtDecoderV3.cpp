#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV3.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameView.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/ReusableJointInputProvider.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDurationMapping.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "speech/Shared/ASRConstants.h"
#include "speech/Shared/MLMultiArrayExtensions.h"
#include "speech/Shared/TokenLanguageFilter.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

// Where decoding starts when a previous window ended exactly at its end and no left context is
// given.
constexpr int64_t kStartAfterExactSeam = 25;

// A probability as a confidence in [0, 1]; 0 when it is not finite.
float confidenceOf(float probability) {
  if (!std::isfinite(probability)) return 0.0f;
  return std::clamp(probability, 0.0f, 1.0f);
}

std::string withoutWordBoundaries(const std::string& text) {
  constexpr std::string_view kMark = ASRConstants::sentencePieceWordBoundary;
  std::string out;
  for (size_t at = 0; at < text.size();) {
    if (text.compare(at, kMark.size(), kMark) == 0) {
      at += kMark.size();
    } else {
      out.push_back(text[at++]);
    }
  }
  return out;
}

// The text of `id` without word-boundary marks, or none when the vocabulary lacks it.
std::optional<std::string> bareText(const std::map<int, std::string>& vocabulary, int64_t id) {
  if (id < std::numeric_limits<int>::min() || id > std::numeric_limits<int>::max()) return std::nullopt;
  const auto it = vocabulary.find(static_cast<int>(id));
  if (it == vocabulary.end()) return std::nullopt;
  return withoutWordBoundaries(it->second);
}

// Replaces a label written outside the hinted language's script by the best top-K candidate in it.
void tokenLanguageFilter(int64_t& label, float& score, const TdtJointDecision& decision,
                         std::optional<Language> language, const std::map<int, std::string>* vocabulary,
                         int64_t blankId) {
  if (label == blankId || !language || !vocabulary || !decision.topKIds || !decision.topKLogits) return;
  if (decision.topKIds->empty() || vocabulary->empty()) return;
  const auto text = bareText(*vocabulary, label);
  if (!text || text->empty()) return;
  const Script wanted = script(*language);
  if (TokenLanguageFilter::matches(*text, wanted)) return;
  std::vector<int> ids;
  ids.reserve(decision.topKIds->size());
  for (int64_t id : *decision.topKIds) ids.push_back(static_cast<int>(id));
  if (const auto choice = TokenLanguageFilter::filterTopK(ids, *decision.topKLogits, *vocabulary, wanted)) {
    label = choice->tokenId;
    score = confidenceOf(choice->probability);
  }
}

// One decode call: its buffers, loop variables and the hypothesis being built.
class DecodeRun {
 public:
  struct Inputs {
    const TdtDecoderV3& decoder;
    const platform::MLModel& decoderModel;
    const platform::MLModel& jointModel;
    TdtDecoderState& state;
    const EncoderFrameView& frames;
    int64_t length;  // L
    int64_t globalFrameOffset;
    std::optional<Language> language;
    const std::map<int, std::string>* vocabulary;
    std::optional<int64_t> emitTokensAfterGlobalFrame;
    const std::stop_token& stopToken;
  };

  explicit DecodeRun(const Inputs& in)
      : in_(in),
        config_(in.decoder.config.tdtConfig),
        last_(in.length - 1),
        targets_(std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1}, MLMultiArrayDataType::int32)),
        targetLength_(std::make_shared<MLMultiArray>(std::vector<int64_t>{1}, MLMultiArrayDataType::int32)),
        encoderStep_(ANEMemoryUtils::createAlignedArray({1, in.decoder.config.encoderHiddenSize, 1},
                                                        MLMultiArrayDataType::float32, true)),
        decoderStep_(ANEMemoryUtils::createAlignedArray({1, TdtModelInference::kDecoderHiddenSize, 1},
                                                        MLMultiArrayDataType::float32, true)),
        jointInputs_(encoderStep_, decoderStep_),
        encoderDestination_(static_cast<float*>(encoderStep_->dataPointer())),
        encoderDestinationStride_(encoderStep_->strides()[1]),
        tokenId_(std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::int32)),
        tokenProb_(std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::float32)),
        duration_(std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::int32)) {
    *static_cast<int32_t*>(targetLength_->dataPointer()) = 1;
    // Room for every token the caps allow, so that no step grows a list.
    const auto capacity = static_cast<size_t>(std::max<int64_t>(0, config_.maxTokensPerChunk) +
                                              std::max<int64_t>(0, config_.maxSymbolsPerStep) + 1);
    for (auto* list : {&hypothesis_.ySequence, &hypothesis_.timestamps, &hypothesis_.tokenDurations,
                       &hypothesis_.suppressedTokens, &hypothesis_.suppressedTimestamps}) {
      list->reserve(capacity);
    }
    hypothesis_.tokenConfidences.reserve(capacity);
    current_ = in.state.predictorOutput;
    lastToken_ = in.state.lastToken;
  }

  // A state with neither a token nor a cached output starts from zero and the blank.
  void primeIfFresh() {
    if (in_.state.lastToken || in_.state.predictorOutput) return;
    resetData(*in_.state.hiddenState, platform::NSNumber(0));
    resetData(*in_.state.cellState, platform::NSNumber(0));
    current_ = runPredictionNetwork(config_.blankId);
    in_.state.predictorOutput = current_;
  }

  // Returns the main loop's final time index.
  int64_t runMainLoop(int64_t t) {
    int64_t emissionFrame = -1;
    int64_t symbolsAtFrame = 0;
    int64_t mainTokens = 0;
    while (t < in_.length) {
      platform::CancellationError::throwIfRequested(in_.stopToken);
      prepareDecoderStep();
      Step step = evaluate(t, true);
      int64_t d = step.duration;
      if (step.label != config_.blankId && d == 0 && t == emissionFrame && symbolsAtFrame > 0) d = 1;
      int64_t advance = step.label == config_.blankId ? std::max<int64_t>(1, d) : d;
      int64_t t2 = t + advance;
      while (step.label == config_.blankId && t2 < in_.length) {
        platform::CancellationError::throwIfRequested(in_.stopToken);
        t = t2;
        step = evaluate(t, true);
        advance = step.label == config_.blankId ? std::max<int64_t>(1, step.duration) : step.duration;
        t2 = t + advance;
      }
      if (t2 >= in_.length || step.label == config_.blankId) {
        t = t2;
        continue;
      }
      if (++mainTokens > config_.maxTokensPerChunk) return t2;
      emit(step.label, step.score, t, advance);

      bool forceAdvance = false;
      if (t == emissionFrame) {
        forceAdvance = ++symbolsAtFrame >= config_.maxSymbolsPerStep;
      } else if (config_.maxSymbolsPerStep > 1) {
        emissionFrame = t;
        symbolsAtFrame = 1;
      } else {
        forceAdvance = true;
      }
      if (forceAdvance) {
        t = std::min(last_, t2 + 1);
        symbolsAtFrame = 0;
        emissionFrame = -1;
      } else {
        t = t2;
      }
    }
    return t;
  }

  // Flushes tokens that duration jumps stepped over at the end of the audio.
  void runTail(int64_t finalTimeIndex) {
    if (config_.maxSymbolsPerStep < 1) return;
    int64_t u = finalTimeIndex;
    int64_t blanksInARow = 0;
    for (int64_t s = 0; s < config_.maxSymbolsPerStep; ++s) {
      if (blanksInARow >= config_.consecutiveBlankLimit) return;
      platform::CancellationError::throwIfRequested(in_.stopToken);
      prepareDecoderStep();
      const Step step = evaluate(tailFrame(s, u), false);
      if (step.label == config_.blankId) {
        ++blanksInARow;
      } else {
        emit(step.label, step.score, std::min(last_, u), step.duration);
        blanksInARow = 0;
      }
      u = std::min(in_.length, u + std::max<int64_t>(1, step.duration));
    }
  }

  // Writes back what the next window needs and hands over the hypothesis.
  TdtHypothesis finish(bool isLastChunk, int64_t finalTimeIndex, const std::set<int>* punctuationTokenIds) {
    TdtDecoderState& state = in_.state;
    // The latest prediction output travels on, except after the last window.
    state.predictorOutput = isLastChunk ? nullptr : current_;
    state.lastToken = lastToken_;
    if (lastToken_ && isPunctuation(*lastToken_, punctuationTokenIds)) state.predictorOutput = nullptr;
    state.timeJump = isLastChunk ? std::nullopt : std::optional<int64_t>(finalTimeIndex - in_.length);
    hypothesis_.decState = state;
    return std::move(hypothesis_);
  }

 private:
  struct Step {
    int64_t label;
    float score;
    int64_t duration;  // frames, from the duration bins
  };

  // The frame tail step `s` evaluates: in turn the tail position, the last frame and the one
  // before it, all within the readable frames.
  int64_t tailFrame(int64_t s, int64_t u) const {
    const int64_t lastReadable = in_.frames.count() - 1;
    switch (s % 3) {
      case 0:
        return std::min(lastReadable, u);
      case 1:
        return std::min(lastReadable, last_);
      default:
        return std::min(lastReadable, std::max<int64_t>(0, in_.length - 2));
    }
  }

  static bool isPunctuation(int64_t token, const std::set<int>* punctuationTokenIds) {
    if (punctuationTokenIds) return punctuationTokenIds->contains(static_cast<int>(token));
    return std::find(ASRConstants::punctuationTokens.begin(), ASRConstants::punctuationTokens.end(), token) !=
           ASRConstants::punctuationTokens.end();
  }

  // Brings the current prediction output into the decoder step; without one, runs the network on
  // the last token and keeps its output as the current one.
  void prepareDecoderStep() {
    if (!current_) current_ = runPredictionNetwork(lastToken_.value_or(config_.blankId));
    TdtModelInference::normalizeDecoderProjection(*current_, decoderStep_);
  }

  // The joint's decision at `frame` with the confidence and the duration in frames; the language
  // rules apply in the main loop only.
  Step evaluate(int64_t frame, bool applyLanguageRules) {
    const bool needsTopK = in_.language.has_value();
    const TdtJointDecision decision = in_.decoder.modelInference.runJointPrepared(
        in_.frames, std::min(frame, last_), *decoderStep_, in_.jointModel, *encoderStep_, encoderDestination_,
        encoderDestinationStride_, jointInputs_, tokenId_, tokenProb_, duration_, needsTopK);
    Step step{decision.token, confidenceOf(decision.probability), 0};
    if (applyLanguageRules) {
      tokenLanguageFilter(step.label, step.score, decision, in_.language, in_.vocabulary, config_.blankId);
      if (in_.language == Language::french && decision.topKIds && decision.topKLogits && in_.vocabulary) {
        TdtDecoderV3::applyEnglishBlocklist(step.label, step.score, *decision.topKIds, *decision.topKLogits,
                                            *in_.vocabulary, config_.blankId);
      }
    }
    step.duration = TdtDurationMapping::mapDurationBin(decision.durationBin, config_.durationBins);
    return step;
  }

  // Records token `token` found at window frame `frame` and feeds it to the prediction network.
  void emit(int64_t token, float score, int64_t frame, int64_t duration) {
    const int64_t globalFrame = in_.globalFrameOffset + frame;
    if (!in_.emitTokensAfterGlobalFrame || globalFrame >= *in_.emitTokensAfterGlobalFrame) {
      hypothesis_.ySequence.push_back(token);
      hypothesis_.score += score;
      hypothesis_.timestamps.push_back(globalFrame);
      hypothesis_.tokenConfidences.push_back(score);
      hypothesis_.tokenDurations.push_back(duration);
    } else {
      hypothesis_.suppressedTokens.push_back(token);
      hypothesis_.suppressedTimestamps.push_back(globalFrame);
    }
    hypothesis_.lastToken = token;
    current_ = runPredictionNetwork(token);
    in_.state.predictorOutput = current_;
    lastToken_ = token;
  }

  // Runs the prediction network on `token`, advancing the state's arrays in place, and returns
  // its "decoder" output.
  std::shared_ptr<MLMultiArray> runPredictionNetwork(int64_t token) {
    *static_cast<int32_t*>(targets_->dataPointer()) = static_cast<int32_t>(token);
    bindStateArrays();
    const auto output = in_.decoderModel.prediction(*decoderInputs_, decoderOptions_);
    in_.state.update(*output);
    const auto value = output->featureValue("decoder");
    if (!value || !value->multiArrayValue()) throw ASRError::processingFailed("Invalid decoder output");
    return value->multiArrayValue();
  }

  // Feeds the state's arrays as "h_in"/"c_in" and backs "h_out"/"c_out" with them; rebuilt only
  // when the state holds other arrays than last time.
  void bindStateArrays() {
    const auto& hidden = in_.state.hiddenState;
    const auto& cell = in_.state.cellState;
    if (decoderInputs_ && boundHidden_ == hidden && boundCell_ == cell) return;
    decoderInputs_ = std::make_unique<platform::MLDictionaryFeatureProvider>(
        std::map<std::string, std::shared_ptr<MLMultiArray>>{
            {"targets", targets_}, {"target_length", targetLength_}, {"h_in", hidden}, {"c_in", cell}});
    decoderOptions_.outputBackings = {{"h_out", hidden}, {"c_out", cell}};
    boundHidden_ = hidden;
    boundCell_ = cell;
  }

  const Inputs& in_;
  const TdtConfig& config_;
  const int64_t last_;

  std::shared_ptr<MLMultiArray> targets_;
  std::shared_ptr<MLMultiArray> targetLength_;
  std::shared_ptr<MLMultiArray> encoderStep_;
  std::shared_ptr<MLMultiArray> decoderStep_;
  ReusableJointInputProvider jointInputs_;
  float* encoderDestination_;
  int64_t encoderDestinationStride_;
  std::shared_ptr<MLMultiArray> tokenId_;
  std::shared_ptr<MLMultiArray> tokenProb_;
  std::shared_ptr<MLMultiArray> duration_;

  // The prediction network has options of its own, so that neither network's backings are
  // rebuilt at every step.
  platform::MLPredictionOptions decoderOptions_;
  std::unique_ptr<platform::MLDictionaryFeatureProvider> decoderInputs_;
  std::shared_ptr<MLMultiArray> boundHidden_;
  std::shared_ptr<MLMultiArray> boundCell_;

  std::shared_ptr<MLMultiArray> current_;
  std::optional<int64_t> lastToken_;
  TdtHypothesis hypothesis_;
};

int64_t startFrame(const TdtDecoderState& state, int64_t contextFrameAdjustment,
                   std::optional<int64_t> initialTimeIndexOverride) {
  if (initialTimeIndexOverride) return *initialTimeIndexOverride;
  if (!state.timeJump) return contextFrameAdjustment;
  if (contextFrameAdjustment == 0 && *state.timeJump == 0) return kStartAfterExactSeam;
  return std::max<int64_t>(0, contextFrameAdjustment + *state.timeJump);
}

TdtHypothesis freshHypothesis(const TdtDecoderState& state) {
  TdtHypothesis hypothesis;
  hypothesis.decState = state;
  return hypothesis;
}

}  // namespace

const std::set<int64_t>& TdtDecoderV3::englishBlocklistIds() {
  static const std::set<int64_t> ids = {
      506,  1502, 575,  1976, 2530, 1180, 3247, 1868, 1050, 7603, 1974, 5831, 1647, 3109, 924,
      4020, 4250, 1714, 4908, 4223, 6167, 2783, 4396, 3357, 4611, 3470, 6843, 4333, 4980, 1491,
      3592, 2681, 1960, 547,  2336, 750,  1842, 3285, 3629, 1103, 4384, 1535, 4421, 5726};
  return ids;
}

void TdtDecoderV3::applyEnglishBlocklist(int64_t& label, float& score, const std::vector<int64_t>& topKIds,
                                         const std::vector<float>& topKLogits,
                                         const std::map<int, std::string>& vocabulary, int64_t blankId) {
  const auto& blocklist = englishBlocklistIds();
  if (label == blankId || !blocklist.contains(label)) return;
  const size_t n = std::min(topKIds.size(), topKLogits.size());
  std::optional<size_t> best;
  for (size_t i = 0; i < n; ++i) {
    const int64_t id = topKIds[i];
    if (id == blankId || blocklist.contains(id)) continue;
    const auto text = bareText(vocabulary, id);
    if (!text || (!text->empty() && !TokenLanguageFilter::matches(*text, Script::latin))) continue;
    if (!best || topKLogits[i] > topKLogits[*best]) best = i;
  }
  if (!best) return;
  const float largest = *std::max_element(topKLogits.begin(), topKLogits.end());
  float sum = 0.0f;
  for (float logit : topKLogits) sum += std::exp(logit - largest);
  label = topKIds[*best];
  score = sum > 0.0f ? confidenceOf(std::exp(topKLogits[*best] - largest) / sum) : 0.0f;
}

TdtHypothesis TdtDecoderV3::decodeWithTimings(
    const std::shared_ptr<MLMultiArray>& encoderOutput, int64_t encoderSequenceLength, int64_t actualAudioFrames,
    const platform::MLModel& decoderModel, const platform::MLModel& jointModel, TdtDecoderState& decoderState,
    int64_t contextFrameAdjustment, bool isLastChunk, int64_t globalFrameOffset, std::optional<Language> language,
    const std::map<int, std::string>* vocabulary, const std::set<int>* punctuationTokenIds,
    std::optional<int64_t> emitTokensAfterGlobalFrame, std::optional<int64_t> initialTimeIndexOverride,
    std::stop_token stopToken) const {
  if (encoderSequenceLength < 2) return freshHypothesis(decoderState);
  const EncoderFrameView frames(encoderOutput, encoderSequenceLength, config.encoderHiddenSize);
  const int64_t start = startFrame(decoderState, contextFrameAdjustment, initialTimeIndexOverride);
  const int64_t length = std::min(actualAudioFrames, encoderSequenceLength);
  if (start >= length) return freshHypothesis(decoderState);

  const DecodeRun::Inputs inputs{*this,  decoderModel, jointModel, decoderState, frames,   length,
                                 globalFrameOffset, language, vocabulary, emitTokensAfterGlobalFrame, stopToken};
  DecodeRun run(inputs);
  run.primeIfFresh();
  const int64_t finalTimeIndex = run.runMainLoop(start);
  if (isLastChunk) run.runTail(finalTimeIndex);
  return run.finish(isLastChunk, finalTimeIndex, punctuationTokenIds);
}

}  // namespace tesselaudio
