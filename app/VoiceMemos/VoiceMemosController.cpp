#include "app/VoiceMemos/VoiceMemosController.h"

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

// Reads "yyyyMMdd HHmmss" strictly (ASCII digits, real calendar dates, 24-hour times) as local time
// of the current time zone.
std::optional<std::chrono::system_clock::time_point> parseStamp(std::string_view stamp) {
  if (stamp.size() != kStampLength || stamp[8] != ' ') return std::nullopt;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(stamp, 0, 4, year) || !readDigits(stamp, 4, 2, month) ||
      !readDigits(stamp, 6, 2, day) || !readDigits(stamp, 9, 2, hour) ||
      !readDigits(stamp, 11, 2, minute) || !readDigits(stamp, 13, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // let the zone's rules decide, as a clock on the wall would
  errno = 0;
  const std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
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

FindResult findRecording(std::chrono::system_clock::time_point near, double tolerance) {
  const std::filesystem::path folder = recordingsFolder();
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) {
    return error == std::errc::no_such_file_or_directory ? FindResult::notFound()
                                                         : FindResult::noPermission();
  }
  std::vector<Candidate> candidates;
  tzset();  // the zone may have changed since the last call
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) return FindResult::noPermission();
    const std::filesystem::path url = entries->path();
    if (!isVoiceMemosExtension(url)) continue;
    // A folder named like a recording is no recording; the entry's type comes with the listing.
    std::error_code typeError;
    if (entries->is_directory(typeError)) continue;
    const std::string name = url.stem().string();
    if (platform::text::graphemeCount(name) < kStampLength) continue;
    const auto stamp = parseStamp(platform::text::graphemePrefix(name, kStampLength));
    if (!stamp) continue;
    const double distance =
        std::fabs(std::chrono::duration<double>(*stamp - near).count());
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
