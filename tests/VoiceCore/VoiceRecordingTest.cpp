#include "VoiceCore/VoiceRecording.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "VoiceCore/VoiceBookmark.h"
#include "platform/sys/JsonCodingError.h"

namespace voicecore {
namespace {

using Case = platform::JsonCodingError::Case;

const platform::Uuid kId = *platform::Uuid::fromString("6ba7b810-9dad-11d1-80b4-00c04fd430c8");
const platform::Uuid kOther = *platform::Uuid::fromString("6BA7B811-9DAD-11D1-80B4-00C04FD430C8");

VoiceRecording sample() {
  VoiceRecording recording{kId, "会議", "meeting.m4a", 750000000.5, 62.5, "done",
                           {{"はい", 0.0, 1.5}, {"無音", std::nullopt, std::nullopt}}};
  return recording;
}

TEST(VoiceRecordingTest, WritesCompactJsonInFieldOrder) {
  EXPECT_EQ(sample().toJson().dump(),
            R"({"id":"6BA7B810-9DAD-11D1-80B4-00C04FD430C8","title":"会議","filename":"meeting.m4a",)"
            R"("importedAt":750000000.5,"duration":62.5,"transcriptStatus":"done","segments":)"
            R"([{"text":"はい","start":0.0,"end":1.5},{"text":"無音"}]})");
  const VoiceBookmark bookmark{kOther, kId, 12.0, "決定"};
  EXPECT_EQ(bookmark.toJson().dump(),
            R"({"id":"6BA7B811-9DAD-11D1-80B4-00C04FD430C8","recordingID":)"
            R"("6BA7B810-9DAD-11D1-80B4-00C04FD430C8","seconds":12.0,"note":"決定"})");
}

TEST(VoiceRecordingTest, ReadsBackWhatItWrites) {
  const VoiceRecording recording = sample();
  EXPECT_EQ(VoiceRecording::fromJson(nlohmann::json::parse(recording.toJson().dump())), recording);
  const VoiceBookmark bookmark = VoiceBookmark::make(kId, 0.25, "");
  EXPECT_EQ(VoiceBookmark::fromJson(nlohmann::json::parse(bookmark.toJson().dump())), bookmark);
  EXPECT_NE(VoiceBookmark::make(kId, 0.25, "").id, bookmark.id);
}

TEST(VoiceRecordingTest, ReadsLenientlyWhereTheFormatAllows) {
  const auto recording = VoiceRecording::fromJson(nlohmann::json::parse(
      R"({"id":"6ba7b810-9dad-11d1-80b4-00c04fd430c8","title":"t","filename":"f","importedAt":1,)"
      R"("duration":2,"transcriptStatus":"","segments":[{"text":"a","start":null},{"text":"b","end":3}],)"
      R"("future":{"x":1}})"));
  EXPECT_EQ(recording.id, kId);
  EXPECT_EQ(recording.importedAt, 1.0);
  EXPECT_EQ(recording.segments,
            (std::vector<VoiceSegment>{{"a", std::nullopt, std::nullopt}, {"b", std::nullopt, 3.0}}));
}

TEST(VoiceRecordingTest, RefusesRecordsThatDoNotDecode) {
  const nlohmann::json good = nlohmann::json::parse(sample().toJson().dump());
  struct Row {
    const char* name;
    nlohmann::json json;
    Case expected;
  };
  auto without = [&](const char* key) {
    auto json = good;
    json.erase(key);
    return json;
  };
  auto with = [&](const char* key, nlohmann::json value) {
    auto json = good;
    json[key] = std::move(value);
    return json;
  };
  const Row rows[] = {
      {"notAnObject", nlohmann::json::array(), Case::dataCorrupted},
      {"missingTitle", without("title"), Case::keyNotFound},
      {"nullDuration", with("duration", nullptr), Case::keyNotFound},
      {"missingSegments", without("segments"), Case::keyNotFound},
      {"numberAsText", with("duration", "62.5"), Case::typeMismatch},
      {"titleAsNumber", with("title", 1), Case::typeMismatch},
      {"segmentsAsObject", with("segments", nlohmann::json::object()), Case::typeMismatch},
      {"segmentWithoutText", with("segments", nlohmann::json::parse(R"([{"start":1}])")),
       Case::keyNotFound},
      {"segmentTimeAsText", with("segments", nlohmann::json::parse(R"([{"text":"a","end":"1"}])")),
       Case::typeMismatch},
      {"idNotUuid", with("id", "6BA7B810"), Case::invalidValue},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    try {
      VoiceRecording::fromJson(row.json);
      ADD_FAILURE() << "decoded";
    } catch (const platform::JsonCodingError& error) {
      EXPECT_EQ(error.errorCase(), row.expected);
    }
  }
}

TEST(VoiceRecordingTest, RefusesToWriteNumbersJsonCannotHold) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  VoiceRecording badDuration = sample();
  badDuration.duration = nan;
  VoiceRecording badStart = sample();
  badStart.segments[0].start = inf;
  VoiceRecording badEnd = sample();
  badEnd.segments[1].end = -inf;
  VoiceRecording badImport = sample();
  badImport.importedAt = nan;
  for (const auto* recording : {&badDuration, &badStart, &badEnd, &badImport}) {
    try {
      recording->toJson();
      ADD_FAILURE() << "encoded";
    } catch (const platform::JsonCodingError& error) {
      EXPECT_EQ(error.errorCase(), Case::valueNotFinite);
    }
  }
}

}  // namespace
}  // namespace voicecore
