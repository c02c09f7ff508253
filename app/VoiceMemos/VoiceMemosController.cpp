#include "app/VoiceMemos/VoiceMemosController.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "platform/text/DateFormat.h"
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

// Reads "yyyyMMdd HHmmss" strictly as local time of the current time zone.
std::optional<std::chrono::system_clock::time_point> parseStamp(platform::text::DateParser& parser,
                                                                std::string_view stamp) {
  const auto unixSeconds = parser.parse(stamp);
  if (!unixSeconds) return std::nullopt;
  return std::chrono::system_clock::time_point(std::chrono::duration_cast<
      std::chrono::system_clock::duration>(std::chrono::duration<double>(*unixSeconds)));
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
  platform::text::DateParser parser("yyyyMMdd HHmmss", "en_US_POSIX");
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) return FindResult::noPermission();
    const std::filesystem::path url = entries->path();
    if (!isVoiceMemosExtension(url)) continue;
    // A folder named like a recording is no recording; the entry's type comes with the listing.
    std::error_code typeError;
    if (entries->is_directory(typeError)) continue;
    const std::string name = url.stem().string();
    if (platform::text::graphemeCount(name) < kStampLength) continue;
    const auto stamp = parseStamp(parser, platform::text::graphemePrefix(name, kStampLength));
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
