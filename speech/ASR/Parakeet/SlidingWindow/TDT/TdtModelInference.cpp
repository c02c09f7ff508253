#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtModelInference.h"

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/dsp/VectorOps.h"
#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameView.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/MultiArrayDescription.h"
#include "speech/Shared/ANEMemoryUtils.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using MultiArrayDescription::bracketedList;

constexpr int64_t kHidden = TdtModelInference::kDecoderHiddenSize;

void requireInt32(int64_t value, const char* what) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw ASRError::processingFailed(std::string(what) + " exceeds supported range");
  }
}

// The named output as an array, or null when it is missing or no array.
std::shared_ptr<MLMultiArray> outputArray(const platform::MLFeatureProvider& output, const std::string& name) {
  auto value = output.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

std::shared_ptr<MLMultiArray> requiredOutput(const platform::MLFeatureProvider& output, const char* name) {
  auto array = outputArray(output, name);
  if (!array) throw ASRError::processingFailed(std::string("Joint decision output missing ") + name);
  return array;
}

// Element 0 as a 32-bit integer: read straight from memory for an int32 array.
int64_t firstInt32(const MLMultiArray& array) {
  if (array.dataType() == MLMultiArrayDataType::int32) return *static_cast<const int32_t*>(array.dataPointer());
  return array[0].int32Value();
}

float firstFloat(const MLMultiArray& array) {
  if (array.dataType() == MLMultiArrayDataType::float32) return *static_cast<const float*>(array.dataPointer());
  return array[0].floatValue();
}

template <class T>
std::optional<std::vector<T>> extractArray(const platform::MLFeatureProvider& output, const std::string& key,
                                           MLMultiArrayDataType expected, const char* typeName) {
  auto array = outputArray(output, key);
  if (!array) return std::nullopt;
  if (array->dataType() != expected) {
    throw ASRError::processingFailed(fmt::format("Expected {} for {}, got {}", typeName, key,
                                                 static_cast<int>(array->dataType())));
  }
  using Stored = std::conditional_t<std::is_same_v<T, float>, float, int32_t>;
  const auto* values = static_cast<const Stored*>(array->dataPointer());
  return std::vector<T>(values, values + array->count());
}

std::optional<std::vector<int64_t>> extractInt32Array(const platform::MLFeatureProvider& output,
                                                      const std::string& key) {
  return extractArray<int64_t>(output, key, MLMultiArrayDataType::int32, "Int32");
}

std::optional<std::vector<float>> extractFloat32Array(const platform::MLFeatureProvider& output,
                                                      const std::string& key) {
  return extractArray<float>(output, key, MLMultiArrayDataType::float32, "Float32");
}

// Points the three decisions at the caller's arrays, reusing the map's entries after the first call.
void setJointBackings(platform::MLPredictionOptions& options, const std::shared_ptr<MLMultiArray>& tokenId,
                      const std::shared_ptr<MLMultiArray>& tokenProb, const std::shared_ptr<MLMultiArray>& duration) {
  auto& backings = options.outputBackings;
  if (backings.size() != 3 || !backings.contains("token_id") || !backings.contains("token_prob") ||
      !backings.contains("duration")) {
    backings.clear();
  }
  backings["token_id"] = tokenId;
  backings["token_prob"] = tokenProb;
  backings["duration"] = duration;
}

// The 640-wide axis of a [1, a, b] projection; the other non-batch axis must be 1.
size_t projectionHiddenAxis(const std::vector<int64_t>& shape) {
  size_t hiddenAxis = 0;
  if (shape[2] == kHidden) {
    hiddenAxis = 2;
  } else if (shape[1] == kHidden) {
    hiddenAxis = 1;
  } else {
    throw ASRError::processingFailed("Decoder projection hidden size mismatch: " + bracketedList(shape));
  }
  if (shape[hiddenAxis == 2 ? 1 : 2] != 1) {
    throw ASRError::processingFailed("Decoder projection time axis must be 1: " + bracketedList(shape));
  }
  return hiddenAxis;
}

}  // namespace

std::shared_ptr<MLMultiArray> TdtModelInference::normalizeDecoderProjection(const MLMultiArray& projection,
                                                                            std::shared_ptr<MLMultiArray> into) {
  const std::vector<int64_t>& shape = projection.shape();
  if (shape.size() != 3) throw ASRError::processingFailed("Invalid decoder projection rank: " + bracketedList(shape));
  if (shape[0] != 1) {
    throw ASRError::processingFailed("Unsupported decoder batch dimension: " + std::to_string(shape[0]));
  }
  if (projection.dataType() != MLMultiArrayDataType::float32) {
    throw ASRError::processingFailed("Unsupported decoder projection type: " +
                                     MultiArrayDescription::dataTypeName(projection.dataType()));
  }
  const size_t hiddenAxis = projectionHiddenAxis(shape);
  if (into) {
    const std::vector<int64_t>& intoShape = into->shape();
    const bool fits = intoShape.size() == 3 && intoShape[0] == 1 && intoShape[1] == kHidden && intoShape[2] == 1;
    if (into->dataType() != MLMultiArrayDataType::float32 || !fits) {
      throw ASRError::processingFailed(
          fmt::format("Prepared decoder step shape mismatch: {}", fmt::join(into->shape(), "x")));
    }
  } else {
    into = ANEMemoryUtils::createAlignedArray({1, kHidden, 1}, MLMultiArrayDataType::float32, true);
  }
  const int64_t sourceStride = projection.strides()[hiddenAxis];
  const int64_t destinationStride = into->strides()[1];
  requireInt32(destinationStride, "Decoder destination stride");
  requireInt32(sourceStride, "Decoder projection stride");
  platform::dsp::stridedCopy(static_cast<const float*>(projection.dataPointer()), static_cast<int>(sourceStride),
                             static_cast<float*>(into->dataPointer()), static_cast<int>(destinationStride),
                             static_cast<int>(kHidden));
  return into;
}

TdtJointDecision TdtModelInference::runJointPrepared(
    const EncoderFrameView& encoderFrames, int64_t timeIndex, const MLMultiArray& /*preparedDecoderStep*/,
    const platform::MLModel& model, MLMultiArray& /*encoderStep*/, float* encoderDestPtr, int64_t encoderDestStride,
    const platform::MLFeatureProvider& inputProvider, const std::shared_ptr<MLMultiArray>& tokenIdBacking,
    const std::shared_ptr<MLMultiArray>& tokenProbBacking, const std::shared_ptr<MLMultiArray>& durationBacking,
    bool needsTopK) const {
  encoderFrames.copyFrame(timeIndex, encoderDestPtr, encoderDestStride);
  setJointBackings(*predictionOptions, tokenIdBacking, tokenProbBacking, durationBacking);
  const auto output = model.prediction(inputProvider, *predictionOptions);

  const auto tokenId = requiredOutput(*output, "token_id");
  const auto tokenProb = requiredOutput(*output, "token_prob");
  const auto duration = requiredOutput(*output, "duration");
  if (tokenId->count() != 1 || tokenProb->count() != 1 || duration->count() != 1) {
    throw ASRError::processingFailed("Joint decision returned unexpected tensor shapes");
  }
  TdtJointDecision decision;
  decision.token = firstInt32(*tokenId);
  decision.probability = firstFloat(*tokenProb);
  decision.durationBin = firstInt32(*duration);
  if (!needsTopK) return decision;

  auto ids = extractInt32Array(*output, "top_k_ids");
  auto logits = extractFloat32Array(*output, "top_k_logits");
  if (!ids && !logits) return decision;
  if (!ids || !logits) {
    throw ASRError::processingFailed(
        "Joint decision top-K outputs must be present as a pair (top_k_ids + top_k_logits)");
  }
  if (ids->size() != logits->size()) {
    throw ASRError::processingFailed(
        fmt::format("Joint decision top-K length mismatch: {} vs {}", ids->size(), logits->size()));
  }
  decision.topKIds = std::move(ids);
  decision.topKLogits = std::move(logits);
  return decision;
}

}  // namespace tesselaudio
