#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"

// Member readers and writers for the JSON coding of records. Readers throw JsonCodingError; a
// missing member and a null one are the same to them. Only the records' sources include this.
namespace platform::json {

using Json = nlohmann::json;

// Throws dataCorrupted when `json` is not an object.
void requireObject(const Json& json, const char* record);

// The member named `name`, or nullptr when it is missing or null.
const Json* findMember(const Json& object, const char* name);

// The member named `name`. Throws keyNotFound when it is missing or null.
const Json& requiredMember(const Json& object, const char* name);
Json& requiredMember(Json& object, const char* name);

std::string readString(const Json& value, const char* name);
double readDouble(const Json& value, const char* name);
// typeMismatch beyond the range of a 32-bit float.
float readFloat(const Json& value, const char* name);
// Whole numbers only: 3.0 is as good as 3, 3.5 gives invalidValue, as does a value out of range.
int readInt(const Json& value, const char* name);
std::int64_t readInt64(const Json& value, const char* name);
bool readBool(const Json& value, const char* name);
std::vector<std::string> readStrings(const Json& value, const char* name);
// Arrays of numbers, each element read as readFloat / readDouble reads one.
std::vector<float> readFloats(const Json& value, const char* name);
std::vector<double> readDoubles(const Json& value, const char* name);

// Throw valueNotFinite for not-a-number and infinities, which JSON cannot hold.
Json writeDouble(double value, const char* name);
Json writeFloat(float value, const char* name);
// Arrays of numbers, each element written as writeFloat / writeDouble writes one.
Json writeFloats(std::span<const float> values, const char* name);
Json writeDoubles(std::span<const double> values, const char* name);

template <class T, class Read>
std::optional<T> readOptional(const Json& object, const char* name, Read read) {
  if (const Json* member = findMember(object, name)) return read(*member, name);
  return std::nullopt;
}

template <class Record>
std::vector<Record> readRecords(const Json& value, const char* name) {
  if (!value.is_array()) throw JsonCodingError::typeMismatch(name, "an array");
  std::vector<Record> records;
  records.reserve(value.size());
  for (const Json& element : value) records.push_back(Record::fromJson(element));
  return records;
}

template <class Record>
Json writeRecords(const std::vector<Record>& records) {
  Json array = Json::array();
  for (const Record& record : records) array.push_back(record.toJson());
  return array;
}

}  // namespace platform::json
