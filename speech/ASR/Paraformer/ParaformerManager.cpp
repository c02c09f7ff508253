#include "speech/ASR/Paraformer/ParaformerManager.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/Float16.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecoding.h"
#include "speech/ASR/Paraformer/ParaformerCif.h"
#include "speech/ASR/Paraformer/ParaformerTimestamps.h"
#include "speech/ASR/Shared/LogitsArgmax.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

const AppLogger& logger() {
  static const AppLogger instance("ParaformerManager");
  return instance;
}

std::size_t size(std::int64_t value) { return static_cast<std::size_t>(value); }

std::shared_ptr<MLMultiArray> floatArray(std::vector<std::int64_t> shape) {
  return std::make_shared<MLMultiArray>(std::move(shape), MLMultiArrayDataType::float32);
}

std::shared_ptr<MLMultiArray> lengthArray(int value) {
  auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1}, MLMultiArrayDataType::int32);
  static_cast<std::int32_t*>(array->dataPointer())[0] = value;
  return array;
}

float* floats(const MLMultiArray& array) { return static_cast<float*>(array.dataPointer()); }

// The output `name` of `model` for `inputs`, or processingFailed("Paraformer <who> produced no `name`").
std::shared_ptr<MLMultiArray> predictOutput(const platform::MLModel& model, const Arrays& inputs,
                                            const std::string& who, const std::string& name) {
  const auto result = model.prediction(platform::MLDictionaryFeatureProvider(inputs));
  const auto value = result->featureValue(name);
  if (!value || !value->multiArrayValue()) {
    throw ASRError::processingFailed("Paraformer " + who + " produced no `" + name + "`");
  }
  return value->multiArrayValue();
}

[[noreturn]] void refuseShort(const std::string& who, const std::string& name, const MLMultiArray& array,
                              const std::string& needed) {
  throw ASRError::processingFailed(fmt::format("Paraformer {} produced `{}` of shape [{}]; {} needed", who, name,
                                               fmt::join(array.shape(), ", "), needed));
}

// Copies rows into a zeroed [1, capacity, width] float array.
void fillRows(MLMultiArray& into, const std::vector<std::vector<float>>& rows) {
  float* data = floats(into);
  const std::int64_t stride = into.strides()[1];
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::memcpy(data + size(stride) * r, rows[r].data(), rows[r].size() * sizeof(float));
  }
}

// `count` rows of `dim` values of a [1, rows, dim] array, row i from element i × strides[1].
std::vector<std::vector<float>> rows(const MLMultiArray& array, int count, int dim) {
  const std::int64_t rowStride = array.strides()[1];
  const std::int64_t valueStride = array.strides()[2];
  std::vector<std::vector<float>> out(size(count), std::vector<float>(size(dim)));
  for (int i = 0; i < count; ++i) {
    const std::int64_t start = i * rowStride;
    float* row = out[size(i)].data();
    if (array.dataType() == MLMultiArrayDataType::float32 && valueStride == 1) {
      std::memcpy(row, floats(array) + start, size(dim) * sizeof(float));
    } else if (array.dataType() == MLMultiArrayDataType::float16 && valueStride == 1) {
      platform::convertFloat16ToFloat(static_cast<const std::uint16_t*>(array.dataPointer()) + start, row, size(dim));
    } else {
      for (int d = 0; d < dim; ++d) row[d] = array[{0, i, d}].floatValue();
    }
  }
  return out;
}

}  // namespace

ParaformerManager::ParaformerManager(ParaformerModels models) : models_(std::move(models)) {}

std::unique_ptr<ParaformerManager> ParaformerManager::load(ParaformerPrecision precision,
                                                           const ProgressHandler& progressHandler,
                                                           std::stop_token stop) {
  return std::make_unique<ParaformerManager>(ParaformerModels::downloadAndLoad(precision, progressHandler,
                                                                               std::move(stop)));
}

std::string ParaformerManager::transcribe(const std::vector<float>& audio) {
  const std::scoped_lock lock(mutex_);
  const Decoded decoded = recognise(audio);
  if (!decoded.logits) return "";
  return decode(*decoded.logits, decoded.tokenCount);
}

std::string ParaformerManager::transcribe(const std::filesystem::path& audioURL) {
  return transcribe(AudioConverter().resampleAudioFile(audioURL));
}

std::vector<TimestampedSegment> ParaformerManager::transcribeWithTimestamps(const std::vector<float>& audio) {
  const std::scoped_lock lock(mutex_);
  const Decoded decoded = recognise(audio);
  if (!decoded.logits) return {};
  return ParaformerTimestamps::decodeWithTimestamps(*decoded.logits, decoded.tokenCount, decoded.alphas, audio,
                                                    models_.vocabulary);
}

std::vector<TimestampedSegment> ParaformerManager::transcribeWithTimestamps(const std::filesystem::path& audioURL) {
  return transcribeWithTimestamps(AudioConverter().resampleAudioFile(audioURL));
}

ParaformerManager::Decoded ParaformerManager::recognise(const std::vector<float>& audio) const {
  const auto features = runPreprocessor(audio);
  int validLen = static_cast<int>(std::min<std::int64_t>(features->shape()[1], INT32_MAX));
  if (validLen > ParaformerConfig::decoderEncFrames) {
    logger().warning(fmt::format("audio too long ({} frames); truncating to {}", validLen,
                                 ParaformerConfig::decoderEncFrames));
    validLen = ParaformerConfig::decoderEncFrames;
  }
  const std::int64_t featureValues = std::int64_t{validLen} * ParaformerConfig::featureDim;
  std::vector<float> featureRows(size(featureValues));
  if (features->dataType() == MLMultiArrayDataType::float32 && features->isContiguous()) {
    std::copy_n(floats(*features), featureRows.size(), featureRows.begin());
  } else {
    for (std::int64_t i = 0; i < featureValues; ++i) featureRows[size(i)] = (*features)[i].floatValue();
  }

  const int bucket = ParaformerConfig::pickEncoderBucket(validLen);
  const auto encOut = runEncoder(featureRows, validLen, bucket);
  Decoded decoded;
  decoded.alphas = runCifAlphas(encOut, validLen);
  const auto encRows = rows(*encOut, validLen, ParaformerConfig::encoderDim);
  auto fired = ParaformerCif::integrateAndFireWithFireFrames(encRows, decoded.alphas);
  const int tokenCount = static_cast<int>(std::min<std::size_t>(fired.embeds.size(), ParaformerConfig::decoderMaxTokens));
  if (tokenCount == 0) return decoded;
  fired.embeds.resize(size(tokenCount));
  decoded.logits = runDecoder(encRows, validLen, fired.embeds, tokenCount);
  decoded.tokenCount = tokenCount;
  return decoded;
}

std::shared_ptr<MLMultiArray> ParaformerManager::runPreprocessor(const std::vector<float>& audio) const {
  const auto waveform = floatArray({1, static_cast<std::int64_t>(audio.size())});
  float* samples = floats(*waveform);
  for (std::size_t i = 0; i < audio.size(); ++i) samples[i] = audio[i] * ParaformerConfig::waveformScale;
  auto features = predictOutput(*models_.preprocessor, {{"waveform", waveform}}, "preprocessor", "features");
  const auto& shape = features->shape();
  if (shape.size() < 2) refuseShort("preprocessor", "features", *features, "[1, T, 560]");
  const std::int64_t frames = std::min<std::int64_t>(shape[1], ParaformerConfig::decoderEncFrames);
  if (features->count() < frames * ParaformerConfig::featureDim) {
    refuseShort("preprocessor", "features", *features, fmt::format("{} frames of 560 values", frames));
  }
  return features;
}

std::shared_ptr<MLMultiArray> ParaformerManager::runEncoder(const std::vector<float>& features, int validLen,
                                                            int bucket) const {
  const auto speech = floatArray({1, bucket, ParaformerConfig::featureDim});
  std::copy(features.begin(), features.end(), floats(*speech));
  auto encOut = predictOutput(*models_.encoder, {{"speech", speech}, {"speech_lengths", lengthArray(validLen)}},
                              "encoder", "enc_out");
  const auto& shape = encOut->shape();
  if (shape.size() != 3 || shape[0] < 1 || shape[1] < validLen || shape[2] < ParaformerConfig::encoderDim) {
    refuseShort("encoder", "enc_out", *encOut, fmt::format("[1, at least {}, 512]", validLen));
  }
  return encOut;
}

std::vector<float> ParaformerManager::runCifAlphas(const std::shared_ptr<MLMultiArray>& encOut, int validLen) const {
  const auto alphas = predictOutput(*models_.cifAlphas, {{"enc_out", encOut}}, "CifAlphas", "alphas");
  const auto& shape = alphas->shape();
  const bool matrix = shape.size() == 2;
  if ((matrix && (shape[0] < 1 || shape[1] < validLen)) || alphas->count() < validLen) {
    refuseShort("CifAlphas", "alphas", *alphas, fmt::format("{} weights", validLen));
  }
  std::vector<float> weights(size(validLen));
  if (alphas->dataType() == MLMultiArrayDataType::float32 && alphas->isContiguous()) {
    std::copy_n(floats(*alphas), weights.size(), weights.begin());
  } else {
    for (int i = 0; i < validLen; ++i) {
      weights[size(i)] = (matrix ? (*alphas)[{0, i}] : (*alphas)[i]).floatValue();
    }
  }
  return weights;
}

std::shared_ptr<MLMultiArray> ParaformerManager::runDecoder(const std::vector<std::vector<float>>& encRows,
                                                            int validLen,
                                                            const std::vector<std::vector<float>>& embeds,
                                                            int tokenCount) const {
  const auto enc = floatArray({1, ParaformerConfig::decoderEncFrames, ParaformerConfig::encoderDim});
  fillRows(*enc, encRows);
  const auto ac = floatArray({1, ParaformerConfig::decoderMaxTokens, ParaformerConfig::encoderDim});
  fillRows(*ac, embeds);
  auto logits = predictOutput(
      *models_.decoder,
      {{"enc", enc}, {"elen", lengthArray(validLen)}, {"ac", ac}, {"tn", lengthArray(tokenCount)}}, "decoder",
      "logits");
  const auto& shape = logits->shape();
  if (shape.size() != 3 || shape[0] < 1 || shape[1] < tokenCount) {
    refuseShort("decoder", "logits", *logits, fmt::format("[1, at least {}, V]", tokenCount));
  }
  return logits;
}

std::string ParaformerManager::decode(const MLMultiArray& logits, int tokenCount) const {
  std::vector<int> ids = LogitsArgmax::argmaxPerFrame(logits, tokenCount);
  std::erase_if(ids, [](int id) { return id <= ParaformerConfig::eosId; });
  return decodeCtcTokenIds(ids, models_.vocabulary);
}

}  // namespace tesselaudio
