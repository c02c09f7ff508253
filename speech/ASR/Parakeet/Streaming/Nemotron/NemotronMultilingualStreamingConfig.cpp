#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualStreamingConfig.h"

#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/sys/FileIO.h"
#include "platform/text/CaseMapping.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMetadataValues.h"

namespace tesselaudio {

namespace {

using Json = nlohmann::json;

using NemotronMetadataValues::integralNumber;

std::optional<std::int64_t> integerAt(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return std::nullopt;
  return integralNumber(*found);
}

// Every element integral, or nothing at all.
std::optional<std::vector<std::int64_t>> integersAt(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_array()) return std::nullopt;
  std::vector<std::int64_t> values;
  for (const Json& element : *found) {
    const auto value = integralNumber(element);
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  return values;
}

std::optional<std::map<std::string, std::int64_t>> promptTableAt(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_object()) return std::nullopt;
  std::map<std::string, std::int64_t> table;
  for (const auto& [code, value] : found->items()) {
    const auto id = integralNumber(value);
    if (!id) return std::nullopt;
    table[code] = *id;
  }
  return table;
}

// The recogniser sizes arrays and copy lengths from these values, and holds ids in 32 bits.
void validate(const NemotronMultilingualStreamingConfig& config) {
  using namespace NemotronMetadataValues;
  requireSize("mel_features", config.melFeatures);
  requireSize("chunk_mel_frames", config.chunkMelFrames);
  requireSize("total_mel_frames", config.totalMelFrames);
  requireSize("encoder_dim", config.encoderDim);
  requireSize("decoder_hidden", config.decoderHidden);
  requireSize("decoder_layers", config.decoderLayers);
  requirePreEncodeCache(config.preEncodeCache, config.totalMelFrames);
  requireShape("cache_channel_shape", config.cacheChannelShape);
  requireShape("cache_time_shape", config.cacheTimeShape);
  requireTokenId("\"blank_idx\"", config.blankIdx);
  requireInt32("\"default_prompt_id\"", config.defaultPromptId);
  for (const auto& [code, id] : config.promptDictionary) requireInt32(fmt::format("the prompt id of \"{}\"", code), id);
  for (const std::int64_t id : config.langTagTokenIds) requireTokenId("a language-tag token id", id);
}

}  // namespace

NemotronMultilingualStreamingConfig::NemotronMultilingualStreamingConfig(const std::filesystem::path& from) {
  const Json json = Json::parse(platform::readFile(from));
  if (!json.is_object()) throw ASRError::processingFailed("Invalid multilingual metadata.json format");

  NemotronMultilingualStreamingConfig config;
  // chunk_mel_frames comes first: the fallbacks of chunk_ms and total_mel_frames follow it.
  config.chunkMelFrames = integerAt(json, "chunk_mel_frames").value_or(112);
  config.sampleRate = integerAt(json, "sample_rate").value_or(16000);
  config.melFeatures = integerAt(json, "mel_features").value_or(128);
  config.chunkMs = integerAt(json, "chunk_ms").value_or(config.chunkMelFrames * 10);
  config.preEncodeCache = integerAt(json, "pre_encode_cache").value_or(9);
  // The fallback adds the model's fixed cache of 9 frames, whatever "pre_encode_cache" says.
  config.totalMelFrames = integerAt(json, "total_mel_frames").value_or(config.chunkMelFrames + 9);
  const auto vocabSize = integerAt(json, "vocab_size");
  config.vocabSize = vocabSize.value_or(13087);
  config.blankIdx = integerAt(json, "blank_idx").value_or(vocabSize.value_or(13087));
  config.encoderDim = integerAt(json, "encoder_dim").value_or(1024);
  config.decoderHidden = integerAt(json, "decoder_hidden").value_or(640);
  config.decoderLayers = integerAt(json, "decoder_layers").value_or(2);
  if (auto shape = integersAt(json, "cache_channel_shape")) config.cacheChannelShape = std::move(*shape);
  if (auto shape = integersAt(json, "cache_time_shape")) config.cacheTimeShape = std::move(*shape);
  config.numPrompts = integerAt(json, "num_prompts").value_or(128);
  config.defaultPromptId = integerAt(json, "default_prompt_id").value_or(101);
  if (auto table = promptTableAt(json, "prompt_dictionary")) config.promptDictionary = std::move(*table);
  if (auto ids = integersAt(json, "lang_tag_token_ids")) config.langTagTokenIds = {ids->begin(), ids->end()};

  validate(config);
  *this = std::move(config);
}

std::int64_t NemotronMultilingualStreamingConfig::promptId(const std::optional<std::string>& forLanguage) const {
  if (!forLanguage || forLanguage->empty()) return defaultPromptId;
  const auto lookUp = [this](const std::string& code) -> std::optional<std::int64_t> {
    const auto found = promptDictionary.find(code);
    if (found == promptDictionary.end()) return std::nullopt;
    return found->second;
  };
  if (auto id = lookUp(*forLanguage)) return *id;

  std::string normalised = *forLanguage;
  for (char& c : normalised) {
    if (c == '_') c = '-';
  }
  if (auto id = lookUp(normalised)) return *id;

  // Language and the rest ("pt-br" → "pt", "br"; "zh-hant-tw" → "zh", "hant-tw"), leading dashes skipped.
  const std::size_t start = normalised.find_first_not_of('-');
  if (start == std::string::npos) return defaultPromptId;
  const std::size_t dash = normalised.find('-', start);
  const std::string language = normalised.substr(start, dash == std::string::npos ? std::string::npos : dash - start);
  const std::string rest = dash == std::string::npos ? std::string() : normalised.substr(dash + 1);
  const std::string lowerLanguage = platform::text::toLowerCase(language);
  if (!rest.empty()) {
    if (auto id = lookUp(lowerLanguage + "-" + platform::text::toUpperCase(rest))) return *id;
  }
  if (auto id = lookUp(lowerLanguage)) return *id;
  return defaultPromptId;
}

}  // namespace tesselaudio
