#pragma once

// The recording store's database, one SQLite file:
//   recordings(id TEXT PRIMARY KEY, payload BLOB NOT NULL)
//   bookmarks(id TEXT PRIMARY KEY, recording_id TEXT NOT NULL REFERENCES recordings(id),
//             payload BLOB NOT NULL)
// with foreign keys on. Ids are upper-case UUID text; a payload is the record's compact JSON (see
// VoiceRecording.h and VoiceBookmark.h), at most 2,147,483,647 bytes. Rows are only ever inserted.

#include <filesystem>
#include <memory>
#include <vector>

#include "VoiceCore/VoiceBookmark.h"
#include "VoiceCore/VoiceRecording.h"
#include "platform/sys/Uuid.h"

namespace voicecore {

// Imported recordings and bookmarks into them, kept in one SQLite database. One connection, open
// for the store's lifetime; operations run one at a time (callers wait for their turn), so the
// store is safe from any thread. A failed call leaves the store open and usable.
//
//   VoiceStore store(dataFolder / "Recordings.sqlite");
//   store.save(VoiceRecording::make(platform::Uuid::random(), "会議", "meeting.m4a", 62.5, "done", {}));
//   for (const VoiceRecording& recording : store.recordings()) { ... }
class VoiceStore {
 public:
  // Opens or creates the database at `url`, making the folders above it as needed, and makes sure
  // both tables exist. Throws platform::FileError when a folder cannot be made, StoreError
  // "保存先を開けませんでした。" when the file cannot be opened, and StoreError
  // "保存領域を準備できませんでした。" when the tables cannot be set up (a file that is no database
  // is left as it was).
  explicit VoiceStore(const std::filesystem::path& url);
  ~VoiceStore();
  VoiceStore(const VoiceStore&) = delete;
  VoiceStore& operator=(const VoiceStore&) = delete;

  // Inserts `recording`. Throws platform::JsonCodingError when it holds a number that is not
  // finite, StoreError "データを保存できませんでした。" when its id is already stored (nothing is
  // replaced) or the insert fails otherwise, StoreError "保存処理を準備できませんでした。" when
  // the insert cannot be prepared. Nothing is written on failure.
  void save(const VoiceRecording& recording);

  // Inserts `bookmark`. Throws StoreError "ブックマークの位置が不正です。" when its position is
  // negative, infinite or not a number, StoreError "データを保存できませんでした。" when its
  // recording is not stored or its id already is; otherwise as save(). Nothing is written on failure.
  void add(const VoiceBookmark& bookmark);

  // Every stored recording, newest import first; equal import times keep the database's order.
  // Throws StoreError "読み込みを準備できませんでした。" or "保存データを読み込めませんでした。"
  // when the rows cannot be read (an empty payload included), platform::JsonCodingError when a
  // payload is no recording.
  std::vector<VoiceRecording> recordings();

  // The bookmarks of the recording `for_`, earliest position first. Every stored bookmark is
  // decoded, so one that does not decode fails the call even when it belongs to another
  // recording. Throws as recordings().
  std::vector<VoiceBookmark> bookmarks(const platform::Uuid& for_);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace voicecore
