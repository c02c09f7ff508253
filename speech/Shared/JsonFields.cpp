#include "speech/Shared/JsonFields.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tesselaudio::detail {

void requireObject(const Json& json, const char* record) {
  if (!json.is_object()) throw CodingError::dataCorrupted(std::string(record) + " is not an object");
}

const Json* findKey(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const Json& requiredKey(const Json& object, const char* key) {
  if (const Json* value = findKey(object, key)) return *value;
  throw CodingError::keyNotFound(key);
}

std::string readString(const Json& value, const char* key) {
  if (!value.is_string()) throw CodingError::typeMismatch(key, "a string");
  return value.get<std::string>();
}

double readDouble(const Json& value, const char* key) {
  if (!value.is_number()) throw CodingError::typeMismatch(key, "a number");
  return value.get<double>();
}

float readFloat(const Json& value, const char* key) {
  const double number = readDouble(value, key);
  if (std::abs(number) > std::numeric_limits<float>::max()) {
    throw CodingError::typeMismatch(key, "a number that fits a 32-bit float");
  }
  return static_cast<float>(number);
}

std::int64_t readInt64(const Json& value, const char* key) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw CodingError::typeMismatch(key, "a 64-bit integer");
    }
    return value.get<std::int64_t>();
  }
  // 3.0 is as good as 3; 3.5 is not an integer.
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::trunc(number) == number && std::abs(number) < 9.2e18) {
      return static_cast<std::int64_t>(number);
    }
  }
  throw CodingError::typeMismatch(key, "an integer");
}

bool readBool(const Json& value, const char* key) {
  if (!value.is_boolean()) throw CodingError::typeMismatch(key, "a Boolean");
  return value.get<bool>();
}

std::vector<std::string> readStrings(const Json& value, const char* key) {
  if (!value.is_array()) throw CodingError::typeMismatch(key, "an array of strings");
  std::vector<std::string> strings;
  strings.reserve(value.size());
  for (const Json& element : value) strings.push_back(readString(element, key));
  return strings;
}

Json writeDouble(double value, const char* key) {
  if (!std::isfinite(value)) throw CodingError::valueNotFinite(key);
  return value;
}

Json writeFloat(float value, const char* key) {
  if (!std::isfinite(value)) throw CodingError::valueNotFinite(key);
  // Through the float's shortest decimal text, so that 0.1f is written as 0.1, not as the
  // double 0.10000000149011612; from_chars ignores the process locale.
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value);
  double widened = static_cast<double>(value);
  std::from_chars(text, written.ptr, widened);
  return widened;
}

}  // namespace tesselaudio::detail
