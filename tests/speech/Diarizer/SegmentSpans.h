#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "speech/Diarizer/DiarizerSegment.h"

namespace tesselaudio::testing {

constexpr float kAnyActivity = std::numeric_limits<float>::quiet_NaN();

// What a test expects of one segment: its frames, its slot, and its activity unless kAnyActivity.
struct Span {
  std::int64_t start;
  std::int64_t end;
  float activity = kAnyActivity;
  std::int64_t slot = 0;
};

inline std::string describe(const std::vector<DiarizerSegment>& segments) {
  std::string text;
  for (const auto& s : segments) {
    text += fmt::format("[{}, {}) slot {} activity {}; ", s.startFrame, s.endFrame, s.speakerIndex,
                        s.activity);
  }
  return text.empty() ? "(none)" : text;
}

// Checks frames, slot and activity (to 1e-4) of every segment, in order.
inline void expectSpans(const std::vector<DiarizerSegment>& actual,
                        const std::vector<Span>& expected, const char* what) {
  SCOPED_TRACE(fmt::format("{}: {}", what, describe(actual)));
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].startFrame, expected[i].start) << "segment " << i;
    EXPECT_EQ(actual[i].endFrame, expected[i].end) << "segment " << i;
    EXPECT_EQ(actual[i].speakerIndex, expected[i].slot) << "segment " << i;
    if (!std::isnan(expected[i].activity)) {
      EXPECT_NEAR(actual[i].activity, expected[i].activity, 1e-4) << "segment " << i;
    }
  }
}

}  // namespace tesselaudio::testing
