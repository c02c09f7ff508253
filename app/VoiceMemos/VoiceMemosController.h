#pragma once

#include <filesystem>
#include <optional>

namespace veltovoice {

// Finds the Voice Memos recording that was made when a conversation started. Voice Memos names its
// files after the local recording time: "yyyyMMdd HHmmss" (15 characters), then anything, then
// ".m4a" or ".qta" in any case. Stateless; safe from any thread.
namespace VoiceMemosController {

// The outcome of a search.
struct FindResult {
  enum class Kind {
    found,         // `url` names the chosen recording
    notFound,      // the folder was listed (or does not exist) and no recording lies near enough
    noPermission,  // the folder exists but cannot be listed
  };

  Kind kind = Kind::notFound;
  // The recording's file inside the recordings folder, when found.
  std::optional<std::filesystem::path> url;

  static FindResult found(std::filesystem::path url) { return {Kind::found, std::move(url)}; }
  static FindResult notFound() { return {Kind::notFound, std::nullopt}; }
  static FindResult noPermission() { return {Kind::noPermission, std::nullopt}; }

  bool operator==(const FindResult&) const = default;
};

// The Voice Memos recordings folder: $HOME + "Library/Group Containers/
// group.com.apple.VoiceMemos.shared/Recordings".
std::filesystem::path recordingsFolder();

// Lists recordingsFolder() once and returns the recording whose name stamp, read as local time of
// the current time zone, lies nearest to `near` (seconds since 2001-01-01 UTC, as conversations
// keep their start) and at most `tolerance` seconds away (equality
// counts; on equal distances the one listed first). A negative or not-a-number tolerance finds
// nothing, an infinite one takes every stamp that reads. Files with other extensions, names shorter
// than 15 user-perceived characters and stamps that do not read are skipped. A missing folder gives
// notFound (on Linux it only exists when someone copied a library over); a folder that cannot be
// listed gives noPermission. Never throws; opens no file.
FindResult findRecording(double near, double tolerance);

}  // namespace VoiceMemosController
}  // namespace veltovoice
