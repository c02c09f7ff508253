#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace tesselaudio {

// Reading and checking the values of a Nemotron model folder's "metadata.json". The require...
// functions throw ASRError(processingFailed) "metadata.json: …" naming the key and the value.
namespace NemotronMetadataValues {

// Far beyond any real model, and keeps products of sizes (arrays, a chunk's samples) in range.
inline constexpr std::int64_t kLargestSize = std::int64_t{1} << 24;

// A JSON number whose value is integral (5 or 5.0) and fits in 64 bits; nothing for anything else.
std::optional<std::int64_t> integralNumber(const nlohmann::json& value);

void requirePositive(const std::string& key, std::int64_t value);
void requireAtMostLargestSize(const std::string& key, std::int64_t value);
// 1 to kLargestSize.
void requireSize(const std::string& key, std::int64_t value);
// Not empty, every dimension a size.
void requireShape(const std::string& key, const std::vector<std::int64_t>& shape);
// 0 to totalMelFrames.
void requirePreEncodeCache(std::int64_t preEncodeCache, std::int64_t totalMelFrames);
// A token id: 0 to the int32 maximum.
void requireTokenId(const std::string& what, std::int64_t value);
// Within int32.
void requireInt32(const std::string& what, std::int64_t value);

}  // namespace NemotronMetadataValues
}  // namespace tesselaudio
