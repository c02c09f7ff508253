#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/ml/MLMultiArray.h"

namespace platform {
class MLFeatureProvider;
class MLModel;
}  // namespace platform

namespace tesselaudio {

// Greedy RNN-T decoding of one streaming chunk's encoder output that stops the moment the model
// emits its end-of-utterance token. The prediction network's state (hidden and cell state of one
// LSTM layer, and the last emitted token) carries over from one call to the next, so a recogniser
// calls one instance chunk after chunk. Each step evaluates either the decoder and joint models
// (two evaluations) or, when one is given, the fused step model (one evaluation).
//
// Not locked: one caller at a time (the owning recogniser, under its own lock).
//
//   RnntDecoder decoder(decoderModel, jointModel, fusedModel);
//   auto result = decoder.decodeWithEOU(*encoderOutput, 0, 0, validFrames);
//   if (result.eouDetected) ...
//
// Model features. Decoder: "targets" int32 [1, 1] (the last token), "target_length" int32 [1]
// (1), "h_in" and "c_in" float32 [1, 1, 640] → "decoder" [1, H, U], "h_out", "c_out". Joint:
// "encoder_step" float32 [1, D, 1], "decoder_step" (the decoder output, its last step when U > 1)
// → "token_id" (element 0 is the token). Fused: "targets", "h_in", "c_in", "encoder_step" →
// "token_id", "h_out", "c_out".
class RnntDecoder {
 public:
  static constexpr std::int32_t blankId = 1026;
  static constexpr std::int32_t eouId = 1024;
  static constexpr int maxSymbolsPerStep = 2;
  static constexpr std::int64_t hiddenSize = 640;
  static constexpr std::int64_t layers = 1;

  // What one call decoded.
  struct DecodeResult {
    // Emitted tokens in order; never the blank or the end-of-utterance id.
    std::vector<std::int64_t> tokenIds;
    // For each token the index of its frame within the call's encoder output.
    std::vector<std::int64_t> tokenFrames;
    // True when decoding stopped on the end-of-utterance token.
    bool eouDetected = false;

    bool operator==(const DecodeResult&) const = default;
  };

  // Starts from zero states and the blank as last token. A fused model, when given, serves every
  // step. REQUIRES: decoderModel and jointModel not null.
  RnntDecoder(std::shared_ptr<const platform::MLModel> decoderModel,
              std::shared_ptr<const platform::MLModel> jointModel,
              std::shared_ptr<const platform::MLModel> fusedModel = nullptr);
  RnntDecoder(const RnntDecoder&) = delete;
  RnntDecoder& operator=(const RnntDecoder&) = delete;

  // Back to zero states (new arrays) and the blank as last token.
  void resetState();

  // Decodes frames skipFrames up to min(T, validOutLen) (all T frames without a bound) of
  // `encoderOutput`, float32 [1, D, T] read through its strides, making at most two decisions per
  // frame. A blank moves on to the next frame; the end-of-utterance token returns at once with
  // eouDetected. Only emitted tokens advance the state; a blank or end-of-utterance step leaves it
  // as it was. `timeOffset` is not used: frame indices are relative to this output. Nothing is
  // evaluated when the range is empty.
  // Throws ASRError(processingFailed) for an encoder output that is not float32 of rank 3 or a
  // negative skipFrames; RnntDecoderError(missingOutput) for an absent model output; the runtime's
  // MLModelError for a failed evaluation. On a throw the call's tokens are lost; state updates of
  // tokens emitted before the failure stay.
  DecodeResult decodeWithEOU(const platform::MLMultiArray& encoderOutput, std::int64_t timeOffset,
                             std::int64_t skipFrames, std::optional<std::int64_t> validOutLen);

  // The current state: hidden and cell state, each float32 [layers, 1, hiddenSize], and the last
  // emitted token.
  const std::shared_ptr<platform::MLMultiArray>& hState() const { return hState_; }
  const std::shared_ptr<platform::MLMultiArray>& cState() const { return cState_; }
  std::int32_t lastToken() const { return lastToken_; }

  // The whole prediction-network state, for a caller that undoes a failed chunk. Decoding replaces
  // the state arrays and never writes into them, so sharing them is a true snapshot.
  struct State {
    std::shared_ptr<platform::MLMultiArray> hState;
    std::shared_ptr<platform::MLMultiArray> cState;
    std::int32_t lastToken = blankId;
  };
  State state() const { return {hState_, cState_, lastToken_}; }
  // REQUIRES: both arrays not null (a State from state()).
  void restoreState(State state);

 private:
  struct StepResult {
    std::int32_t tokenId = 0;
    std::shared_ptr<platform::MLMultiArray> hState;
    std::shared_ptr<platform::MLMultiArray> cState;
  };

  static std::shared_ptr<platform::MLMultiArray> makeZeroState(std::int64_t layers, std::int64_t hiddenSize);
  static std::shared_ptr<platform::MLMultiArray> extractEncoderStep(const platform::MLMultiArray& from,
                                                                    std::int64_t timeIndex,
                                                                    std::int64_t hiddenDim);
  static std::shared_ptr<platform::MLMultiArray> sliceDecoderStep(
      const std::shared_ptr<platform::MLMultiArray>& decoderOutput);
  // Reads "token_id", then "h_out" and "c_out", in that order. Throws missingOutput.
  static StepResult collectStep(const platform::MLFeatureProvider& tokenOutput,
                                const platform::MLFeatureProvider& stateOutput);
  StepResult runReferenceStep(const std::shared_ptr<platform::MLMultiArray>& encoderStep) const;
  StepResult runFusedStep(const platform::MLModel& fused,
                          const std::shared_ptr<platform::MLMultiArray>& encoderStep) const;

  // Constant after construction.
  std::shared_ptr<const platform::MLModel> decoderModel_;
  std::shared_ptr<const platform::MLModel> jointModel_;
  std::shared_ptr<const platform::MLModel> fusedModel_;

  std::shared_ptr<platform::MLMultiArray> hState_;
  std::shared_ptr<platform::MLMultiArray> cState_;
  std::int32_t lastToken_ = blankId;
};

}  // namespace tesselaudio
