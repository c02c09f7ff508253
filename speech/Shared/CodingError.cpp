#include "speech/Shared/CodingError.h"

#include <utility>

namespace tesselaudio {

CodingError::CodingError(Case errorCase, std::string description)
    : platform::Error("CodingError", kDomain, static_cast<int>(errorCase), std::move(description)) {}

CodingError CodingError::keyNotFound(const std::string& key) {
  return CodingError(Case::keyNotFound, "No value for key \"" + key + "\"");
}

CodingError CodingError::typeMismatch(const std::string& key, const std::string& expected) {
  return CodingError(Case::typeMismatch, "Expected " + expected + " for key \"" + key + "\"");
}

CodingError CodingError::dataCorrupted(const std::string& detail) {
  return CodingError(Case::dataCorrupted, "The data is not valid: " + detail);
}

CodingError CodingError::valueNotFinite(const std::string& key) {
  return CodingError(Case::valueNotFinite,
                     "Cannot write a number that is not finite for key \"" + key + "\"");
}

}  // namespace tesselaudio
