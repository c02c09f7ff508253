#pragma once

#include <cstdint>
#include <memory>

#include "platform/ml/MLPredictionOptions.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtJointDecision.h"

namespace platform {
class MLFeatureProvider;
class MLModel;
class MLMultiArray;
}  // namespace platform

namespace tesselaudio {

class EncoderFrameView;

// The two model-facing steps of the TDT decode loop, written to allocate nothing per step beyond
// the joint prediction itself: bringing the prediction network's output into the joint's layout,
// and running the joint on one encoder frame. Copies share the prediction options, whose output
// backings every joint call replaces; so one value (and its arrays) serves one decode loop at a
// time, on that loop's thread.
struct TdtModelInference {
  // The decoder's width: values of the prediction network's output.
  static constexpr int64_t kDecoderHiddenSize = 640;

  std::shared_ptr<platform::MLPredictionOptions> predictionOptions =
      std::make_shared<platform::MLPredictionOptions>();

  // Copies the 640 values of `projection` (float32 [1, 640, 1] or [1, 1, 640], any strides) into
  // `into` as [1, 640, 1] with one strided copy, and returns it; a new zeroed aligned array when
  // `into` is null. Throws ASRError::processingFailed, checking in this order: rank 3 ("Invalid
  // decoder projection rank: [..]"), batch 1 ("Unsupported decoder batch dimension: 2"), float32
  // ("Unsupported decoder projection type: float16"), a 640 axis ("Decoder projection hidden size
  // mismatch: [..]"), the other axis 1 ("Decoder projection time axis must be 1: [..]"), a float32
  // [1, 640, 1] destination ("Prepared decoder step shape mismatch: 1x640x2"), strides within 32
  // bits ("Decoder destination stride" / "Decoder projection stride" + " exceeds supported range");
  // the aligned allocation's error.
  static std::shared_ptr<platform::MLMultiArray> normalizeDecoderProjection(
      const platform::MLMultiArray& projection, std::shared_ptr<platform::MLMultiArray> into = nullptr);

  // Copies frame `timeIndex` of `encoderFrames` into the encoder step at `encoderDestPtr`
  // (`encoderDestStride` apart), runs `model` on `inputProvider` with its three decisions written
  // into the one-element backings, and reads them; with `needsTopK`, also "top_k_ids" and
  // "top_k_logits" when the model gives both. Throws the frame copy's ASRError, the model's
  // MLModelError unchanged (also for a backing that does not fit an output), and
  // ASRError::processingFailed: "Joint decision output missing <name>", "Joint decision returned
  // unexpected tensor shapes", "Joint decision top-K outputs must be present as a pair
  // (top_k_ids + top_k_logits)", "Joint decision top-K length mismatch: <n> vs <m>", "Expected
  // Int32 for top_k_ids, got <raw type>" / "Expected Float32 for top_k_logits, got <raw type>".
  // REQUIRES: `inputProvider` serves `encoderStep` (whose memory starts at encoderDestPtr) and
  // `preparedDecoderStep`.
  TdtJointDecision runJointPrepared(const EncoderFrameView& encoderFrames, int64_t timeIndex,
                                    const platform::MLMultiArray& preparedDecoderStep,
                                    const platform::MLModel& model, platform::MLMultiArray& encoderStep,
                                    float* encoderDestPtr, int64_t encoderDestStride,
                                    const platform::MLFeatureProvider& inputProvider,
                                    const std::shared_ptr<platform::MLMultiArray>& tokenIdBacking,
                                    const std::shared_ptr<platform::MLMultiArray>& tokenProbBacking,
                                    const std::shared_ptr<platform::MLMultiArray>& durationBacking,
                                    bool needsTopK) const;
};

}  // namespace tesselaudio
