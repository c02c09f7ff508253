#include "VoiceCore/detail/JsonFields.h"

#include <utility>

#include "platform/sys/JsonFields.h"

namespace voicecore::detail {

using platform::JsonCodingError;

std::string takeString(nlohmann::json& object, const char* name) {
  auto& value = platform::json::requiredMember(object, name);
  if (!value.is_string()) throw JsonCodingError::typeMismatch(name, "a string");
  return std::move(value.get_ref<std::string&>());
}

double readDouble(const nlohmann::json& object, const char* name) {
  return platform::json::readDouble(platform::json::requiredMember(object, name), name);
}

std::optional<double> readOptionalDouble(const nlohmann::json& object, const char* name) {
  return platform::json::readOptional<double>(object, name, platform::json::readDouble);
}

platform::Uuid readUuid(nlohmann::json& object, const char* name) {
  const auto& value = platform::json::requiredMember(object, name);
  if (!value.is_string()) throw JsonCodingError::typeMismatch(name, "a string");
  const auto id = platform::Uuid::fromString(value.get_ref<const std::string&>());
  if (!id) throw JsonCodingError::invalidValue(name, "not a UUID");
  return *id;
}

}  // namespace voicecore::detail
