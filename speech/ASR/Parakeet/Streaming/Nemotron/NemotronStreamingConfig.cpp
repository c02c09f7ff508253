#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronStreamingConfig.h"

#include <cstring>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/ml/MLMultiArray.h"
#include "platform/sys/FileIO.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMetadataValues.h"

namespace tesselaudio {

std::optional<NemotronChunkSize> NemotronChunkSize::fromRawValue(std::int64_t rawValue) {
  for (const NemotronChunkSize size : allCases()) {
    if (size.rawValue() == rawValue) return size;
  }
  return std::nullopt;
}

const std::vector<NemotronChunkSize>& NemotronChunkSize::allCases() {
  static const std::vector<NemotronChunkSize> cases{ms2240, ms1120, ms560};
  return cases;
}

Repo NemotronChunkSize::repo() const {
  switch (value_) {
    case ms2240:
      return Repo::nemotronStreaming2240;
    case ms1120:
      return Repo::nemotronStreaming1120;
    case ms560:
      break;
  }
  return Repo::nemotronStreaming560;
}

std::string NemotronChunkSize::subdirectory() const { return fmt::format("nemotron_coreml_{}ms", rawValue()); }

namespace {

using NemotronMetadataValues::integralNumber;

void read(const nlohmann::json& object, const char* key, std::int64_t& into, std::int64_t fallback) {
  into = fallback;
  const auto found = object.find(key);
  if (found == object.end()) return;
  if (auto value = integralNumber(*found)) into = *value;
}

void read(const nlohmann::json& object, const char* key, std::vector<std::int64_t>& into,
          std::vector<std::int64_t> fallback) {
  into = std::move(fallback);
  const auto found = object.find(key);
  if (found == object.end() || !found->is_array()) return;
  std::vector<std::int64_t> shape;
  for (const auto& element : *found) {
    const auto value = integralNumber(element);
    if (!value) return;
    shape.push_back(*value);
  }
  into = std::move(shape);
}

// The chunk pipeline sizes arrays and copy lengths from these values.
void validate(const NemotronStreamingConfig& config) {
  using namespace NemotronMetadataValues;
  requirePositive("sample_rate", config.sampleRate);
  requirePositive("chunk_ms", config.chunkMs);
  requirePositive("vocab_size", config.vocabSize);
  requirePositive("encoder_dim", config.encoderDim);
  requireSize("mel_features", config.melFeatures);
  requireSize("chunk_mel_frames", config.chunkMelFrames);
  requireSize("total_mel_frames", config.totalMelFrames);
  requireSize("decoder_hidden", config.decoderHidden);
  requireSize("decoder_layers", config.decoderLayers);
  requirePreEncodeCache(config.preEncodeCache, config.totalMelFrames);
  requireTokenId("\"blank_idx\"", config.blankIdx);
  requireShape("cache_channel_shape", config.cacheChannelShape);
  requireShape("cache_time_shape", config.cacheTimeShape);
}

}  // namespace

NemotronStreamingConfig::NemotronStreamingConfig(const std::filesystem::path& from) {
  const std::string text = platform::readFile(from);
  const nlohmann::json json = nlohmann::json::parse(text);
  if (!json.is_object()) throw ASRError::processingFailed("Invalid metadata.json format");
  NemotronStreamingConfig config;
  read(json, "sample_rate", config.sampleRate, 16000);
  read(json, "mel_features", config.melFeatures, 128);
  read(json, "chunk_mel_frames", config.chunkMelFrames, 112);
  read(json, "chunk_ms", config.chunkMs, 1120);
  read(json, "pre_encode_cache", config.preEncodeCache, 9);
  read(json, "total_mel_frames", config.totalMelFrames, 121);
  read(json, "vocab_size", config.vocabSize, 1024);
  read(json, "blank_idx", config.blankIdx, 1024);
  read(json, "encoder_dim", config.encoderDim, 1024);
  read(json, "decoder_hidden", config.decoderHidden, 640);
  read(json, "decoder_layers", config.decoderLayers, 2);
  read(json, "cache_channel_shape", config.cacheChannelShape, {1, 24, 70, 1024});
  read(json, "cache_time_shape", config.cacheTimeShape, {1, 24, 1024, 8});
  validate(config);
  *this = std::move(config);
}

NemotronMelExtractor NemotronMelExtractor::english(std::int64_t nMels) {
  NemotronMelExtractor extractor;
  extractor.mel = std::make_shared<AudioMelSpectrogram>(16000, static_cast<int>(nMels), 512, 160, 400,
                                                        AudioMelSpectrogram::defaultPreemph, 1, 0x1p-24f,
                                                        AudioMelSpectrogram::LogFloorMode::additive, false);
  extractor.nMels = nMels;
  extractor.hopLength = 160;
  return extractor;
}

std::shared_ptr<platform::MLMultiArray> NemotronMelExtractor::melSpectrogram(const std::vector<float>& samples) const {
  const auto features = mel->computeFlatTransposed(samples, 0.0f, AudioMelSpectrogram::PaddingMode::center);
  const std::int64_t frames = features.numFrames;
  auto array = std::make_shared<platform::MLMultiArray>(std::vector<std::int64_t>{1, nMels, frames},
                                                        platform::MLMultiArrayDataType::float32);
  auto* out = static_cast<float*>(array->dataPointer());
  for (std::int64_t t = 0; t < frames; ++t) {
    for (std::int64_t m = 0; m < nMels; ++m) out[m * frames + t] = features.mel[static_cast<std::size_t>(t * nMels + m)];
  }
  return array;
}

}  // namespace tesselaudio
