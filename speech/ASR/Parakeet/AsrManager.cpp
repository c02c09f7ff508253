#include "speech/ASR/Parakeet/AsrManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Environment.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV2.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV3.h"
#include "speech/Shared/ASRConstants.h"
#include "speech/Shared/MLArrayCache.h"

namespace tesselaudio {
namespace {

using platform::MLDictionaryFeatureProvider;
using platform::MLFeatureProvider;
using platform::MLFeatureValue;
using platform::MLModel;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

constexpr int64_t kWindowSamples = ASRConstants::maxModelSamples;
constexpr int64_t kFrameSamples = ASRConstants::samplesPerEncoderFrame;
constexpr double kSecondsPerFrame = ASRConstants::secondsPerEncoderFrame;
constexpr int64_t kTrimmedTailMargin = 3200;
constexpr int64_t kRecoveryMinSamples = 32000;
constexpr float kRecoveryMinRms = 0.003f;
constexpr float kCredibleConfidence = 0.7f;
constexpr int64_t kEmissionDelayBound = 1000000;
constexpr std::string_view kWordBoundary = ASRConstants::sentencePieceWordBoundary;
constexpr std::string_view kUnknownPiece = ASRConstants::sentencePieceUnknownToken;

std::string replacingWordBoundaries(std::string text) {
  for (auto at = text.find(kWordBoundary); at != std::string::npos; at = text.find(kWordBoundary, at + 1)) {
    text.replace(at, kWordBoundary.size(), " ");
  }
  return text;
}

// TDT_EMISSION_DELAY_FRAMES as an optional sign and decimal digits, held to +-1,000,000 so that
// subtracting it from a frame cannot overflow; 1 when missing or malformed.
int64_t emissionDelayFrames() {
  const auto text = platform::Environment::value("TDT_EMISSION_DELAY_FRAMES");
  if (!text) return 1;
  std::string_view digits = *text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return 1;
  int64_t magnitude = 0;
  for (char c : digits) magnitude = std::min(magnitude * 10 + (c - '0'), kEmissionDelayBound);
  return negative ? -magnitude : magnitude;
}

// max(0, frame - delay) without overflow for any frame.
int64_t delayedFrame(int64_t frame, int64_t delay) {
  int64_t shifted = 0;
  if (__builtin_sub_overflow(frame, delay, &shifted)) return delay > 0 ? 0 : std::numeric_limits<int64_t>::max();
  return std::max<int64_t>(0, shifted);
}

// The vocabulary piece of `id`, or null.
const std::string* pieceOf(const std::map<int, std::string>& vocabulary, int64_t id) {
  if (id < std::numeric_limits<int>::min() || id > std::numeric_limits<int>::max()) return nullptr;
  const auto piece = vocabulary.find(static_cast<int>(id));
  return piece != vocabulary.end() ? &piece->second : nullptr;
}

std::shared_ptr<MLMultiArray> arrayFeature(const MLFeatureProvider& provider, const std::string& name) {
  const auto value = provider.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

std::shared_ptr<const MLFeatureProvider> replacingFeature(const MLFeatureProvider& provider, const std::string& name,
                                                          std::shared_ptr<MLMultiArray> array) {
  MLDictionaryFeatureProvider::Dictionary values;
  for (const auto& feature : provider.featureNames()) {
    if (auto value = provider.featureValue(feature)) values[feature] = std::move(value);
  }
  values[name] = std::make_shared<MLFeatureValue>(std::move(array));
  return std::make_shared<MLDictionaryFeatureProvider>(std::move(values));
}

void checkWindowArguments(std::span<const float> samples, std::optional<int64_t> originalLength,
                          std::optional<int64_t> actualAudioFrames) {
  const auto count = static_cast<int64_t>(samples.size());
  if (count > kWindowSamples) {
    throw ASRError::processingFailed(fmt::format("Window of {} samples exceeds {} samples", count, kWindowSamples));
  }
  if (originalLength && (*originalLength < 0 || *originalLength > count)) {
    throw ASRError::processingFailed(
        fmt::format("originalLength {} is outside the window of {} samples", *originalLength, count));
  }
  if (actualAudioFrames && *actualAudioFrames < 0) {
    throw ASRError::processingFailed(fmt::format("actualAudioFrames {} is negative", *actualAudioFrames));
  }
}

bool isEmptyDecode(const TdtHypothesis& hypothesis) {
  return hypothesis.ySequence.empty() && hypothesis.suppressedTokens.empty();
}

// The length declared to the preprocessor, and with a trimmed tail the window with the samples
// between the cut and the real end silenced (empty when nothing needed silencing).
struct DeclaredWindow {
  int64_t length = 0;
  std::vector<float> silencedCopy;
};

DeclaredWindow declareWindow(std::span<const float> samples, int64_t actualLength, bool trimmedTail) {
  if (!trimmedTail) return {actualLength, {}};
  const int64_t cut = std::max(actualLength - kTrimmedTailMargin, kRecoveryMinSamples) / kFrameSamples * kFrameSamples;
  const int64_t realEnd = std::min(actualLength, static_cast<int64_t>(samples.size()));
  if (cut >= realEnd) return {cut, {}};
  std::vector<float> silenced(samples.begin(), samples.end());
  std::fill(silenced.begin() + cut, silenced.begin() + realEnd, 0.0f);
  return {cut, std::move(silenced)};
}

// What the decoder of one window gets besides the models.
struct DecoderSetup {
  ASRConfig config;
  std::optional<Language> language;
  const std::map<int, std::string>* vocabulary = nullptr;
};

// The manager's configuration with the version's blank id and hidden size, and the language hint
// and vocabulary for a v3-family model only; a hint other models cannot use is logged and dropped.
DecoderSetup decoderSetup(const ASRConfig& managerConfig, AsrModelVersion version, std::optional<Language> language,
                          const std::map<int, std::string>* vocabulary, const AppLogger& logger) {
  DecoderSetup setup{managerConfig, std::nullopt, nullptr};
  setup.config.tdtConfig.blankId = version.blankId();
  setup.config.encoderHiddenSize = version.encoderHiddenSize();
  if (version.isV3Family()) {
    setup.language = language;
    setup.vocabulary = vocabulary;
  } else if (version == AsrModelVersion::tdtJa) {
    if (language) {
      logger.debug("Ignoring `language` hint for tdtJa: TokenLanguageFilter currently supports Latin/Cyrillic only; "
                   "Japanese output is always kept.");
    }
  } else {
    if (language) {
      logger.debug(fmt::format("Ignoring `language` hint: script filtering requires the v3 joint decoder; loaded model is {}.",
                               version == AsrModelVersion::v2 ? "v2" : "tdtCtc110m"));
    }
    setup.config = TdtDecoderV2::adaptConfigForV2(setup.config);
  }
  return setup;
}

// Gives the borrowed "audio_signal" array back to the shared cache when the inference ends, however
// it ends.
class BorrowedAudio {
 public:
  explicit BorrowedAudio(const MLFeatureProvider& input) : array_(arrayFeature(input, "audio_signal")) {}
  ~BorrowedAudio() {
    if (array_) sharedMLArrayCache().returnArray(std::move(array_));
  }
  BorrowedAudio(const BorrowedAudio&) = delete;
  BorrowedAudio& operator=(const BorrowedAudio&) = delete;

 private:
  std::shared_ptr<MLMultiArray> array_;
};

}  // namespace

AsrManager::AsrManager(ASRConfig config, std::optional<AsrModels> models)
    : config_(std::move(config)),
      vocabulary_(std::make_shared<const std::map<int, std::string>>()),
      punctuationTokenIds_(std::make_shared<const std::set<int>>(ASRConstants::punctuationTokens.begin(),
                                                                 ASRConstants::punctuationTokens.end())) {
  if (models) install(*models);
  try {
    startBackgroundTask([] {
      sharedMLArrayCache().prewarm({{{1, kWindowSamples}, MLMultiArrayDataType::float32},
                                    {{1}, MLMultiArrayDataType::int32},
                                    {{2, 1, ASRConstants::decoderHiddenSize}, MLMultiArrayDataType::float32}});
    });
    startBackgroundTask([this] { progressEmitter_.ensureSession(); });
  } catch (...) {
    // No destructor runs for a constructor that throws: join what did start.
    waitForBackgroundTasks();
    throw;
  }
}

AsrManager::~AsrManager() { waitForBackgroundTasks(); }

void AsrManager::startBackgroundTask(std::function<void()> task) {
  std::scoped_lock lock(backgroundMutex_);
  // Joins the tasks that have ended, so that a long-lived manager keeps no finished threads.
  std::erase_if(backgroundTasks_, [](BackgroundTask& running) {
    if (!running.finished->load()) return false;
    running.thread.join();
    return true;
  });
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([task = std::move(task), finished] {
    task();
    finished->store(true);
  });
  backgroundTasks_.push_back({std::move(thread), std::move(finished)});
}

void AsrManager::waitForBackgroundTasks() {
  std::vector<BackgroundTask> tasks;
  {
    std::scoped_lock lock(backgroundMutex_);
    tasks.swap(backgroundTasks_);
  }
  for (auto& task : tasks) task.thread.join();
}

AsrManager::Snapshot AsrManager::snapshot() const {
  std::scoped_lock lock(mutex_);
  return {asrModels_, preprocessorModel_, encoderModel_, encoderLadder_, decoderModel_,
          jointModel_, vocabulary_, punctuationTokenIds_};
}

void AsrManager::install(const AsrModels& models) {
  auto installed = std::make_shared<const AsrModels>(models);
  auto vocabulary = std::make_shared<const std::map<int, std::string>>(models.vocabulary);
  auto punctuation = std::make_shared<const std::set<int>>(ASRConstants::punctuationTokenIds(models.vocabulary));
  std::scoped_lock lock(mutex_);
  asrModels_ = installed;
  preprocessorModel_ = models.preprocessor;
  encoderModel_ = models.encoder;
  encoderLadder_ = models.encoderLadder;
  decoderModel_ = models.decoder;
  jointModel_ = models.joint;
  vocabulary_ = std::move(vocabulary);
  punctuationTokenIds_ = std::move(punctuation);
}

std::shared_ptr<const MLModel> AsrManager::preprocessorModel() const { return snapshot().preprocessor; }
std::shared_ptr<const MLModel> AsrManager::encoderModel() const { return snapshot().encoder; }
std::vector<EncoderLadderFunction> AsrManager::encoderLadder() const { return snapshot().encoderLadder; }
std::shared_ptr<const MLModel> AsrManager::decoderModel() const { return snapshot().decoder; }
std::shared_ptr<const MLModel> AsrManager::jointModel() const { return snapshot().joint; }
std::shared_ptr<const AsrModels> AsrManager::asrModels() const { return snapshot().asrModels; }

int64_t AsrManager::decoderLayerCount() const {
  const auto version = modelVersion();
  return version == AsrModelVersion::tdtCtc110m ? 1 : 2;
}

std::optional<AsrModelVersion> AsrManager::modelVersion() const {
  const auto models = asrModels();
  if (!models) return std::nullopt;
  return models->version;
}

bool AsrManager::hasEncoderLadder() const { return !encoderLadder().empty(); }

std::vector<double> AsrManager::encoderLadderSeconds() const {
  std::vector<double> seconds;
  for (const auto& function : encoderLadder()) seconds.push_back(function.seconds);
  return seconds;
}

bool AsrManager::melChunkContext() const {
  if (config_.melChunkContextOverride) return *config_.melChunkContextOverride;
  const auto version = modelVersion();
  return !version || *version == AsrModelVersion::v2 || *version == AsrModelVersion::tdtCtc110m;
}

int64_t AsrManager::parallelChunkConcurrency() const { return std::max<int64_t>(1, config_.parallelChunkConcurrency); }

std::map<int, std::string> AsrManager::vocabulary() const { return *snapshot().vocabulary; }
std::set<int> AsrManager::punctuationTokenIds() const { return *snapshot().punctuationTokenIds; }

void AsrManager::loadModels(const AsrModels& models) {
  logger_.info("Loading AsrManager with provided models");
  install(models);
  logger_.info("AsrManager loaded successfully with provided models");
}

bool AsrManager::isAvailable() const {
  const Snapshot models = snapshot();
  if (!models.decoder || !models.joint) return false;
  if (!models.asrModels || models.asrModels->version == AsrModelVersion::tdtCtc110m) return models.preprocessor != nullptr;
  return models.preprocessor && models.encoder;
}

void AsrManager::cleanup() {
  {
    std::scoped_lock lock(mutex_);
    asrModels_.reset();
    preprocessorModel_.reset();
    encoderModel_.reset();
    encoderLadder_.clear();
    decoderModel_.reset();
    jointModel_.reset();
  }
  startBackgroundTask([] { sharedMLArrayCache().clear(); });
  logger_.info("AsrManager resources cleaned up");
}

void AsrManager::reset() {
  startBackgroundTask([] { sharedMLArrayCache().clear(); });
}

std::shared_ptr<AsrManager> AsrManager::makeWorkerClone() const {
  const auto models = asrModels();
  if (!models) return nullptr;
  return std::make_shared<AsrManager>(config_, *models);
}

ProgressEmitter::Stream AsrManager::transcriptionProgressStream() { return progressEmitter_.ensureSession(); }

void AsrManager::setWindowHandler(WindowHandler handler) {
  std::scoped_lock lock(mutex_);
  windowHandler_ = std::move(handler);
}

void AsrManager::reportWindow(int64_t index, int64_t windowCount, int64_t startFrame, int64_t endFrame,
                              const std::vector<int64_t>& tokenIds) const {
  WindowHandler handler;
  {
    std::scoped_lock lock(mutex_);
    handler = windowHandler_;
  }
  if (!handler) return;
  handler(WindowProgress{index, windowCount, static_cast<double>(startFrame) * kSecondsPerFrame,
                         static_cast<double>(endFrame) * kSecondsPerFrame, convertTokensToText(tokenIds)});
}

std::unique_ptr<MLFeatureProvider> AsrManager::preparePreprocessorInput(std::span<const float> samples,
                                                                        std::optional<int64_t> actualLength) const {
  const auto count = static_cast<int64_t>(samples.size());
  auto audio = sharedMLArrayCache().getArray({1, count}, MLMultiArrayDataType::float32);
  try {
    if (count > 0) std::memcpy(audio->dataPointer(), samples.data(), samples.size_bytes());
    auto length = std::make_shared<MLMultiArray>(std::vector<int64_t>{1}, MLMultiArrayDataType::int32);
    length->set(0, platform::NSNumber(actualLength.value_or(count)));
    return std::make_unique<MLDictionaryFeatureProvider>(
        std::map<std::string, std::shared_ptr<MLMultiArray>>{{"audio_signal", audio}, {"audio_length", length}});
  } catch (...) {
    sharedMLArrayCache().returnArray(std::move(audio));
    throw;
  }
}

std::string AsrManager::convertTokensToText(const std::vector<int64_t>& tokenIds) const {
  if (tokenIds.empty()) return "";
  const auto vocabulary = snapshot().vocabulary;
  std::string text;
  for (int64_t id : tokenIds) {
    const std::string* piece = pieceOf(*vocabulary, id);
    if (!piece || piece->empty() || *piece == kUnknownPiece) continue;
    text += *piece;
  }
  text = replacingWordBoundaries(std::move(text));
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

AsrManager::TokenLists AsrManager::droppingUnknownTokens(std::vector<int64_t> tokenIds, std::vector<int64_t> timestamps,
                                                         std::vector<float> confidences,
                                                         std::vector<int64_t> tokenDurations) const {
  const auto vocabulary = snapshot().vocabulary;
  std::set<int64_t> unknownIds;
  for (const auto& [id, piece] : *vocabulary) {
    if (piece == kUnknownPiece) unknownIds.insert(id);
  }
  std::vector<size_t> kept;
  for (size_t i = 0; i < tokenIds.size(); ++i) {
    if (!unknownIds.count(tokenIds[i])) kept.push_back(i);
  }
  if (kept.size() == tokenIds.size()) {
    return {std::move(tokenIds), std::move(timestamps), std::move(confidences), std::move(tokenDurations)};
  }
  const auto keep = [&](auto& list) {
    if (list.size() != tokenIds.size()) return;
    std::remove_reference_t<decltype(list)> filtered;
    for (size_t i : kept) filtered.push_back(list[i]);
    list = std::move(filtered);
  };
  keep(timestamps);
  keep(confidences);
  keep(tokenDurations);
  keep(tokenIds);
  return {std::move(tokenIds), std::move(timestamps), std::move(confidences), std::move(tokenDurations)};
}

std::vector<TokenTiming> AsrManager::createTokenTimings(const std::vector<int64_t>& tokenIds,
                                                        const std::vector<int64_t>& timestamps,
                                                        const std::vector<float>& confidences,
                                                        const std::vector<int64_t>& tokenDurations) const {
  if (tokenIds.empty() || timestamps.size() != tokenIds.size() || confidences.size() != tokenIds.size()) return {};
  const bool durationsPresent = !tokenDurations.empty();
  struct Record {
    int64_t id, frame;
    float confidence;
    int64_t duration;
  };
  const size_t count = durationsPresent ? std::min(tokenIds.size(), tokenDurations.size()) : tokenIds.size();
  std::vector<Record> records;
  records.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    records.push_back({tokenIds[i], timestamps[i], confidences[i], durationsPresent ? tokenDurations[i] : 0});
  }
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.frame < b.frame; });

  const int64_t delay = emissionDelayFrames();
  const auto vocabulary = snapshot().vocabulary;
  std::vector<TokenTiming> timings;
  timings.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    const double start = static_cast<double>(delayedFrame(r.frame, delay)) * kSecondsPerFrame;
    double end = start + kSecondsPerFrame;
    if (durationsPresent && r.duration > 0) {
      end = start + std::max(static_cast<double>(r.duration) * kSecondsPerFrame, kSecondsPerFrame);
    } else if (i + 1 < records.size()) {
      const double nextStart = static_cast<double>(delayedFrame(records[i + 1].frame, delay)) * kSecondsPerFrame;
      end = std::max(nextStart, start + kSecondsPerFrame);
    }
    end = std::max(end, start + 0.001);
    const std::string* piece = pieceOf(*vocabulary, r.id);
    std::string text = piece ? *piece : "token_" + std::to_string(r.id);
    timings.push_back({replacingWordBoundaries(std::move(text)), r.id, start, end, r.confidence});
  }
  return timings;
}

float AsrManager::calculateConfidence(int64_t tokenCount, bool isEmpty, const std::vector<float>& tokenConfidences) const {
  if (isEmpty) return ASRConstants::minConfidence;
  if (tokenConfidences.empty() || static_cast<int64_t>(tokenConfidences.size()) != tokenCount) {
    logger_.warning("Expected token confidences but got none - this should not happen");
    return 0.5f;
  }
  const float sum = std::accumulate(tokenConfidences.begin(), tokenConfidences.end(), 0.0f);
  const float mean = sum / static_cast<float>(tokenCount);
  return std::max(std::min(mean, ASRConstants::maxConfidence), ASRConstants::minConfidence);
}

std::pair<std::vector<float>, int64_t> AsrManager::frameAlignedAudio(std::vector<float> samples, bool allowAlignment) {
  const auto count = static_cast<int64_t>(samples.size());
  const int64_t aligned = (count + kFrameSamples - 1) / kFrameSamples * kFrameSamples;
  if (allowAlignment && count < aligned && aligned <= kWindowSamples) {
    samples.resize(static_cast<size_t>(aligned), 0.0f);
    return {std::move(samples), aligned};
  }
  return {std::move(samples), count};
}

std::shared_ptr<const MLFeatureProvider> AsrManager::slicingMel(const std::shared_ptr<const MLFeatureProvider>& provider,
                                                                int64_t toFrames) {
  const auto mel = arrayFeature(*provider, "mel");
  if (!mel || mel->shape().size() != 3 || mel->shape()[2] == toFrames) return provider;
  const auto& shape = mel->shape();
  if (shape[0] != 1 || shape[2] < toFrames || toFrames < 0 || mel->dataType() != MLMultiArrayDataType::float32) {
    throw ASRError::processingFailed(fmt::format("Cannot slice mel [{}] of type {} to {} frames", fmt::join(shape, ", "),
                                                 static_cast<int>(mel->dataType()), toFrames));
  }
  const int64_t bins = shape[1];
  auto sliced = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, bins, toFrames}, MLMultiArrayDataType::float32);
  const auto* source = static_cast<const float*>(mel->dataPointer());
  auto* target = static_cast<float*>(sliced->dataPointer());
  const int64_t rowStride = mel->strides()[1];
  const int64_t step = mel->strides()[2];
  for (int64_t c = 0; c < bins; ++c) {
    const float* row = source + c * rowStride;
    float* out = target + c * toFrames;
    if (step == 1) {
      std::memcpy(out, row, static_cast<size_t>(toFrames) * sizeof(float));
    } else {
      for (int64_t t = 0; t < toFrames; ++t) out[t] = row[t * step];
    }
  }
  return replacingFeature(*provider, "mel", std::move(sliced));
}

std::shared_ptr<const MLFeatureProvider> AsrManager::declaringFullMelLength(
    const std::shared_ptr<const MLFeatureProvider>& provider) {
  const auto mel = arrayFeature(*provider, "mel");
  const auto melLength = arrayFeature(*provider, "mel_length");
  if (!mel || !melLength || mel->shape().size() != 3) return provider;
  auto declared = std::make_shared<MLMultiArray>(melLength->shape(), melLength->dataType());
  declared->set(0, platform::NSNumber(mel->shape()[2]));
  return replacingFeature(*provider, "mel_length", std::move(declared));
}

std::shared_ptr<const MLFeatureProvider> AsrManager::prepareEncoderInput(
    const MLModel& encoder, const std::shared_ptr<const MLFeatureProvider>& preprocessorOutput,
    const MLFeatureProvider& originalInput) {
  const auto& inputs = encoder.modelDescription().inputDescriptionsByName;
  if (std::all_of(inputs.begin(), inputs.end(), [&](const auto& input) { return preprocessorOutput->featureValue(input.first) != nullptr; })) {
    return preprocessorOutput;
  }
  MLDictionaryFeatureProvider::Dictionary values;
  for (const auto& [name, description] : inputs) {
    auto value = preprocessorOutput->featureValue(name);
    if (!value) value = originalInput.featureValue(name);
    if (!value) {
      throw ASRError::processingFailed(fmt::format("Missing required encoder input: {}. Available inputs: {}, fallback inputs: {}",
                                                   name, fmt::join(preprocessorOutput->featureNames(), ", "),
                                                   fmt::join(originalInput.featureNames(), ", ")));
    }
    values[name] = std::move(value);
  }
  return std::make_shared<MLDictionaryFeatureProvider>(std::move(values));
}

std::shared_ptr<const MLFeatureProvider> AsrManager::encode(const Snapshot& models,
                                                            const std::shared_ptr<const MLFeatureProvider>& preprocessorInput,
                                                            InferenceLengthPolicy lengthPolicy, const std::stop_token& stop) const {
  if (!models.preprocessor) throw ASRError::notInitialized();
  platform::CancellationError::throwIfRequested(stop);
  std::shared_ptr<const MLFeatureProvider> preprocessorOutput =
      models.preprocessor->prediction(*preprocessorInput, predictionOptions_);
  if (!models.encoder) return preprocessorOutput;

  int64_t melLength = std::numeric_limits<int64_t>::max();
  if (const auto lengths = arrayFeature(*preprocessorOutput, "mel_length")) melLength = (*lengths)[0].int64Value();
  const auto ladder = std::find_if(models.encoderLadder.begin(), models.encoderLadder.end(),
                                   [&](const EncoderLadderFunction& f) { return f.melFrames >= melLength; });
  const MLModel& encoder = ladder != models.encoderLadder.end() ? *ladder->model : *models.encoder;
  auto encoderInput = prepareEncoderInput(encoder, preprocessorOutput, *preprocessorInput);
  if (ladder != models.encoderLadder.end()) encoderInput = slicingMel(encoderInput, ladder->melFrames);
  if (lengthPolicy.contains(InferenceLengthPolicy::encoderFull())) encoderInput = declaringFullMelLength(encoderInput);
  platform::CancellationError::throwIfRequested(stop);
  return encoder.prediction(*encoderInput, predictionOptions_);
}

AsrManager::InferenceResult AsrManager::runInference(std::span<const float> samples, std::optional<int64_t> originalLength,
                                                     std::optional<int64_t> actualAudioFrames,
                                                     InferenceLengthPolicy lengthPolicy, TdtDecoderState& decoderState,
                                                     int64_t contextFrameAdjustment, bool isLastChunk,
                                                     int64_t globalFrameOffset, std::optional<Language> language,
                                                     std::optional<int64_t> emitTokensAfterGlobalFrame,
                                                     std::optional<int64_t> initialTimeIndexOverride,
                                                     std::stop_token stop) const {
  checkWindowArguments(samples, originalLength, actualAudioFrames);
  const Snapshot models = snapshot();
  const auto count = static_cast<int64_t>(samples.size());
  const int64_t actualLength = originalLength.value_or(count);

  const bool trimmedTail = lengthPolicy.contains(InferenceLengthPolicy::trimmedTail());
  const DeclaredWindow declared = declareWindow(samples, actualLength, trimmedTail);
  const std::span<const float> window = declared.silencedCopy.empty() ? samples : std::span<const float>(declared.silencedCopy);
  const int64_t declaredLength = declared.length;

  const bool preprocessorFull = lengthPolicy.contains(InferenceLengthPolicy::preprocessorFull());
  const std::shared_ptr<const MLFeatureProvider> preprocessorInput =
      preparePreprocessorInput(window, preprocessorFull ? std::nullopt : std::optional<int64_t>(declaredLength));
  const BorrowedAudio borrowed(*preprocessorInput);

  const auto encoderOutput = encode(models, preprocessorInput, lengthPolicy, stop);
  const auto encoded = arrayFeature(*encoderOutput, "encoder");
  if (!encoded) throw ASRError::processingFailed("Invalid encoder output");
  const auto encodedLength = arrayFeature(*encoderOutput, "encoder_length");
  if (!encodedLength) throw ASRError::processingFailed("Invalid encoder output length");
  const int64_t encoderSequenceLength = (*encodedLength)[0].int64Value();

  const auto framesOf = [](int64_t samples) {
    return static_cast<int64_t>(std::ceil(static_cast<double>(samples) / static_cast<double>(kFrameSamples)));
  };
  const int64_t frames = trimmedTail ? framesOf(declaredLength) : actualAudioFrames.value_or(framesOf(actualLength));

  if (!models.asrModels || !models.decoder || !models.joint) throw ASRError::notInitialized();
  DecoderSetup setup = decoderSetup(config_, models.asrModels->version, language, models.vocabulary.get(), logger_);

  const TdtDecoderV3 decoder(std::move(setup.config));
  TdtHypothesis hypothesis = decoder.decodeWithTimings(
      encoded, encoderSequenceLength, frames, *models.decoder, *models.joint, decoderState, contextFrameAdjustment,
      isLastChunk, globalFrameOffset, setup.language, setup.vocabulary, models.punctuationTokenIds.get(),
      emitTokensAfterGlobalFrame, initialTimeIndexOverride, stop);
  return {std::move(hypothesis), encoderSequenceLength};
}

AsrManager::InferenceResult AsrManager::executeMLInferenceWithTimings(
    std::span<const float> samples, std::optional<int64_t> originalLength, std::optional<int64_t> actualAudioFrames,
    TdtDecoderState& decoderState, int64_t contextFrameAdjustment, bool isLastChunk, int64_t globalFrameOffset,
    std::optional<Language> language, std::optional<int64_t> emitTokensAfterGlobalFrame,
    std::optional<int64_t> initialTimeIndexOverride, std::stop_token stop) const {
  checkWindowArguments(samples, originalLength, actualAudioFrames);
  const int64_t actualLength = originalLength.value_or(static_cast<int64_t>(samples.size()));
  const auto version = modelVersion();
  std::optional<TdtDecoderState> backup;
  if (version && version->isV3Family() && shouldRecoverEmptyDecode(samples, actualLength)) {
    backup = TdtDecoderState::deepCopy(decoderState);
  }

  const auto decode = [&](InferenceLengthPolicy policy, TdtDecoderState& state) {
    return runInference(samples, originalLength, actualAudioFrames, policy, state, contextFrameAdjustment, isLastChunk,
                        globalFrameOffset, language, emitTokensAfterGlobalFrame, initialTimeIndexOverride, stop);
  };
  InferenceResult first = decode(InferenceLengthPolicy(), decoderState);
  if (!isEmptyDecode(first.hypothesis) || !backup) return first;

  for (const InferenceLengthPolicy policy : emptyDecodeRecoveryPolicies()) {
    TdtDecoderState retryState = TdtDecoderState::deepCopy(*backup);
    InferenceResult retry = decode(policy, retryState);
    if (!recoveryIsCredible(retry.hypothesis)) continue;
    logger_.info(fmt::format("Empty decode of {:.1f} s of speech recovered with the {} length policy: {} tokens",
                             static_cast<double>(actualLength) / ASRConstants::sampleRate, policy.description(),
                             retry.hypothesis.ySequence.size()));
    decoderState = retryState;
    return retry;
  }
  return first;
}

bool AsrManager::shouldRecoverEmptyDecode(std::span<const float> samples, int64_t actualLength) {
  const int64_t n = std::min(static_cast<int64_t>(samples.size()), actualLength);
  if (n < kRecoveryMinSamples) return false;
  double sum = 0;
  for (int64_t i = 0; i < n; ++i) sum += static_cast<double>(samples[static_cast<size_t>(i)] * samples[static_cast<size_t>(i)]);
  return std::sqrt(sum / static_cast<double>(n)) >= static_cast<double>(kRecoveryMinRms);
}

bool AsrManager::recoveryIsCredible(const TdtHypothesis& hypothesis) {
  if (hypothesis.ySequence.size() <= 1 || hypothesis.tokenConfidences.empty()) return false;
  const float sum = std::accumulate(hypothesis.tokenConfidences.begin(), hypothesis.tokenConfidences.end(), 0.0f);
  return sum / static_cast<float>(hypothesis.tokenConfidences.size()) >= kCredibleConfidence;
}

const std::vector<InferenceLengthPolicy>& AsrManager::emptyDecodeRecoveryPolicies() {
  using P = InferenceLengthPolicy;
  static const std::vector<P> policies = {P::encoderFull(), P::preprocessorFull(), P::trimmedTail(),
                                          P{P::encoderFull(), P::trimmedTail()}, P{P::preprocessorFull(), P::trimmedTail()}};
  return policies;
}

}  // namespace tesselaudio
