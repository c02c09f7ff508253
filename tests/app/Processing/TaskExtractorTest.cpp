#include "app/Processing/TaskExtractor.h"

#include <cstring>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QThread>
#include <QCoroTask>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/Model/AppLog.h"
#include "platform/lm/GenerationError.h"
#include "platform/net/HttpStatusError.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "tests/app/Processing/ModelRequestFixture.h"
#include "tests/support/LanguageModelFake.h"

namespace veltovoice {
namespace {

using testsupport::LanguageModelFake;

TEST(TaskExtractorTest, SimilarMatchesEqualContainedAndCloseTexts) {
  struct Case {
    const char* a;
    const char* b;
    bool similar;
  };
  const Case cases[] = {
      {"A", "A", true},
      {"A", "B", false},
      {"", "x", false},
      {"見積書を送る", "  - [ ] 見積書を送る（話者A）", true},
      {"送る", "見積書を送る", true},
      {"見積書を3件送る", "見積書を３件送る", false},
      {"「見積書」を送る。", "見積書 を送る", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(TaskExtractor::similar(c.a, c.b), c.similar);
    EXPECT_EQ(TaskExtractor::similar(c.b, c.a), c.similar);
  }
  EXPECT_EQ(TaskExtractor::normalized(" 見積、書「を」\n送る。・"), "見積書を送る");
}

TEST(TaskExtractorTest, SecondsAndTimeRange) {
  struct Case {
    const char* text;
    std::optional<double> seconds;
  };
  const Case cases[] = {{" 12:05 ", 725}, {"1:00:00", 3600}, {"1:02:03", 3723},
                        {"03:10", 190},   {"[03:10]", std::nullopt}, {"3", std::nullopt},
                        {"", std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TaskExtractor::seconds(c.text), c.seconds);
  }
  EXPECT_EQ(TaskExtractor::timeRange({"[00:12] 話者A：はい", "[03:45] 話者B：了解"}), "00:12〜03:45");
  EXPECT_EQ(TaskExtractor::timeRange({"話者A：はい", "[03:45] 話者B：了解"}), "?〜03:45");
  EXPECT_EQ(TaskExtractor::timeRange({}), "?〜?");
}

TEST(TaskExtractorTest, ReasonTexts) {
  using platform::GenerationError;
  EXPECT_EQ(TaskExtractor::reason(GenerationError::guardrailViolation()), "安全フィルター（guardrailViolation）");
  EXPECT_EQ(TaskExtractor::reason(GenerationError::rateLimited("busy")), "混雑（rateLimited）");
  EXPECT_EQ(TaskExtractor::reason(GenerationError::exceededContextWindowSize()),
            "入力が長すぎる（exceededContextWindowSize）");
  EXPECT_EQ(TaskExtractor::reason(GenerationError::unsupportedLanguageOrLocale()),
            "対応していない言語（unsupportedLanguageOrLocale）");
  EXPECT_EQ(TaskExtractor::reason(GenerationError::refusal("no")), "生成エラー（refusal: no）");
  const platform::HttpStatusError other(500);
  EXPECT_EQ(TaskExtractor::reason(other), AppLog::describe(other));
}

TEST(TaskExtractorTest, ChunksAtThirteenHundredCharacters) {
  const std::string a(700, 'a'), b(700, 'b'), c(100, 'c'), long_(3000, 'x');
  auto chunks = TaskExtractor::chunks({a, b, c}, 1300);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 1u);
  EXPECT_EQ(chunks[1].size(), 2u);
  chunks = TaskExtractor::chunks({long_, c}, 1300);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], std::vector<std::string>{std::string(1300, 'x')});
  EXPECT_EQ(std::strlen(TaskExtractor::kExtractionInstructions), 868u);
  EXPECT_EQ(std::strlen(TaskExtractor::kGroupingInstructions), 191u);
}

TEST(TaskExtractorTest, ExtractCleansDropsRepeatsAndReportsSkips) {
  int argc = 0;
  QCoreApplication app(argc, nullptr);
  LanguageModelFake fake;
  fake.setScript([](const LanguageModelFake::Request& request) {
    if (request.user.find("二つ目") != std::string::npos) {
      return LanguageModelFake::content("", "content_filter");
    }
    return LanguageModelFake::content(
        R"({"items":[{"title":"見積書を送る","assignee":"なし","due":"-","time":"00:01","parent":""},)"
        R"({"title":"請求書を作る","assignee":" 発言者 ","due":"金曜","time":"00:02","parent":"経理"},)"
        R"({"title":"  ","assignee":"","due":"","time":"","parent":""}]})");
  });
  auto model = std::make_shared<platform::SystemLanguageModel>(fake.configuration());
  std::vector<std::vector<TaskExtractor::Found>> handed;
  const std::vector<std::string> lines = {"[00:01] 話者A：" + std::string(1290, 'a'),
                                          "[00:02] 二つ目" + std::string(1290, 'b'),
                                          "[00:03] 話者A：三つ目"};
  auto skips = QCoro::waitFor(TaskExtractor::extract(
      model, lines, {"  - [ ] 見積書を送る（話者A）"},
      [&](const std::vector<TaskExtractor::Found>& found) {
        EXPECT_EQ(QThread::currentThread(), app.thread());
        handed.push_back(found);
      },
      {}));
  ASSERT_EQ(skips.size(), 1u);
  EXPECT_EQ(skips[0].range, "00:02〜00:02");
  EXPECT_EQ(skips[0].reason, "安全フィルター（guardrailViolation）");
  ASSERT_EQ(handed.size(), 1u);
  ASSERT_EQ(handed[0].size(), 1u);
  EXPECT_EQ(handed[0][0], (TaskExtractor::Found{"請求書を作る", "話者", "金曜", "00:02", "経理"}));
  auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].system, TaskExtractor::kExtractionInstructions);
  EXPECT_EQ(requests[0].user.substr(0, requests[0].user.find("\n\n文字起こし")),
            "すでに見つかっているタスク（字下げは親子関係）：\n  - [ ] 見積書を送る（話者A）");
  EXPECT_NE(requests[2].user.find("  - [ ] 見積書を送る（話者A）\n  - 請求書を作る\n\n"), std::string::npos);
}

std::string repeated(std::string_view character, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += character;
  return text;
}

// An answer of the task-list schema with these items ({title, assignee, due, time, parent}).
LanguageModelFake::Answer itemsAnswer(const std::vector<TaskExtractor::Found>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& item : items) {
    list.push_back({{"title", item.title},
                    {"assignee", item.assignee},
                    {"due", item.due},
                    {"time", item.time},
                    {"parent", item.parent}});
  }
  return LanguageModelFake::content(nlohmann::json{{"items", list}}.dump());
}

const char* const kTaskListSchema =
    R"({"type":"object","properties":{"items":{"description":"新しく見つかったタスク。なければ空の配列",)"
    R"("type":"array","items":{"type":"object","properties":{)"
    R"("title":{"description":"やること。「〜する」の形で短く。例：見積書を3件送る","type":"string"},)"
    R"("assignee":{"description":"担当者の名前。発言者が自分でやると言ったならその発言者。わからなければ空文字","type":"string"},)"
    R"("due":{"description":"期限。会話に出た言い方のまま。例：来週火曜、金曜まで。なければ空文字","type":"string"},)"
    R"("time":{"description":"根拠になった発言の行頭の時刻（mm:ss）。わからなければ空文字","type":"string"},)"
    R"("parent":{"description":"このタスクをまとめる親タスクの名前。既存のタスク一覧にある名前をそのまま使うか、関連するタスクをまとめる短い名前（例：保守契約、LP改善）。単独なら空文字","type":"string"}},)"
    R"("required":["title","assignee","due","time","parent"],"additionalProperties":false}}},)"
    R"("required":["items"],"additionalProperties":false})";

const char* const kGroupingSchema =
    R"({"type":"object","properties":{"groups":{"description":"2つ以上のタスクをまとめる親。まとめる必要がないタスクはどこにも入れない",)"
    R"("type":"array","items":{"type":"object","properties":{)"
    R"("title":{"description":"親タスクの名前。まとめる話題や目的を短く。例：保守契約、LP改善","type":"string"},)"
    R"("members":{"description":"この親の下に入るタスクの番号","type":"array","items":{"type":"integer"}}},)"
    R"("required":["title","members"],"additionalProperties":false}}},)"
    R"("required":["groups"],"additionalProperties":false})";

const std::string kPromptHead = "すでに見つかっているタスク（字下げは親子関係）：\n";

using testing::ModelRequestFixture;

class TaskExtractorRequestTest : public ModelRequestFixture {
 protected:
  // Runs extract and gathers what onFound received, one list per call.
  std::vector<TaskExtractor::Skip> extract(std::vector<std::string> lines, std::vector<std::string> outline = {},
                                           std::stop_token stop = {}) {
    return run(TaskExtractor::extract(
        model_, std::move(lines), std::move(outline),
        [this](const std::vector<TaskExtractor::Found>& found) {
          EXPECT_EQ(QThread::currentThread(), app_.thread());
          handed.push_back(found);
          if (afterFound) afterFound();
        },
        stop));
  }

  // The "文字起こし：" part of every prompt the fake received.
  std::vector<std::string> transcripts() const {
    std::vector<std::string> all;
    for (const auto& request : fake_.requests()) {
      const auto at = request.user.find("文字起こし：\n");
      const auto end = request.user.rfind("\n\nJSON Schema:\n");
      all.push_back(request.user.substr(at + std::strlen("文字起こし：\n"), end - at - std::strlen("文字起こし：\n")));
    }
    return all;
  }

  std::vector<std::vector<TaskExtractor::Found>> handed;
  std::function<void()> afterFound;
};

TEST_F(TaskExtractorRequestTest, SendsInstructionsSchemaAndPromptsByteForByte) {
  fake_.setScript([](const LanguageModelFake::Request& request) {
    if (request.user.find("（なし）") != std::string::npos) {
      return itemsAnswer({{"見積書を送る", "", "", "00:01", ""}, {"会議室を押さえる", "", "", "", "総会"}});
    }
    return itemsAnswer({});
  });
  extract({"[00:01] 話者A：見積書を送ります", "[00:02] 話者B：会議室は私が押さえます"});
  extract({"[00:03] 話者A：以上です"}, {"- [ ] 議事録を書く", "  - [x] 印刷する（話者B）（金曜）"});

  const auto requests = fake_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].system.size(), 868u);
  EXPECT_EQ(requests[0].system, TaskExtractor::kExtractionInstructions);
  EXPECT_EQ(requests[0].user, kPromptHead + "（なし）\n\n文字起こし：\n[00:01] 話者A：見積書を送ります\n"
                                            "[00:02] 話者B：会議室は私が押さえます\n\nJSON Schema:\n" +
                                  kTaskListSchema);
  EXPECT_EQ(requests[1].user, kPromptHead + "- [ ] 議事録を書く\n  - [x] 印刷する（話者B）（金曜）\n\n"
                                            "文字起こし：\n[00:03] 話者A：以上です\n\nJSON Schema:\n" +
                                  kTaskListSchema);
  // Default options: no sampling, temperature or token limit.
  const auto body = nlohmann::json::parse(requests[0].body);
  for (const char* key : {"temperature", "top_k", "top_p", "max_tokens"}) EXPECT_FALSE(body.contains(key)) << key;
  EXPECT_EQ(body["response_format"]["json_schema"]["name"], "TaskList");
}

TEST_F(TaskExtractorRequestTest, ChunksLinesByCharactersNotBytes) {
  const std::string a = repeated("あ", 700), b = repeated("い", 700), c = repeated("う", 100);
  // "か" + combining voiced mark: two scalars, one character.
  const std::string voiced = repeated("か\u3099", 1300);
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {"700, 700 and 100", {a, b, c}, {a, b + "\n" + c}},
      {"long line cut and alone", {repeated("え", 3000), "次"}, {repeated("え", 1300), "次"}},
      {"combined characters count once", {voiced, "z"}, {voiced, "z"}},
      {"exactly the limit together", {repeated("お", 1299), "z"}, {repeated("お", 1299) + "\nz"}},
      {"no lines", {}, {}},
  };
  std::size_t before = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(extract(c.lines).empty());
    const auto all = transcripts();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()), c.sent);
    before = all.size();
  }
}

TEST_F(TaskExtractorRequestTest, KeepsOnlyTheLastFortyOutlineLinesAndGrowsThem) {
  std::vector<std::string> outline;
  for (int i = 0; i < 45; ++i) outline.push_back("- [ ] 行" + std::to_string(i));
  fake_.setScript([](const LanguageModelFake::Request& request) {
    if (request.user.find("一つ目") != std::string::npos) {
      return itemsAnswer({{"旅費を精算する", "", "", "", ""}, {"備品を買う", "", "", "", "総務"}});
    }
    return itemsAnswer({});
  });
  extract({"一つ目" + repeated("あ", 1290), "二つ目" + repeated("い", 1290)}, outline);

  const auto requests = fake_.requests();
  ASSERT_EQ(requests.size(), 2u);
  std::string tail;
  for (int i = 5; i < 45; ++i) tail += "- [ ] 行" + std::to_string(i) + "\n";
  EXPECT_EQ(requests[0].user.substr(0, requests[0].user.find("\n文字起こし")), kPromptHead + tail);
  std::string grown;
  for (int i = 7; i < 45; ++i) grown += "- [ ] 行" + std::to_string(i) + "\n";
  grown += "- 旅費を精算する\n  - 備品を買う\n";
  EXPECT_EQ(requests[1].user.substr(0, requests[1].user.find("\n文字起こし")), kPromptHead + grown);
}

TEST_F(TaskExtractorRequestTest, CleansAssigneeAndDue) {
  struct Case {
    std::string given;
    std::string kept;
  };
  const Case cases[] = {
      {"不明", ""},     {"なし", ""},   {"未定", ""},        {"未指定", ""},      {"特になし", ""},
      {"-", ""},        {"ー", ""},     {"N/A", ""},         {"none", ""},        {" \n なし\t", ""},
      {"None", "None"}, {"不明点", "不明点"}, {"発言者", "話者"}, {" 発言者と発言者B ", "話者と話者B"},
      {"", ""},
  };
  const char* const titles[] = {"見積書を送る", "会議室を予約する", "議事録を共有する", "請求書を発行する",
                                "資料を印刷する", "契約書を確認する", "名刺を発注する", "予算を申請する",
                                "日程を調整する", "報告書を提出する", "備品を購入する", "旅費を精算する",
                                "鍵を返却する", "机を運ぶ", "電話をかける"};
  static_assert(std::size(titles) == std::size(cases));
  std::vector<TaskExtractor::Found> answer;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    answer.push_back({titles[i], cases[i].given, cases[i].given, " 03:10 ", " 親 "});
  }
  fake_.setScript([&](const LanguageModelFake::Request&) { return itemsAnswer(answer); });
  extract({"[03:10] 話者A：いろいろ"});
  ASSERT_EQ(handed.size(), 1u);
  ASSERT_EQ(handed[0].size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].given);
    EXPECT_EQ(handed[0][i], (TaskExtractor::Found{titles[i], cases[i].kept, cases[i].kept, " 03:10 ", " 親 "}));
  }
}

TEST_F(TaskExtractorRequestTest, DropsRepeatsOfKnownAndEarlierTitles) {
  fake_.setScript([](const LanguageModelFake::Request&) {
    return itemsAnswer({{"見積書を送る", "", "", "", ""},         // inside a known outline line
                        {"送る", "", "", "", ""},                 // contained in a known title
                        {"見積書を3件送る", "", "", "", ""},      // kept
                        {"見積書を３件送る", "", "", "", ""},     // full-width digit: 0.56, kept
                        {"見積書を 3件 送る。", "", "", "", ""},  // equal after normalising
                        {" \t", "", "", "", ""},                  // blank
                        {"", "", "", "", ""}});
  });
  extract({"[00:01] 話者A：見積"}, {"  - [ ] 見積書を送る（話者A）"});
  ASSERT_EQ(handed.size(), 1u);
  std::vector<std::string> titles;
  for (const auto& found : handed[0]) titles.push_back(found.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"見積書を3件送る", "見積書を３件送る"}));
}

TEST_F(TaskExtractorRequestTest, HandsEachChunksNewItemsOverBeforeTheNextRequest) {
  fake_.setScript([](const LanguageModelFake::Request& request) {
    if (request.user.find("三つ目") != std::string::npos) return itemsAnswer({{"名刺を発注する", "", "", "", ""}});
    return itemsAnswer({{"見積書を送る", "", "", "", ""}});  // new in chunk 1, a repeat in chunk 2
  });
  std::vector<std::size_t> requestsSeen;
  afterFound = [&] { requestsSeen.push_back(fake_.requests().size()); };
  const auto skips = extract(
      {"一つ目" + repeated("あ", 1290), "二つ目" + repeated("い", 1290), "三つ目" + repeated("う", 1290)});
  EXPECT_TRUE(skips.empty());
  EXPECT_EQ(requestsSeen, (std::vector<std::size_t>{1, 3}));
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0], (std::vector<TaskExtractor::Found>{{"見積書を送る", "", "", "", ""}}));
  EXPECT_EQ(handed[1], (std::vector<TaskExtractor::Found>{{"名刺を発注する", "", "", "", ""}}));
}

TEST_F(TaskExtractorRequestTest, SkipsRefusedChunksAndGoesOn) {
  struct Case {
    const char* name;
    LanguageModelFake::Answer failure;
    std::string reason;
  };
  const Case cases[] = {
      {"guardrail", LanguageModelFake::content("", "content_filter"), "安全フィルター（guardrailViolation）"},
      {"rate limit", LanguageModelFake::error(429, "busy"), "混雑（rateLimited）"},
      {"refusal", LanguageModelFake::refusal("できません"), "生成エラー（refusal: できません）"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    handed.clear();
    fake_.setScript([&](const LanguageModelFake::Request& request) {
      if (request.user.find("二つ目") != std::string::npos) return c.failure;
      if (request.user.find("三つ目") != std::string::npos) return itemsAnswer({{"名刺を発注する", "", "", "", ""}});
      return itemsAnswer({{"見積書を送る", "", "", "", ""}});
    });
    const auto skips = extract({"[00:01] 一つ目" + repeated("あ", 1200), "[01:10] 二つ目" + repeated("い", 1200),
                                "[02:20] 二つ目の続き", "[03:30] 三つ目" + repeated("う", 1200)});
    EXPECT_EQ(skips, (std::vector<TaskExtractor::Skip>{{"01:10〜02:20", c.reason}}));
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[0][0].title, "見積書を送る");
    EXPECT_EQ(handed[1][0].title, "名刺を発注する");
  }
  EXPECT_TRUE(errorLines().empty());  // the caller logs skips
}

TEST_F(TaskExtractorRequestTest, ThrowsWhenItemsCannotBeRead) {
  const char* const answers[] = {R"({"tasks":[]})", R"({"items":"なし"})", R"({"items":{"title":"x"}})"};
  for (const char* answer : answers) {
    SCOPED_TRACE(answer);
    handed.clear();
    fake_.setScript([&](const LanguageModelFake::Request& request) {
      if (request.user.find("二つ目") != std::string::npos) return LanguageModelFake::content(answer);
      return itemsAnswer({{"見積書を送る", "", "", "", ""}});
    });
    try {
      extract({"一つ目" + repeated("あ", 1290), "二つ目" + repeated("い", 1290)});
      ADD_FAILURE() << "no error";
    } catch (const platform::GenerationError& error) {
      EXPECT_EQ(error.errorCase(), platform::GenerationError::Case::decodingFailure);
    }
    EXPECT_EQ(handed.size(), 1u);  // what was handed over stays handed over
  }
}

TEST_F(TaskExtractorRequestTest, StopsWithCancellationNeverASkip) {
  const std::vector<std::string> lines = {"一つ目" + repeated("あ", 1290), "二つ目" + repeated("い", 1290)};
  fake_.setScript([](const LanguageModelFake::Request&) { return itemsAnswer({{"見積書を送る", "", "", "", ""}}); });

  std::stop_source before;
  before.request_stop();
  EXPECT_THROW(extract(lines, {}, before.get_token()), platform::CancellationError);
  EXPECT_TRUE(fake_.requests().empty());

  std::stop_source afterFirst;
  afterFound = [&] { afterFirst.request_stop(); };
  EXPECT_THROW(extract(lines, {}, afterFirst.get_token()), platform::CancellationError);
  EXPECT_EQ(fake_.requests().size(), 1u);
  EXPECT_EQ(handed.size(), 1u);
  afterFound = nullptr;

  // Stopped while the server holds the answer.
  auto answer = itemsAnswer({});
  answer.held = true;
  // By value: the server may read the answer after the stopped call has returned.
  fake_.setScript([answer](const LanguageModelFake::Request&) { return answer; });
  std::stop_source during;
  std::thread stopper([&] {
    EXPECT_TRUE(fake_.waitForRequests(2));
    during.request_stop();
  });
  EXPECT_THROW(extract(lines, {}, during.get_token()), platform::CancellationError);
  stopper.join();
  EXPECT_EQ(fake_.requests().size(), 2u);
  EXPECT_TRUE(errorLines().empty());
}

TEST_F(TaskExtractorRequestTest, RepairsInvalidUtf8BeforeUse) {
  fake_.setScript([](const LanguageModelFake::Request&) { return itemsAnswer({{"見積書を送る", "", "", "", ""}}); });
  const auto skips = extract({"[00:01] 話者A：見積\xff書\xe3\x81", "[\xc3\x28:00] x"}, {"- [ ] 印\xed\xa0\x80刷する"});
  EXPECT_TRUE(skips.empty());
  ASSERT_EQ(fake_.requests().size(), 1u);
  const std::string user = fake_.requests()[0].user;
  EXPECT_TRUE(platform::text::isValidUtf8(user));
  EXPECT_NE(user.find("見積\uFFFD書\uFFFD\n"), std::string::npos) << user;
  EXPECT_NE(user.find("印\uFFFD"), std::string::npos) << user;
  EXPECT_EQ(handed.size(), 1u);
}

class TaskExtractorRegroupTest : public ModelRequestFixture {};

TEST_F(TaskExtractorRegroupTest, SendsNumberedTitlesAndKeepsMembersInRange) {
  fake_.setScript([](const LanguageModelFake::Request&) {
    return LanguageModelFake::content(
        R"({"groups":[{"title":"営業","members":[-1,0,3,2]},)"
        R"({"title":7,"members":[1]},)"
        R"({"title":"文字","members":["1"]},)"
        R"({"title":"小数","members":[1.5]},)"
        R"({"members":[1]},)"
        R"({"title":"範囲外","members":[5,-2]},)"
        R"({"title":"重複","members":[1,1]}]})");
  });
  const auto groups = run(TaskExtractor::regroup(model_, {"見積書を送る", "請求書を\xff作る", "電話する"}, {}));
  EXPECT_EQ(groups, (std::vector<TaskExtractor::Group>{{"営業", {0, 2}}, {"範囲外", {}}, {"重複", {1, 1}}}));
  const auto requests = fake_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].system.size(), 191u);
  EXPECT_EQ(requests[0].system, TaskExtractor::kGroupingInstructions);
  EXPECT_EQ(requests[0].user, std::string("タスク一覧：\n0: 見積書を送る\n1: 請求書を\uFFFD作る\n2: 電話する\n\nJSON Schema:\n") +
                                  kGroupingSchema);
  const auto body = nlohmann::json::parse(requests[0].body);
  EXPECT_FALSE(body.contains("temperature"));
  EXPECT_EQ(body["response_format"]["json_schema"]["name"], "Grouping");
}

TEST_F(TaskExtractorRegroupTest, ThrowsRequestAndReadingErrors) {
  using Kind = platform::GenerationError::Case;
  struct Case {
    const char* name;
    LanguageModelFake::Answer answer;
    Kind expected;
  };
  const Case cases[] = {
      {"guardrail", LanguageModelFake::content("", "content_filter"), Kind::guardrailViolation},
      {"rate limit", LanguageModelFake::error(429, "busy"), Kind::rateLimited},
      {"no groups", LanguageModelFake::content(R"({"group":[]})"), Kind::decodingFailure},
      {"groups not a list", LanguageModelFake::content(R"({"groups":"なし"})"), Kind::decodingFailure},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.setScript([&](const LanguageModelFake::Request&) { return c.answer; });
    try {
      run(TaskExtractor::regroup(model_, {"見積書を送る", "電話する"}, {}));
      ADD_FAILURE() << "no error";
    } catch (const platform::GenerationError& error) {
      EXPECT_EQ(error.errorCase(), c.expected);
    }
  }
  const auto sent = fake_.requests().size();
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(run(TaskExtractor::regroup(model_, {"見積書を送る"}, stop.get_token())), platform::CancellationError);
  EXPECT_EQ(fake_.requests().size(), sent);
}

}  // namespace
}  // namespace veltovoice
