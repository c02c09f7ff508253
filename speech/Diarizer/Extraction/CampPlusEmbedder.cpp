#include "speech/Diarizer/Extraction/CampPlusEmbedder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AudioConverter.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

// The 16-bit integer range the preprocessor expects its waveform in.
constexpr float kWaveformScale = 32768.0f;
constexpr float kNormFloor = 1e-9f;
// A waveform buffer up to a minute of 16 kHz audio is kept for the next call; a longer one is freed.
constexpr size_t kKeptWaveformSamples = 960000;

// Frees the waveform buffer on the way out when it grew beyond what is worth keeping.
struct WaveformTrim {
  std::vector<float>& waveform;
  ~WaveformTrim() {
    if (waveform.capacity() > kKeptWaveformSamples) std::vector<float>().swap(waveform);
  }
};

// platform/ml has no names for its element types; the shape message needs them.
std::string typeName(MLMultiArrayDataType type) {
  switch (type) {
    case MLMultiArrayDataType::float16:
      return "float16";
    case MLMultiArrayDataType::float32:
      return "float32";
    case MLMultiArrayDataType::float64:
      return "float64";
    case MLMultiArrayDataType::int32:
      return "int32";
  }
  return fmt::format("type {}", static_cast<int>(type));
}

std::shared_ptr<MLMultiArray> outputArray(const platform::MLFeatureProvider& outputs, const std::string& name) {
  const auto value = outputs.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

// The scaled samples as [1, N] over `scratch`, which the array borrows for the call.
std::shared_ptr<MLMultiArray> waveformArray(const std::vector<float>& audio, std::vector<float>& scratch) {
  // One element at least: the array refuses a null pointer.
  scratch.resize(std::max<size_t>(audio.size(), 1));
  float* scaled = scratch.data();
  for (size_t i = 0; i < audio.size(); ++i) scaled[i] = audio[i] * kWaveformScale;
  const int64_t count = static_cast<int64_t>(audio.size());
  return std::make_shared<MLMultiArray>(scratch.data(), std::vector<int64_t>{1, count}, MLMultiArrayDataType::float32,
                                        std::vector<int64_t>{count, 1});
}

// Subtracts each bin's mean over time (summed in double precision); kUnitStride spares the
// multiplications of the usual layout, bins adjacent.
template <int64_t kUnitStride>
void subtractMeans(float* data, int64_t frames, int64_t bins, int64_t frameStride, int64_t binStride) {
  const int64_t step = kUnitStride ? kUnitStride : binStride;
  std::vector<float> means(static_cast<size_t>(bins));
  const auto mean = [&](double sum) { return static_cast<float>(sum / static_cast<double>(frames)); };
  // Four bins at a time, each summed over time in its own register.
  int64_t f = 0;
  for (; f + 4 <= bins; f += 4) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int64_t t = 0; t < frames; ++t) {
      const float* at = data + t * frameStride + f * step;
      s0 += at[0];
      s1 += at[step];
      s2 += at[2 * step];
      s3 += at[3 * step];
    }
    means[static_cast<size_t>(f)] = mean(s0);
    means[static_cast<size_t>(f + 1)] = mean(s1);
    means[static_cast<size_t>(f + 2)] = mean(s2);
    means[static_cast<size_t>(f + 3)] = mean(s3);
  }
  for (; f < bins; ++f) {
    double sum = 0;
    for (int64_t t = 0; t < frames; ++t) sum += data[t * frameStride + f * step];
    means[static_cast<size_t>(f)] = mean(sum);
  }
  for (int64_t t = 0; t < frames; ++t) {
    float* frame = data + t * frameStride;
    for (int64_t f = 0; f < bins; ++f) frame[f * step] -= means[static_cast<size_t>(f)];
  }
}

// Removes each feature's mean over time, in place, through the array's own strides.
void subtractUtteranceMean(MLMultiArray& features) {
  if (features.dataType() != MLMultiArrayDataType::float32 || features.shape().size() != 3) {
    throw ASRError::processingFailed(
        fmt::format("CAM++ preprocessor features: expected float32 [1, T, 80], got {} [{}]",
                    typeName(features.dataType()), fmt::join(features.shape(), ", ")));
  }
  const int64_t frames = features.shape()[1];
  const int64_t bins = features.shape()[2];
  if (frames <= 0) return;
  const int64_t frameStride = features.strides()[1];
  const int64_t binStride = features.strides()[2];
  auto* data = static_cast<float*>(features.dataPointer());
  if (binStride == 1) {
    subtractMeans<1>(data, frames, bins, frameStride, 1);
  } else {
    subtractMeans<0>(data, frames, bins, frameStride, binStride);
  }
}

std::vector<float> embeddingValues(const MLMultiArray& embedding) {
  std::vector<float> values(static_cast<size_t>(embedding.count()));
  if (values.empty()) return values;
  if (embedding.dataType() == MLMultiArrayDataType::float32 && embedding.isContiguous()) {
    std::memcpy(values.data(), embedding.dataPointer(), values.size() * sizeof(float));
  } else {
    for (int64_t i = 0; i < embedding.count(); ++i) values[static_cast<size_t>(i)] = embedding[i].floatValue();
  }
  return values;
}

void normalize(std::vector<float>& values) {
  float sumOfSquares = 0;
  for (float v : values) sumOfSquares += v * v;
  const float norm = std::max(std::sqrt(sumOfSquares), kNormFloor);
  for (float& v : values) v /= norm;
}

}  // namespace

CampPlusEmbedder::CampPlusEmbedder(CampPlusModels models) : models_(std::move(models)) {}

std::unique_ptr<CampPlusEmbedder> CampPlusEmbedder::load(const ProgressHandler& progressHandler,
                                                         std::stop_token stop) {
  const auto folder = CampPlusModels::download(false, progressHandler, stop);
  platform::CancellationError::throwIfRequested(stop);
  return std::make_unique<CampPlusEmbedder>(CampPlusModels::load(folder));
}

std::vector<float> CampPlusEmbedder::embed(const std::vector<float>& audio) const {
  std::scoped_lock lock(mutex_);
  const WaveformTrim trim{waveform_};
  const auto preprocessed = models_.preprocessor->prediction(platform::MLDictionaryFeatureProvider(
      std::map<std::string, std::shared_ptr<MLMultiArray>>{{"waveform", waveformArray(audio, waveform_)}}));
  const auto features = outputArray(*preprocessed, "features");
  if (!features) throw ASRError::processingFailed("CAM++ preprocessor produced no `features`");
  subtractUtteranceMean(*features);

  const auto outputs = models_.model->prediction(
      platform::MLDictionaryFeatureProvider(std::map<std::string, std::shared_ptr<MLMultiArray>>{{"feats", features}}));
  const auto embedding = outputArray(*outputs, "embedding");
  if (!embedding) throw ASRError::processingFailed("CAM++ produced no `embedding`");
  auto values = embeddingValues(*embedding);
  normalize(values);
  return values;
}

std::vector<float> CampPlusEmbedder::embed(const std::filesystem::path& audioURL) const {
  const auto samples = AudioConverter().resampleAudioFile(audioURL);
  return embed(samples);
}

float CampPlusEmbedder::cosine(const std::vector<float>& a, const std::vector<float>& b) {
  const size_t n = std::min(a.size(), b.size());
  float sum = 0;
  for (size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

}  // namespace tesselaudio
