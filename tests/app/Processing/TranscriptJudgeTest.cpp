#include "app/Processing/TranscriptJudge.h"

#include <cstring>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include <QThread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/CancellationError.h"
#include "tests/app/Processing/ModelRequestFixture.h"
#include "tests/support/LanguageModelFake.h"

namespace veltovoice {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testsupport::LanguageModelFake;
using Choices = TranscriptJudge::Choices;
using Pair = TranscriptJudge::Pair;

const char* const kChoicesSchema =
    R"({"type":"object","properties":{"choices":{"description":"すべての行の選択","type":"array","items":{)"
    R"("type":"object","properties":{"n":{"description":"行の番号","type":"integer"},)"
    R"("choice":{"description":"より正しい方","type":"string","enum":["A","B"]}},)"
    R"("required":["n","choice"],"additionalProperties":false}}},"required":["choices"],"additionalProperties":false})";

// Pairs numbered `from`, `from` + 1, …
std::vector<Pair> pairs(int count, int from = 0) {
  std::vector<Pair> list;
  for (int i = 0; i < count; ++i) {
    const int n = from + i;
    list.push_back({n, "話者A", "元の文" + std::to_string(n), "新しい文" + std::to_string(n)});
  }
  return list;
}

LanguageModelFake::Answer choices(const nlohmann::json& elements) {
  return LanguageModelFake::content(nlohmann::json{{"choices", elements}}.dump());
}

// The line numbers a request asked about, read from its prompt.
std::vector<int> askedLines(const std::string& prompt) {
  std::vector<int> lines;
  std::size_t at = 0;
  while (at < prompt.size()) {
    const std::size_t bar = prompt.find("｜", at);
    const std::size_t lineStart = prompt.rfind('\n', bar);
    const std::size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
    if (bar == std::string::npos) break;
    lines.push_back(std::stoi(prompt.substr(from, bar - from)));
    at = bar + std::strlen("｜");
  }
  return lines;
}

class TranscriptJudgeTest : public testing::ModelRequestFixture {
 protected:
  // Runs the judge, keeping every callback in `events` ("chunk" or "progress") in order.
  int judge(std::vector<Pair> list, std::string context = "", std::stop_token stop = {}) {
    return run(TranscriptJudge::judge(
        model_, std::move(list), std::move(context),
        [this](const Choices& chosen) {
          EXPECT_EQ(QThread::currentThread(), app_.thread());
          events.push_back("chunk");
          chunks.push_back(chosen);
          if (afterChunk) afterChunk();
        },
        [this](double fraction) {
          EXPECT_EQ(QThread::currentThread(), app_.thread());
          events.push_back("progress");
          progress.push_back(fraction);
        },
        stop));
  }

  std::vector<std::string> events;
  std::vector<Choices> chunks;
  std::vector<double> progress;
  std::function<void()> afterChunk;
};

TEST_F(TranscriptJudgeTest, AsksTwelveLinesPerRequest) {
  struct Case {
    const char* name;
    int pairs;
    std::vector<std::vector<int>> requests;
    std::vector<double> progress;
  };
  const Case cases[] = {
      {"none", 0, {}, {}},
      {"twelve", 12, {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}, {1.0}},
      {"thirteen", 13, {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {12}}, {0.5, 1.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = fake_.requests().size();
    events.clear();
    progress.clear();
    fake_.setScript([](const LanguageModelFake::Request&) { return choices(nlohmann::json::array()); });

    EXPECT_EQ(judge(pairs(c.pairs)), 0);

    std::vector<std::vector<int>> asked;
    const auto requests = fake_.requests();
    for (std::size_t i = before; i < requests.size(); ++i) asked.push_back(askedLines(requests[i].user));
    EXPECT_EQ(asked, c.requests);
    EXPECT_EQ(progress, c.progress);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < c.requests.size(); ++i) {
      expected.push_back("chunk");
      expected.push_back("progress");
    }
    EXPECT_EQ(events, expected);
  }
}

TEST_F(TranscriptJudgeTest, SendsInstructionsSchemaAndPromptAsWritten) {
  struct Case {
    const char* name;
    std::string context;
    std::string prompt;
  };
  const std::string lines =
      "3｜佐藤\nA：見積もりを送ります\nB：見積りを送ります\n\n"
      "5｜話者\nA：来週かようび\nB：来週火曜日";
  const Case cases[] = {
      {"without context", "", lines},
      {"with context", "話題：見積もり、日程", "会話の参考情報：\n話題：見積もり、日程\n\n" + lines},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = fake_.requests().size();
    judge({{3, "佐藤", "見積もりを送ります", "見積りを送ります"}, {5, "話者", "来週かようび", "来週火曜日"}},
          c.context);

    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), before + 1);
    const auto& request = requests.back();
    EXPECT_EQ(request.system, TranscriptJudge::kInstructions);
    EXPECT_EQ(request.system.size(), 327u);
    EXPECT_EQ(request.user, c.prompt + "\n\nJSON Schema:\n" + kChoicesSchema);
    const auto body = nlohmann::json::parse(request.body);
    EXPECT_EQ(body.at("temperature"), 0.0);
    EXPECT_FALSE(body.contains("max_tokens"));
  }
}

TEST_F(TranscriptJudgeTest, TakesOnlyExactBForLinesOfTheChunk) {
  fake_.setScript([](const LanguageModelFake::Request&) {
    return choices(nlohmann::json::parse(R"([
      {"n": 0, "choice": "B"}, {"n": 1, "choice": "A"}, {"n": 2, "choice": "b"},
      {"n": 3, "choice": "B "}, {"n": 7, "choice": "B"}, {"n": "4", "choice": "B"},
      {"n": 5}, {"choice": "B"}, {"n": 6, "choice": "A"}, {"n": 6, "choice": "B"}
    ])"));
  });

  EXPECT_EQ(judge(pairs(7)), 0);

  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0], (Choices{{0, true}, {1, false}, {2, false}, {3, false}, {6, true}}));
}

TEST_F(TranscriptJudgeTest, SkipsAFailedRequestAndGoesOn) {
  struct Case {
    const char* name;
    LanguageModelFake::Answer failure;
  };
  const Case cases[] = {
      {"server error", LanguageModelFake::error(500, "overloaded")},
      {"answer without choices", LanguageModelFake::content(R"({"lines":[]})")},
      {"choices that are no list", LanguageModelFake::content(R"({"choices":"B"})")},
  };
  // Three requests: lines 0–11, 12–22 and 31, then 40.
  std::vector<Pair> list = pairs(12);
  for (const Pair& pair : pairs(11, 12)) list.push_back(pair);
  list.push_back({31, "話者B", "元", "新"});
  list.push_back({40, "話者B", "元", "新"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chunks.clear();
    progress.clear();
    const std::size_t errorsBefore = errorLines().size();
    fake_.setScript([&](const LanguageModelFake::Request& request) {
      const auto asked = askedLines(request.user);
      if (asked.front() == 12) return c.failure;
      return choices({{{"n", asked.front()}, {"choice", "B"}}});
    });

    EXPECT_EQ(judge(list), 1);

    EXPECT_EQ(chunks, (std::vector<Choices>{{{0, true}}, {{40, true}}}));
    EXPECT_EQ(progress, (std::vector<double>{1.0 / 3, 2.0 / 3, 1.0}));
    const auto errors = errorLines();
    ASSERT_EQ(errors.size(), errorsBefore + 1);
    const std::string prefix = "文字起こしの統合で判定を飛ばした: 行 12〜31 ";
    EXPECT_EQ(errors.back().substr(0, prefix.size()), prefix);
    EXPECT_GT(errors.back().size(), prefix.size());
  }
}

TEST_F(TranscriptJudgeTest, CancellationStopsBeforeTheNextRequest) {
  fake_.setScript([](const LanguageModelFake::Request& request) {
    return choices({{{"n", askedLines(request.user).front()}, {"choice", "B"}}});
  });
  {
    SCOPED_TRACE("stopped before the first request");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(judge(pairs(13), "", stop.get_token()), platform::CancellationError);
    EXPECT_THAT(fake_.requests(), IsEmpty());
    EXPECT_THAT(events, IsEmpty());
  }
  {
    SCOPED_TRACE("stopped after the first answer");
    std::stop_source stop;
    afterChunk = [&] { stop.request_stop(); };
    EXPECT_THROW(judge(pairs(25), "", stop.get_token()), platform::CancellationError);
    EXPECT_EQ(fake_.requests().size(), 1u);
    EXPECT_EQ(chunks, (std::vector<Choices>{{{0, true}}}));
    EXPECT_THAT(errorLines(), IsEmpty());
  }
}

}  // namespace
}  // namespace veltovoice
