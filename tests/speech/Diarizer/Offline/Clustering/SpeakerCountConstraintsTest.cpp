#include "speech/Diarizer/Offline/Clustering/SpeakerCountConstraints.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

TEST(SpeakerCountConstraintsTest, ResolvesConsistentBounds) {
  const std::nullopt_t none = std::nullopt;
  struct Case {
    const char* name;
    std::int64_t embeddings;
    std::optional<std::int64_t> numSpeakers, minSpeakers, maxSpeakers;
    SpeakerCountConstraints expected;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"exact count", 5, 3, none, none, {3, 3, 3}, {"Resolved constraints: numSpeakers=3, min=3, max=3"}},
      {"exact count capped by the embeddings", 2, 4, none, none, {2, 2, 2},
       {"Resolved constraints: numSpeakers=2, min=2, max=2"}},
      {"min above max", 10, none, 4, 2, {2, 2, 2},
       {"minSpeakers (4) > maxSpeakers (2); clamping minSpeakers to 2",
        "Resolved constraints: numSpeakers=2, min=2, max=2"}},
      {"lower bound only", 10, none, 2, none, {none, 2, 10}, {"Resolved constraints: numSpeakers=nil, min=2, max=10"}},
      {"no embeddings", 0, 3, none, none, {1, 1, 1}, {"Resolved constraints: numSpeakers=1, min=1, max=1"}},
      {"bounds below one", 10, none, -3, 0, {1, 1, 1}, {"Resolved constraints: numSpeakers=1, min=1, max=1"}},
      {"exact count overrides bounds", 10, 4, 1, 9, {4, 4, 4}, {"Resolved constraints: numSpeakers=4, min=4, max=4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    EXPECT_EQ(SpeakerCountConstraints::resolve(c.embeddings, c.numSpeakers, c.minSpeakers, c.maxSpeakers), c.expected);
    EXPECT_EQ(log.messages("SpeakerCountConstraints"), c.log);
  }
}

}  // namespace
}  // namespace tesselaudio
