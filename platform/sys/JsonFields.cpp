#include "platform/sys/JsonFields.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace platform::json {

void requireObject(const Json& json, const char* record) {
  if (!json.is_object()) throw JsonCodingError::dataCorrupted(std::string(record) + " is not an object");
}

const Json* findMember(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const Json& requiredMember(const Json& object, const char* name) {
  if (const Json* member = findMember(object, name)) return *member;
  throw JsonCodingError::keyNotFound(name);
}

Json& requiredMember(Json& object, const char* name) {
  return const_cast<Json&>(requiredMember(std::as_const(object), name));
}

std::string readString(const Json& value, const char* name) {
  if (!value.is_string()) throw JsonCodingError::typeMismatch(name, "a string");
  return value.get<std::string>();
}

double readDouble(const Json& value, const char* name) {
  if (!value.is_number()) throw JsonCodingError::typeMismatch(name, "a number");
  return value.get<double>();
}

float readFloat(const Json& value, const char* name) {
  const double number = readDouble(value, name);
  if (std::abs(number) > std::numeric_limits<float>::max()) {
    throw JsonCodingError::typeMismatch(name, "a number that fits a 32-bit float");
  }
  return static_cast<float>(number);
}

std::int64_t readInt64(const Json& value, const char* name) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw JsonCodingError::invalidValue(name, "out of range");
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::trunc(number) != number) throw JsonCodingError::invalidValue(name, "not a whole number");
    // 2^63 itself does not fit; the doubles below it all do.
    if (!(std::abs(number) < 9223372036854775808.0)) throw JsonCodingError::invalidValue(name, "out of range");
    return static_cast<std::int64_t>(number);
  }
  throw JsonCodingError::typeMismatch(name, "an integer");
}

int readInt(const Json& value, const char* name) {
  const std::int64_t number = readInt64(value, name);
  if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()) {
    throw JsonCodingError::invalidValue(name, "out of range");
  }
  return static_cast<int>(number);
}

bool readBool(const Json& value, const char* name) {
  if (!value.is_boolean()) throw JsonCodingError::typeMismatch(name, "a Boolean");
  return value.get<bool>();
}

std::vector<std::string> readStrings(const Json& value, const char* name) {
  if (!value.is_array()) throw JsonCodingError::typeMismatch(name, "an array of strings");
  std::vector<std::string> strings;
  strings.reserve(value.size());
  for (const Json& element : value) strings.push_back(readString(element, name));
  return strings;
}

namespace {

template <class Number, class Read>
std::vector<Number> readNumbers(const Json& value, const char* name, Read read) {
  if (!value.is_array()) throw JsonCodingError::typeMismatch(name, "an array of numbers");
  std::vector<Number> numbers;
  numbers.reserve(value.size());
  for (const Json& element : value) numbers.push_back(read(element, name));
  return numbers;
}

template <class Number, class Write>
Json writeNumbers(std::span<const Number> values, const char* name, Write write) {
  Json array = Json::array();
  for (Number value : values) array.push_back(write(value, name));
  return array;
}

}  // namespace

std::vector<float> readFloats(const Json& value, const char* name) {
  return readNumbers<float>(value, name, readFloat);
}

std::vector<double> readDoubles(const Json& value, const char* name) {
  return readNumbers<double>(value, name, readDouble);
}

Json writeFloats(std::span<const float> values, const char* name) {
  return writeNumbers(values, name, writeFloat);
}

Json writeDoubles(std::span<const double> values, const char* name) {
  return writeNumbers(values, name, writeDouble);
}

Json writeDouble(double value, const char* name) {
  if (!std::isfinite(value)) throw JsonCodingError::valueNotFinite(name);
  return value;
}

Json writeFloat(float value, const char* name) {
  if (!std::isfinite(value)) throw JsonCodingError::valueNotFinite(name);
  // Through the float's shortest decimal text, so that 0.1f is written as 0.1, not as the
  // double 0.10000000149011612; from_chars ignores the process locale.
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value);
  double widened = static_cast<double>(value);
  std::from_chars(text, written.ptr, widened);
  return widened;
}

}  // namespace platform::json
