#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "platform/sys/SerialQueue.h"
#include "voicememos/AudioFile.h"
#include "voicememos/Database.h"
#include "voicememos/Folder.h"
#include "voicememos/Recording.h"
#include "voicememos/Transcript.h"

namespace voicememos {

// The Voice Memos library reader: checks that a library can be read, lists its folders, searches
// its recordings page by page, looks one up, and finds a recording's audio file and transcript.
// It holds nothing open between calls: every database operation opens its own Database with the
// configured time limit and closes it. Operations run one at a time on the queue "quern.store";
// callers on any thread wait for their turn.
//
//   Store store(Store::defaultRoot());
//   Recording::FetchRequest request;
//   request.limit = 50;
//   for (auto page = store.search(request, token);; ) {
//     ... page.recordings ...
//     if (!page.nextCursor) break;
//     request.cursor = page.nextCursor;
//     page = store.search(request, token);
//   }
class Store {
 public:
  struct Configuration {
    // How long one operation may take, from the opening of its database.
    std::chrono::duration<double> timeLimit{10.0};

    Configuration() = default;
    // A limit that is not above zero becomes 10 seconds.
    explicit Configuration(std::chrono::duration<double> timeLimit);

    static Configuration default_() { return {}; }

    bool operator==(const Configuration&) const = default;
  };

  // One page, newest first, with the cursor of the next page (none on the last) and the request
  // that produced it, unchanged.
  struct SearchResult {
    std::vector<Recording> recordings;
    std::optional<Recording::FetchRequest::Cursor> nextCursor;
    Recording::FetchRequest request;

    bool operator==(const SearchResult&) const = default;
  };

  // Touches no file. `clock` is the monotonic clock the deadlines are read from.
  explicit Store(std::filesystem::path root);
  Store(std::filesystem::path root, Configuration configuration,
        Database::Clock clock = std::chrono::steady_clock::now);

  const std::filesystem::path& root() const { return root_; }
  const Configuration& configuration() const { return configuration_; }

  // The Voice Memos recordings folder of the process's user: the home folder of the user's
  // password-database entry (HOME only when there is no entry or it names no folder), joined with
  // "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings".
  static std::filesystem::path defaultRoot();

  // Opens the library and closes it again. Throws what Database's constructor throws.
  void checkAccess(std::stop_token token = {});

  // Throws as Database::folders() and its constructor.
  std::vector<Folder> folders(std::stop_token token = {});

  // Throws as Database::search() and its constructor.
  SearchResult search(const Recording::FetchRequest& request, std::stop_token token = {});

  // Throws as Database::recording() and its constructor.
  Recording recording(Recording::ID for_, std::stop_token token = {});

  // The summary of the recording's audio file inside root(); none when it has no path, the path
  // leads outside root() (through ".." or a symbolic link), or it is no non-empty regular file,
  // and none without looking when `token` is stopped by the time the call's turn comes.
  // Never opens the database; never throws.
  std::optional<AudioFile> audioFile(const Recording& for_, std::stop_token token = {});

  // The transcript stored in the recording's audio file; none when the file carries none. Throws
  // platform::CancellationError when `token` is stopped by the time the call's turn comes,
  // VoiceMemosError::audioFileNotFound when the audio file is none, and what
  // Transcript::contentsOf throws.
  std::optional<Transcript> transcript(const Recording& for_, std::stop_token token = {});

 private:
  std::optional<std::filesystem::path> fileURL(const Recording& recording) const;

  // Constant after construction.
  const std::filesystem::path root_;
  const Configuration configuration_;
  const Database::Clock clock_;
  platform::SerialQueue queue_;
};

}  // namespace voicememos
