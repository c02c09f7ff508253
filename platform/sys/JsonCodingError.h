#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// A record that cannot be read from or written as JSON. code() tells the case apart; the description names the key involved. Values.
class JsonCodingError : public Error {
 public:
  static constexpr const char* kDomain = "JsonCodingError";

  enum class Case {
    keyNotFound,     // a required key is missing or null
    typeMismatch,    // a value has the wrong JSON type or does not fit the field
    dataCorrupted,   // not JSON, or not an object where one is needed
    valueNotFinite,  // a number to be written is not finite, which JSON cannot hold
    invalidValue,    // the type is right, the value is not (UUID text, a whole number, a range)
  };

  static JsonCodingError keyNotFound(const std::string& key);
  static JsonCodingError typeMismatch(const std::string& key, const std::string& expected);
  static JsonCodingError dataCorrupted(const std::string& detail);
  static JsonCodingError valueNotFinite(const std::string& key);
  static JsonCodingError invalidValue(const std::string& key, const std::string& detail);

  Case errorCase() const { return static_cast<Case>(code()); }

 private:
  JsonCodingError(Case errorCase, std::string description);
};

}  // namespace platform
