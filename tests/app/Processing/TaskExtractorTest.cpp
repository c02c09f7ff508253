#include "app/Processing/TaskExtractor.h"

#include <cstring>
#include <optional>
#include <string>

#include <QCoreApplication>
#include <QThread>
#include <QCoroTask>
#include <gtest/gtest.h>

#include "app/Model/AppLog.h"
#include "platform/lm/GenerationError.h"
#include "platform/net/HttpStatusError.h"
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

}  // namespace
}  // namespace veltovoice
