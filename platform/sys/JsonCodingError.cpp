#include "platform/sys/JsonCodingError.h"

#include <utility>

namespace platform {

JsonCodingError::JsonCodingError(Case errorCase, std::string description)
    : Error("JsonCodingError", kDomain, static_cast<int>(errorCase), std::move(description)) {}

JsonCodingError JsonCodingError::keyNotFound(const std::string& key) {
  return JsonCodingError(Case::keyNotFound, "No value for key \"" + key + "\"");
}

JsonCodingError JsonCodingError::typeMismatch(const std::string& key, const std::string& expected) {
  return JsonCodingError(Case::typeMismatch, "Expected " + expected + " for key \"" + key + "\"");
}

JsonCodingError JsonCodingError::dataCorrupted(const std::string& detail) {
  return JsonCodingError(Case::dataCorrupted, "The data is not valid: " + detail);
}

JsonCodingError JsonCodingError::valueNotFinite(const std::string& key) {
  return JsonCodingError(Case::valueNotFinite,
                         "Cannot write a number that is not finite for key \"" + key + "\"");
}

JsonCodingError JsonCodingError::invalidValue(const std::string& key, const std::string& detail) {
  return JsonCodingError(Case::invalidValue, "Invalid value for key \"" + key + "\": " + detail);
}

}  // namespace platform
