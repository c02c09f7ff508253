#include "app/Model/RecordCodingError.h"

#include <utility>

#include <fmt/format.h>

namespace veltovoice {

RecordCodingError::RecordCodingError(Code code, std::string description)
    : platform::Error("RecordCodingError", "VeltoVoice.Records", code, std::move(description)) {}

RecordCodingError RecordCodingError::malformed(const std::string& detail) {
  return RecordCodingError(kMalformed, fmt::format("the data is not a valid record: {}", detail));
}

RecordCodingError RecordCodingError::missingMember(const std::string& member) {
  return RecordCodingError(kMissingMember, fmt::format("required member '{}' is missing", member));
}

RecordCodingError RecordCodingError::wrongType(const std::string& member,
                                               const std::string& expected) {
  return RecordCodingError(kWrongType,
                           fmt::format("member '{}' is not {}", member, expected));
}

RecordCodingError RecordCodingError::invalidValue(const std::string& member,
                                                  const std::string& detail) {
  return RecordCodingError(kInvalidValue,
                           fmt::format("member '{}' has an invalid value: {}", member, detail));
}

RecordCodingError RecordCodingError::notFinite(const std::string& member) {
  return RecordCodingError(kNotFinite,
                           fmt::format("member '{}' is not a finite number", member));
}

}  // namespace veltovoice
