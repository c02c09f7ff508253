#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// A record of the speech library that cannot be read from or written as JSON. code() tells the
// case apart; the description names the key involved. Values.
class CodingError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.CodingError";

  enum class Case {
    keyNotFound,     // a required key is missing or null
    typeMismatch,    // a value has the wrong JSON type or does not fit the field
    dataCorrupted,   // not an object where one is needed
    valueNotFinite,  // a number to be written is not finite, which JSON cannot hold
  };

  static CodingError keyNotFound(const std::string& key);
  static CodingError typeMismatch(const std::string& key, const std::string& expected);
  static CodingError dataCorrupted(const std::string& detail);
  static CodingError valueNotFinite(const std::string& key);

  Case errorCase() const { return static_cast<Case>(code()); }

 private:
  CodingError(Case errorCase, std::string description);
};

}  // namespace tesselaudio
