#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace voicememos::testing {

// Descriptors of this process that point at `file`.
inline int openDescriptorsOn(const std::filesystem::path& file) {
  int count = 0;
  std::error_code error;
  const auto target = std::filesystem::weakly_canonical(file, error);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    const auto points = std::filesystem::read_symlink(entry.path(), ignored);
    if (!ignored && points == target) ++count;
  }
  return count;
}

// Makes a Voice Memos library database with raw SQL: the tables this reader knows, or variants.
class LibraryBuilder {
 public:
  static constexpr const char* kRecordingTable =
      "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, ZDATE REAL, ZPATH TEXT, "
      "ZEVICTIONDATE REAL, ZUNIQUEID TEXT, ZENCRYPTEDTITLE TEXT, ZCUSTOMLABEL TEXT, "
      "ZDURATION REAL, ZFOLDER INTEGER)";
  static constexpr const char* kFolderTable =
      "CREATE TABLE ZFOLDER (Z_PK INTEGER PRIMARY KEY, ZENCRYPTEDNAME TEXT, ZRANK INTEGER)";

  explicit LibraryBuilder(const std::filesystem::path& root) {
    std::filesystem::create_directories(root);
    EXPECT_EQ(sqlite3_open((root / "CloudRecordings.db").c_str(), &db_), SQLITE_OK);
  }
  ~LibraryBuilder() { sqlite3_close(db_); }
  LibraryBuilder(const LibraryBuilder&) = delete;
  LibraryBuilder& operator=(const LibraryBuilder&) = delete;

  // The full schema.
  LibraryBuilder& standard() {
    exec(kRecordingTable);
    return exec(kFolderTable);
  }

  LibraryBuilder& exec(const std::string& sql) {
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "") << " in " << sql;
    sqlite3_free(message);
    return *this;
  }

  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace voicememos::testing
