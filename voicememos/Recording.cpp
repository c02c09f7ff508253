#include "voicememos/Recording.h"

#include <charconv>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/text/DoubleText.h"
#include "platform/text/Whitespace.h"
#include "voicememos/detail/JsonInteger.h"

namespace voicememos {
namespace {

// A decimal signed 64-bit integer filling the whole text, with an optional "+" or "-".
std::optional<std::int64_t> parseInt64(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  // from_chars takes a leading minus itself; either sign must be followed by a digit.
  const bool minus = !plus && !text.empty() && text.front() == '-';
  const std::string_view digits = minus ? text.substr(1) : text;
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
  std::int64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Recording::ID> Recording::ID::fromText(std::string_view text) {
  const auto value = parseInt64(platform::text::trimBlanks(text));
  if (!value) return std::nullopt;
  return ID{*value};
}

std::string Recording::ID::description() const { return std::to_string(rawValue); }

std::string Recording::FetchRequest::Cursor::description() const {
  return platform::text::shortestDouble(date) + ":" + id.description();
}

std::optional<Recording::FetchRequest::Cursor> Recording::FetchRequest::Cursor::fromText(
    std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view datePart = text.substr(0, colon);
  const std::string_view idPart = text.substr(colon + 1);
  if (idPart.find(':') != std::string_view::npos) return std::nullopt;
  const auto date = platform::text::parseDouble(datePart);
  const auto id = parseInt64(idPart);
  if (!date || !id) return std::nullopt;
  return Cursor{*date, ID{*id}};
}

void to_json(nlohmann::json& json, const Recording::ID& id) { json = id.rawValue; }

void from_json(const nlohmann::json& json, Recording::ID& id) {
  id.rawValue = detail::decodeInt64(json);
}

}  // namespace voicememos
