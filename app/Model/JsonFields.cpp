#include "app/Model/JsonFields.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace veltovoice::detail {
namespace {

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The 8-4-4-4-12 hexadecimal form only; QUuid alone would also take braces.
bool isCanonicalUuidText(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !isHex(text[i])) return false;
  }
  return true;
}

// Decimal slot keys: an optional sign and digits that fit an int.
std::optional<int> parseSlot(const std::string& key) {
  const char* begin = key.data();
  const char* end = key.data() + key.size();
  if (begin != end && *begin == '+') ++begin;
  if (begin == end) return std::nullopt;
  int value = 0;
  auto [stop, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

void requireObject(const Json& json, const char* record) {
  if (!json.is_object()) throw RecordCodingError::malformed(std::string(record) + " is not an object");
}

const Json* findMember(const Json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

const Json& requiredMember(const Json& object, const char* name) {
  const Json* member = findMember(object, name);
  if (!member) throw RecordCodingError::missingMember(name);
  return *member;
}

QUuid readUuid(const Json& value, const char* name) {
  if (!value.is_string()) throw RecordCodingError::wrongType(name, "a string");
  const auto& text = value.get_ref<const std::string&>();
  if (!isCanonicalUuidText(text)) throw RecordCodingError::invalidValue(name, "not a UUID");
  return QUuid::fromString(QAnyStringView(text.data(), static_cast<qsizetype>(text.size())));
}

std::string readString(const Json& value, const char* name) {
  if (!value.is_string()) throw RecordCodingError::wrongType(name, "a string");
  return value.get<std::string>();
}

double readDouble(const Json& value, const char* name) {
  if (!value.is_number()) throw RecordCodingError::wrongType(name, "a number");
  return value.get<double>();
}

int readInt(const Json& value, const char* name) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      const auto n = value.get<std::uint64_t>();
      if (n > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
        throw RecordCodingError::invalidValue(name, "out of range");
      }
      return static_cast<int>(n);
    }
    const auto n = value.get<std::int64_t>();
    if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max()) {
      throw RecordCodingError::invalidValue(name, "out of range");
    }
    return static_cast<int>(n);
  }
  if (value.is_number_float()) {
    // 2.0 is still the integer 2; 2.5 is not an integer.
    const double d = value.get<double>();
    if (std::trunc(d) == d && d >= std::numeric_limits<int>::min() &&
        d <= std::numeric_limits<int>::max()) {
      return static_cast<int>(d);
    }
    throw RecordCodingError::invalidValue(name, "not a whole number");
  }
  throw RecordCodingError::wrongType(name, "an integer");
}

bool readBool(const Json& value, const char* name) {
  if (!value.is_boolean()) throw RecordCodingError::wrongType(name, "a boolean");
  return value.get<bool>();
}

std::vector<std::string> readStrings(const Json& value, const char* name) {
  if (!value.is_array()) throw RecordCodingError::wrongType(name, "an array");
  std::vector<std::string> strings;
  strings.reserve(value.size());
  for (const Json& element : value) strings.push_back(readString(element, name));
  return strings;
}

std::map<int, std::string> readSlotNames(const Json& value, const char* name) {
  if (!value.is_object()) throw RecordCodingError::wrongType(name, "an object");
  std::map<int, std::string> names;
  for (const auto& [key, element] : value.items()) {
    std::optional<int> slot = parseSlot(key);
    if (!slot) throw RecordCodingError::invalidValue(name, "slot '" + key + "' is not an integer");
    names[*slot] = readString(element, name);
  }
  return names;
}

std::string uuidText(const QUuid& id) {
  return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

Json writeDouble(double value, const char* name) {
  if (!std::isfinite(value)) throw RecordCodingError::notFinite(name);
  return value;
}

}  // namespace veltovoice::detail
