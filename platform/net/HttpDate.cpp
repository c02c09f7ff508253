#include "platform/net/HttpDate.h"

#include <array>
#include <ctime>

namespace platform {

namespace {

constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Reads `count` decimal digits at `at`.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

template <std::size_t N>
std::optional<int> indexOf(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  return std::nullopt;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int month, int year) {
  static constexpr int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 1 && isLeapYear(year) ? 29 : kDaysIn[month];
}

}  // namespace

std::optional<std::chrono::system_clock::time_point> parseHttpDate(std::string_view text) {
  // "Sun, 06 Nov 1994 08:49:37 GMT" is 29 characters; offsets below follow that layout.
  if (text.size() != 29) return std::nullopt;
  if (!indexOf(kDays, text.substr(0, 3)) || text.substr(3, 2) != ", " || text[7] != ' ' ||
      text[11] != ' ' || text[16] != ' ' || text[19] != ':' || text[22] != ':' || text[25] != ' ') {
    return std::nullopt;
  }
  const auto zone = text.substr(26, 3);
  if (zone != "GMT" && zone != "UTC") return std::nullopt;
  const auto day = digits(text, 5, 2);
  const auto month = indexOf(kMonths, text.substr(8, 3));
  const auto year = digits(text, 12, 4);
  const auto hour = digits(text, 17, 2);
  const auto minute = digits(text, 20, 2);
  const auto second = digits(text, 23, 2);
  if (!day || !month || !year || !hour || !minute || !second) return std::nullopt;
  if (*day < 1 || *day > daysInMonth(*month, *year) || *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  std::tm fields{};
  fields.tm_year = *year - 1900;
  fields.tm_mon = *month;
  fields.tm_mday = *day;
  fields.tm_hour = *hour;
  fields.tm_min = *minute;
  fields.tm_sec = *second;
  const std::time_t seconds = timegm(&fields);
  return std::chrono::system_clock::from_time_t(seconds);
}

}  // namespace platform
