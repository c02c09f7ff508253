#include "platform/sys/Signposter.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/SystemLog.h"
#include "tests/support/SystemLogCapture.h"

namespace platform {
namespace {

using Level = SystemLog::Level;

// The messages captured so far, each checked to be a debug record of the signposter's place.
std::vector<std::string> messages(const testsupport::SystemLogCapture& capture) {
  std::vector<std::string> out;
  for (const auto& record : capture.records()) {
    EXPECT_EQ(record.level, Level::debug);
    EXPECT_EQ(record.subsystem, "tessel-audio.diarization");
    EXPECT_EQ(record.category, "PointsOfInterest");
    out.push_back(record.message);
  }
  return out;
}

// The id of a "begin #<id> ..." or "end #<id> ..." message.
std::string idOf(const std::string& message) {
  const auto hash = message.find('#');
  return message.substr(hash + 1, message.find(' ', hash) - hash - 1);
}

class SignposterTest : public testing::Test {
 protected:
  testsupport::SystemLogCapture capture_;
  Signposter signposter_{"tessel-audio.diarization", Signposter::pointsOfInterest};
};

TEST_F(SignposterTest, IntervalWritesBeginAndEndWithOneId) {
  {
    auto interval = signposter_.beginInterval("Segmentation Model Prediction");
    ASSERT_EQ(messages(capture_).size(), 1u);
  }
  const auto all = messages(capture_);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], "begin #" + idOf(all[0]) + " Segmentation Model Prediction");
  EXPECT_EQ(all[1], "end #" + idOf(all[0]) + " Segmentation Model Prediction");
}

TEST_F(SignposterTest, OverlappingIntervalsAreToldApartByTheirIds) {
  auto outer = signposter_.beginInterval("Outer");
  auto inner = signposter_.beginInterval("Inner");
  outer.end();
  inner.end();
  const auto all = messages(capture_);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_NE(idOf(all[0]), idOf(all[1]));
  EXPECT_EQ(all[2], "end #" + idOf(all[0]) + " Outer");
  EXPECT_EQ(all[3], "end #" + idOf(all[1]) + " Inner");
}

TEST_F(SignposterTest, EndsOnceWhateverEndsIt) {
  {
    auto interval = signposter_.beginInterval("Stage");
    interval.end();
    interval.end();
    auto moved = std::move(interval);
    auto assigned = signposter_.beginInterval("Other");
    // Assigning over an open interval ends it first.
    assigned = std::move(moved);
  }
  const auto all = messages(capture_);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_TRUE(all[0].starts_with("begin #")) << all[0];
  EXPECT_TRUE(all[1].starts_with("end #")) << all[1];
  EXPECT_EQ(all[2], "begin #" + idOf(all[2]) + " Other");
  EXPECT_EQ(all[3], "end #" + idOf(all[2]) + " Other");
}

TEST_F(SignposterTest, WritesNothingWhenDebugRecordsAreOff) {
  capture_.setEnabled(Level::debug, false);
  signposter_.beginInterval("Quiet").end();
  EXPECT_TRUE(capture_.records().empty());
}

}  // namespace
}  // namespace platform
