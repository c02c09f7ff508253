#pragma once

// The records of the Voice Memos library that the reader hands out and takes in. Dates are seconds
// since 2001-01-01 00:00:00 UTC as doubles, the library's own clock.
//
// The paging cursor's text form is "<date>:<id>": the date as the shortest decimal that reads back
// to the same double (750000000.5, -1e+300 for an undated recording), then the identifier in
// decimal. A client may keep that text and hand it back later.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "voicememos/Folder.h"

namespace voicememos {

// One recording of the Voice Memos library. A plain value.
struct Recording {
  // The recording's primary key in the library database. Codes to JSON as a single integer.
  struct ID {
    std::int64_t rawValue = 0;

    // Reads a decimal signed 64-bit integer with an optional "+" or "-", after removing blanks
    // (spaces, tabs and other space separators, not line breaks) from both ends. None for an
    // empty text, any other character, or a value outside the 64-bit range.
    static std::optional<ID> fromText(std::string_view text);

    // The number in decimal.
    std::string description() const;

    bool operator==(const ID&) const = default;
  };

  // One search of the library.
  struct FetchRequest {
    enum class Scope {
      library,          // recordings that are not deleted
      recentlyDeleted,  // recordings that carry a deletion date
    };

    // The position after the last recording of a page.
    struct Cursor {
      // The last recording's date, or kUndated when it had none.
      double date = 0;
      ID id;

      static constexpr double kUndated = -1e300;

      // "<date>:<id>", see the top of this file.
      std::string description() const;

      // Reads a description back: exactly two parts around one ":", a double and a decimal signed
      // 64-bit integer (optional sign, no blanks). None for anything else.
      static std::optional<Cursor> fromText(std::string_view text);

      bool operator==(const Cursor&) const = default;
    };

    // Text that the title must contain, ignoring case and diacritics; none or empty: no condition.
    std::optional<std::string> query;
    std::optional<Folder::ID> folder;
    // Recordings dated at or after this moment.
    std::optional<double> startDate;
    // Recordings dated before this moment.
    std::optional<double> endDate;
    Scope scope = Scope::library;
    // Page size; must be at least 1. There is no default page size: callers choose one.
    std::int64_t limit = 0;
    // Where the page starts; none for the first page.
    std::optional<Cursor> cursor;

    bool operator==(const FetchRequest&) const = default;
  };

  ID id;
  std::optional<std::string> uniqueID;
  // Its own title, else its custom label.
  std::optional<std::string> title;
  std::optional<double> date;
  // Seconds.
  std::optional<double> duration;
  std::optional<Folder> folder;
  // When it was moved to the recently deleted recordings.
  std::optional<double> deletionDate;
  // The audio file's path as the library stores it: relative to the library folder, or absolute.
  std::optional<std::string> path;

  bool isRecentlyDeleted() const { return deletionDate.has_value(); }

  bool operator==(const Recording&) const = default;
};

void to_json(nlohmann::json& json, const Recording::ID& id);
// Throws nlohmann::json::exception when `json` is not an integer of the 64-bit range.
void from_json(const nlohmann::json& json, Recording::ID& id);

}  // namespace voicememos

template <>
struct std::hash<voicememos::Recording::ID> {
  std::size_t operator()(const voicememos::Recording::ID& id) const noexcept {
    return std::hash<std::int64_t>()(id.rawValue);
  }
};
