#include "voicememos/Transcript.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

using Segment = Transcript::Segment;
using Range = Transcript::TimeRange;

Transcript decode(std::string_view json) {
  const auto bytes = testsupport::raw(json);
  return Transcript::fromData(bytes);
}

TEST(TranscriptTest, DecodesAttributedStringForms) {
  struct Case {
    const char* name;
    const char* json;
    Transcript expected;
  };
  const Case cases[] = {
      {"plainString", R"({"attributedString":"こんにちは"})", {"こんにちは", std::nullopt, {{"こんにちは", std::nullopt}}}},
      {"emptyPlainString", R"({"attributedString":""})", {"", std::nullopt, {}}},
      {"timedRuns",
       R"({"attributedString":["今日は",{"timeRange":[0,1.5]},"晴れ",{"timeRange":[1.5,2.25]}],"locale":{"identifier":"ja_JP"}})",
       {"今日は晴れ", "ja_JP", {{"今日は", Range{0, 1.5}}, {"晴れ", Range{1.5, 2.25}}}}},
      {"untimedAmongTimed",
       R"({"attributedString":["a",{"timeRange":[12.5,10.0]},"b",{"timeRange":[1,2,3]},"c",{"timeRange":[3,4]},"d",{}]})",
       {"abcd", std::nullopt,
        {{"a", std::nullopt}, {"b", std::nullopt}, {"c", Range{3, 4}}, {"d", std::nullopt}}}},
      {"equalBoundsTimed", R"({"attributedString":["a",{"timeRange":[2,2]}]})",
       {"a", std::nullopt, {{"a", Range{2, 2}}}}},
      {"neighboursWithSameRangeJoin",
       R"({"attributedString":["a",{"timeRange":[0,1]},"b",{"timeRange":[0,1],"other":true},"c",{}]})",
       {"abc", std::nullopt, {{"ab", Range{0, 1}}, {"c", std::nullopt}}}},
      {"emptyRunBetweenEqualNeighbours",
       R"({"attributedString":["a",{},"",{"timeRange":[0,1]},"b",{}]})",
       {"ab", std::nullopt, {{"ab", std::nullopt}}}},
      {"attributeTable",
       R"({"attributedString":{"runs":["x",0,"y",1,"z",0],"attributeTable":[{"timeRange":[0,1]},{}]},"locale":"en_US"})",
       {"xyz", "en_US", {{"x", Range{0, 1}}, {"y", std::nullopt}, {"z", Range{0, 1}}}}},
      {"localeThatDoesNotRead", R"({"attributedString":"a","locale":42})",
       {"a", std::nullopt, {{"a", std::nullopt}}}},
      {"nullLocale", R"({"attributedString":"a","locale":null})",
       {"a", std::nullopt, {{"a", std::nullopt}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode(c.json), c.expected);
  }
}

TEST(TranscriptTest, RejectsUndecodableDocuments) {
  const char* documents[] = {
      "not json",
      "",
      R"(["a",{}])",
      R"({"text":"a"})",
      R"({"attributedString":null})",
      R"({"attributedString":42})",
      R"({"attributedString":["a"]})",
      R"({"attributedString":["a","b"]})",
      R"({"attributedString":[1,{}]})",
      R"({"attributedString":{"runs":["a",5],"attributeTable":[{}]}})",
      R"({"attributedString":{"runs":["a",-1],"attributeTable":[{}]}})",
      R"({"attributedString":{"attributeTable":[]}})",
      "{\"attributedString\":\"\xff\xfe\"}",
  };
  for (const char* document : documents) {
    SCOPED_TRACE(document);
    try {
      decode(document);
      ADD_FAILURE() << "decoded";
    } catch (const VoiceMemosError& error) {
      EXPECT_EQ(error, VoiceMemosError::malformedTranscript());
    }
  }
}

TEST(TranscriptTest, ReadsFromAudioFile) {
  testsupport::TemporaryFolder folder;
  const auto withTranscript = folder / "20250102 093000.qta";
  testsupport::writeFile(withTranscript, testsupport::voiceMemosFile(
                                             R"({"attributedString":["はい",{"timeRange":[0.5,1]}]})"));
  const auto transcript = Transcript::contentsOf(withTranscript);
  ASSERT_TRUE(transcript);
  EXPECT_EQ(transcript->segments, (std::vector<Segment>{{"はい", Range{0.5, 1}}}));

  const auto without = folder / "plain.m4a";
  testsupport::writeFile(without, testsupport::atom("moov", {testsupport::mvhd(1000, 10)}));
  EXPECT_EQ(Transcript::contentsOf(without), std::nullopt);

  const auto damaged = folder / "damaged.m4a";
  testsupport::writeFile(damaged, testsupport::voiceMemosFile("{\"attributedString\":"));
  EXPECT_THROW(Transcript::contentsOf(damaged), VoiceMemosError);
}

}  // namespace
}  // namespace voicememos
