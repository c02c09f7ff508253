#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace veltovoice {

// A conversation record that cannot be read from or written as JSON. Domain "VeltoVoice.Records";
// the code tells the case apart. Values.
class RecordCodingError : public platform::Error {
 public:
  enum Code {
    kMalformed = 1,      // not JSON at all, or not an object where one is needed
    kMissingMember = 2,  // a required member is missing or null
    kWrongType = 3,      // a member has the wrong JSON type
    kInvalidValue = 4,   // the type is right, the value is not (UUID text, slot key)
    kNotFinite = 5,      // a double to be written is not a finite number
  };

  static RecordCodingError malformed(const std::string& detail);
  static RecordCodingError missingMember(const std::string& member);
  static RecordCodingError wrongType(const std::string& member, const std::string& expected);
  static RecordCodingError invalidValue(const std::string& member, const std::string& detail);
  static RecordCodingError notFinite(const std::string& member);

 private:
  RecordCodingError(Code code, std::string description);
};

}  // namespace veltovoice
