#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"

#include <array>
#include <climits>
#include <cmath>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"
#include "speech/Diarizer/LS-EEND/LSEENDError.h"

namespace tesselaudio {

namespace {

using Field = std::int64_t LSEENDMetadata::*;

struct IntegerField {
  const char* name;
  Field member;
};

// The whole-number fields in declaration order, frameDurationSeconds standing between the first two.
constexpr std::array<IntegerField, 15> kIntegerFields{{
    {"chunkSize", &LSEENDMetadata::chunkSize},
    {"maxSpeakers", &LSEENDMetadata::maxSpeakers},
    {"sampleRate", &LSEENDMetadata::sampleRate},
    {"maxNspks", &LSEENDMetadata::maxNspks},
    {"hopLength", &LSEENDMetadata::hopLength},
    {"winLength", &LSEENDMetadata::winLength},
    {"nMels", &LSEENDMetadata::nMels},
    {"contextSize", &LSEENDMetadata::contextSize},
    {"subsampling", &LSEENDMetadata::subsampling},
    {"convDelay", &LSEENDMetadata::convDelay},
    {"nUnits", &LSEENDMetadata::nUnits},
    {"nHeads", &LSEENDMetadata::nHeads},
    {"encNLayers", &LSEENDMetadata::encNLayers},
    {"decNLayers", &LSEENDMetadata::decNLayers},
    {"convKernelSize", &LSEENDMetadata::convKernelSize},
}};
constexpr const char* kFrameDuration = "frameDurationSeconds";

// "enc_n_layers" → "encNLayers": each underscore dropped, the letter after it upper-cased.
std::string fromSnakeCase(const std::string& key) {
  std::string out;
  bool upper = false;
  for (char c : key) {
    if (c == '_') {
      upper = true;
      continue;
    }
    out.push_back(upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    upper = false;
  }
  return out;
}

std::int64_t wholeNumber(const nlohmann::json& value, const char* key) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(number);
  } else if (value.is_number_float()) {
    const double number = value.get<double>();
    // 2^63 itself is out of range; every double below it converts exactly.
    if (std::trunc(number) == number && number >= -0x1p63 && number < 0x1p63) {
      return static_cast<std::int64_t>(number);
    }
  }
  throw platform::JsonCodingError::typeMismatch(key, "a whole number within 64 bits");
}

[[noreturn]] void refuse(const std::string& why) {
  throw LSEENDError::initializationFailed("Invalid LS-EEND metadata: " + why);
}

// a × b, or refusal naming what the product sizes.
std::int64_t times(std::int64_t a, std::int64_t b, const char* what) {
  std::int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) refuse(fmt::format("{} does not fit 64 bits", what));
  return product;
}

std::int64_t plus(std::int64_t a, std::int64_t b, const char* what) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) refuse(fmt::format("{} does not fit 64 bits", what));
  return sum;
}

// Bytes of an aligned float32 array of `shape`: the innermost dimension padded to 16 elements.
void checkArray(const std::vector<std::int64_t>& shape, const char* what) {
  std::int64_t elements = plus(shape.back(), 15, what) / 16 * 16;
  for (std::size_t i = 0; i + 1 < shape.size(); ++i) elements = times(elements, shape[i], what);
  times(plus(elements, 16, what), 4, what);
}

}  // namespace

std::int64_t LSEENDMetadata::melFrames() const { return (chunkSize - 1) * subsampling + 2 * contextSize + 1; }

std::int64_t LSEENDMetadata::nFFT() const {
  std::int64_t n = 1;
  while (n < winLength && n <= INT64_MAX / 2) n *= 2;
  return n;
}

std::int64_t LSEENDMetadata::headDim() const { return nHeads == 0 ? 0 : nUnits / nHeads; }

LSEENDMetadata LSEENDMetadata::fromJSON(std::string_view text) {
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw platform::JsonCodingError::dataCorrupted(std::string("LS-EEND config is not JSON: ") + error.what());
  }
  if (!json.is_object()) throw platform::JsonCodingError::dataCorrupted("LS-EEND config is not a JSON object");

  std::map<std::string, const nlohmann::json*> members;
  for (const auto& [key, value] : json.items()) members[fromSnakeCase(key)] = &value;
  auto member = [&](const char* name) -> const nlohmann::json& {
    auto found = members.find(name);
    if (found == members.end() || found->second->is_null()) throw platform::JsonCodingError::keyNotFound(name);
    return *found->second;
  };

  LSEENDMetadata metadata;
  for (const auto& field : kIntegerFields) metadata.*field.member = wholeNumber(member(field.name), field.name);
  const auto& frameDuration = member(kFrameDuration);
  if (!frameDuration.is_number()) throw platform::JsonCodingError::typeMismatch(kFrameDuration, "a number");
  metadata.frameDurationSeconds = frameDuration.get<float>();
  return metadata;
}

std::string LSEENDMetadata::toJSON() const {
  if (!std::isfinite(frameDurationSeconds)) throw platform::JsonCodingError::valueNotFinite(kFrameDuration);
  std::string out = fmt::format("{{\"chunkSize\":{},\"{}\":{}", chunkSize, kFrameDuration, frameDurationSeconds);
  for (std::size_t i = 1; i < kIntegerFields.size(); ++i) {
    out += fmt::format(",\"{}\":{}", kIntegerFields[i].name, this->*kIntegerFields[i].member);
  }
  return out + "}";
}

void LSEENDMetadata::checkLimits() const {
  for (const auto& field : kIntegerFields) {
    if (this->*field.member < 0) refuse(fmt::format("{} is negative ({})", field.name, this->*field.member));
  }
  if (frameDurationSeconds < 0) refuse(fmt::format("{} is negative ({})", kFrameDuration, frameDurationSeconds));
  for (const auto& field : kIntegerFields) {
    const std::string_view name = field.name;
    const bool positive = name == "nHeads" || name == "nMels" || name == "chunkSize" || name == "subsampling" ||
                          name == "hopLength" || name == "winLength" || name == "sampleRate" || name == "maxSpeakers";
    if (positive && this->*field.member < 1) refuse(fmt::format("{} must be at least 1 ({})", name, this->*field.member));
  }
  if (subsampling > contextSize + 1) {
    refuse(fmt::format("subsampling ({}) exceeds contextSize + 1 ({})", subsampling, contextSize + 1));
  }
  if (winLength > INT64_MAX / 2 + 1) refuse("winLength does not fit 64 bits as an FFT size");
  const std::int64_t fftSize = nFFT();
  // The mel front end counts in int.
  for (auto [name, value] : {std::pair{"sampleRate", sampleRate}, std::pair{"nMels", nMels},
                             std::pair{"hopLength", hopLength}, std::pair{"winLength", fftSize}}) {
    if (value > INT_MAX) refuse(fmt::format("{} is too large for the mel front end ({})", name, value));
  }

  const std::int64_t head = headDim();
  checkArray({encNLayers, 1, nHeads, head, head}, "encRetKv (encNLayers x nHeads x headDim x headDim)");
  checkArray({encNLayers, 1}, "encRetScale (encNLayers)");
  checkArray({encNLayers, 1, convKernelSize, nUnits}, "encConvCache (encNLayers x convKernelSize x nUnits)");
  checkArray({1, nUnits, times(2, convDelay, "2 x convDelay")}, "cnnWindow (nUnits x 2 x convDelay)");
  checkArray({decNLayers, maxNspks, nHeads, head, head},
             "decRetKv (decNLayers x maxNspks x nHeads x headDim x headDim)");
  checkArray({decNLayers, 1}, "decRetScale (decNLayers)");
  checkArray({1, chunkSize, maxSpeakers}, "probs (chunkSize x maxSpeakers)");

  const char* frames = "melFrames (chunkSize, subsampling, contextSize)";
  const std::int64_t mel = plus(plus(times(chunkSize - 1, subsampling, frames), times(2, contextSize, frames), frames),
                                1, frames);
  checkArray({1, mel, nMels}, "features (melFrames x nMels)");

  const char* queue = "chunk samples (subsampling x chunkSize x hopLength)";
  const std::int64_t chunkMel = times(subsampling, chunkSize, queue);
  const std::int64_t chunkSamples = times(chunkMel, hopLength, queue);
  times(plus(plus(chunkSamples, fftSize, queue), fftSize, queue), 2, queue);
  const char* features = "feature queue (chunkMel + context frames) x nMels";
  times(times(plus(plus(chunkMel, times(2, contextSize, features), features), 2, features), nMels, features), 2,
        features);
  const char* flush = "flush samples (hopLength x (contextSize + convDelay x subsampling))";
  plus(times(hopLength, plus(contextSize, times(convDelay, subsampling, flush), flush), flush), fftSize / 2, flush);
  plus(chunkSize, convDelay, "decoder mask (chunkSize + convDelay)");
}

}  // namespace tesselaudio
