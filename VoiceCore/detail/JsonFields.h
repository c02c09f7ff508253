#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/sys/Uuid.h"

// Member readers and writers shared by the store's records. Readers throw
// platform::JsonCodingError; a missing member and a null one are the same to them. Only the
// records' sources include this.
namespace voicecore::detail {

// Throws dataCorrupted when `json` is not an object.
void requireObject(const nlohmann::json& json, const char* record);

// The member `name`; keyNotFound when it is missing or null.
const nlohmann::json& requiredMember(const nlohmann::json& object, const char* name);
nlohmann::json& requiredMember(nlohmann::json& object, const char* name);

// Moves the text out of `object`, which the record being decoded owns.
std::string takeString(nlohmann::json& object, const char* name);
double readDouble(const nlohmann::json& object, const char* name);
// None when the member is missing or null.
std::optional<double> readOptionalDouble(const nlohmann::json& object, const char* name);
// The 8-4-4-4-12 form in either case.
platform::Uuid readUuid(nlohmann::json& object, const char* name);

// Throws valueNotFinite for not-a-number and infinities, which JSON cannot hold.
double finite(double value, const char* name);

}  // namespace voicecore::detail
