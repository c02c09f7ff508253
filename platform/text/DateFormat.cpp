#include "platform/text/DateFormat.h"

#include <memory>

#include <unicode/datefmt.h>
#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

namespace platform::text {
namespace {

icu::Locale localeNamed(std::string_view name) {
  if (name.empty()) return icu::Locale::getDefault();
  return icu::Locale(std::string(name).c_str());
}

std::string formatWithPattern(double unixSeconds, const icu::UnicodeString& pattern,
                              const icu::Locale& locale) {
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(pattern, locale, status);
  if (U_FAILURE(status)) return {};
  icu::UnicodeString out;
  format.format(static_cast<UDate>(unixSeconds * 1000.0), out);
  std::string result;
  out.toUTF8String(result);
  return result;
}

icu::DateFormat::EStyle icuStyle(DateStyle style) {
  switch (style) {
    case DateStyle::omitted: return icu::DateFormat::kNone;
    case DateStyle::numeric: return icu::DateFormat::kShort;
    case DateStyle::abbreviated: return icu::DateFormat::kMedium;
    case DateStyle::long_: return icu::DateFormat::kLong;
    case DateStyle::complete: return icu::DateFormat::kFull;
  }
  return icu::DateFormat::kNone;
}

icu::DateFormat::EStyle icuStyle(TimeStyle style) {
  switch (style) {
    case TimeStyle::omitted: return icu::DateFormat::kNone;
    case TimeStyle::shortened: return icu::DateFormat::kShort;
    case TimeStyle::standard: return icu::DateFormat::kMedium;
    case TimeStyle::complete: return icu::DateFormat::kFull;
  }
  return icu::DateFormat::kNone;
}

}  // namespace

std::string formatDateStyle(double unixSeconds, DateStyle date, TimeStyle time,
                            std::string_view locale) {
  if (date == DateStyle::omitted && time == TimeStyle::omitted) return {};
  std::unique_ptr<icu::DateFormat> format(
      icu::DateFormat::createDateTimeInstance(icuStyle(date), icuStyle(time), localeNamed(locale)));
  if (!format) return {};
  icu::UnicodeString out;
  format->format(static_cast<UDate>(unixSeconds * 1000.0), out);
  std::string result;
  out.toUTF8String(result);
  return result;
}

std::string formatDate(double unixSeconds, std::string_view pattern, std::string_view locale) {
  return formatWithPattern(unixSeconds, icu::UnicodeString::fromUTF8(pattern), localeNamed(locale));
}

std::string formatDateSkeleton(double unixSeconds, std::string_view skeleton,
                               std::string_view locale) {
  const icu::Locale loc = localeNamed(locale);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::DateTimePatternGenerator> generator(
      icu::DateTimePatternGenerator::createInstance(loc, status));
  if (U_FAILURE(status) || !generator) return {};
  icu::UnicodeString pattern =
      generator->getBestPattern(icu::UnicodeString::fromUTF8(skeleton), status);
  if (U_FAILURE(status)) return {};
  return formatWithPattern(unixSeconds, pattern, loc);
}

struct DateParser::Impl {
  std::unique_ptr<icu::SimpleDateFormat> format;
};

DateParser::DateParser(std::string_view pattern, std::string_view locale) : impl_(new Impl) {
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                        localeNamed(locale), status);
  if (U_FAILURE(status)) return;
  format->setLenient(false);
  impl_->format = std::move(format);
}

DateParser::~DateParser() = default;

std::optional<double> DateParser::parse(std::string_view text) {
  if (!impl_->format) return std::nullopt;
  const icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
  icu::ParsePosition position(0);
  const UDate date = impl_->format->parse(input, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
  return date / 1000.0;
}

std::optional<double> parseDate(std::string_view text, std::string_view pattern,
                                std::string_view locale) {
  return DateParser(pattern, locale).parse(text);
}

}  // namespace platform::text
