#include "platform/lm/GeneratedContent.h"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/lm/GenerationError.h"

namespace platform {
namespace {

using nlohmann::json;

std::optional<std::int64_t> integerOf(const json& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // 2^63 itself is out of range; every double below it converts exactly.
    if (std::isfinite(number) && number == std::trunc(number) && number >= -9223372036854775808.0 &&
        number < 9223372036854775808.0) {
      return static_cast<std::int64_t>(number);
    }
  }
  return std::nullopt;
}

[[noreturn]] void throwWrongType(std::string_view property, const char* expected) {
  throw GenerationError::decodingFailure("property \"" + std::string(property) + "\" is not " +
                                         expected);
}

template <typename T>
T read(const json& value, std::string_view property);

template <>
std::int64_t read<std::int64_t>(const json& value, std::string_view property) {
  auto integer = integerOf(value);
  if (!integer) throwWrongType(property, "an integer");
  return *integer;
}

template <>
std::string read<std::string>(const json& value, std::string_view property) {
  if (!value.is_string()) throwWrongType(property, "a string");
  return value.get<std::string>();
}

template <>
std::vector<std::string> read<std::vector<std::string>>(const json& value,
                                                        std::string_view property) {
  if (!value.is_array()) throwWrongType(property, "an array of strings");
  std::vector<std::string> list;
  for (const auto& element : value) {
    if (!element.is_string()) throwWrongType(property, "an array of strings");
    list.push_back(element.get<std::string>());
  }
  return list;
}

template <>
std::vector<std::int64_t> read<std::vector<std::int64_t>>(const json& value,
                                                          std::string_view property) {
  if (!value.is_array()) throwWrongType(property, "an array of integers");
  std::vector<std::int64_t> list;
  for (const auto& element : value) {
    auto integer = integerOf(element);
    if (!integer) throwWrongType(property, "an array of integers");
    list.push_back(*integer);
  }
  return list;
}

template <>
std::vector<GeneratedContent> read<std::vector<GeneratedContent>>(const json& value,
                                                                  std::string_view property) {
  if (!value.is_array()) throwWrongType(property, "an array");
  std::vector<GeneratedContent> list;
  for (const auto& element : value) list.emplace_back(element);
  return list;
}

}  // namespace

GeneratedContent::GeneratedContent(nlohmann::json value)
    : value_(std::make_shared<const nlohmann::json>(std::move(value))) {}

template <typename T>
T GeneratedContent::value(std::string_view property) const {
  if (!value_->is_object()) {
    throw GenerationError::decodingFailure("property \"" + std::string(property) +
                                           "\" is missing: the content is no object");
  }
  auto found = value_->find(property);
  if (found == value_->end()) {
    throw GenerationError::decodingFailure("property \"" + std::string(property) + "\" is missing");
  }
  return read<T>(*found, property);
}

std::string GeneratedContent::jsonString() const { return value_->dump(); }

template std::int64_t GeneratedContent::value<std::int64_t>(std::string_view) const;
template std::string GeneratedContent::value<std::string>(std::string_view) const;
template std::vector<std::string> GeneratedContent::value<std::vector<std::string>>(
    std::string_view) const;
template std::vector<std::int64_t> GeneratedContent::value<std::vector<std::int64_t>>(
    std::string_view) const;
template std::vector<GeneratedContent> GeneratedContent::value<std::vector<GeneratedContent>>(
    std::string_view) const;

}  // namespace platform
