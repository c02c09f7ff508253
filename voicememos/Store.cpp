#include "voicememos/Store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "platform/sys/CancellationError.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

std::optional<std::filesystem::path> passwordHome() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir || !*found->pw_dir) {
    return std::nullopt;
  }
  return std::filesystem::path(found->pw_dir);
}

// `path` without "." and ".." and with symbolic links resolved, as far as it exists.
std::optional<std::filesystem::path> resolved(const std::filesystem::path& path) {
  std::error_code error;
  auto result = std::filesystem::weakly_canonical(path, error);
  if (error) return std::nullopt;
  return result;
}

}  // namespace

Store::Configuration::Configuration(std::chrono::duration<double> timeLimit)
    : timeLimit(timeLimit.count() > 0 ? timeLimit : std::chrono::duration<double>(10.0)) {}

Store::Store(std::filesystem::path root) : Store(std::move(root), Configuration()) {}

Store::Store(std::filesystem::path root, Configuration configuration, Database::Clock clock)
    : root_(std::move(root)),
      configuration_(configuration),
      clock_(std::move(clock)),
      queue_("quern.store") {}

std::filesystem::path Store::defaultRoot() {
  std::filesystem::path home;
  std::error_code error;
  if (auto entry = passwordHome(); entry && std::filesystem::is_directory(*entry, error)) {
    home = *entry;
  } else if (const char* variable = std::getenv("HOME"); variable && *variable) {
    home = variable;
  } else if (entry) {
    home = *entry;
  }
  return home / "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings";
}

void Store::checkAccess(std::stop_token token) {
  queue_.sync([&] {
    Database database(root_, configuration_.timeLimit, token, clock_);
    database.close();
  });
}

std::vector<Folder> Store::folders(std::stop_token token) {
  std::vector<Folder> result;
  queue_.sync([&] {
    Database database(root_, configuration_.timeLimit, token, clock_);
    result = database.folders(token);
  });
  return result;
}

Store::SearchResult Store::search(const Recording::FetchRequest& request, std::stop_token token) {
  SearchResult result;
  queue_.sync([&] {
    Database database(root_, configuration_.timeLimit, token, clock_);
    auto page = database.search(request, token);
    result = {std::move(page.recordings), page.next, request};
  });
  return result;
}

Recording Store::recording(Recording::ID for_, std::stop_token token) {
  Recording result;
  queue_.sync([&] {
    Database database(root_, configuration_.timeLimit, token, clock_);
    result = database.recording(for_, token);
  });
  return result;
}

std::optional<std::filesystem::path> Store::fileURL(const Recording& recording) const {
  if (!recording.path || recording.path->empty()) return std::nullopt;
  const auto base = resolved(root_);
  if (!base) return std::nullopt;
  std::filesystem::path relative(*recording.path);
  // The library may store absolute paths from another machine: look the file up by name here.
  if (recording.path->front() == '/') relative = relative.filename();
  const auto candidate = resolved(*base / relative);
  if (!candidate) return std::nullopt;
  std::string prefix = base->string();
  if (prefix.empty() || prefix.back() != '/') prefix += '/';
  if (candidate->string().rfind(prefix, 0) != 0) return std::nullopt;
  return candidate;
}

std::optional<AudioFile> Store::audioFile(const Recording& for_, std::stop_token token) {
  std::optional<AudioFile> result;
  queue_.sync([&] {
    if (token.stop_requested()) return;
    if (const auto url = fileURL(for_)) result = AudioFile::fromURL(*url);
  });
  return result;
}

std::optional<Transcript> Store::transcript(const Recording& for_, std::stop_token token) {
  std::optional<Transcript> result;
  queue_.sync([&] {
    platform::CancellationError::throwIfRequested(token);
    const auto url = fileURL(for_);
    const auto file = url ? AudioFile::fromURL(*url) : std::nullopt;
    if (!file) throw VoiceMemosError::audioFileNotFound(for_.id);
    result = Transcript::contentsOf(file->url);
  });
  return result;
}

}  // namespace voicememos
