#include "speech/ASR/Parakeet/Streaming/Nemotron/StreamingNemotronAsrManager.h"

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

#include <fmt/format.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/EncoderCacheManager.h"
#include "speech/ASR/Parakeet/Streaming/Tokenizer.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"

namespace tesselaudio {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using ArrayPtr = std::shared_ptr<MLMultiArray>;

struct StreamingNemotronAsrManager::Stream {
  ArrayPtr cacheChannel;
  ArrayPtr cacheTime;
  ArrayPtr cacheLen;
  ArrayPtr melCache;
  ArrayPtr hState;
  ArrayPtr cState;
  std::int32_t lastToken = 1024;
};

namespace {

namespace Names = ModelNames::NemotronStreaming;

constexpr int kMaxSymbolsPerFrame = 10;
constexpr double kFrameSeconds = 0.08;
constexpr const char* kProbeFailure =
    "Nemotron int8 encoder returned all-zero output on a load-time probe — the ANE program did not instantiate "
    "(see CoreML ANEProgramProcessRequestDirect status=0x12). This is the iPadOS cold-start failure; "
    "re-download or update the encoder model.";

platform::MLModelConfiguration defaultConfiguration() {
  platform::MLModelConfiguration configuration;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  configuration.computeUnits = platform::MLComputeUnits::cpuAndNeuralEngine;
  return configuration;
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

// "encoded" and "decoder_out" are read through their strides; anything else would be read out of bounds.
void requireFloatRank3(const MLMultiArray& array, const char* name) {
  if (array.dataType() != MLMultiArrayDataType::float32 || array.shape().size() != 3) {
    throw ASRError::processingFailed(fmt::format("\"{}\" must be a float32 array of rank 3", name));
  }
}

float at3(const MLMultiArray& array, std::int64_t i, std::int64_t j, std::int64_t k) {
  const auto& strides = array.strides();
  return static_cast<const float*>(array.dataPointer())[i * strides[0] + j * strides[1] + k * strides[2]];
}

float& at3(MLMultiArray& array, std::int64_t i, std::int64_t j, std::int64_t k) {
  const auto& strides = array.strides();
  return static_cast<float*>(array.dataPointer())[i * strides[0] + j * strides[1] + k * strides[2]];
}

// The encoder's "mel": the cached frames, then the chunk's first totalMelFrames - preEncodeCache.
ArrayPtr melInputWithCache(const NemotronStreamingConfig& config, const ArrayPtr& melCache, const MLMultiArray& mel) {
  auto input = EncoderCacheManager::createZeroArray({1, config.melFeatures, config.totalMelFrames},
                                                    MLMultiArrayDataType::float32);
  const std::int64_t bands = std::min(config.melFeatures, mel.shape()[1]);
  if (melCache) {
    const std::int64_t cached = std::min(melCache->shape()[2], config.totalMelFrames);
    const std::int64_t cachedBands = std::min(config.melFeatures, melCache->shape()[1]);
    for (std::int64_t b = 0; b < cachedBands; ++b) {
      for (std::int64_t f = 0; f < cached; ++f) at3(*input, 0, b, f) = at3(*melCache, 0, b, f);
    }
  }
  const std::int64_t n = std::min(config.totalMelFrames - config.preEncodeCache, mel.shape()[2]);
  for (std::int64_t b = 0; b < bands; ++b) {
    for (std::int64_t f = 0; f < n; ++f) at3(*input, 0, b, config.preEncodeCache + f) = at3(mel, 0, b, f);
  }
  return input;
}

// The chunk's last preEncodeCache frames; the last one never reached this chunk's encoder input.
ArrayPtr melCacheOf(const NemotronStreamingConfig& config, const MLMultiArray& mel) {
  const std::int64_t frames = mel.shape()[2];
  const std::int64_t kept = std::min(frames, config.preEncodeCache);
  const std::int64_t bands = std::min(config.melFeatures, mel.shape()[1]);
  auto cache = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, config.melFeatures, kept},
                                              MLMultiArrayDataType::float32);
  for (std::int64_t b = 0; b < bands; ++b) {
    for (std::int64_t f = 0; f < kept; ++f) at3(*cache, 0, b, f) = at3(mel, 0, b, frames - kept + f);
  }
  return cache;
}

// Column `index` of dimension 2 as [1, D, 1].
ArrayPtr column(const MLMultiArray& array, std::int64_t index) {
  const std::int64_t width = array.shape()[1];
  auto step = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, width, 1}, MLMultiArrayDataType::float32);
  auto* out = static_cast<float*>(step->dataPointer());
  for (std::int64_t d = 0; d < width; ++d) out[d] = at3(array, 0, d, index);
  return step;
}

// Lowest index of the largest logit, over all elements in memory order.
std::int64_t argmax(const MLMultiArray& logits) {
  if (logits.dataType() != MLMultiArrayDataType::float32 || logits.count() < 1) {
    throw ASRError::processingFailed("\"logits\" must be a non-empty float32 array");
  }
  const auto* values = static_cast<const float*>(logits.dataPointer());
  const auto* best = std::max_element(values, values + logits.count());
  return best - values;
}

}  // namespace

StreamingNemotronAsrManager::StreamingNemotronAsrManager(std::optional<platform::MLModelConfiguration> configuration,
                                                         std::optional<NemotronChunkSize> requestedChunkSize)
    : logger_("NemotronStreaming"),
      requestedChunkSize_(requestedChunkSize),
      mlConfiguration_(configuration ? std::move(*configuration) : defaultConfiguration()) {}

StreamingNemotronAsrManager::~StreamingNemotronAsrManager() = default;

NemotronStreamingConfig StreamingNemotronAsrManager::config() const {
  std::scoped_lock lock(mutex_);
  return config_;
}

platform::MLModelConfiguration StreamingNemotronAsrManager::mlConfiguration() const {
  std::scoped_lock lock(mutex_);
  return mlConfiguration_;
}

std::int64_t StreamingNemotronAsrManager::processedChunks() const {
  std::scoped_lock lock(mutex_);
  return processedChunks_;
}

std::int64_t StreamingNemotronAsrManager::absoluteFrameBase() const {
  std::scoped_lock lock(mutex_);
  return absoluteFrameBase_;
}

std::vector<float> StreamingNemotronAsrManager::audioBuffer() const {
  std::scoped_lock lock(mutex_);
  return audioBuffer_;
}

std::vector<std::int64_t> StreamingNemotronAsrManager::accumulatedTokenIds() const {
  std::scoped_lock lock(mutex_);
  return accumulatedTokenIds_;
}

bool StreamingNemotronAsrManager::hasFusedDecoderJoint() const {
  std::scoped_lock lock(mutex_);
  return decoderJoint_ != nullptr;
}

std::shared_ptr<const MLMultiArray> StreamingNemotronAsrManager::streamArray(ArrayPtr Stream::*member) const {
  std::scoped_lock lock(mutex_);
  return stream_ ? (*stream_).*member : nullptr;
}

std::shared_ptr<const MLMultiArray> StreamingNemotronAsrManager::cacheChannel() const {
  return streamArray(&Stream::cacheChannel);
}
std::shared_ptr<const MLMultiArray> StreamingNemotronAsrManager::cacheTime() const { return streamArray(&Stream::cacheTime); }
std::shared_ptr<const MLMultiArray> StreamingNemotronAsrManager::cacheLen() const { return streamArray(&Stream::cacheLen); }
std::shared_ptr<const MLMultiArray> StreamingNemotronAsrManager::melCache() const { return streamArray(&Stream::melCache); }
std::shared_ptr<const MLMultiArray> StreamingNemotronAsrManager::hState() const { return streamArray(&Stream::hState); }
std::shared_ptr<const MLMultiArray> StreamingNemotronAsrManager::cState() const { return streamArray(&Stream::cState); }

std::int32_t StreamingNemotronAsrManager::lastToken() const {
  std::scoped_lock lock(mutex_);
  return stream_ ? stream_->lastToken : static_cast<std::int32_t>(config_.blankIdx);
}

void StreamingNemotronAsrManager::setPartialCallback(PartialTranscriptCallback callback) {
  std::scoped_lock lock(mutex_);
  partialCallback_ = std::move(callback);
}

void StreamingNemotronAsrManager::setPartialTranscriptCallback(PartialTranscriptCallback callback) {
  setPartialCallback(std::move(callback));
}

std::string StreamingNemotronAsrManager::displayName() const {
  std::scoped_lock lock(mutex_);
  return fmt::format("Nemotron 0.6B ({}ms)", config_.chunkMs);
}

void StreamingNemotronAsrManager::loadModels(std::stop_token stopToken) {
  loadModels(std::nullopt, std::nullopt, {}, std::move(stopToken));
}

void StreamingNemotronAsrManager::loadModels(const std::optional<std::filesystem::path>& to,
                                             const std::optional<platform::MLModelConfiguration>& configuration,
                                             const ProgressHandler& progressHandler, std::stop_token stopToken) {
  if (configuration) {
    std::scoped_lock lock(mutex_);
    mlConfiguration_ = *configuration;
  }
  const std::filesystem::path base = to ? *to : MLModelConfigurationUtils::defaultModelsDirectory();
  const Repo repo = requestedChunkSize_.value_or(NemotronChunkSize::ms2240).repo();
  const std::filesystem::path folder = base / repo.folderName();
  const std::set<std::string> required{std::string(Names::encoderInt8File), std::string(Names::decoderFile),
                                       std::string(Names::jointFile), std::string(Names::tokenizer)};
  ModelHub::loadWithRecovery(repo, base, required, std::nullopt, DownloadConfig::default_(), progressHandler,
                             [&] { loadModels(folder); }, std::move(stopToken));
}

void StreamingNemotronAsrManager::loadModels(const std::filesystem::path& from) {
  std::scoped_lock processing(processingMutex_);
  logger_.info(fmt::format("Loading Nemotron CoreML models from {}...", from.string()));
  if (std::filesystem::exists(from / Names::metadata)) {
    const NemotronStreamingConfig loaded(from / Names::metadata);
    {
      std::scoped_lock lock(mutex_);
      config_ = loaded;
    }
    logger_.info(fmt::format("Loaded config: {}ms chunks, {} mel frames", loaded.chunkMs, loaded.chunkMelFrames));
  }
  const auto configuration = mlConfiguration();
  {
    std::scoped_lock lock(mutex_);
    melExtractor_ = NemotronMelExtractor::english(config_.melFeatures);
  }
  // Each model is kept the moment it loads, so that a later failure leaves the earlier ones.
  auto load = [&](std::string_view file, std::shared_ptr<const platform::MLModel>& into) {
    auto model = ModelHub::openCompiledModel(from / file, configuration);
    std::scoped_lock lock(mutex_);
    into = std::move(model);
  };
  load(Names::encoderInt8File, encoder_);
  load(Names::decoderFile, decoder_);
  load(Names::jointFile, joint_);
  if (std::filesystem::exists(from / Names::decoderJointFile)) {
    load(Names::decoderJointFile, decoderJoint_);
    logger_.info("Loaded fused decoder_joint (B1) — merged inner-loop path enabled");
  }
  auto tokenizer = std::make_shared<const Tokenizer>(from / Names::tokenizer);
  {
    std::scoped_lock lock(mutex_);
    tokenizer_ = std::move(tokenizer);
    resetStates();
  }
  if (!encoderProducesNonZeroOutput()) throw ASRError::encoderInstantiationFailed(kProbeFailure);
  std::int64_t chunkMs = 0;
  {
    std::scoped_lock lock(mutex_);
    resetStates();
    chunkMs = config_.chunkMs;
  }
  logger_.info(fmt::format("Nemotron models loaded successfully ({}ms chunks).", chunkMs));
}

void StreamingNemotronAsrManager::resetStates() {
  auto stream = std::make_unique<Stream>();
  auto caches = EncoderCacheManager::createInitialCaches({config_.cacheChannelShape, config_.cacheTimeShape, {1}});
  stream->cacheChannel = std::move(caches.channel);
  stream->cacheTime = std::move(caches.time);
  stream->cacheLen = std::move(caches.len);
  *static_cast<std::int32_t*>(stream->cacheLen->dataPointer()) = 1;
  const std::vector<std::int64_t> stateShape{config_.decoderLayers, 1, config_.decoderHidden};
  stream->hState = EncoderCacheManager::createZeroArray(stateShape, MLMultiArrayDataType::float32);
  stream->cState = EncoderCacheManager::createZeroArray(stateShape, MLMultiArrayDataType::float32);
  stream->lastToken = static_cast<std::int32_t>(config_.blankIdx);
  stream_ = std::move(stream);
}

void StreamingNemotronAsrManager::appendAudio(const platform::PcmBuffer& buffer) {
  const std::vector<float> samples = audioConverter_.resampleBuffer(buffer);
  std::scoped_lock lock(mutex_);
  audioBuffer_.insert(audioBuffer_.end(), samples.begin(), samples.end());
}

void StreamingNemotronAsrManager::processBufferedAudio(std::stop_token stopToken) {
  std::scoped_lock processing(processingMutex_);
  processCompleteChunks(std::move(stopToken));
}

std::string StreamingNemotronAsrManager::process(const platform::PcmBuffer& audioBuffer, std::stop_token stopToken) {
  {
    std::scoped_lock lock(mutex_);
    if (!melExtractor_ || !encoder_ || !decoder_ || !joint_) throw ASRError::notInitialized();
  }
  appendAudio(audioBuffer);
  std::scoped_lock processing(processingMutex_);
  processCompleteChunks(std::move(stopToken));
  return "";
}

void StreamingNemotronAsrManager::processCompleteChunks(std::stop_token stopToken) {
  std::size_t chunk = 0;
  {
    std::scoped_lock lock(mutex_);
    if (!melExtractor_ || !encoder_ || !decoder_ || !joint_) throw ASRError::notInitialized();
    chunk = static_cast<std::size_t>(config_.chunkSamples());
  }
  for (;;) {
    std::vector<float> samples;
    {
      std::scoped_lock lock(mutex_);
      if (audioBuffer_.size() < chunk) return;
      samples.assign(audioBuffer_.begin(), audioBuffer_.begin() + static_cast<std::ptrdiff_t>(chunk));
    }
    platform::CancellationError::throwIfRequested(stopToken);
    decodeChunk(samples, chunk);
  }
}

std::string StreamingNemotronAsrManager::finish(std::stop_token stopToken) {
  std::scoped_lock processing(processingMutex_);
  platform::CancellationError::throwIfRequested(stopToken);
  {
    std::scoped_lock lock(mutex_);
    if (!tokenizer_ || !melExtractor_ || !encoder_ || !decoder_ || !joint_) throw ASRError::notInitialized();
  }
  // Every whole chunk first, so that audio appended without processBufferedAudio() is not dropped.
  processCompleteChunks(stopToken);
  std::vector<float> samples;
  {
    std::scoped_lock lock(mutex_);
    if (!audioBuffer_.empty()) {
      const auto chunk = static_cast<std::size_t>(config_.chunkSamples());
      audioBuffer_.resize(std::max(audioBuffer_.size(), chunk), 0.0f);
      samples.assign(audioBuffer_.begin(), audioBuffer_.begin() + static_cast<std::ptrdiff_t>(chunk));
    }
  }
  if (!samples.empty()) decodeChunk(samples, samples.size());

  std::scoped_lock lock(mutex_);
  std::string text = tokenizer_->decode(accumulatedTokenIds_);
  lastFinishTokenTimings_ = std::move(accumulatedTokenTimings_);
  accumulatedTokenTimings_.clear();
  accumulatedTokenIds_.clear();
  return text;
}

std::pair<std::string, std::vector<TokenTiming>> StreamingNemotronAsrManager::finishWithTokenTimings(
    std::stop_token stopToken) {
  std::string text = finish(std::move(stopToken));
  return {std::move(text), lastFinishTokenTimings()};
}

std::vector<TokenTiming> StreamingNemotronAsrManager::lastFinishTokenTimings() const {
  std::scoped_lock lock(mutex_);
  return lastFinishTokenTimings_;
}

std::string StreamingNemotronAsrManager::getPartialTranscript() const {
  std::scoped_lock lock(mutex_);
  return tokenizer_ ? tokenizer_->decode(accumulatedTokenIds_) : std::string();
}

std::vector<TokenTiming> StreamingNemotronAsrManager::getTokenTimings() const {
  std::scoped_lock lock(mutex_);
  return accumulatedTokenTimings_;
}

void StreamingNemotronAsrManager::reset(std::stop_token /*stopToken*/) { reset(); }

void StreamingNemotronAsrManager::reset() {
  std::scoped_lock processing(processingMutex_);
  resetLocked();
}

void StreamingNemotronAsrManager::resetLocked() {
  std::scoped_lock lock(mutex_);
  audioBuffer_.clear();
  accumulatedTokenIds_.clear();
  processedChunks_ = 0;
  accumulatedTokenTimings_.clear();
  absoluteFrameBase_ = 0;
  lastFinishTokenTimings_.clear();
  try {
    resetStates();
  } catch (const std::exception& error) {
    logger_.error(fmt::format("Failed to reset states: {}", error.what()));
  }
}

void StreamingNemotronAsrManager::cleanup(std::stop_token /*stopToken*/) noexcept {
  std::scoped_lock processing(processingMutex_);
  resetLocked();
  {
    std::scoped_lock lock(mutex_);
    melExtractor_.reset();
    encoder_.reset();
    decoder_.reset();
    joint_.reset();
    decoderJoint_.reset();
    tokenizer_.reset();
    stream_.reset();
  }
  logger_.info("StreamingNemotronAsrManager resources cleaned up");
}

void StreamingNemotronAsrManager::processChunk(const std::vector<float>& samples, std::size_t consumedSamples) {
  std::scoped_lock processing(processingMutex_);
  decodeChunk(samples, consumedSamples);
}

void StreamingNemotronAsrManager::decodeChunk(const std::vector<float>& samples, std::size_t consumedSamples) {
  std::shared_ptr<const platform::MLModel> encoder;
  std::shared_ptr<const platform::MLModel> decoder;
  std::shared_ptr<const platform::MLModel> joint;
  std::shared_ptr<const platform::MLModel> fused;
  std::shared_ptr<const Tokenizer> tokenizer;
  std::optional<NemotronMelExtractor> extractor;
  NemotronStreamingConfig config;
  std::int64_t frameBase = 0;
  Stream stream;
  {
    std::scoped_lock lock(mutex_);
    if (!melExtractor_ || !encoder_ || !decoder_ || !joint_ || !stream_) throw ASRError::notInitialized();
    encoder = encoder_;
    decoder = decoder_;
    joint = joint_;
    fused = decoderJoint_;
    tokenizer = tokenizer_;
    extractor = melExtractor_;
    config = config_;
    frameBase = absoluteFrameBase_;
    stream = *stream_;
  }

  // Everything below works on copies; the stream changes only once the chunk has succeeded.
  const auto mel = extractor->melSpectrogram(samples);
  const platform::MLDictionaryFeatureProvider encoderInputs(std::map<std::string, ArrayPtr>{
      {"mel", melInputWithCache(config, stream.melCache, *mel)},
      {"mel_length", int32Array({1}, static_cast<std::int32_t>(config.totalMelFrames))},
      {"cache_channel", stream.cacheChannel},
      {"cache_time", stream.cacheTime},
      {"cache_len", stream.cacheLen},
  });
  const auto encoderOutput = encoder->prediction(encoderInputs);
  if (auto next = outputArray(*encoderOutput, "cache_channel_out")) stream.cacheChannel = std::move(next);
  if (auto next = outputArray(*encoderOutput, "cache_time_out")) stream.cacheTime = std::move(next);
  if (auto next = outputArray(*encoderOutput, "cache_len_out")) stream.cacheLen = std::move(next);
  const auto encoded = outputArray(*encoderOutput, "encoded");
  if (!encoded) throw ASRError::processingFailed("Encoder failed to produce output");
  requireFloatRank3(*encoded, "encoded");
  stream.melCache = melCacheOf(config, *mel);

  std::vector<std::int64_t> ids;
  std::vector<TokenTiming> timings;
  const std::int64_t frames = encoded->shape()[2];
  for (std::int64_t t = 0; t < frames; ++t) {
    const auto step = column(*encoded, t);
    for (int symbols = 0; symbols < kMaxSymbolsPerFrame;) {
      std::map<std::string, ArrayPtr> inputs{
          {"token", int32Array({1, 1}, stream.lastToken)},
          {"token_length", int32Array({1}, 1)},
          {"h_in", stream.hState},
          {"c_in", stream.cState},
      };
      ArrayPtr logits;
      ArrayPtr hOut;
      ArrayPtr cOut;
      if (fused) {
        inputs["encoder"] = step;
        const auto output = fused->prediction(platform::MLDictionaryFeatureProvider(inputs));
        logits = outputArray(*output, "logits");
        hOut = outputArray(*output, "h_out");
        cOut = outputArray(*output, "c_out");
        if (!logits || !hOut || !cOut) throw ASRError::processingFailed("Fused decoder_joint failed");
      } else {
        const auto output = decoder->prediction(platform::MLDictionaryFeatureProvider(inputs));
        const auto decoderOut = outputArray(*output, "decoder_out");
        hOut = outputArray(*output, "h_out");
        cOut = outputArray(*output, "c_out");
        if (!decoderOut || !hOut || !cOut) throw ASRError::processingFailed("Decoder failed");
        requireFloatRank3(*decoderOut, "decoder_out");
        if (decoderOut->shape()[2] < 1) throw ASRError::processingFailed("\"decoder_out\" has no position");
        const auto jointOutput = joint->prediction(platform::MLDictionaryFeatureProvider(
            std::map<std::string, ArrayPtr>{{"encoder", step}, {"decoder", column(*decoderOut, 0)}}));
        logits = outputArray(*jointOutput, "logits");
        if (!logits) throw ASRError::processingFailed("Joint failed");
      }
      const std::int64_t k = argmax(*logits);
      if (k == config.blankIdx) break;
      if (k > std::numeric_limits<std::int32_t>::max()) {
        throw ASRError::processingFailed(fmt::format("Token id {} does not fit the decoder's input", k));
      }
      ids.push_back(k);
      const double start = static_cast<double>(frameBase + t) * kFrameSeconds;
      timings.push_back(TokenTiming{tokenizer ? tokenizer->piece(k).value_or("") : std::string(), k, start,
                                    start + kFrameSeconds, 1.0f});
      stream.lastToken = static_cast<std::int32_t>(k);
      stream.hState = std::move(hOut);
      stream.cState = std::move(cOut);
      ++symbols;
    }
  }

  PartialTranscriptCallback callback;
  std::string text;
  {
    std::scoped_lock lock(mutex_);
    // A reset or cleanup cannot run meanwhile (processingMutex_), so the stream is still ours to replace.
    if (stream_) *stream_ = std::move(stream);
    accumulatedTokenIds_.insert(accumulatedTokenIds_.end(), ids.begin(), ids.end());
    accumulatedTokenTimings_.insert(accumulatedTokenTimings_.end(), timings.begin(), timings.end());
    absoluteFrameBase_ += frames;
    processedChunks_ += 1;
    const std::size_t consumed = std::min(consumedSamples, audioBuffer_.size());
    audioBuffer_.erase(audioBuffer_.begin(), audioBuffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
    if (!ids.empty() && partialCallback_ && tokenizer_) {
      callback = partialCallback_;
      text = tokenizer_->decode(accumulatedTokenIds_);
    }
  }
  if (callback) callback(text);
}

std::shared_ptr<MLMultiArray> StreamingNemotronAsrManager::prependMelCache(const MLMultiArray& mel) const {
  std::scoped_lock lock(mutex_);
  return melInputWithCache(config_, stream_ ? stream_->melCache : nullptr, mel);
}

std::shared_ptr<MLMultiArray> StreamingNemotronAsrManager::extractMelCache(const MLMultiArray& mel) const {
  std::scoped_lock lock(mutex_);
  return melCacheOf(config_, mel);
}

bool StreamingNemotronAsrManager::encoderProducesNonZeroOutput() {
  std::shared_ptr<const platform::MLModel> encoder;
  NemotronStreamingConfig config;
  Stream stream;
  {
    std::scoped_lock lock(mutex_);
    if (!encoder_ || !stream_) throw ASRError::notInitialized();
    encoder = encoder_;
    config = config_;
    stream = *stream_;
  }
  auto mel = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, config.melFeatures, config.totalMelFrames},
                                            MLMultiArrayDataType::float32);
  auto* values = static_cast<float*>(mel->dataPointer());
  for (std::int64_t i = 0; i < mel->count(); ++i) values[i] = static_cast<float>(i % 17) * 0.01f + 0.1f;
  const auto output = encoder->prediction(platform::MLDictionaryFeatureProvider(std::map<std::string, ArrayPtr>{
      {"mel", mel},
      {"mel_length", int32Array({1}, static_cast<std::int32_t>(config.totalMelFrames))},
      {"cache_channel", stream.cacheChannel},
      {"cache_time", stream.cacheTime},
      {"cache_len", stream.cacheLen},
  }));
  const auto encoded = outputArray(*output, "encoded");
  if (!encoded) throw ASRError::processingFailed("Encoder probe produced no `encoded` output");
  if (encoded->dataType() != MLMultiArrayDataType::float32) {
    throw ASRError::processingFailed("Encoder probe's `encoded` output is not float32");
  }
  const auto* data = static_cast<const float*>(encoded->dataPointer());
  return std::any_of(data, data + encoded->count(), [](float value) { return value != 0.0f; });
}

}  // namespace tesselaudio
