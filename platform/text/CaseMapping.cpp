#include "platform/text/CaseMapping.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace platform::text {
namespace {

icu::Locale localeNamed(const std::string& name) { return name.empty() ? icu::Locale::getRoot() : icu::Locale(name.c_str()); }

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace

std::string toLowerCase(std::string_view utf8, const std::string& locale) {
  auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  return toUtf8(text.toLower(localeNamed(locale)));
}

std::string toUpperCase(std::string_view utf8, const std::string& locale) {
  auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  return toUtf8(text.toUpper(localeNamed(locale)));
}

std::string lowercased(std::string_view utf8) { return toLowerCase(utf8); }

std::string uppercased(std::string_view utf8) { return toUpperCase(utf8); }

}  // namespace platform::text
