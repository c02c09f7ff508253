#include "app/VoiceMemos/VoiceMemosController.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "platform/text/Graphemes.h"

namespace veltovoice::VoiceMemosController {
namespace {

constexpr std::size_t kStampLength = 15;
// More than the largest offset of any time zone from UTC, daylight saving included.
constexpr double kMaxZoneOffsetSeconds = 48 * 3600.0;

bool isVoiceMemosExtension(const std::filesystem::path& entry) {
  std::string extension = entry.extension().string();
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension == ".m4a" || extension == ".qta";
}

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

constexpr double kSecondsFrom1970To2001 = 978307200.0;

// A wall-clock time read from a file name.
struct Stamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;

  // Seconds since 1970 as if the wall clock showed UTC.
  std::int64_t naiveSeconds() const {
    const std::chrono::sys_days date{std::chrono::year{year} /
                                     std::chrono::month{static_cast<unsigned>(month)} /
                                     std::chrono::day{static_cast<unsigned>(day)}};
    return date.time_since_epoch().count() * 86400LL + hour * 3600LL + minute * 60LL + second;
  }
};

// Reads "yyyyMMdd HHmmss" strictly: ASCII digits, real calendar dates, 24-hour times.
std::optional<Stamp> readStamp(std::string_view text) {
  if (text.size() != kStampLength || text[8] != ' ') return std::nullopt;
  Stamp stamp;
  if (!readDigits(text, 0, 4, stamp.year) || !readDigits(text, 4, 2, stamp.month) ||
      !readDigits(text, 6, 2, stamp.day) || !readDigits(text, 9, 2, stamp.hour) ||
      !readDigits(text, 11, 2, stamp.minute) || !readDigits(text, 13, 2, stamp.second)) {
    return std::nullopt;
  }
  if (stamp.month < 1 || stamp.month > 12 || stamp.day < 1 ||
      stamp.day > daysInMonth(stamp.year, stamp.month) || stamp.hour > 23 || stamp.minute > 59 ||
      stamp.second > 59) {
    return std::nullopt;
  }
  return stamp;
}

// The instant the stamp names in the current time zone, in seconds since 1970.
std::optional<std::time_t> localInstant(const Stamp& stamp) {
  std::tm local{};
  local.tm_year = stamp.year - 1900;
  local.tm_mon = stamp.month - 1;
  local.tm_mday = stamp.day;
  local.tm_hour = stamp.hour;
  local.tm_min = stamp.minute;
  local.tm_sec = stamp.second;
  local.tm_isdst = -1;  // let the zone's rules decide, as a clock on the wall would
  errno = 0;
  const std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  return seconds;
}

struct Candidate {
  std::filesystem::path url;
  double distance = 0;
};

std::filesystem::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return "/";
}

}  // namespace

std::filesystem::path recordingsFolder() {
  return homeFolder() / "Library" / "Group Containers" / "group.com.apple.VoiceMemos.shared" /
         "Recordings";
}

FindResult findRecording(double near, double tolerance) {
  const std::filesystem::path folder = recordingsFolder();
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) {
    return error == std::errc::no_such_file_or_directory ? FindResult::notFound()
                                                         : FindResult::noPermission();
  }
  std::vector<Candidate> candidates;
  tzset();  // the zone may have changed since the last call
  const double nearSeconds = near + kSecondsFrom1970To2001;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) return FindResult::noPermission();
    const std::filesystem::path url = entries->path();
    if (!isVoiceMemosExtension(url)) continue;
    // A folder named like a recording is no recording; the entry's type comes with the listing.
    std::error_code typeError;
    if (entries->is_directory(typeError)) continue;
    const std::string name = url.stem().string();
    if (platform::text::graphemeCount(name) < kStampLength) continue;
    const auto stamp = readStamp(platform::text::graphemePrefix(name, kStampLength));
    if (!stamp) continue;
    // No zone is more than a day off UTC: a stamp that far beyond the tolerance, read as UTC, is
    // beyond it in every zone, and the costly local-time conversion can be skipped.
    const double naiveDistance =
        std::fabs(static_cast<double>(stamp->naiveSeconds()) - nearSeconds);
    if (!(naiveDistance - kMaxZoneOffsetSeconds <= tolerance)) continue;
    const auto instant = localInstant(*stamp);
    if (!instant) continue;
    const double distance = std::fabs(static_cast<double>(*instant) - nearSeconds);
    if (distance <= tolerance) candidates.push_back({url, distance});
  }
  if (error) return FindResult::noPermission();
  if (candidates.empty()) return FindResult::notFound();
  const Candidate* nearest = &candidates.front();
  for (const Candidate& candidate : candidates) {
    if (candidate.distance < nearest->distance) nearest = &candidate;
  }
  return FindResult::found(nearest->url);
}

}  // namespace veltovoice::VoiceMemosController
