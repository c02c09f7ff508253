#include "speech/ASR/Parakeet/Streaming/Nemotron/StreamingNemotronMultilingualAsrManager.h"

#include <limits>
#include <map>
#include <utility>

#include <fmt/format.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/ml/MLState.h"
#include "platform/sys/InvalidArgumentError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/EncoderCacheManager.h"
#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualTokenizer.h"

namespace tesselaudio {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using ArrayPtr = std::shared_ptr<MLMultiArray>;

namespace {

platform::MLModelConfiguration defaultConfiguration() {
  platform::MLModelConfiguration configuration;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  configuration.computeUnits = platform::MLComputeUnits::cpuAndNeuralEngine;
  return configuration;
}

bool fitsInt32(std::int64_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max();
}

ArrayPtr int32Array(std::vector<std::int64_t> shape, std::int32_t value) {
  auto array = std::make_shared<MLMultiArray>(std::move(shape), MLMultiArrayDataType::int32);
  *static_cast<std::int32_t*>(array->dataPointer()) = value;
  return array;
}

ArrayPtr outputArray(const platform::MLFeatureProvider& output, const std::string& name) {
  const auto value = output.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

}  // namespace

StreamingNemotronMultilingualAsrManager::StreamingNemotronMultilingualAsrManager(
    std::optional<platform::MLModelConfiguration> configuration)
    : logger_("NemotronMultilingualStreaming") {
  state_.mlConfiguration = configuration ? std::move(*configuration) : defaultConfiguration();
  state_.lastToken = static_cast<std::int32_t>(state_.config.blankIdx);
  state_.currentPromptId = static_cast<std::int32_t>(state_.config.defaultPromptId);
}

StreamingNemotronMultilingualAsrManager::~StreamingNemotronMultilingualAsrManager() = default;

NemotronMultilingualStreamingConfig StreamingNemotronMultilingualAsrManager::config() const {
  std::scoped_lock lock(mutex_);
  return state_.config;
}

platform::MLModelConfiguration StreamingNemotronMultilingualAsrManager::mlConfiguration() const {
  std::scoped_lock lock(mutex_);
  return state_.mlConfiguration;
}

bool StreamingNemotronMultilingualAsrManager::appendTerminalPunctuation() const {
  std::scoped_lock lock(mutex_);
  return state_.appendTerminalPunctuation;
}

void StreamingNemotronMultilingualAsrManager::setAppendTerminalPunctuation(bool on) {
  std::scoped_lock lock(mutex_);
  state_.appendTerminalPunctuation = on;
}

std::uint64_t StreamingNemotronMultilingualAsrManager::prepNanos() const {
  std::scoped_lock lock(mutex_);
  return state_.prepNanos;
}

std::uint64_t StreamingNemotronMultilingualAsrManager::encNanos() const {
  std::scoped_lock lock(mutex_);
  return state_.encNanos;
}

std::uint64_t StreamingNemotronMultilingualAsrManager::decNanos() const {
  std::scoped_lock lock(mutex_);
  return state_.decNanos;
}

std::int64_t StreamingNemotronMultilingualAsrManager::chunkCount() const {
  std::scoped_lock lock(mutex_);
  return state_.chunkCount;
}

std::int64_t StreamingNemotronMultilingualAsrManager::vadSkipCount() const {
  std::scoped_lock lock(mutex_);
  return state_.vadSkipCount;
}

std::int64_t StreamingNemotronMultilingualAsrManager::specWindowsTotal() const {
  std::scoped_lock lock(mutex_);
  return state_.specWindowsTotal;
}

std::int64_t StreamingNemotronMultilingualAsrManager::specWindowsAllBlank() const {
  std::scoped_lock lock(mutex_);
  return state_.specWindowsAllBlank;
}

std::int64_t StreamingNemotronMultilingualAsrManager::specWindowsHitNonBlank() const {
  std::scoped_lock lock(mutex_);
  return state_.specWindowsHitNonBlank;
}

std::int64_t StreamingNemotronMultilingualAsrManager::detectedBlankSpanCount() const {
  std::scoped_lock lock(mutex_);
  return state_.detectedBlankSpanCount;
}

std::int64_t StreamingNemotronMultilingualAsrManager::blankRescueCount() const {
  std::scoped_lock lock(mutex_);
  return state_.blankRescueCount;
}

void StreamingNemotronMultilingualAsrManager::setPartialCallback(PartialCallback callback) {
  std::scoped_lock lock(mutex_);
  state_.partialCallback = std::move(callback);
}

void StreamingNemotronMultilingualAsrManager::setLanguage(const std::optional<std::string>& language) {
  std::int64_t id = 0;
  bool seed = false;
  {
    std::scoped_lock lock(mutex_);
    id = state_.config.promptId(language);
    state_.currentPromptId = static_cast<std::int32_t>(id);
    state_.currentLanguageCode = language;
    seed = state_.useForcedPrefix;
  }
  logger_.info(fmt::format("Prompt id set to {} for language {}", id, language.value_or("auto")));
  if (seed) seedForcedPrefixLogged();
}

void StreamingNemotronMultilingualAsrManager::setForcedPrefix(bool enabled) {
  {
    std::scoped_lock lock(mutex_);
    state_.useForcedPrefix = enabled;
  }
  logger_.info(enabled ? "Forced prefix enabled" : "Forced prefix disabled");
  if (enabled) seedForcedPrefixLogged();
}

bool StreamingNemotronMultilingualAsrManager::forcedPrefixEnabled() const {
  std::scoped_lock lock(mutex_);
  return state_.useForcedPrefix;
}

void StreamingNemotronMultilingualAsrManager::setPromptId(std::int64_t id) {
  // The encoder takes the prompt as an int32 input.
  if (!fitsInt32(id)) throw platform::InvalidArgumentError("prompt id", fmt::format("{} does not fit in 32 bits", id));
  std::scoped_lock lock(mutex_);
  state_.currentPromptId = static_cast<std::int32_t>(id);
}

std::int64_t StreamingNemotronMultilingualAsrManager::promptId() const {
  std::scoped_lock lock(mutex_);
  return state_.currentPromptId;
}

std::optional<std::string> StreamingNemotronMultilingualAsrManager::detectedLanguage() const {
  std::scoped_lock lock(mutex_);
  return state_.firstDetectedLanguage;
}

void StreamingNemotronMultilingualAsrManager::reset() {
  std::optional<std::string> failure;
  bool seed = false;
  {
    std::scoped_lock lock(mutex_);
    state_.lastDeliveredPartialText.reset();
    state_.audioBuffer.clear();
    state_.accumulatedTokenIds.clear();
    state_.processedChunks = 0;
    state_.accumulatedTokenTimings.clear();
    state_.absoluteFrameBase = 0;
    state_.lastFinishTokenTimings.clear();
    state_.audioBufferOffset = 0;
    state_.firstDetectedLanguage.reset();
    try {
      resetStatesLocked();
    } catch (const std::exception& error) {
      failure = error.what();
    }
    seed = state_.useForcedPrefix;
  }
  if (failure) logger_.error("Failed to reset states: " + *failure);
  if (seed) seedForcedPrefixLogged();
}

void StreamingNemotronMultilingualAsrManager::cleanup() {
  reset();
  {
    std::scoped_lock lock(mutex_);
    state_.melExtractor.reset();
    state_.prefetchMelExtractor.reset();
    state_.encoder.reset();
    state_.decoder.reset();
    state_.joint.reset();
    state_.tokenizer.reset();
    state_.cacheChannel.reset();
    state_.cacheTime.reset();
    state_.cacheLen.reset();
    state_.melCache.reset();
    state_.hState.reset();
    state_.cState.reset();
  }
  logger_.info("StreamingNemotronMultilingualAsrManager resources cleaned up");
}

void StreamingNemotronMultilingualAsrManager::resetStates() {
  std::scoped_lock lock(mutex_);
  resetStatesLocked();
}

void StreamingNemotronMultilingualAsrManager::resetStatesLocked() {
  State& s = state_;
  s.lastDeliveredPartialText.reset();
  auto caches = EncoderCacheManager::createInitialCaches({s.config.cacheChannelShape, s.config.cacheTimeShape, {1}});
  s.cacheChannel = std::move(caches.channel);
  s.cacheTime = std::move(caches.time);
  s.cacheLen = std::move(caches.len);
  if (s.encoder && !s.encoder->modelDescription().stateDescriptionsByName.empty()) {
    s.encoderState = s.encoder->makeState();
  }
  // The encoder counts the cache as holding one frame from the start.
  static_cast<std::int32_t*>(s.cacheLen->dataPointer())[0] = 1;
  s.melCache.reset();
  s.prefetchedMel.reset();
  s.prefetchedEncoded.reset();
  s.prefetchedEncoderProj.reset();
  s.prefetchedCacheChannel.reset();
  s.prefetchedCacheTime.reset();
  s.prefetchedCacheLen.reset();
  const std::vector<std::int64_t> stateShape{s.config.decoderLayers, 1, s.config.decoderHidden};
  s.hState = EncoderCacheManager::createZeroArray(stateShape, MLMultiArrayDataType::float32);
  s.cState = EncoderCacheManager::createZeroArray(stateShape, MLMultiArrayDataType::float32);
  s.lastToken = static_cast<std::int32_t>(s.config.blankIdx);
  resetRescueState();
}

// The blank-span rescue state and its two counters, back to their values on creation.
void StreamingNemotronMultilingualAsrManager::resetRescueState() {
  State& s = state_;
  s.rescueFrameCursor = 0;
  s.rescueSpanOpen = false;
  s.rescueSpanStartFrame = 0;
  s.rescueSpanLastSpeechFrame = 0;
  s.rescueSpanSpeechWindows = 0;
  s.rescueSpanPreRollFrames = 0;
  s.rescueSilentWindowRun = 0;
  s.rescueSpanAudio.clear();
  s.rescueSpanOverflowed = false;
  s.rescuePreRollTail.clear();
  s.inBlankRescue = false;
  s.detectedBlankSpanCount = 0;
  s.blankRescueCount = 0;
}

void StreamingNemotronMultilingualAsrManager::applyForcedPrefixIfNeeded() {
  std::string code;
  std::shared_ptr<const NemotronMultilingualTokenizer> tokenizer;
  std::shared_ptr<const platform::MLModel> decoder;
  ArrayPtr hState;
  ArrayPtr cState;
  {
    std::scoped_lock lock(mutex_);
    if (!state_.useForcedPrefix || !state_.currentLanguageCode || !state_.tokenizer || !state_.decoder ||
        !state_.hState || !state_.cState) {
      return;
    }
    code = *state_.currentLanguageCode;
    tokenizer = state_.tokenizer;
    decoder = state_.decoder;
    hState = state_.hState;
    cState = state_.cState;
  }
  const auto tagId = tokenizer->langTagTokenId(code);
  if (!tagId) {
    logger_.info(fmt::format("Forced prefix: no lang-tag token for {}; skipping seed", code));
    return;
  }
  if (!fitsInt32(*tagId)) {
    throw ASRError::processingFailed(fmt::format("language-tag token id {} does not fit in 32 bits", *tagId));
  }
  const auto tag = static_cast<std::int32_t>(*tagId);
  const auto output = decoder->prediction(platform::MLDictionaryFeatureProvider(std::map<std::string, ArrayPtr>{
      {"token", int32Array({1, 1}, tag)},
      {"token_length", int32Array({1}, 1)},
      {"h_in", hState},
      {"c_in", cState},
  }));
  auto hOut = outputArray(*output, "h_out");
  auto cOut = outputArray(*output, "c_out");
  if (!hOut || !cOut) {
    logger_.warning("Forced prefix: decoder did not return h_out/c_out; skipping");
    return;
  }
  {
    std::scoped_lock lock(mutex_);
    state_.hState = std::move(hOut);
    state_.cState = std::move(cOut);
    state_.lastToken = tag;
    if (!state_.firstDetectedLanguage) state_.firstDetectedLanguage = code;
  }
  logger_.info(fmt::format("Forced prefix: seeded decoder with lang-tag token id {} for {}", tag, code));
}

void StreamingNemotronMultilingualAsrManager::seedForcedPrefixLogged() {
  try {
    applyForcedPrefixIfNeeded();
  } catch (const std::exception& error) {
    logger_.error(std::string("Forced prefix seeding failed: ") + error.what());
  }
}

std::string StreamingNemotronMultilingualAsrManager::getPartialTranscript() {
  std::shared_ptr<const NemotronMultilingualTokenizer> tokenizer;
  std::vector<std::int64_t> ids;
  {
    std::scoped_lock lock(mutex_);
    if (!state_.tokenizer) return "";
    tokenizer = state_.tokenizer;
    ids = state_.accumulatedTokenIds;
  }
  auto decoded = tokenizer->decode(ids);
  {
    std::scoped_lock lock(mutex_);
    if (!state_.firstDetectedLanguage) state_.firstDetectedLanguage = std::move(decoded.detectedLanguage);
  }
  return decoded.text;
}

std::vector<TokenTiming> StreamingNemotronMultilingualAsrManager::getTokenTimings() const {
  std::scoped_lock lock(mutex_);
  return state_.accumulatedTokenTimings;
}

StreamingNemotronMultilingualAsrManager::DecodeStats StreamingNemotronMultilingualAsrManager::lastDecodeStats() const {
  std::scoped_lock lock(mutex_);
  return {state_.lastFinishTokenCount, state_.lastFinishDetectedLanguage, state_.lastFinishProcessedChunks};
}

StreamingNemotronMultilingualAsrManager::State StreamingNemotronMultilingualAsrManager::stateSnapshot() const {
  std::scoped_lock lock(mutex_);
  return state_;
}

void StreamingNemotronMultilingualAsrManager::updateState(const std::function<void(State&)>& change) {
  std::scoped_lock lock(mutex_);
  change(state_);
}

}  // namespace tesselaudio
