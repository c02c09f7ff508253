#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMetadataValues.h"

#include <cmath>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "speech/ASR/Parakeet/ASRError.h"

namespace tesselaudio::NemotronMetadataValues {

namespace {

[[noreturn]] void refuse(const std::string& message) {
  throw ASRError::processingFailed(fmt::format("metadata.json: {}", message));
}

}  // namespace

std::optional<std::int64_t> integralNumber(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 0x1p63) {
      return static_cast<std::int64_t>(number);
    }
  }
  return std::nullopt;
}

void requirePositive(const std::string& key, std::int64_t value) {
  if (value < 1) refuse(fmt::format("\"{}\" must be 1 or more, got {}", key, value));
}

void requireAtMostLargestSize(const std::string& key, std::int64_t value) {
  if (value > kLargestSize) refuse(fmt::format("\"{}\" is too large: {}", key, value));
}

void requireSize(const std::string& key, std::int64_t value) {
  requirePositive(key, value);
  requireAtMostLargestSize(key, value);
}

void requireShape(const std::string& key, const std::vector<std::int64_t>& shape) {
  if (shape.empty()) refuse(fmt::format("\"{}\" is empty", key));
  for (const std::int64_t dimension : shape) {
    if (dimension < 1) refuse(fmt::format("\"{}\" has a dimension below 1: {}", key, dimension));
    requireAtMostLargestSize(key, dimension);
  }
}

void requirePreEncodeCache(std::int64_t preEncodeCache, std::int64_t totalMelFrames) {
  if (preEncodeCache < 0 || preEncodeCache > totalMelFrames) {
    refuse(fmt::format("\"pre_encode_cache\" must lie between 0 and \"total_mel_frames\" ({}), got {}",
                       totalMelFrames, preEncodeCache));
  }
}

void requireTokenId(const std::string& what, std::int64_t value) {
  if (value < 0 || value > std::numeric_limits<std::int32_t>::max()) {
    refuse(fmt::format("{} must be a 32-bit token id, got {}", what, value));
  }
}

void requireInt32(const std::string& what, std::int64_t value) {
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
    refuse(fmt::format("{} must fit in 32 bits, got {}", what, value));
  }
}

}  // namespace tesselaudio::NemotronMetadataValues
