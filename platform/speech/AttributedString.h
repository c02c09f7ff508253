#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Recognised text as runs of UTF-8 characters, each optionally carrying the audio time range it
// was heard in (seconds on the analyzer's time line). A value.
struct AttributedString {
  struct TimeRange {
    double start = 0;
    double duration = 0;
    double end() const { return start + duration; }
    bool operator==(const TimeRange&) const = default;
  };

  struct Run {
    std::string text;
    std::optional<TimeRange> audioTimeRange;
    bool operator==(const Run&) const = default;
  };

  std::vector<Run> runs;

  // The plain characters of every run in order.
  std::string characters() const {
    std::string all;
    for (const auto& run : runs) all += run.text;
    return all;
  }

  bool operator==(const AttributedString&) const = default;
};

}  // namespace platform
