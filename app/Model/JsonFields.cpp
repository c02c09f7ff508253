#include "app/Model/JsonFields.h"

#include <charconv>
#include <optional>

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

QUuid readUuid(const Json& value, const char* name) {
  if (!value.is_string()) throw platform::JsonCodingError::typeMismatch(name, "a string");
  const auto& text = value.get_ref<const std::string&>();
  if (!isCanonicalUuidText(text)) throw platform::JsonCodingError::invalidValue(name, "not a UUID");
  return QUuid::fromString(QAnyStringView(text.data(), static_cast<qsizetype>(text.size())));
}

std::map<int, std::string> readSlotNames(const Json& value, const char* name) {
  if (!value.is_object()) throw platform::JsonCodingError::typeMismatch(name, "an object");
  std::map<int, std::string> names;
  for (const auto& [key, element] : value.items()) {
    std::optional<int> slot = parseSlot(key);
    if (!slot) throw platform::JsonCodingError::invalidValue(name, "slot '" + key + "' is not an integer");
    names[*slot] = readString(element, name);
  }
  return names;
}

std::string uuidText(const QUuid& id) {
  return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

}  // namespace veltovoice::detail
