#pragma once

// The Voice Memos library index, "CloudRecordings.db" in the recordings folder, as this reader
// uses it (read only):
//   ZCLOUDRECORDING r: Z_PK, ZDATE, ZPATH, ZEVICTIONDATE (required); ZUNIQUEID, ZENCRYPTEDTITLE,
//                      ZCUSTOMLABEL, ZDURATION, ZFOLDER (used when present)
//   ZFOLDER f:         Z_PK, ZENCRYPTEDNAME, ZRANK (all optional; no Z_PK: no folders)
// Dates are seconds since 2001-01-01 00:00:00 UTC. A recording's title is its own title, else its
// custom label; a recording is recently deleted when it has an eviction date. Statements are built
// from the columns that exist; values are always bound, never spliced.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "voicememos/Folder.h"
#include "voicememos/Recording.h"

namespace voicememos {

// One read-only connection to a Voice Memos library, for one operation: open, one query, close.
// Every call observes the operation's stop token and the deadline fixed at creation (the progress
// handler interrupts a statement that runs past it). One thread at a time.
class Database {
 public:
  // The monotonic clock the deadline is read from; tests replace it.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // One page of a search, and the cursor of the next page (none on the last).
  struct Page {
    std::vector<Recording> recordings;
    std::optional<Recording::FetchRequest::Cursor> next;
  };

  // Opens root/"CloudRecordings.db" read-only; the deadline is now + timeLimit. When the normal
  // open cannot read the file and there is no "-wal" file beside it, the file is opened immutable.
  // Throws platform::CancellationError when `token` is stopped, and VoiceMemosError:
  // storeNotFound (no database, the folder lists), storeNotReadable (no database and the folder
  // does not list, or the database cannot be opened or read), unsupportedSchema (a required
  // recording column is missing), databaseBusy, timedOut or queryFailed. No connection is left
  // open on failure.
  Database(const std::filesystem::path& root, std::chrono::duration<double> timeLimit,
           std::stop_token token, Clock clock = std::chrono::steady_clock::now);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& databaseURL() const { return databaseURL_; }
  const std::set<std::string>& recordingColumns() const { return recordingColumns_; }
  const std::set<std::string>& folderColumns() const { return folderColumns_; }

  // Every folder, by rank (when the library has ranks), then name ignoring case, then id.
  // Throws as the constructor (storeNotReadable once closed).
  std::vector<Folder> folders(std::stop_token token);

  // One page of recordings matching `request`, newest first (undated last), ties by larger id.
  // Throws VoiceMemosError::invalidLimit for a limit below 1; otherwise as folders().
  Page search(const Recording::FetchRequest& request, std::stop_token token);

  // The recording `for_`, in either scope. Throws VoiceMemosError::recordingNotFound when there is
  // none; otherwise as folders().
  Recording recording(Recording::ID for_, std::stop_token token);

  // Closes the connection; a second call does nothing.
  void close();

 private:
  struct Impl;

  void open(bool immutable);
  std::string titleExpression() const;
  std::string folderNameExpression() const;
  std::string selectClause() const;

  std::filesystem::path root_;
  std::filesystem::path databaseURL_;
  std::set<std::string> recordingColumns_;
  std::set<std::string> folderColumns_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace voicememos
