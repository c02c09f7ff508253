#include "speech/ASR/SenseVoice/SenseVoiceManager.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/text/RegularExpression.h"
#include "platform/text/Whitespace.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcGreedyDecoding.h"
#include "speech/ASR/Shared/LogitsArgmax.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using platform::MLMultiArrayShapeConstraintType;
using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

const AppLogger& logger() {
  static const AppLogger instance("SenseVoiceManager");
  return instance;
}

const platform::text::RegularExpression& tagPattern() {
  static const platform::text::RegularExpression pattern(R"(<\|([^|]*)\|>)");
  return pattern;
}

std::size_t size(std::int64_t value) { return static_cast<std::size_t>(value); }

float* floats(const MLMultiArray& array) { return static_cast<float*>(array.dataPointer()); }

std::shared_ptr<MLMultiArray> idArray(std::int32_t value) {
  auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1}, MLMultiArrayDataType::int32);
  static_cast<std::int32_t*>(array->dataPointer())[0] = value;
  return array;
}

// A float array over `storage`, grown to hold `shape`; the storage outlives every use of the array.
std::shared_ptr<MLMultiArray> arrayOver(std::vector<float>& storage, std::vector<std::int64_t> shape) {
  std::int64_t count = 1;
  for (const std::int64_t dimension : shape) count *= dimension;
  if (storage.size() < std::max<std::size_t>(size(count), 1)) storage.resize(std::max<std::size_t>(size(count), 1));
  const auto strides = MLMultiArray::denseStrides(shape);
  return std::make_shared<MLMultiArray>(storage.data(), std::move(shape), MLMultiArrayDataType::float32, strides);
}

// The output `name` of `model` for `inputs`, or processingFailed("SenseVoice <who> produced no `name`").
std::shared_ptr<MLMultiArray> predictOutput(const platform::MLModel& model, const Arrays& inputs,
                                            const std::string& who, const std::string& name) {
  const auto result = model.prediction(platform::MLDictionaryFeatureProvider(inputs));
  const auto value = result->featureValue(name);
  if (!value || !value->multiArrayValue()) {
    throw ASRError::processingFailed("SenseVoice " + who + " produced no `" + name + "`");
  }
  return value->multiArrayValue();
}

[[noreturn]] void refuseShort(const std::string& who, const std::string& name, const MLMultiArray& array,
                              const std::string& needed) {
  throw ASRError::processingFailed(fmt::format("SenseVoice {} produced `{}` of shape [{}]; {} needed", who, name,
                                               fmt::join(array.shape(), ", "), needed));
}

// The names that make a tag the detected language ahead of any other tag.
bool isLanguageName(std::string_view tag) {
  for (const std::string_view name : {"zh", "en", "yue", "ja", "ko", "nospeech"}) {
    if (tag == name) return true;
  }
  return false;
}

std::optional<std::string> detectedLanguage(const std::vector<std::string>& tags) {
  const auto language = std::find_if(tags.begin(), tags.end(), [](const std::string& tag) { return isLanguageName(tag); });
  if (language != tags.end()) return *language;
  if (!tags.empty()) return tags.front();
  return std::nullopt;
}

}  // namespace

SenseVoiceManager::SenseVoiceManager(SenseVoiceModels models, std::int32_t language, std::int32_t textNorm)
    : models_(std::move(models)),
      language_(language),
      textNorm_(textNorm),
      tagCandidates_(models_.vocabulary),
      encoderFrameCounts_(acceptedFrameCounts(*models_.encoder)) {}

std::unique_ptr<SenseVoiceManager> SenseVoiceManager::load(SenseVoiceEncoderPrecision precision,
                                                           const ProgressHandler& progressHandler,
                                                           std::stop_token stop) {
  return std::make_unique<SenseVoiceManager>(
      SenseVoiceModels::downloadAndLoad(precision, progressHandler, std::move(stop)));
}

std::string SenseVoiceManager::transcribe(const std::filesystem::path& audioURL) {
  return transcribeDetailed(AudioConverter().resampleAudioFile(audioURL)).text;
}

std::string SenseVoiceManager::transcribe(const std::vector<float>& audio) { return transcribeDetailed(audio).text; }

SenseVoiceTranscription SenseVoiceManager::transcribeDetailed(const std::vector<float>& audio) {
  const std::scoped_lock lock(mutex_);
  const auto features = runPreprocessor(audio);
  const Encoded encoded = runEncoder(features);
  const std::string raw = decodeRaw(*encoded.logits, encoded.validFrames);

  SenseVoiceTranscription transcription;
  for (const auto& match : tagPattern().matches(raw)) transcription.tags.push_back(match.groups[0].value_or(""));
  transcription.text = platform::text::trimBlanks(tagPattern().replacingMatches(raw, ""));
  transcription.language = detectedLanguage(transcription.tags);
  transcription.scores = scoreTags(*encoded.logits);
  return transcription;
}

std::shared_ptr<MLMultiArray> SenseVoiceManager::runPreprocessor(const std::vector<float>& audio) {
  const auto waveform = arrayOver(waveformStorage_, {1, static_cast<std::int64_t>(audio.size())});
  std::transform(audio.begin(), audio.end(), floats(*waveform),
                 [](float sample) { return sample * SenseVoiceConfig::waveformScale; });
  auto features = predictOutput(*models_.preprocessor, {{"waveform", waveform}}, "preprocessor", "features");
  if (features->shape().size() < 2) refuseShort("preprocessor", "features", *features, "[1, T, 560]");
  return features;
}

SenseVoiceManager::Encoded SenseVoiceManager::runEncoder(const std::shared_ptr<MLMultiArray>& features) {
  const int longest = encoderFrameCounts_.empty() ? SenseVoiceConfig::maxFrames : encoderFrameCounts_.back();
  int frames = static_cast<int>(std::clamp<std::int64_t>(features->shape()[1], 0, INT32_MAX));
  if (frames > longest) {
    logger().warning(fmt::format("Audio exceeds max length; truncating {} → {} frames", frames, longest));
    frames = longest;
  }
  const std::int64_t values = std::int64_t{frames} * SenseVoiceConfig::featureDim;
  if (features->count() < values) {
    refuseShort("preprocessor", "features", *features, fmt::format("{} frames of 560 values", frames));
  }
  const auto bucket = std::find_if(encoderFrameCounts_.begin(), encoderFrameCounts_.end(),
                                   [&](int count) { return count >= frames; });
  const int frameCount = bucket == encoderFrameCounts_.end() ? longest : *bucket;
  auto logits = predictOutput(*models_.encoder,
                              {{"speech", speechInput(features, frameCount, frames)},
                               {"speech_lengths", idArray(frames)},
                               {"language", idArray(language_)},
                               {"textnorm", idArray(textNorm_)}},
                              "encoder", "ctc_logits");
  if (logits->shape().size() != 3) refuseShort("encoder", "ctc_logits", *logits, "[1, frames, V]");
  return {std::move(logits), frames + SenseVoiceConfig::numQueryTokens};
}

std::shared_ptr<MLMultiArray> SenseVoiceManager::speechInput(const std::shared_ptr<MLMultiArray>& features,
                                                             int frameCount, int frames) {
  const bool packed = features->dataType() == MLMultiArrayDataType::float32 && features->isContiguous();
  // Features that fill the bucket exactly are the encoder's input as they are.
  if (packed && features->shape() == std::vector<std::int64_t>{1, frameCount, SenseVoiceConfig::featureDim}) {
    return features;
  }
  const std::int64_t values = std::int64_t{frames} * SenseVoiceConfig::featureDim;
  auto speech = arrayOver(speechStorage_, {1, frameCount, SenseVoiceConfig::featureDim});
  float* into = floats(*speech);
  if (packed) {
    std::copy_n(floats(*features), size(values), into);
  } else {
    for (std::int64_t i = 0; i < values; ++i) into[size(i)] = (*features)[i].floatValue();
  }
  std::fill(into + values, into + speech->count(), 0.0f);
  return speech;
}
std::string SenseVoiceManager::decodeRaw(const MLMultiArray& logits, int validFrames) const {
  const int frames = static_cast<int>(std::min<std::int64_t>(logits.shape()[1], validFrames));
  std::vector<int> kept;
  int previous = -1;
  for (const int id : LogitsArgmax::argmaxPerFrame(logits, frames)) {
    if (id != SenseVoiceConfig::blankId && id != previous) kept.push_back(id);
    previous = id;
  }
  return decodeCtcTokenIds(kept, models_.vocabulary);
}

SenseVoiceTagScores SenseVoiceManager::scoreTags(const MLMultiArray& logits) const {
  const auto rows = LogitsArgmax::leadingRows(logits, SenseVoiceConfig::numQueryTokens);
  if (rows.size() < 3) return SenseVoiceTagScores::empty();
  return {SenseVoiceTagScoring::score(rows[0], tagCandidates_.language),
          SenseVoiceTagScoring::score(rows[1], tagCandidates_.emotion),
          SenseVoiceTagScoring::score(rows[2], tagCandidates_.event)};
}

std::vector<int> SenseVoiceManager::acceptedFrameCounts(const platform::MLModel& encoder) {
  const std::vector<int> defaults(SenseVoiceConfig::buckets.begin(), SenseVoiceConfig::buckets.end());
  const auto& inputs = encoder.modelDescription().inputDescriptionsByName;
  const auto speech = inputs.find("speech");
  if (speech == inputs.end() || !speech->second.multiArrayConstraint) return defaults;
  const auto& constraint = *speech->second.multiArrayConstraint;

  std::vector<std::vector<std::int64_t>> shapes;
  switch (constraint.shapeConstraint.type) {
    case MLMultiArrayShapeConstraintType::unspecified:
      shapes = {constraint.shape};
      break;
    case MLMultiArrayShapeConstraintType::enumerated:
      shapes = constraint.shapeConstraint.enumeratedShapes;
      break;
    case MLMultiArrayShapeConstraintType::range:
      return defaults;
  }
  std::vector<int> counts;
  for (const auto& shape : shapes) {
    if (shape.size() == 3 && shape[1] > 0 && shape[1] <= INT32_MAX) counts.push_back(static_cast<int>(shape[1]));
  }
  std::sort(counts.begin(), counts.end());
  counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
  return counts.empty() ? defaults : counts;
}

}  // namespace tesselaudio
