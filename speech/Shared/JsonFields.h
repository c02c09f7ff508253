#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "speech/Shared/CodingError.h"

// Key readers and writers shared by the JSON coding of the library's records. Readers throw
// CodingError; a missing key and a null value are the same to them. Only sources include this.
namespace tesselaudio::detail {

using Json = nlohmann::json;

// Throws dataCorrupted when `json` is not an object.
void requireObject(const Json& json, const char* record);

// The value under `key`, or nullptr when it is missing or null.
const Json* findKey(const Json& object, const char* key);

// The value under `key`. Throws keyNotFound when it is missing or null.
const Json& requiredKey(const Json& object, const char* key);

std::string readString(const Json& value, const char* key);
double readDouble(const Json& value, const char* key);
float readFloat(const Json& value, const char* key);
std::int64_t readInt64(const Json& value, const char* key);
bool readBool(const Json& value, const char* key);
std::vector<std::string> readStrings(const Json& value, const char* key);

// Throws valueNotFinite for not-a-number and infinities.
Json writeDouble(double value, const char* key);
Json writeFloat(float value, const char* key);

template <class T, class Read>
std::optional<T> readOptional(const Json& object, const char* key, Read read) {
  if (const Json* value = findKey(object, key)) return read(*value, key);
  return std::nullopt;
}

template <class Record>
std::vector<Record> readRecords(const Json& value, const char* key) {
  if (!value.is_array()) throw CodingError::typeMismatch(key, "an array");
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

}  // namespace tesselaudio::detail
