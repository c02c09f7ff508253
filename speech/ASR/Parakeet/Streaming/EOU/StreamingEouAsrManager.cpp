#include "speech/ASR/Parakeet/Streaming/EOU/StreamingEouAsrManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Environment.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/InvalidArgumentError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoder.h"
#include "speech/ASR/Parakeet/Streaming/EncoderCacheManager.h"
#include "speech/ASR/Parakeet/Streaming/StreamingAsrUtils.h"
#include "speech/ASR/Parakeet/Streaming/Tokenizer.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"

namespace tesselaudio {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using ArrayPtr = std::shared_ptr<MLMultiArray>;

struct StreamingEouAsrManager::Caches {
  ArrayPtr preCache;
  ArrayPtr cacheLastChannel;
  ArrayPtr cacheLastTime;
  ArrayPtr cacheLastChannelLen;
};

// What a stored window hands to its callbacks, which run after the lock is released.
struct StreamingEouAsrManager::WindowOutcome {
  PartialTranscriptCallback partialCallback;
  std::optional<std::string> partialTranscript;
  EouCallback eouCallback;
  std::optional<std::string> eouTranscript;
};

namespace {

constexpr const char* kModelFolderName = "parakeet-eou-streaming";
const std::vector<std::int64_t> kChannelShape{17, 1, 70, 512};
const std::vector<std::int64_t> kTimeShape{17, 1, 512, 8};
const std::vector<std::int64_t> kLengthShape{1};
constexpr std::int64_t kMelBins = 128;

AudioMelSpectrogram makeMelProcessor() {
  return AudioMelSpectrogram(16000, 128, 512, 160, 400, AudioMelSpectrogram::defaultPreemph, 1, 0x1p-24f,
                             AudioMelSpectrogram::LogFloorMode::additive, false);
}

// Rounded half away from zero in single precision: 40, 80, 80 ms.
std::int64_t frameDurationMs(StreamingChunkSize size) {
  const auto rate = static_cast<float>(StreamingEouAsrManager::kSampleRate);
  const float ms = static_cast<float>(size.shiftSamples()) * 1000.0f / (static_cast<float>(size.validOutputLen()) * rate);
  return static_cast<std::int64_t>(std::lround(ms));
}

ArrayPtr melInput(const AudioMelSpectrogram::FlatResult& features) {
  auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, kMelBins, features.numFrames},
                                              MLMultiArrayDataType::float32);
  std::memcpy(array->dataPointer(), features.mel.data(), features.mel.size() * sizeof(float));
  return array;
}

ArrayPtr int32Scalar(std::int32_t value) {
  auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1}, MLMultiArrayDataType::int32);
  *static_cast<std::int32_t*>(array->dataPointer()) = value;
  return array;
}

ArrayPtr outputArray(const platform::MLFeatureProvider& output, const std::string& name) {
  const auto value = output.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

void replaceWhenPresent(ArrayPtr& cache, const platform::MLFeatureProvider& output, const std::string& name) {
  if (auto array = outputArray(output, name)) cache = std::move(array);
}

}  // namespace

StreamingEouAsrManager::StreamingEouAsrManager(platform::MLModelConfiguration configuration,
                                               StreamingChunkSize chunkSize, std::int64_t eouDebounceMs,
                                               bool debugFeatures)
    : logger_("StreamingEOU"),
      chunkSize_(chunkSize),
      debugFeatures_(debugFeatures),
      melProcessor_(makeMelProcessor()),
      configuration_(std::move(configuration)),
      eouDebounceMs_(eouDebounceMs) {
  logger_.info(fmt::format("Initialized with chunk size: {}ms, EOU debounce: {}ms", chunkSize_.durationMs(),
                           eouDebounceMs_));
}

StreamingEouAsrManager::~StreamingEouAsrManager() = default;

platform::MLModelConfiguration StreamingEouAsrManager::configuration() const {
  std::scoped_lock lock(mutex_);
  return configuration_;
}

std::int64_t StreamingEouAsrManager::eouDebounceMs() const {
  std::scoped_lock lock(mutex_);
  return eouDebounceMs_;
}

void StreamingEouAsrManager::setEouDebounceMs(std::int64_t milliseconds) {
  std::scoped_lock lock(mutex_);
  eouDebounceMs_ = milliseconds;
}

bool StreamingEouAsrManager::eouDetected() const {
  std::scoped_lock lock(mutex_);
  return eouDetected_;
}

std::int64_t StreamingEouAsrManager::processedChunks() const {
  std::scoped_lock lock(mutex_);
  return processedChunks_;
}

std::int64_t StreamingEouAsrManager::totalSamplesProcessed() const {
  std::scoped_lock lock(mutex_);
  return totalSamplesProcessed_;
}

std::vector<float> StreamingEouAsrManager::audioBuffer() const {
  std::scoped_lock lock(mutex_);
  return audioBuffer_;
}

std::vector<std::int64_t> StreamingEouAsrManager::accumulatedTokenIds() const {
  std::scoped_lock lock(mutex_);
  return accumulatedTokenIds_;
}

bool StreamingEouAsrManager::isLoaded() const {
  std::scoped_lock lock(mutex_);
  return streamingEncoder_ && rnntDecoder_ && caches_;
}

std::shared_ptr<const MLMultiArray> StreamingEouAsrManager::cache(ArrayPtr Caches::*member) const {
  std::scoped_lock lock(mutex_);
  return caches_ ? (*caches_).*member : nullptr;
}

std::shared_ptr<const MLMultiArray> StreamingEouAsrManager::preCache() const { return cache(&Caches::preCache); }

std::shared_ptr<const MLMultiArray> StreamingEouAsrManager::cacheLastChannel() const {
  return cache(&Caches::cacheLastChannel);
}

std::shared_ptr<const MLMultiArray> StreamingEouAsrManager::cacheLastTime() const {
  return cache(&Caches::cacheLastTime);
}

std::shared_ptr<const MLMultiArray> StreamingEouAsrManager::cacheLastChannelLen() const {
  return cache(&Caches::cacheLastChannelLen);
}

std::shared_ptr<const RnntDecoder> StreamingEouAsrManager::rnntDecoder() const {
  std::scoped_lock lock(mutex_);
  return rnntDecoder_;
}

std::shared_ptr<const Tokenizer> StreamingEouAsrManager::tokenizer() const {
  std::scoped_lock lock(mutex_);
  return tokenizer_;
}

void StreamingEouAsrManager::setTokenizer(std::shared_ptr<const Tokenizer> tokenizer) {
  std::scoped_lock lock(mutex_);
  tokenizer_ = std::move(tokenizer);
}

void StreamingEouAsrManager::setEouCallback(EouCallback callback) {
  std::scoped_lock lock(mutex_);
  eouCallback_ = std::move(callback);
}

void StreamingEouAsrManager::setPartialCallback(PartialTranscriptCallback callback) {
  std::scoped_lock lock(mutex_);
  partialCallback_ = std::move(callback);
}

void StreamingEouAsrManager::setPartialTranscriptCallback(PartialTranscriptCallback callback) {
  setPartialCallback(std::move(callback));
}

std::vector<std::int64_t> StreamingEouAsrManager::getTokenTimestampsMs() const {
  std::scoped_lock lock(mutex_);
  return accumulatedTokenTimestampsMs_;
}

std::vector<std::string> StreamingEouAsrManager::getRawTokenStrings() const {
  std::scoped_lock lock(mutex_);
  return accumulatedRawTokenStrings_;
}

std::vector<std::int64_t> StreamingEouAsrManager::getEouTimestampsMs() const {
  std::scoped_lock lock(mutex_);
  return accumulatedEouTimestampsMs_;
}

std::string StreamingEouAsrManager::displayName() const {
  return fmt::format("Parakeet EOU 120M ({}ms)", chunkSize_.durationMs());
}

void StreamingEouAsrManager::loadModels(std::stop_token stopToken) {
  loadModels(std::nullopt, std::nullopt, {}, std::move(stopToken));
}

void StreamingEouAsrManager::loadModels(const std::optional<std::filesystem::path>& to,
                                        const std::optional<platform::MLModelConfiguration>& configuration,
                                        const ProgressHandler& progressHandler, std::stop_token stopToken) {
  if (configuration) {
    std::scoped_lock lock(mutex_);
    configuration_ = *configuration;
  }
  const std::filesystem::path base =
      to ? *to : MLModelConfigurationUtils::defaultModelsDirectory() / kModelFolderName;
  const Repo repo = chunkSize_.repo();
  const std::filesystem::path folder = base / repo.folderName();
  ModelHub::loadWithRecovery(repo, base, ModelNames::ParakeetEOU::requiredModels(), std::nullopt,
                             DownloadConfig::default_(), progressHandler, [&] { loadModels(folder); },
                             std::move(stopToken));
}

void StreamingEouAsrManager::loadModels(const std::filesystem::path& from) {
  std::scoped_lock processing(processingMutex_);
  logger_.info(fmt::format("Loading CoreML models from {}...", from.string()));
  const auto configuration = this->configuration();
  // Each model is kept the moment it loads, so that a later failure leaves the earlier ones.
  auto load = [&](std::string_view file, std::shared_ptr<const platform::MLModel>& into) {
    auto model = ModelHub::openCompiledModel(from / file, configuration);
    std::scoped_lock lock(mutex_);
    into = std::move(model);
    return into;
  };
  load(ModelNames::ParakeetEOU::encoderFile, streamingEncoder_);
  const auto decoder = load(ModelNames::ParakeetEOU::decoderFile, decoder_);
  const auto joint = load(ModelNames::ParakeetEOU::jointFile, joint_);
  auto tokenizer = std::make_shared<const Tokenizer>(from / ModelNames::ParakeetEOU::vocab);
  {
    std::scoped_lock lock(mutex_);
    tokenizer_ = std::move(tokenizer);
  }

  std::shared_ptr<const platform::MLModel> fused;
  if (platform::Environment::value("TESSEL_EOU_FUSED") == "1") {
    if (std::filesystem::exists(from / kFusedModelFile)) {
      fused = ModelHub::openCompiledModel(from / kFusedModelFile, configuration);
      logger_.info("TESSEL_EOU_FUSED=1: using fused decoder+joint_decision (1 dispatch per RNNT step)");
    } else {
      logger_.warning(fmt::format("TESSEL_EOU_FUSED=1 set but {} not found in {}; using reference decoder+joint path",
                                  kFusedModelFile, from.string()));
    }
  }
  auto rnntDecoder = std::make_shared<RnntDecoder>(decoder, joint, fused);

  std::scoped_lock lock(mutex_);
  rnntDecoder_ = std::move(rnntDecoder);
  resetStates();
  audioBuffer_.clear();
  logger_.info("Models loaded successfully.");
}

void StreamingEouAsrManager::resetStates() {
  auto caches = std::make_unique<Caches>();
  caches->preCache = EncoderCacheManager::createZeroArray({1, kMelBins, chunkSize_.preCacheSize()},
                                                          MLMultiArrayDataType::float32);
  auto initial = EncoderCacheManager::createInitialCaches({kChannelShape, kTimeShape, kLengthShape});
  caches->cacheLastChannel = std::move(initial.channel);
  caches->cacheLastTime = std::move(initial.time);
  caches->cacheLastChannelLen = std::move(initial.len);
  caches_ = std::move(caches);
}

void StreamingEouAsrManager::appendAudio(const platform::PcmBuffer& buffer) {
  // Converted before the lock, so that a window being decoded does not hold up the audio thread.
  const std::vector<float> samples = audioConverter_.resampleBuffer(buffer);
  std::scoped_lock lock(mutex_);
  audioBuffer_.insert(audioBuffer_.end(), samples.begin(), samples.end());
}

void StreamingEouAsrManager::processBufferedAudio(std::stop_token stopToken) {
  std::scoped_lock processing(processingMutex_);
  processCompleteWindows(std::move(stopToken));
}

std::string StreamingEouAsrManager::process(const platform::PcmBuffer& audioBuffer, std::stop_token stopToken) {
  appendAudio(audioBuffer);
  std::scoped_lock processing(processingMutex_);
  platform::CancellationError::throwIfRequested(stopToken);
  processCompleteWindows(std::move(stopToken));
  return "";
}

void StreamingEouAsrManager::processCompleteWindows(std::stop_token stopToken) {
  const auto chunk = static_cast<std::size_t>(chunkSize_.chunkSamples());
  const auto shift = static_cast<std::size_t>(chunkSize_.shiftSamples());
  for (;;) {
    std::vector<float> window;
    {
      std::scoped_lock lock(mutex_);
      if (audioBuffer_.size() < chunk) return;
      window.assign(audioBuffer_.begin(), audioBuffer_.begin() + static_cast<std::ptrdiff_t>(chunk));
    }
    platform::CancellationError::throwIfRequested(stopToken);
    processChunkAndDecode(window, shift);
  }
}

std::string StreamingEouAsrManager::finish(std::stop_token stopToken) {
  std::scoped_lock processing(processingMutex_);
  platform::CancellationError::throwIfRequested(stopToken);
  // Every complete window first: audio appended without processBufferedAudio() is decoded, not dropped.
  processCompleteWindows(stopToken);
  const auto chunk = static_cast<std::size_t>(chunkSize_.chunkSamples());
  std::vector<float> window;
  {
    std::scoped_lock lock(mutex_);
    if (!audioBuffer_.empty()) {
      audioBuffer_.resize(std::max(audioBuffer_.size(), chunk), 0.0f);
      window.assign(audioBuffer_.begin(), audioBuffer_.begin() + static_cast<std::ptrdiff_t>(chunk));
    }
  }
  if (!window.empty()) processChunkAndDecode(window, chunk);

  std::scoped_lock lock(mutex_);
  if (!tokenizer_) return "";
  std::string transcript = StreamingAsrUtils::decodeTokens(accumulatedTokenIds_, *tokenizer_);
  accumulatedTokenIds_.clear();
  accumulatedTokenTimestampsMs_.clear();
  accumulatedRawTokenStrings_.clear();
  accumulatedEouTimestampsMs_.clear();
  return transcript;
}

void StreamingEouAsrManager::reset(std::stop_token /*stopToken*/) {
  std::scoped_lock processing(processingMutex_);
  resetLocked();
}

void StreamingEouAsrManager::resetLocked() {
  std::scoped_lock lock(mutex_);
  audioBuffer_.clear();
  accumulatedTokenIds_.clear();
  accumulatedTokenTimestampsMs_.clear();
  accumulatedRawTokenStrings_.clear();
  accumulatedEouTimestampsMs_.clear();
  debugFeatureBuffer_.clear();
  processedChunks_ = 0;
  eouDetected_ = false;
  eouFirstDetectedAt_.reset();
  totalSamplesProcessed_ = 0;
  try {
    resetStates();
  } catch (const std::exception& error) {
    // The caches keep their previous values; the next window still has context to run with.
    logger_.warning(fmt::format("Could not reset the encoder caches: {}", error.what()));
  }
  if (rnntDecoder_) rnntDecoder_->resetState();
}

void StreamingEouAsrManager::cleanup(std::stop_token /*stopToken*/) noexcept {
  std::scoped_lock processing(processingMutex_);
  resetLocked();
  {
    std::scoped_lock lock(mutex_);
    streamingEncoder_.reset();
    decoder_.reset();
    joint_.reset();
    rnntDecoder_.reset();
    tokenizer_.reset();
    caches_.reset();
  }
  logger_.info("StreamingEouAsrManager resources cleaned up");
}

std::string StreamingEouAsrManager::getPartialTranscript() const {
  std::scoped_lock lock(mutex_);
  return tokenizer_ ? StreamingAsrUtils::decodeTokens(accumulatedTokenIds_, *tokenizer_) : std::string();
}

void StreamingEouAsrManager::injectSilence(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) {
    throw platform::InvalidArgumentError("seconds",
                                         fmt::format("must be a finite duration of 0 or more, got {}", seconds));
  }
  const double samples = std::trunc(seconds * static_cast<double>(kSampleRate));
  if (samples >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    throw platform::InvalidArgumentError("seconds",
                                         fmt::format("{} s of silence is more than the buffer can hold", seconds));
  }
  std::scoped_lock lock(mutex_);
  audioBuffer_.resize(audioBuffer_.size() + static_cast<std::size_t>(samples), 0.0f);
}

void StreamingEouAsrManager::saveDebugFeatures(const std::filesystem::path& to) const {
  nlohmann::ordered_json json;
  {
    std::scoped_lock lock(mutex_);
    json["mel_features"] = debugFeatureBuffer_;
    json["count"] = debugFeatureBuffer_.size();
  }
  const std::size_t count = json["count"].get<std::size_t>();
  platform::writeFileAtomically(to, json.dump(2));
  logger_.info(fmt::format("Dumped {} features to {}", count, to.string()));
}

std::vector<std::int64_t> StreamingEouAsrManager::computeTokenTimestampsMs(std::int64_t baseFrame,
                                                                          const std::vector<std::int64_t>& tokenFrames,
                                                                          std::int64_t frameDurationMs) {
  std::vector<std::int64_t> times;
  times.reserve(tokenFrames.size());
  for (std::int64_t frame : tokenFrames) times.push_back((baseFrame + frame) * frameDurationMs);
  return times;
}

void StreamingEouAsrManager::processChunkAndDecode(const std::vector<float>& window, std::size_t consumedSamples) {
  std::shared_ptr<const platform::MLModel> encoder;
  std::shared_ptr<RnntDecoder> rnntDecoder;
  Caches caches;
  {
    std::scoped_lock lock(mutex_);
    if (!streamingEncoder_ || !caches_ || !rnntDecoder_) throw ASRError::notInitialized();
    encoder = streamingEncoder_;
    rnntDecoder = rnntDecoder_;
    caches = *caches_;
  }

  auto features = melProcessor_.computeFlat(window, 0.0f);
  const platform::MLDictionaryFeatureProvider inputs(std::map<std::string, ArrayPtr>{
      {"audio_signal", melInput(features)},
      {"audio_length", int32Scalar(features.melLength)},
      {"pre_cache", caches.preCache},
      {"cache_last_channel", caches.cacheLastChannel},
      {"cache_last_time", caches.cacheLastTime},
      {"cache_last_channel_len", caches.cacheLastChannelLen},
  });
  const auto output = encoder->prediction(inputs);
  // The new caches stay local until the window succeeds, so a failure leaves the old ones in place.
  replaceWhenPresent(caches.preCache, *output, "new_pre_cache");
  replaceWhenPresent(caches.cacheLastChannel, *output, "new_cache_last_channel");
  replaceWhenPresent(caches.cacheLastTime, *output, "new_cache_last_time");
  replaceWhenPresent(caches.cacheLastChannelLen, *output, "new_cache_last_channel_len");
  const auto encoded = outputArray(*output, "encoded_output");
  if (!encoded) throw ASRError::processingFailed("Missing encoder output");

  const RnntDecoder::State before = rnntDecoder->state();
  RnntDecoder::DecodeResult decoded;
  try {
    decoded = rnntDecoder->decodeWithEOU(*encoded, 0, 0, chunkSize_.validOutputLen());
  } catch (...) {
    rnntDecoder->restoreState(before);
    throw;
  }

  WindowOutcome outcome;
  {
    std::scoped_lock lock(mutex_);
    outcome = commitWindow(std::move(caches), decoded.tokenIds, decoded.tokenFrames, decoded.eouDetected,
                           debugFeatures_ ? std::move(features.mel) : std::vector<float>(), consumedSamples);
  }
  if (outcome.partialTranscript) outcome.partialCallback(*outcome.partialTranscript);
  if (outcome.eouTranscript) outcome.eouCallback(*outcome.eouTranscript);
}

StreamingEouAsrManager::WindowOutcome StreamingEouAsrManager::commitWindow(
    Caches caches, const std::vector<std::int64_t>& tokenIds, const std::vector<std::int64_t>& tokenFrames,
    bool eouToken, std::vector<float> features, std::size_t consumedSamples) {
  // A reset or cleanup cannot run meanwhile (processingMutex_), so the caches are still ours to replace.
  *caches_ = std::move(caches);
  debugFeatureBuffer_.insert(debugFeatureBuffer_.end(), features.begin(), features.end());
  accumulatedTokenIds_.insert(accumulatedTokenIds_.end(), tokenIds.begin(), tokenIds.end());
  const bool hadTokens = !tokenIds.empty();
  if (hadTokens && tokenizer_) {
    for (std::int64_t id : tokenIds) {
      accumulatedRawTokenStrings_.push_back(tokenizer_->piece(id).value_or(fmt::format("<id:{}>", id)));
    }
  }
  if (hadTokens) {
    const auto times = computeTokenTimestampsMs(processedChunks_ * chunkSize_.validOutputLen(), tokenFrames,
                                                frameDurationMs(chunkSize_));
    accumulatedTokenTimestampsMs_.insert(accumulatedTokenTimestampsMs_.end(), times.begin(), times.end());
  }

  WindowOutcome outcome;
  if (hadTokens && partialCallback_ && tokenizer_) {
    outcome.partialCallback = partialCallback_;
    outcome.partialTranscript = StreamingAsrUtils::decodeTokens(accumulatedTokenIds_, *tokenizer_);
  }
  totalSamplesProcessed_ += chunkSize_.shiftSamples();
  if (updateEouDebounce(hadTokens, eouToken) && eouCallback_ && tokenizer_) {
    outcome.eouCallback = eouCallback_;
    outcome.eouTranscript = StreamingAsrUtils::decodeTokens(accumulatedTokenIds_, *tokenizer_);
  }
  processedChunks_ += 1;
  const std::size_t consumed = std::min(consumedSamples, audioBuffer_.size());
  audioBuffer_.erase(audioBuffer_.begin(), audioBuffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
  return outcome;
}

bool StreamingEouAsrManager::updateEouDebounce(bool windowHadTokens, bool eouToken) {
  if (windowHadTokens) {
    eouFirstDetectedAt_.reset();
    return false;
  }
  if (!eouToken && !eouFirstDetectedAt_) return false;
  const std::int64_t total = totalSamplesProcessed_;
  const std::int64_t first = eouFirstDetectedAt_.value_or(total);
  eouFirstDetectedAt_ = first;
  if (eouDetected_) return false;
  const std::int64_t elapsedMs = (total - first) * 1000 / kSampleRate;
  if (elapsedMs < eouDebounceMs_) return false;
  eouDetected_ = true;
  const std::int64_t eouMs = total * 1000 / kSampleRate;
  logger_.info(fmt::format("EOU confirmed at chunk {} ({}ms)", processedChunks_, eouMs));
  accumulatedEouTimestampsMs_.push_back(eouMs);
  return true;
}

}  // namespace tesselaudio
