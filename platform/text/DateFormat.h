#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Locale-aware date formatting and parsing (ICU). Times are seconds since 1970-01-01 UTC; the time
// zone is the process's (TZ). Locale names are ICU/POSIX names such as "ja_JP"; an empty name
// means ICU's default locale. Safe from any thread.
namespace platform::text {

// `unixSeconds` written with the date pattern `pattern` ("yyyy-MM-dd HHmm") in `locale`.
std::string formatDate(double unixSeconds, std::string_view pattern, std::string_view locale);

// `unixSeconds` written with the locale's best pattern for the field skeleton `skeleton`
// ("yMd" for the numeric date, "yMdjmmss" for the numeric date with the standard time).
std::string formatDateSkeleton(double unixSeconds, std::string_view skeleton,
                               std::string_view locale);

// How much of a date or a time a locale's standard format shows, from nothing to everything.
// numeric: "2025/03/03"; abbreviated: ICU's medium style (in ja_JP also "2025/03/03", in en_US
// "Mar 3, 2025"); long_: "2025年3月3日"; complete: with the weekday.
enum class DateStyle { omitted, numeric, abbreviated, long_, complete };
// shortened: hours and minutes ("9:05"); standard: with seconds; complete: with the time zone.
enum class TimeStyle { omitted, shortened, standard, complete };

// `unixSeconds` in the locale's standard format for `date` and `time` (ICU's date styles), in the
// process's time zone. Both omitted gives the empty text.
std::string formatDateStyle(double unixSeconds, DateStyle date, TimeStyle time,
                            std::string_view locale);

// The time that `text` names when read in full, strictly, with `pattern` in `locale`; nothing when
// it does not parse or leaves characters over.
std::optional<double> parseDate(std::string_view text, std::string_view pattern,
                                std::string_view locale);

// parseDate() for many texts of one pattern: the formatter is made once. One thread at a time.
class DateParser {
 public:
  DateParser(std::string_view pattern, std::string_view locale);
  ~DateParser();
  DateParser(const DateParser&) = delete;
  DateParser& operator=(const DateParser&) = delete;

  // As parseDate(text, pattern, locale); nothing for every text when the pattern is unusable.
  std::optional<double> parse(std::string_view text);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform::text
