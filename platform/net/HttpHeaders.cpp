#include "platform/net/HttpHeaders.h"

#include <algorithm>

namespace platform {

namespace {

bool sameName(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

void HttpHeaders::add(std::string name, std::string value) {
  fields_.emplace_back(std::move(name), std::move(value));
}

void HttpHeaders::set(std::string name, std::string value) {
  remove(name);
  add(std::move(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
  std::erase_if(fields_, [&](const auto& field) { return sameName(field.first, name); });
}

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
  std::optional<std::string> joined;
  for (const auto& [fieldName, fieldValue] : fields_) {
    if (!sameName(fieldName, name)) continue;
    if (joined) {
      joined->append(", ").append(fieldValue);
    } else {
      joined = fieldValue;
    }
  }
  return joined;
}

bool HttpHeaders::contains(std::string_view name) const {
  return std::any_of(fields_.begin(), fields_.end(),
                     [&](const auto& field) { return sameName(field.first, name); });
}

}  // namespace platform
