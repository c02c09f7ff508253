#include "app/Model/VoiceSession.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"

namespace veltovoice {
namespace {

using nlohmann::json;

QUuid uuid(const char* text) { return QUuid::fromString(QString::fromLatin1(text)); }

// A conversation with every optional field present and every record kind in it.
VoiceSession fullSession() {
  VoiceSession s;
  s.id = uuid("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
  s.title = "定例会";
  s.startedAt = 765432100.25;
  s.duration = 3725.5;
  s.audioFile = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.m4a";
  s.segments = {
      LiveSegment{.id = uuid("11111111-1111-4111-8111-111111111111"), .text = "おはよう\nございます",
                  .start = 0.0, .end = 1.5, .speaker = 0, .speakerLocked = true, .edited = false},
      LiveSegment{.id = uuid("22222222-2222-4222-8222-222222222222"), .text = "資料を配ります",
                  .start = std::nullopt, .end = std::nullopt, .speaker = std::nullopt,
                  .speakerLocked = false, .edited = true},
  };
  s.speakerNames = {{0, "司会"}, {2, " "}};
  s.markdownFile = "2024-04-01 0905 定例会.md";
  s.tasks = std::vector<TaskItem>{
      TaskItem{.id = uuid("33333333-3333-4333-8333-333333333333"), .title = "議事録を送る",
               .assignee = "営業部", .due = "金曜", .sourceStart = 12.0, .done = true,
               .manual = false, .parentID = std::nullopt, .collapsed = true},
      TaskItem{.id = uuid("44444444-4444-4444-8444-444444444444"), .title = "宛先を確認",
               .assignee = "", .due = "", .sourceStart = std::nullopt, .done = false,
               .manual = true, .parentID = uuid("33333333-3333-4333-8333-333333333333"),
               .collapsed = std::nullopt},
  };
  s.tasksScannedThrough = 65.0;
  s.topics = std::vector<TopicTag>{
      TopicTag{.id = uuid("55555555-5555-4555-8555-555555555555"), .title = "予算",
               .startSegmentID = uuid("22222222-2222-4222-8222-222222222222"),
               .points = {"見積もりを確認"}, .decisions = {}},
  };
  s.segmentsBackup = std::vector<LiveSegment>{s.segments[0]};
  s.memo = "田中、ACME社";
  return s;
}

// A conversation with every optional field absent.
VoiceSession minimalSession() {
  VoiceSession s;
  s.id = uuid("66666666-6666-4666-8666-666666666666");
  s.title = "";
  s.startedAt = 0.5;
  return s;
}

TEST(VoiceSessionTest, RoundTripsThroughJson) {
  struct Case {
    const char* name;
    VoiceSession session;
  };
  VoiceSession emptyLists = minimalSession();
  emptyLists.tasks = std::vector<TaskItem>{};
  emptyLists.topics = std::vector<TopicTag>{};
  emptyLists.segmentsBackup = std::vector<LiveSegment>{};
  emptyLists.memo = "";
  const Case cases[] = {
      {"everyFieldPresent", fullSession()},
      {"everyOptionalAbsent", minimalSession()},
      {"emptyListsKeptApartFromAbsent", emptyLists},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VoiceSession::fromJsonText(c.session.toJsonText()), c.session);
  }
}

TEST(VoiceSessionTest, LeavesAbsentOptionalsOutAndWritesEmptyOnes) {
  json absent = minimalSession().toJson();
  for (const char* member : {"duration", "audioFile", "markdownFile", "tasks",
                             "tasksScannedThrough", "topics", "segmentsBackup", "memo"}) {
    EXPECT_FALSE(absent.contains(member)) << member;
  }
  EXPECT_EQ(absent["segments"], json::array());
  EXPECT_EQ(absent["speakerNames"], json::object());

  VoiceSession withEmpty = minimalSession();
  withEmpty.tasks = std::vector<TaskItem>{};
  EXPECT_EQ(withEmpty.toJson()["tasks"], json::array());

  json segment = LiveSegment{.text = "x"}.toJson();
  EXPECT_FALSE(segment.contains("start"));
  EXPECT_FALSE(segment.contains("end"));
  EXPECT_FALSE(segment.contains("speaker"));
  json task = TaskItem{.title = "x"}.toJson();
  EXPECT_FALSE(task.contains("sourceStart"));
  EXPECT_FALSE(task.contains("parentID"));
  EXPECT_FALSE(task.contains("collapsed"));
}

TEST(VoiceSessionTest, WritesSortedIndentedJsonWithUpperCaseIds) {
  VoiceSession s = minimalSession();
  s.id = uuid("abcdefab-cdef-4abc-8def-abcdefabcdef");
  s.speakerNames = {{1, "b"}, {0, "a"}};
  EXPECT_EQ(s.toJsonText(),
            "{\n"
            "  \"id\": \"ABCDEFAB-CDEF-4ABC-8DEF-ABCDEFABCDEF\",\n"
            "  \"segments\": [],\n"
            "  \"speakerNames\": {\n"
            "    \"0\": \"a\",\n"
            "    \"1\": \"b\"\n"
            "  },\n"
            "  \"startedAt\": 0.5,\n"
            "  \"title\": \"\"\n"
            "}");
}

TEST(VoiceSessionTest, ReadsLenientlyWhereTheFormatAllows) {
  const json source = {
      {"id", "abcdefab-cdef-4abc-8def-abcdefabcdef"},
      {"title", "t"},
      {"startedAt", 700000000},
      {"segments",
       {{{"id", "11111111-1111-4111-8111-111111111111"}, {"text", "x"}, {"start", nullptr},
         {"speaker", 2}, {"speakerLocked", false}, {"edited", false}, {"confidence", 0.9}}}},
      {"speakerNames", {{"0", "司会"}, {"2", "記録"}}},
      {"tasks", nullptr},
      {"memo", nullptr},
      {"futureMember", {{"nested", true}}},
  };
  VoiceSession s = VoiceSession::fromJson(source);
  EXPECT_EQ(s.id, uuid("ABCDEFAB-CDEF-4ABC-8DEF-ABCDEFABCDEF"));
  EXPECT_EQ(s.startedAt, 700000000.0);
  EXPECT_EQ(s.segments.at(0).start, std::nullopt);
  EXPECT_EQ(s.segments.at(0).speaker, 2);
  EXPECT_EQ(s.tasks, std::nullopt);
  EXPECT_EQ(s.memo, std::nullopt);
  EXPECT_EQ(s.speakerNames, (std::map<int, std::string>{{0, "司会"}, {2, "記録"}}));
  EXPECT_EQ(s.speakerName(1), "話者B");

  json written = s.toJson();
  EXPECT_FALSE(written.contains("futureMember"));
  EXPECT_FALSE(written["segments"][0].contains("confidence"));
  EXPECT_FALSE(written.contains("tasks"));
}

TEST(VoiceSessionTest, RejectsAnyMissingOrMistypedRequiredMember) {
  struct Case {
    const char* name;
    const char* pointer;
    std::optional<json> replacement;  // nothing: remove the member
    platform::JsonCodingError::Case code;
  };
  const std::optional<json> nothing;
  const Case cases[] = {
      {"sessionId", "/id", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"sessionTitle", "/title", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"startedAt", "/startedAt", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"segments", "/segments", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"speakerNames", "/speakerNames", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"segmentId", "/segments/0/id", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"segmentText", "/segments/0/text", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"speakerLocked", "/segments/0/speakerLocked", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"edited", "/segments/0/edited", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"backupEdited", "/segmentsBackup/0/edited", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"topicTitle", "/topics/0/title", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"topicStart", "/topics/0/startSegmentID", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"points", "/topics/0/points", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"decisions", "/topics/0/decisions", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"taskTitle", "/tasks/0/title", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"assignee", "/tasks/0/assignee", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"due", "/tasks/0/due", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"done", "/tasks/0/done", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"manual", "/tasks/0/manual", nothing, platform::JsonCodingError::Case::keyNotFound},
      {"requiredNull", "/title", json(nullptr), platform::JsonCodingError::Case::keyNotFound},
      {"titleNumber", "/title", 5, platform::JsonCodingError::Case::typeMismatch},
      {"startedAtText", "/startedAt", "2024-04-01", platform::JsonCodingError::Case::typeMismatch},
      {"segmentsObject", "/segments", json::object(), platform::JsonCodingError::Case::typeMismatch},
      {"segmentNotObject", "/segments/0", "x", platform::JsonCodingError::Case::dataCorrupted},
      {"lockedAsNumber", "/segments/0/speakerLocked", 0, platform::JsonCodingError::Case::typeMismatch},
      {"speakerFraction", "/segments/0/speaker", 1.5, platform::JsonCodingError::Case::invalidValue},
      {"speakerText", "/segments/0/speaker", "1", platform::JsonCodingError::Case::typeMismatch},
      {"optionalWrongType", "/duration", "long", platform::JsonCodingError::Case::typeMismatch},
      {"pointNotString", "/topics/0/points/0", 1, platform::JsonCodingError::Case::typeMismatch},
      {"tasksObject", "/tasks", json::object(), platform::JsonCodingError::Case::typeMismatch},
      {"uuidGarbage", "/id", "not-a-uuid", platform::JsonCodingError::Case::invalidValue},
      {"uuidBraces", "/id", "{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}",
       platform::JsonCodingError::Case::invalidValue},
      {"uuidNumber", "/id", 7, platform::JsonCodingError::Case::typeMismatch},
      {"parentIdGarbage", "/tasks/1/parentID", "33333333", platform::JsonCodingError::Case::invalidValue},
      {"slotKeyWord", "/speakerNames/x", "名前", platform::JsonCodingError::Case::invalidValue},
      {"slotKeyFraction", "/speakerNames/1.5", "名前", platform::JsonCodingError::Case::invalidValue},
      {"slotNameNumber", "/speakerNames/0", 3, platform::JsonCodingError::Case::typeMismatch},
  };
  const json valid = fullSession().toJson();
  ASSERT_NO_THROW(VoiceSession::fromJson(valid));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json broken = valid;
    json::json_pointer pointer(c.pointer);
    if (c.replacement) {
      broken[pointer] = *c.replacement;
    } else {
      broken[pointer.parent_pointer()].erase(pointer.back());
    }
    try {
      VoiceSession::fromJson(broken);
      ADD_FAILURE() << "decoded";
    } catch (const platform::JsonCodingError& error) {
      EXPECT_EQ(error.errorCase(), c.code) << error.description();
    }
  }
}

TEST(VoiceSessionTest, RejectsTextThatIsNotAConversation) {
  for (const char* text : {"", "{", "[]", "null", "{\"id\": 1", "\"\xff\"", "{} {}"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(VoiceSession::fromJsonText(text), platform::JsonCodingError);
  }
}

TEST(VoiceSessionTest, RefusesToEncodeNonFiniteNumbers) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    void (*spoil)(VoiceSession&, double);
  };
  const Case cases[] = {
      {"startedAt", [](VoiceSession& s, double v) { s.startedAt = v; }},
      {"duration", [](VoiceSession& s, double v) { s.duration = v; }},
      {"tasksScannedThrough", [](VoiceSession& s, double v) { s.tasksScannedThrough = v; }},
      {"segmentStart", [](VoiceSession& s, double v) { s.segments[0].start = v; }},
      {"segmentEnd", [](VoiceSession& s, double v) { s.segments[0].end = v; }},
      {"backupStart", [](VoiceSession& s, double v) { (*s.segmentsBackup)[0].start = v; }},
      {"taskSourceStart", [](VoiceSession& s, double v) { (*s.tasks)[0].sourceStart = v; }},
  };
  for (const Case& c : cases) {
    for (double value : {nan, inf, -inf}) {
      SCOPED_TRACE(c.name);
      VoiceSession s = fullSession();
      c.spoil(s, value);
      try {
        s.toJsonText();
        ADD_FAILURE() << "encoded " << value;
      } catch (const platform::JsonCodingError& error) {
        EXPECT_EQ(error.errorCase(), platform::JsonCodingError::Case::valueNotFinite);
      }
    }
  }
}

TEST(VoiceSessionTest, NamesSpeakersByCustomNameOrSlot) {
  struct Case {
    const char* name;
    std::map<int, std::string> names;
    int slot;
    const char* expected;
  };
  const Case cases[] = {
      {"threeBlanksFallBack", {{0, "   "}}, 0, "話者A"},
      {"blanksTrimmed", {{0, " 司会 "}}, 0, "司会"},
      {"tabAndIdeographicSpaceTrimmed", {{1, "\t\u3000田中\u00a0"}}, 1, "田中"},
      {"lineBreakKept", {{0, "\n"}}, 0, "\n"},
      {"emptyFallsBack", {{2, ""}}, 2, "話者C"},
      {"slotThree", {}, 3, "話者D"},
      {"slotFour", {}, 4, "話者5"},
      {"slotNine", {}, 9, "話者10"},
      {"largestSlotFromADamagedFile", {}, 2147483647, "話者2147483648"},
      {"negativeSlot", {}, -1, "話者0"},
      {"otherSlotNamed", {{0, "司会"}}, 1, "話者B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VoiceSession s;
    s.speakerNames = c.names;
    EXPECT_EQ(s.speakerName(c.slot), c.expected);
  }
}

TEST(VoiceSessionTest, FindsTopicStartAtFirstMatchingSentence) {
  const QUuid shared = QUuid::createUuid();
  const QUuid untimed = QUuid::createUuid();
  VoiceSession s;
  s.segments = {LiveSegment{.id = untimed, .text = "a"},
                LiveSegment{.id = shared, .text = "b", .start = 12.0},
                LiveSegment{.id = shared, .text = "c", .start = 30.0}};
  EXPECT_EQ(s.topicStart(TopicTag{.startSegmentID = shared}), 12.0);
  EXPECT_EQ(s.topicStart(TopicTag{.startSegmentID = untimed}), std::nullopt);
  EXPECT_EQ(s.topicStart(TopicTag{.startSegmentID = QUuid::createUuid()}), std::nullopt);
}

TEST(VoiceSessionTest, FreshRecordsGetDistinctIds) {
  EXPECT_NE(VoiceSession().id, VoiceSession().id);
  EXPECT_NE(LiveSegment().id, LiveSegment().id);
  EXPECT_FALSE(TaskItem().id.isNull());
  EXPECT_FALSE(TopicTag().id.isNull());
}

}  // namespace
}  // namespace veltovoice
