#include "VoiceCore/detail/JsonFields.h"

#include <cmath>
#include <utility>

#include "platform/sys/JsonCodingError.h"

namespace voicecore::detail {

using platform::JsonCodingError;

void requireObject(const nlohmann::json& json, const char* record) {
  if (!json.is_object()) throw JsonCodingError::dataCorrupted(std::string(record) + " is not an object");
}

const nlohmann::json& requiredMember(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || found->is_null()) throw JsonCodingError::keyNotFound(name);
  return *found;
}

nlohmann::json& requiredMember(nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || found->is_null()) throw JsonCodingError::keyNotFound(name);
  return *found;
}

std::string takeString(nlohmann::json& object, const char* name) {
  auto& value = requiredMember(object, name);
  if (!value.is_string()) throw JsonCodingError::typeMismatch(name, "a string");
  return std::move(value.get_ref<std::string&>());
}

double readDouble(const nlohmann::json& object, const char* name) {
  const auto& value = requiredMember(object, name);
  if (!value.is_number()) throw JsonCodingError::typeMismatch(name, "a number");
  return value.get<double>();
}

std::optional<double> readOptionalDouble(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || found->is_null()) return std::nullopt;
  return readDouble(object, name);
}

platform::Uuid readUuid(nlohmann::json& object, const char* name) {
  const auto& value = requiredMember(object, name);
  if (!value.is_string()) throw JsonCodingError::typeMismatch(name, "a string");
  const auto id = platform::Uuid::fromString(value.get_ref<const std::string&>());
  if (!id) throw JsonCodingError::dataCorrupted(std::string("\"") + name + "\" is not a UUID");
  return *id;
}

double finite(double value, const char* name) {
  if (!std::isfinite(value)) throw JsonCodingError::valueNotFinite(name);
  return value;
}

}  // namespace voicecore::detail
