#include "voicememos/Database.h"

#include <cstdint>
#include <limits>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include <sqlite3.h>

#include "platform/sys/CancellationError.h"
#include "platform/text/Folding.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_PRIVATECACHE;
constexpr int kImmutableOpenFlags = kOpenFlags | SQLITE_OPEN_URI;
static_assert(kOpenFlags == 0x50001 && kImmutableOpenFlags == 0x50041);
constexpr int kBusyTimeoutMs = 1000;
constexpr int kProgressInstructions = 1000;
// The longest time limit taken as it is; anything longer never ends in practice.
constexpr double kMaxTimeLimitSeconds = 1e9;
constexpr double kUndated = Recording::FetchRequest::Cursor::kUndated;

using Binding = std::variant<std::string, double, std::int64_t>;

struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// "file:" + the absolute path with everything but unreserved characters and "/" percent-encoded.
std::string immutableUri(const std::filesystem::path& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : std::filesystem::absolute(path).string()) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0xF];
    }
  }
  return uri + "?immutable=1";
}

// quern_contains(haystack, needle): 1 when the first text contains the second, ignoring case and
// diacritics; 0 otherwise, also for NULL arguments.
void containsText(sqlite3_context* context, int count, sqlite3_value** values) {
  if (count != 2) return sqlite3_result_int(context, 0);
  const auto* haystack = sqlite3_value_text(values[0]);
  const auto* needle = sqlite3_value_text(values[1]);
  if (!haystack || !needle) return sqlite3_result_int(context, 0);
  const std::string foldedNeedle =
      platform::text::foldCaseAndDiacritics(reinterpret_cast<const char*>(needle));
  const std::string foldedHaystack =
      platform::text::foldCaseAndDiacritics(reinterpret_cast<const char*>(haystack));
  const bool found = !foldedNeedle.empty() && foldedHaystack.find(foldedNeedle) != std::string::npos;
  sqlite3_result_int(context, found ? 1 : 0);
}

// Column `index` as text when it is non-empty TEXT; none otherwise.
std::optional<std::string> text(sqlite3_stmt* row, int index) {
  if (sqlite3_column_type(row, index) != SQLITE_TEXT) return std::nullopt;
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(row, index));
  const int length = sqlite3_column_bytes(row, index);
  if (!bytes || length <= 0) return std::nullopt;
  return std::string(bytes, static_cast<std::size_t>(length));
}

std::optional<double> optionalDouble(sqlite3_stmt* row, int index) {
  if (sqlite3_column_type(row, index) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(row, index);
}

Recording recordingOf(sqlite3_stmt* row) {
  Recording recording;
  recording.id = Recording::ID{sqlite3_column_int64(row, 0)};
  recording.uniqueID = text(row, 1);
  recording.title = text(row, 2);
  recording.date = optionalDouble(row, 3);
  recording.duration = optionalDouble(row, 4);
  recording.path = text(row, 5);
  recording.deletionDate = optionalDouble(row, 6);
  if (sqlite3_column_type(row, 7) != SQLITE_NULL) {
    recording.folder = Folder{Folder::ID{sqlite3_column_int64(row, 7)}, text(row, 8)};
  }
  return recording;
}

}  // namespace

struct Database::Impl {
  Clock clock;
  std::chrono::steady_clock::time_point deadline;
  // The token of the call in progress, for the progress handler.
  std::stop_token token;
  std::unique_ptr<sqlite3, ConnectionCloser> db;

  bool pastDeadline() const { return clock() >= deadline; }

  // SQLite calls this every kProgressInstructions steps of a statement; 1 interrupts it.
  static int progress(void* argument) {
    const auto* impl = static_cast<const Impl*>(argument);
    if (!impl || impl->token.stop_requested() || impl->pastDeadline()) return 1;
    return 0;
  }

  void checkResult(int result) const {
    switch (result & 0xff) {
      case SQLITE_OK:
      case SQLITE_DONE:
        return;
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        throw VoiceMemosError::databaseBusy();
      case SQLITE_INTERRUPT:
        platform::CancellationError::throwIfRequested(token);
        if (pastDeadline()) throw VoiceMemosError::timedOut();
        [[fallthrough]];
      default:
        throw VoiceMemosError::queryFailed(sqlite3_errmsg(db.get()));
    }
  }

  template <class Transform>
  auto query(const std::string& sql, const std::vector<Binding>& bindings, Transform transform)
      -> std::vector<decltype(transform(nullptr))> {
    if (!db) throw VoiceMemosError::storeNotReadable();
    platform::CancellationError::throwIfRequested(token);
    if (pastDeadline()) throw VoiceMemosError::timedOut();
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw, nullptr);
    const Statement statement(raw);
    checkResult(prepared);
    int index = 1;
    for (const Binding& binding : bindings) {
      int result = SQLITE_OK;
      if (const auto* value = std::get_if<std::string>(&binding)) {
        result = sqlite3_bind_text(statement.get(), index, value->c_str(), -1, SQLITE_TRANSIENT);
      } else if (const auto* number = std::get_if<double>(&binding)) {
        result = sqlite3_bind_double(statement.get(), index, *number);
      } else {
        result = sqlite3_bind_int64(statement.get(), index, std::get<std::int64_t>(binding));
      }
      checkResult(result);
      ++index;
    }
    std::vector<decltype(transform(nullptr))> rows;
    for (;;) {
      const int result = sqlite3_step(statement.get());
      if (result != SQLITE_ROW) {
        checkResult(result);
        return rows;
      }
      rows.push_back(transform(statement.get()));
      platform::CancellationError::throwIfRequested(token);
      if (pastDeadline()) throw VoiceMemosError::timedOut();
    }
  }

  std::set<std::string> columns(const char* table) {
    std::set<std::string> names;
    for (auto& name : query("SELECT name FROM pragma_table_info(?)", {std::string(table)},
                            [](sqlite3_stmt* row) { return text(row, 0); })) {
      if (name) names.insert(std::move(*name));
    }
    return names;
  }
};

Database::Database(const std::filesystem::path& root, std::chrono::duration<double> timeLimit,
                   std::stop_token token, Clock clock)
    : root_(root), databaseURL_(root / "CloudRecordings.db"), impl_(std::make_unique<Impl>()) {
  platform::CancellationError::throwIfRequested(token);
  impl_->clock = std::move(clock);
  impl_->token = std::move(token);
  const double seconds = std::min(timeLimit.count(), kMaxTimeLimitSeconds);
  impl_->deadline = impl_->clock() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(seconds));

  std::error_code error;
  if (!std::filesystem::exists(databaseURL_, error)) {
    std::filesystem::directory_iterator listing(root_, error);
    if (error) throw VoiceMemosError::storeNotReadable();
    throw VoiceMemosError::storeNotFound();
  }
  // Looked at before opening: a read-only open of a WAL database creates an empty "-wal" itself.
  std::filesystem::path wal = databaseURL_;
  wal += "-wal";
  const bool hasWriteAheadLog = std::filesystem::exists(wal, error) || error;
  try {
    open(false);
  } catch (const VoiceMemosError& failure) {
    if (failure.kind() != VoiceMemosError::Kind::storeNotReadable || hasWriteAheadLog) throw;
    open(true);
  }
}

Database::~Database() = default;

void Database::open(bool immutable) {
  const std::string name = immutable ? immutableUri(databaseURL_) : databaseURL_.string();
  sqlite3* raw = nullptr;
  const int opened =
      sqlite3_open_v2(name.c_str(), &raw, immutable ? kImmutableOpenFlags : kOpenFlags, nullptr);
  impl_->db.reset(raw);
  if (opened != SQLITE_OK) {
    impl_->db.reset();
    throw VoiceMemosError::storeNotReadable();
  }
  sqlite3* db = impl_->db.get();
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_progress_handler(db, kProgressInstructions, &Impl::progress, impl_.get());
  sqlite3_create_function_v2(db, "quern_contains", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             &containsText, nullptr, nullptr, nullptr);
  try {
    try {
      recordingColumns_ = impl_->columns("ZCLOUDRECORDING");
    } catch (const VoiceMemosError& failure) {
      if (failure.kind() == VoiceMemosError::Kind::queryFailed) {
        throw VoiceMemosError::storeNotReadable();
      }
      throw;
    }
    for (const char* required : {"Z_PK", "ZDATE", "ZPATH", "ZEVICTIONDATE"}) {
      if (!recordingColumns_.contains(required)) throw VoiceMemosError::unsupportedSchema();
    }
    folderColumns_ = impl_->columns("ZFOLDER");
  } catch (...) {
    close();
    recordingColumns_.clear();
    folderColumns_.clear();
    throw;
  }
}

void Database::close() { impl_->db.reset(); }

std::string Database::titleExpression() const {
  const bool title = recordingColumns_.contains("ZENCRYPTEDTITLE");
  const bool label = recordingColumns_.contains("ZCUSTOMLABEL");
  const std::string encrypted =
      "CASE WHEN typeof(r.ZENCRYPTEDTITLE) = 'text' THEN NULLIF(r.ZENCRYPTEDTITLE, '') END";
  const std::string custom =
      "CASE WHEN typeof(r.ZCUSTOMLABEL) = 'text' THEN NULLIF(r.ZCUSTOMLABEL, '') END";
  if (title && label) return "COALESCE(" + encrypted + ", " + custom + ")";
  if (title) return encrypted;
  if (label) return custom;
  return "NULL";
}

std::string Database::folderNameExpression() const {
  if (!folderColumns_.contains("ZENCRYPTEDNAME")) return "NULL";
  return "CASE WHEN typeof(f.ZENCRYPTEDNAME) = 'text' THEN NULLIF(f.ZENCRYPTEDNAME, '') END";
}

std::string Database::selectClause() const {
  const bool joinable = recordingColumns_.contains("ZFOLDER") && folderColumns_.contains("Z_PK");
  std::string clause = "SELECT r.Z_PK, ";
  clause += recordingColumns_.contains("ZUNIQUEID") ? "r.ZUNIQUEID" : "NULL";
  clause += ", " + titleExpression();
  clause += ", r.ZDATE, ";
  clause += recordingColumns_.contains("ZDURATION") ? "r.ZDURATION" : "NULL";
  clause += ",\n    r.ZPATH, r.ZEVICTIONDATE, ";
  clause += joinable ? "f.Z_PK" : "NULL";
  clause += ", " + (joinable ? folderNameExpression() : std::string("NULL"));
  clause += "\nFROM ZCLOUDRECORDING r\n";
  if (joinable) clause += "LEFT JOIN ZFOLDER f ON f.Z_PK = r.ZFOLDER";
  return clause;
}

std::vector<Folder> Database::folders(std::stop_token token) {
  impl_->token = std::move(token);
  if (!folderColumns_.contains("Z_PK")) return {};
  const std::string name = folderNameExpression();
  // Without ranks the rank term is left out: a bare "0" would be read as a column number.
  const std::string rank = folderColumns_.contains("ZRANK") ? "f.ZRANK, " : "";
  return impl_->query("SELECT f.Z_PK, " + name + " FROM ZFOLDER f ORDER BY " + rank + name +
                          " COLLATE NOCASE, f.Z_PK",
                      {}, [](sqlite3_stmt* row) {
                        return Folder{Folder::ID{sqlite3_column_int64(row, 0)}, text(row, 1)};
                      });
}

Database::Page Database::search(const Recording::FetchRequest& request, std::stop_token token) {
  impl_->token = std::move(token);
  if (request.limit < 1) throw VoiceMemosError::invalidLimit(request.limit);
  std::vector<std::string> conditions;
  std::vector<Binding> bindings;
  conditions.push_back(request.scope == Recording::FetchRequest::Scope::library
                           ? "r.ZEVICTIONDATE IS NULL"
                           : "r.ZEVICTIONDATE IS NOT NULL");
  if (request.query && !request.query->empty()) {
    conditions.push_back("quern_contains(" + titleExpression() + ", ?)");
    bindings.emplace_back(*request.query);
  }
  if (request.folder) {
    if (!recordingColumns_.contains("ZFOLDER")) return {};
    conditions.push_back("r.ZFOLDER = ?");
    bindings.emplace_back(request.folder->rawValue);
  }
  if (request.startDate) {
    conditions.push_back("r.ZDATE >= ?");
    bindings.emplace_back(*request.startDate);
  }
  if (request.endDate) {
    conditions.push_back("r.ZDATE < ?");
    bindings.emplace_back(*request.endDate);
  }
  if (request.cursor) {
    conditions.push_back(
        "(IFNULL(r.ZDATE, -1e+300) < ? OR (IFNULL(r.ZDATE, -1e+300) = ? AND r.Z_PK < ?))");
    bindings.emplace_back(request.cursor->date);
    bindings.emplace_back(request.cursor->date);
    bindings.emplace_back(request.cursor->id.rawValue);
  }
  const std::int64_t limit = request.limit;
  bindings.emplace_back(limit == std::numeric_limits<std::int64_t>::max() ? limit : limit + 1);

  std::string sql = selectClause() + "\nWHERE ";
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    if (i > 0) sql += " AND ";
    sql += conditions[i];
  }
  sql += "\nORDER BY IFNULL(r.ZDATE, -1e+300) DESC, r.Z_PK DESC\nLIMIT ?";

  Page page;
  page.recordings = impl_->query(sql, bindings, recordingOf);
  if (page.recordings.size() > static_cast<std::uint64_t>(limit)) {
    page.recordings.resize(static_cast<std::size_t>(limit));
    const Recording& last = page.recordings.back();
    page.next = Recording::FetchRequest::Cursor{last.date.value_or(kUndated), last.id};
  }
  return page;
}

Recording Database::recording(Recording::ID for_, std::stop_token token) {
  impl_->token = std::move(token);
  auto rows = impl_->query(selectClause() + " WHERE r.Z_PK = ?", {for_.rawValue}, recordingOf);
  if (rows.empty()) throw VoiceMemosError::recordingNotFound(for_);
  return std::move(rows.front());
}

}  // namespace voicememos
