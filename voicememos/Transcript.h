#pragma once

// The transcript that Voice Memos stores in a recording (see MovieHeader.h for where). It is a JSON
// object: "attributedString" holds the text and its runs, "locale" the optional language.
//   "attributedString": "plain text"                                  one run without attributes
//   "attributedString": ["text", {"timeRange": [0.0, 1.5]}, "more", {}]   text and attributes
//   "attributedString": {"runs": ["text", 0, "more", 1],
//                        "attributeTable": [{"timeRange": [0.0, 1.5]}, {}]}
//   "locale": {"identifier": "ja_JP"} or "ja_JP"
// Only the "timeRange" attribute counts; a run is a maximal stretch of text with the same time
// range, so neighbours that differ only in other attributes form one run.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace voicememos {

// A stored transcript with its timed segments. A plain value.
struct Transcript {
  // A closed range of seconds from the start of the recording, lowerBound <= upperBound.
  struct TimeRange {
    double lowerBound = 0;
    double upperBound = 0;
    bool operator==(const TimeRange&) const = default;
  };

  // The text of one run, and its time range when the run carries two ordered numbers.
  struct Segment {
    std::string text;
    std::optional<TimeRange> timeRange;
    bool operator==(const Segment&) const = default;
  };

  // The whole text.
  std::string text;
  // A locale identifier such as "ja_JP"; none when the document has none that reads.
  std::optional<std::string> locale;
  // In text order; empty for an empty text.
  std::vector<Segment> segments;

  // Reads the transcript stored in the audio file at `contentsOf`. None when the file has no
  // movie atom or no transcript. Throws what MovieHeader::contentsOf throws, and
  // VoiceMemosError::malformedTranscript when the stored document does not decode.
  static std::optional<Transcript> contentsOf(const std::filesystem::path& contentsOf);

  // Decodes a transcript document. Throws VoiceMemosError::malformedTranscript when `data` is not
  // JSON, lacks "attributedString", or holds an attributed string in no form above.
  static Transcript fromData(std::span<const std::uint8_t> data);

  bool operator==(const Transcript&) const = default;
};

}  // namespace voicememos
