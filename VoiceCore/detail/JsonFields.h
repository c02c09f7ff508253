#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/sys/JsonFields.h"
#include "platform/sys/Uuid.h"

// The store's member readers, over the shared ones of platform/sys/JsonFields.h: these take the
// object and the member's name. They throw platform::JsonCodingError. Only the records' sources
// include this.
namespace voicecore::detail {

// Moves the text out of `object`, which the record being decoded owns.
std::string takeString(nlohmann::json& object, const char* name);
double readDouble(const nlohmann::json& object, const char* name);
// None when the member is missing or null.
std::optional<double> readOptionalDouble(const nlohmann::json& object, const char* name);
// The 8-4-4-4-12 form in either case.
platform::Uuid readUuid(nlohmann::json& object, const char* name);

}  // namespace voicecore::detail
