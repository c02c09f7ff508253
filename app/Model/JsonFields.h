#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QUuid>
#include <nlohmann/json.hpp>

#include "app/Model/RecordCodingError.h"

// Member readers and writers shared by the conversation records' JSON coding. Readers throw
// RecordCodingError; a missing member and a null one are the same to them. Only the records'
// sources include this.
namespace veltovoice::detail {

using Json = nlohmann::json;

// REQUIRES: nothing. Throws kMalformed when `json` is not an object.
void requireObject(const Json& json, const char* record);

// The member named `name`, or nullptr when it is missing or null.
const Json* findMember(const Json& object, const char* name);

// The member named `name`. Throws kMissingMember when it is missing or null.
const Json& requiredMember(const Json& object, const char* name);

QUuid readUuid(const Json& value, const char* name);
std::string readString(const Json& value, const char* name);
double readDouble(const Json& value, const char* name);
int readInt(const Json& value, const char* name);
bool readBool(const Json& value, const char* name);
std::vector<std::string> readStrings(const Json& value, const char* name);
std::map<int, std::string> readSlotNames(const Json& value, const char* name);

// Upper-case 36-character UUID text.
std::string uuidText(const QUuid& id);

// Throws kNotFinite for not-a-number and infinities, which JSON cannot hold.
Json writeDouble(double value, const char* name);

template <class T, class Read>
std::optional<T> readOptional(const Json& object, const char* name, Read read) {
  if (const Json* member = findMember(object, name)) return read(*member, name);
  return std::nullopt;
}

template <class Record>
std::vector<Record> readRecords(const Json& value, const char* name) {
  if (!value.is_array()) throw RecordCodingError::wrongType(name, "an array");
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

}  // namespace veltovoice::detail
