#include "VoiceCore/VoiceStore.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "VoiceCore/StoreError.h"
#include "platform/sys/FileError.h"
#include "platform/sys/JsonCodingError.h"

namespace voicecore {
namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
static_assert(kOpenFlags == 65542);

constexpr const char* kSchema[] = {
    "PRAGMA foreign_keys=ON",
    "CREATE TABLE IF NOT EXISTS recordings(id TEXT PRIMARY KEY, payload BLOB NOT NULL)",
    "CREATE TABLE IF NOT EXISTS bookmarks(id TEXT PRIMARY KEY, recording_id TEXT NOT NULL "
    "REFERENCES recordings(id), payload BLOB NOT NULL)",
};
constexpr const char* kInsertRecording = "INSERT INTO recordings(id,payload) VALUES(?,?)";
constexpr const char* kInsertBookmark =
    "INSERT INTO bookmarks(id,recording_id,payload) VALUES(?,?,?)";
constexpr const char* kSelectRecordings = "SELECT payload FROM recordings";
constexpr const char* kSelectBookmarks = "SELECT payload FROM bookmarks";

constexpr const char* kCannotOpen = "保存先を開けませんでした。";
constexpr const char* kCannotPrepareTables = "保存領域を準備できませんでした。";
constexpr const char* kCannotPrepareWrite = "保存処理を準備できませんでした。";
constexpr const char* kCannotWrite = "データを保存できませんでした。";
constexpr const char* kCannotPrepareRead = "読み込みを準備できませんでした。";
constexpr const char* kCannotRead = "保存データを読み込めませんでした。";
constexpr const char* kBadPosition = "ブックマークの位置が不正です。";

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

void makeParentFolders(const std::filesystem::path& url) {
  const std::filesystem::path folder = url.parent_path();
  if (folder.empty()) return;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) throw platform::FileError::fromErrno("create folder", folder, error.value());
}

Connection open(const std::filesystem::path& url) {
  sqlite3* raw = nullptr;
  const int result = sqlite3_open_v2(url.c_str(), &raw, kOpenFlags, nullptr);
  Connection db(raw);
  if (result != SQLITE_OK) throw StoreError(kCannotOpen);
  for (const char* statement : kSchema) {
    if (sqlite3_exec(db.get(), statement, nullptr, nullptr, nullptr) != SQLITE_OK) {
      throw StoreError(kCannotPrepareTables);
    }
  }
  return db;
}

Statement prepare(sqlite3* db, const char* sql, const char* failure) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    throw StoreError(failure);
  }
  return Statement(raw);
}

// Inserts one row: the id, the parent's id when given, then the payload.
void writeRow(sqlite3* db, const char* sql, const platform::Uuid& id,
              const std::optional<platform::Uuid>& parent, const std::string& payload) {
  // SQLite binds with a 32-bit length: a larger payload is refused whole, never cut.
  if (payload.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw StoreError(kCannotWrite);
  }
  const Statement statement = prepare(db, sql, kCannotPrepareWrite);
  const std::string idText = id.toString();
  int index = 1;
  bool bound = sqlite3_bind_text(statement.get(), index++, idText.data(),
                                 static_cast<int>(idText.size()), SQLITE_TRANSIENT) == SQLITE_OK;
  if (parent) {
    const std::string parentText = parent->toString();
    bound = bound && sqlite3_bind_text(statement.get(), index++, parentText.data(),
                                       static_cast<int>(parentText.size()),
                                       SQLITE_TRANSIENT) == SQLITE_OK;
  }
  bound = bound && sqlite3_bind_blob(statement.get(), index, payload.data(),
                                     static_cast<int>(payload.size()), SQLITE_TRANSIENT) == SQLITE_OK;
  if (!bound || sqlite3_step(statement.get()) != SQLITE_DONE) throw StoreError(kCannotWrite);
}

// Decodes every row of a one-column select as a record of type Record.
template <class Record>
std::vector<Record> readRows(sqlite3* db, const char* sql) {
  const Statement statement = prepare(db, sql, kCannotPrepareRead);
  std::vector<Record> records;
  for (;;) {
    const int result = sqlite3_step(statement.get());
    if (result == SQLITE_DONE) return records;
    if (result != SQLITE_ROW) throw StoreError(kCannotRead);
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement.get(), 0));
    const int length = sqlite3_column_bytes(statement.get(), 0);
    if (bytes == nullptr || length <= 0) throw StoreError(kCannotRead);
    nlohmann::json json;
    try {
      json = nlohmann::json::parse(bytes, bytes + length);
    } catch (const nlohmann::json::exception& error) {
      throw platform::JsonCodingError::dataCorrupted(error.what());
    }
    records.push_back(Record::fromJson(std::move(json)));
  }
}

}  // namespace

struct VoiceStore::Impl {
  std::mutex mutex;
  Connection db;  // guarded by mutex
};

VoiceStore::VoiceStore(const std::filesystem::path& url) : impl_(std::make_unique<Impl>()) {
  makeParentFolders(url);
  impl_->db = open(url);
}

VoiceStore::~VoiceStore() = default;

void VoiceStore::save(const VoiceRecording& recording) {
  const std::string payload = recording.toJson().dump();
  std::scoped_lock lock(impl_->mutex);
  writeRow(impl_->db.get(), kInsertRecording, recording.id, std::nullopt, payload);
}

void VoiceStore::add(const VoiceBookmark& bookmark) {
  if (!std::isfinite(bookmark.seconds) || bookmark.seconds < 0) throw StoreError(kBadPosition);
  const std::string payload = bookmark.toJson().dump();
  std::scoped_lock lock(impl_->mutex);
  writeRow(impl_->db.get(), kInsertBookmark, bookmark.id, bookmark.recordingID, payload);
}

std::vector<VoiceRecording> VoiceStore::recordings() {
  std::vector<VoiceRecording> all;
  {
    std::scoped_lock lock(impl_->mutex);
    all = readRows<VoiceRecording>(impl_->db.get(), kSelectRecordings);
  }
  std::stable_sort(all.begin(), all.end(), [](const VoiceRecording& a, const VoiceRecording& b) {
    return a.importedAt > b.importedAt;
  });
  return all;
}

std::vector<VoiceBookmark> VoiceStore::bookmarks(const platform::Uuid& for_) {
  std::vector<VoiceBookmark> all;
  {
    std::scoped_lock lock(impl_->mutex);
    all = readRows<VoiceBookmark>(impl_->db.get(), kSelectBookmarks);
  }
  std::erase_if(all, [&](const VoiceBookmark& bookmark) { return bookmark.recordingID != for_; });
  std::stable_sort(all.begin(), all.end(), [](const VoiceBookmark& a, const VoiceBookmark& b) {
    return a.seconds < b.seconds;
  });
  return all;
}

}  // namespace voicecore
