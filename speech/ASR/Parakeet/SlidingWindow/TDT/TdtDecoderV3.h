#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "speech/ASR/Parakeet/ASRConfig.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderState.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtHypothesis.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtModelInference.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Language.h"

namespace platform {
class MLModel;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

// The greedy token-and-duration (TDT) decoder of one window of encoder output: the joint network
// scores a frame against the prediction network's summary of the tokens so far and answers a
// token and how many frames to skip; blanks advance time only, each emitted token runs the
// prediction network once. The prediction network's state is carried from window to window in a
// TdtDecoderState. A value made per window; one decoder and one state serve one call at a time.
//
//   TdtDecoderV3 decoder(config);
//   TdtDecoderState state(version.decoderLayers());
//   TdtHypothesis h = decoder.decodeWithTimings(encoderOutput, frames, frames, *decoderModel,
//                                               *jointModel, state, 0, true, 0, std::nullopt,
//                                               &vocabulary, nullptr, std::nullopt, std::nullopt, stop);
struct TdtDecoderV3 {
  // The logger of category "TDT"; decoding writes nothing to it.
  AppLogger logger{"TDT"};
  ASRConfig config;
  TdtModelInference modelInference;

  explicit TdtDecoderV3(ASRConfig config) : config(std::move(config)) {}

  // The 44 ids of English words that a French hint replaces by the best other Latin candidate.
  static const std::set<int64_t>& englishBlocklistIds();

  // Decodes frames [start, L) of `encoderOutput` (float32 [1, hidden, time] or [1, time, hidden]),
  // L = min(actualAudioFrames, encoderSequenceLength), and returns the tokens with their global
  // frames (window frame + globalFrameOffset), durations and confidences; tokens at a global frame
  // below emitTokensAfterGlobalFrame go to the suppressed lists. The start frame is
  // initialTimeIndexOverride when given, else contextFrameAdjustment without a carried timeJump,
  // else 25 when both are 0, else max(0, contextFrameAdjustment + timeJump). A language hint reads
  // the joint's top-K candidates and replaces tokens written in another script (for French also a
  // fixed set of English words); `vocabulary` gives the texts it needs. `isLastChunk` flushes the
  // window end in up to maxSymbolsPerStep tail steps.
  //
  // `decoderState` is advanced in place and left with the last token, the prediction output of the
  // latest run (none after a last window or a punctuation token; punctuationTokenIds default to
  // 7883, 7956 and 8020) and timeJump = final frame - L (none after a last window). Nothing is
  // touched when encoderSequenceLength < 2 or the start frame is >= L.
  //
  // Throws the errors of EncoderFrameView, TdtModelInference and TdtDurationMapping, the models'
  // MLModelError, the allocation error of the buffers, ASRError::processingFailed("Invalid decoder
  // output") for a prediction network without a "decoder" array, and platform::CancellationError
  // at the next step, blank re-evaluation or tail step after `stopToken` is triggered. The state
  // then keeps what was written into it.
  TdtHypothesis decodeWithTimings(const std::shared_ptr<platform::MLMultiArray>& encoderOutput,
                                  int64_t encoderSequenceLength, int64_t actualAudioFrames,
                                  const platform::MLModel& decoderModel, const platform::MLModel& jointModel,
                                  TdtDecoderState& decoderState, int64_t contextFrameAdjustment, bool isLastChunk,
                                  int64_t globalFrameOffset, std::optional<Language> language,
                                  const std::map<int, std::string>* vocabulary,
                                  const std::set<int>* punctuationTokenIds,
                                  std::optional<int64_t> emitTokensAfterGlobalFrame,
                                  std::optional<int64_t> initialTimeIndexOverride, std::stop_token stopToken) const;

  // For a label in englishBlocklistIds(): the first n = min(ids, logits) candidates other than the
  // blank and blocklisted ids, with a text in `vocabulary` that is empty or Latin once "▁" is
  // removed; the one with the greatest logit (the first on ties) becomes the label, its softmax
  // over all the logits the score (0 when not finite). No change otherwise.
  static void applyEnglishBlocklist(int64_t& label, float& score, const std::vector<int64_t>& topKIds,
                                    const std::vector<float>& topKLogits,
                                    const std::map<int, std::string>& vocabulary, int64_t blankId);
};

}  // namespace tesselaudio
