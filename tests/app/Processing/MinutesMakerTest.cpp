#include "app/Processing/MinutesMaker.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <QThread>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/Model/AppLog.h"
#include "platform/net/HttpStatusError.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "tests/app/Processing/ModelRequestFixture.h"
#include "tests/support/LanguageModelFake.h"

namespace veltovoice {
namespace {

using testsupport::LanguageModelFake;
using Boundaries = std::vector<MinutesMaker::Boundary>;

const char* const kTopicsSchema =
    R"({"type":"object","properties":{"topics":{"description":"話題が変わる行。範囲の最初の行も必ず含める。細かく区切りすぎない",)"
    R"("type":"array","items":{"type":"object","properties":{)"
    R"("n":{"description":"その話題が始まる行の番号","type":"integer"},)"
    R"("title":{"description":"話題の見出し。名詞で短く（20文字以内）。例：LPの改善、保守契約の進め方","type":"string"}},)"
    R"("required":["n","title"],"additionalProperties":false}}},"required":["topics"],"additionalProperties":false})";

const char* const kSummarySchema =
    R"({"type":"object","properties":{)"
    R"("points":{"description":"話し合った内容の要点。1つ40文字以内で2〜4個","type":"array","items":{"type":"string"}},)"
    R"("decisions":{"description":"決まったこと。なければ空の配列","type":"array","items":{"type":"string"}}},)"
    R"("required":["points","decisions"],"additionalProperties":false})";

std::string repeated(std::string_view character, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += character;
  return text;
}

// Rows numbered from 0, all spoken by 話者A.
std::vector<MinutesMaker::Line> rows(const std::vector<std::string>& texts) {
  std::vector<MinutesMaker::Line> lines;
  for (std::size_t i = 0; i < texts.size(); ++i) lines.push_back({static_cast<int>(i), "話者A", texts[i]});
  return lines;
}

// An answer of the boundary schema: {"topics":[{"n":…,"title":…},…]}.
LanguageModelFake::Answer topics(const std::vector<std::pair<nlohmann::json, nlohmann::json>>& marks) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [n, title] : marks) list.push_back({{"n", n}, {"title", title}});
  return LanguageModelFake::content(nlohmann::json{{"topics", list}}.dump());
}

LanguageModelFake::Answer guardrail() { return LanguageModelFake::content("", "content_filter"); }

class MinutesMakerTest : public testing::ModelRequestFixture {
 protected:
  // Answers the requests in order with `answers` (an empty topic list once they run out).
  void answerInTurn(std::vector<LanguageModelFake::Answer> answers) {
    auto next = std::make_shared<std::atomic<std::size_t>>(0);
    fake_.setScript([answers = std::move(answers), next](const LanguageModelFake::Request&) {
      const std::size_t at = (*next)++;
      return at < answers.size() ? answers[at] : topics({});
    });
  }

  Boundaries boundaries(std::vector<MinutesMaker::Line> lines, std::stop_token stop = {}) {
    return run(MinutesMaker::boundaries(
        model_, std::move(lines),
        [this](double fraction) {
          EXPECT_EQ(QThread::currentThread(), app_.thread());
          progress.push_back(fraction);
          if (afterProgress) afterProgress();
        },
        stop));
  }

  std::optional<MinutesMaker::Summary> summarize(std::string title, std::vector<MinutesMaker::Line> lines,
                                                 std::stop_token stop = {}) {
    return run(MinutesMaker::summarize(model_, std::move(title), std::move(lines), stop));
  }

  // The row numbers that each boundary request carried.
  std::vector<std::vector<int>> sentRows() const {
    std::vector<std::vector<int>> all;
    for (const auto& request : fake_.requests()) {
      const std::string head = "文字起こし（番号|話者|本文）：\n";
      std::string body = request.user.substr(request.user.find(head) + head.size());
      body = body.substr(0, body.rfind("\n\nJSON Schema:\n"));
      std::vector<int> numbers;
      for (std::size_t at = 0; at != std::string::npos;) {
        numbers.push_back(std::stoi(body.substr(at, body.find('|', at) - at)));
        at = body.find('\n', at);
        if (at != std::string::npos) ++at;
      }
      all.push_back(numbers);
    }
    return all;
  }

  std::vector<double> progress;
  std::function<void()> afterProgress;
};

TEST_F(MinutesMakerTest, FindsTopicStartsChunkByChunk) {
  const std::string long1000 = repeated("あ", 1000);
  std::vector<std::string> fifteen;
  for (int i = 0; i < 15; ++i) fifteen.push_back("発言" + std::to_string(i));
  struct Case {
    const char* name;
    std::vector<std::string> texts;
    std::vector<LanguageModelFake::Answer> answers;
    Boundaries expected;
    std::vector<std::vector<int>> chunks;
    std::vector<double> progress;
    std::vector<std::string> logged;  // beginnings of the error lines
  };
  const Case cases[] = {
      {"no rows", {}, {}, {}, {}, {}, {}},
      {"a long row forms its own chunk",
       {repeated("長", 2000), "短い", "行"},
       {topics({{0, "予算"}}), topics({{1, "日程"}})},
       {{0, "予算"}, {1, "日程"}},
       {{0}, {1, 2}},
       {0.5, 1.0},
       {}},
      {"nothing marked", {"はい", "ええ"}, {topics({})}, {{0, "話題"}}, {{0, 1}}, {1.0}, {}},
      {"only row 12 marked", fifteen, {topics({{12, "保守契約"}})}, {{0, "保守契約"}}, {}, {1.0}, {}},
      {"sorted, first kept title opens, equal rows keep the model's order",
       {"a", "b", "c", "d"},
       {topics({{3, "会場"}, {1, "予算"}, {1, "日程"}})},
       {{0, "予算"}, {1, "日程"}, {3, "会場"}},
       {},
       {1.0},
       {}},
      {"a repeated running title adds nothing",
       {long1000, long1000},
       {topics({{0, "保守契約"}}), topics({{1, "保守契約の件"}})},
       {{0, "保守契約"}},
       {},
       {0.5, 1.0},
       {}},
      {"a chunk opening mid-topic adds only its new topic",
       {long1000, repeated("い", 700), repeated("う", 500)},
       {topics({{0, "保守契約"}}), topics({{2, "LP改善"}})},
       {{0, "保守契約"}, {2, "LP改善"}},
       {{0}, {1, 2}},
       {0.5, 1.0},
       {}},
      {"unusable elements are ignored",
       {repeated("あ", 600), repeated("い", 600), repeated("う", 600)},
       {topics({{"1", "文字の番号"},
                {2, "別の塊の行"},
                {1, " \n\t"},
                {1.5, "小数"},
                {1, 5},
                {nullptr, "番号なし"},
                {0, " 予算 "}}),
        topics({})},
       {{0, "予算"}},
       {{0, 1}, {2}},
       {0.5, 1.0},
       {}},
      {"a 35-character title keeps 30",
       {"a"},
       {topics({{0, repeated("題", 35)}})},
       {{0, repeated("題", 30)}},
       {},
       {1.0},
       {}},
      {"the second of three chunks fails",
       {long1000, long1000, long1000},
       {topics({{0, "予算"}}), guardrail(), topics({{2, "日程"}})},
       {{0, "予算"}, {2, "日程"}},
       {{0}, {1}, {2}},
       {1.0 / 3, 2.0 / 3, 1.0},
       {"話題の区切りを飛ばした: 行 1〜1 安全フィルター（guardrailViolation）"}},
      {"the first chunk fails",
       {long1000, repeated("い", 700), repeated("う", 500)},
       {LanguageModelFake::error(429, "busy"), topics({{1, "日程"}})},
       {{0, "話題"}, {1, "日程"}},
       {},
       {0.5, 1.0},
       {"話題の区切りを飛ばした: 行 0〜0 混雑（rateLimited）"}},
      {"unreadable topics skip the chunk",
       {"a", "b"},
       {LanguageModelFake::content(R"({"topic":[]})")},
       {{0, "話題"}},
       {},
       {1.0},
       {"話題の区切りを飛ばした: 行 0〜1 生成エラー（decodingFailure"}},
  };
  std::size_t requestsBefore = 0;
  std::size_t logBefore = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    answerInTurn(c.answers);
    progress.clear();
    EXPECT_EQ(boundaries(rows(c.texts)), c.expected);
    EXPECT_EQ(progress, c.progress);
    const auto sent = sentRows();
    EXPECT_EQ(sent.size() - requestsBefore, c.progress.size());
    if (!c.chunks.empty()) {
      EXPECT_EQ(std::vector<std::vector<int>>(sent.begin() + static_cast<std::ptrdiff_t>(requestsBefore), sent.end()),
                c.chunks);
    }
    requestsBefore = sent.size();
    const auto logged = errorLines();
    ASSERT_EQ(logged.size() - logBefore, c.logged.size());
    for (std::size_t i = 0; i < c.logged.size(); ++i) {
      EXPECT_EQ(logged[logBefore + i].rfind(c.logged[i], 0), 0u) << logged[logBefore + i];
    }
    logBefore = logged.size();
  }
}

TEST_F(MinutesMakerTest, SendsBoundaryRequestsByteForByte) {
  answerInTurn({topics({{0, "保守契約"}}), topics({})});
  // 1,301 characters: the next row goes to a second chunk.
  auto lines = rows({repeated("あ", 1298) + "\n続き", "次の話"});
  lines[1].speaker = "山田";
  lines[1].index = 7;
  boundaries(lines);

  const auto requests = fake_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].system, MinutesMaker::kBoundaryInstructions);
  EXPECT_EQ(requests[0].system,
            "あなたは会議の議事録係です。会話の文字起こしを読み、話題が変わるところを見つけて見出しを付けます。\n"
            "雑談や相づちだけで話題を変えない。1つの話題はふつう数分以上続く。");
  EXPECT_EQ(requests[0].user, "文字起こし（番号|話者|本文）：\n0|話者A|" + repeated("あ", 1298) +
                                  " 続き\n\nJSON Schema:\n" + kTopicsSchema);
  EXPECT_EQ(requests[1].user,
            std::string("直前の話題：保守契約（同じ話題が続いていれば、最初の行にも同じ見出しを付ける）\n\n"
                        "文字起こし（番号|話者|本文）：\n7|山田|次の話\n\nJSON Schema:\n") +
                kTopicsSchema);
  const auto body = nlohmann::json::parse(requests[0].body);
  EXPECT_EQ(body["temperature"], 0.2);
  for (const char* key : {"top_k", "top_p", "max_tokens"}) EXPECT_FALSE(body.contains(key)) << key;
  EXPECT_EQ(body["response_format"]["json_schema"]["name"], "Topics");
}

TEST_F(MinutesMakerTest, BoundariesStopWithCancellation) {
  const std::string long1000 = repeated("あ", 1000);
  answerInTurn({topics({{0, "予算"}}), topics({{1, "日程"}})});

  std::stop_source before;
  before.request_stop();
  EXPECT_THROW(boundaries(rows({"a"}), before.get_token()), platform::CancellationError);
  EXPECT_TRUE(fake_.requests().empty());
  EXPECT_TRUE(progress.empty());

  std::stop_source afterFirst;
  afterProgress = [&] { afterFirst.request_stop(); };
  EXPECT_THROW(boundaries(rows({long1000, long1000}), afterFirst.get_token()), platform::CancellationError);
  EXPECT_EQ(fake_.requests().size(), 1u);
  afterProgress = nullptr;

  auto held = topics({});
  held.held = true;
  // By value: the server may read the answer after the stopped call has returned.
  fake_.setScript([held](const LanguageModelFake::Request&) { return held; });
  std::stop_source during;
  std::thread stopper([&] {
    EXPECT_TRUE(fake_.waitForRequests(2));
    during.request_stop();
  });
  progress.clear();
  EXPECT_THROW(boundaries(rows({"a"}), during.get_token()), platform::CancellationError);
  stopper.join();
  EXPECT_TRUE(progress.empty());
  EXPECT_TRUE(errorLines().empty());
}

TEST_F(MinutesMakerTest, SummaryPromptCarriesRowsWholeOrThinned) {
  const auto texts = [](std::vector<std::size_t> lengths) {
    std::vector<std::string> all;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      // "A" + "：" + text make a written row of lengths[i] characters.
      all.push_back(std::to_string(i % 10) + repeated("話", lengths[i] - 3));
    }
    return all;
  };
  struct Case {
    const char* name;
    std::vector<std::string> texts;
    std::vector<int> kept;  // row numbers, -1 for "…"
  };
  const Case cases[] = {
      {"1,700 characters go whole", texts(std::vector<std::size_t>(10, 170)), {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"3,000 characters are thinned per third",
       texts({400, 400, 200, 400, 400, 200, 400, 400, 200}),
       {0, 2, -1, 3, 5, -1, 6, 8}},
      {"two long rows leave only the marks", texts({1000, 1000}), {-1, -1}},
      {"no rows", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.setScript([](const LanguageModelFake::Request&) {
      return LanguageModelFake::content(R"({"points":["要点"],"decisions":[]})");
    });
    auto lines = rows(c.texts);
    for (auto& line : lines) line.speaker = "A";
    EXPECT_EQ(summarize("予算", lines), (MinutesMaker::Summary{{"要点"}, {}}));
    std::string expected = "話題：予算\n\n文字起こし：\n";
    for (std::size_t i = 0; i < c.kept.size(); ++i) {
      if (i > 0) expected += "\n";
      expected += c.kept[i] < 0 ? std::string("…") : "A：" + c.texts[static_cast<std::size_t>(c.kept[i])];
    }
    const auto request = fake_.requests().back();
    EXPECT_EQ(request.user, expected + "\n\nJSON Schema:\n" + kSummarySchema);
    EXPECT_EQ(request.system,
              "あなたは会議の議事録係です。話題の要点を、会議に出ていない人にも分かるように短くまとめます。\n"
              "文字起こしには聞き間違いがあるので、意味の通る形に整えます。推測で内容を足しません。");
    EXPECT_EQ(request.system, MinutesMaker::kSummaryInstructions);
    const auto body = nlohmann::json::parse(request.body);
    EXPECT_EQ(body["temperature"], 0.2);
    EXPECT_EQ(body["response_format"]["json_schema"]["name"], "TopicSummary");
  }

  // Line feeds inside a row become blanks.
  summarize("改行", {{0, "B", "一行目\n二行目"}});
  EXPECT_EQ(fake_.requests().back().user.substr(0, fake_.requests().back().user.find("\n\nJSON")),
            "話題：改行\n\n文字起こし：\nB：一行目 二行目");
}

TEST_F(MinutesMakerTest, CleansPointsAndDecisions) {
  struct Case {
    const char* name;
    const char* answer;
    MinutesMaker::Summary expected;
  };
  const Case cases[] = {
      {"seven points, trimmed, the empty dropped, five kept",
       R"({"points":["・ 予算を決めた","-","• 日程 ","\u3000会場\u3000"," 人数 ","\n- 資料・議事録 -\n","懇親会"],)"
       R"("decisions":["- 来週決定 -","・","・\t二次会\t・"]})",
       {{"予算を決めた", "日程", "会場", "人数", "資料・議事録"}, {"来週決定", "\t二次会\t"}}},
      {"no decisions", R"({"points":["要点"]})", {{"要点"}, {}}},
      {"nothing readable is still a summary", R"({"points":"要点","decisions":[1,2]})", {{}, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.setScript([&](const LanguageModelFake::Request&) { return LanguageModelFake::content(c.answer); });
    EXPECT_EQ(summarize("予算", rows({"a"})), c.expected);
  }
  EXPECT_TRUE(errorLines().empty());
}

TEST_F(MinutesMakerTest, FailedSummaryIsLoggedAndGivesNothing) {
  const platform::HttpStatusError serverError(500);
  struct Case {
    const char* name;
    LanguageModelFake::Answer answer;
    std::string logged;
  };
  const Case cases[] = {
      {"guardrail", guardrail(), "議事録の要点を飛ばした: 話題「予算」 安全フィルター（guardrailViolation）"},
      {"server error", LanguageModelFake::error(500, "down"),
       "議事録の要点を飛ばした: 話題「予算」 " + AppLog::describe(serverError)},
  };
  std::size_t before = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_.setScript([&](const LanguageModelFake::Request&) { return c.answer; });
    EXPECT_EQ(summarize("予算", rows({"a"})), std::nullopt);
    const auto logged = errorLines();
    ASSERT_EQ(logged.size(), before + 1);
    EXPECT_EQ(logged.back(), c.logged);
    before = logged.size();
  }

  auto held = LanguageModelFake::content(R"({"points":[],"decisions":[]})");
  held.held = true;
  // By value: the server may read the answer after the stopped call has returned.
  fake_.setScript([held](const LanguageModelFake::Request&) { return held; });
  std::stop_source during;
  std::thread stopper([&] {
    EXPECT_TRUE(fake_.waitForRequests(3));
    during.request_stop();
  });
  EXPECT_THROW(summarize("予算", rows({"a"}), during.get_token()), platform::CancellationError);
  stopper.join();
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_THROW(summarize("予算", rows({"a"}), stopped.get_token()), platform::CancellationError);
  EXPECT_EQ(fake_.requests().size(), 3u);
  EXPECT_EQ(errorLines().size(), before);  // a stop is not logged
}

TEST_F(MinutesMakerTest, RepairsInvalidUtf8BeforeUse) {
  answerInTurn({guardrail(), guardrail()});
  std::vector<MinutesMaker::Line> lines = {{0, "話者\xff", "見積\xe3\x81"}, {1, "B", "\xc0\xaf了解"}};
  EXPECT_EQ(boundaries(lines), (Boundaries{{0, "話題"}}));
  EXPECT_EQ(summarize("予\xff算", lines), std::nullopt);
  const auto requests = fake_.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) EXPECT_TRUE(platform::text::isValidUtf8(request.user)) << request.user;
  EXPECT_NE(requests[0].user.find("0|話者\uFFFD|見積\uFFFD\n"), std::string::npos) << requests[0].user;
  const auto logged = errorLines();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1], "議事録の要点を飛ばした: 話題「予\uFFFD算」 安全フィルター（guardrailViolation）");
}

}  // namespace
}  // namespace veltovoice
