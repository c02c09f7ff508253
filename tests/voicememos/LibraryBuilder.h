#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace voicememos::testing {

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
