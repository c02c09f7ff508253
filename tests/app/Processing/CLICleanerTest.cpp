#include "app/Processing/CLICleaner.h"

#include <cstring>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "tests/app/Processing/AssistantFixture.h"

namespace veltovoice {
namespace {

using CLICleaner::Answer;
using CLICleaner::Line;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string repeated(const std::string& character, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += character;
  return text;
}

std::vector<int> indicesOf(const std::vector<Line>& chunk) {
  std::vector<int> indices;
  for (const Line& line : chunk) indices.push_back(line.index);
  return indices;
}

// An assistant that answers every numbered line of its request with the text and "！", and
// appends each request to $HOME/requests followed by a line "----".
const char* const kEchoingAssistant =
    "tee -a \"$HOME/requests\" | awk -F'|' 'BEGIN { printf \"{\\\"lines\\\":[\" }\n"
    "  /^[0-9]+\\|/ { if (n++) printf \",\"; printf \"{\\\"n\\\":%s,\\\"text\\\":\\\"%s！\\\"}\", $1, $3 }\n"
    "  END { print \"]}\" }'\n"
    "echo ---- >> \"$HOME/requests\"\n";

class CLICleanerTest : public AssistantFixture {
 protected:
  // Runs clean() to its end on this thread's event loop; returns what it threw, if anything.
  std::exception_ptr clean(std::vector<Line> lines, std::stop_token stop = {}) {
    return QCoro::waitFor(ended(CLICleaner::clean(
        std::move(lines), "参加者：田中", CLIAssistant::claude,
        [this](const Answer& answer) { answers_.push_back(answer); },
        [this](double fraction) { fractions_.push_back(fraction); }, std::move(stop)))).error;
  }

  // What a coroutine threw; QCoro's tasks cannot carry an exception_ptr as their value.
  struct Ended {
    std::exception_ptr error;
  };
  static QCoro::Task<Ended> ended(QCoro::Task<> task) {
    Ended end;
    try {
      co_await std::move(task);
    } catch (...) {
      end.error = std::current_exception();
    }
    co_return end;
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  std::vector<Answer> answers_;
  std::vector<double> fractions_;
};

TEST_F(CLICleanerTest, ChunksHoldAtMostFourThousandCharactersOfText) {
  struct Case {
    const char* name;
    std::vector<int> lengths;
    std::vector<std::vector<int>> chunks;
  };
  const Case cases[] = {
      {"no lines", {}, {}},
      {"1,500 three times and 10", {1500, 1500, 1500, 10}, {{0, 1}, {2, 3}}},
      {"one sentence of 5,000 alone", {5000}, {{0}}},
      {"a long one between short ones", {10, 5000, 10}, {{0}, {1}, {2}}},
      {"exactly the limit", {2000, 2000}, {{0, 1}}},
      {"one past the limit", {2000, 2001}, {{0}, {1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Line> lines;
    for (std::size_t i = 0; i < c.lengths.size(); ++i) {
      // Three bytes a character, and a speaker name that does not count.
      lines.push_back(Line{static_cast<int>(i), "とても長い話者の名前", repeated("あ", c.lengths[i])});
    }
    std::vector<std::vector<int>> chunks;
    for (const auto& chunk : CLICleaner::chunked(lines, CLICleaner::kChunkLimit)) chunks.push_back(indicesOf(chunk));
    EXPECT_EQ(chunks, c.chunks);
  }
}

TEST_F(CLICleanerTest, RequestTextIsInstructionMemoAndNumberedLines) {
  EXPECT_EQ(std::strlen(CLICleaner::kInstruction), 847u);
  const std::string instruction = CLICleaner::kInstruction;
  EXPECT_EQ(instruction.substr(instruction.size() - std::strlen("\n\n参加者・用語メモ：\n")), "\n\n参加者・用語メモ：\n");

  const std::vector<Line> chunk = {{0, "話者A", "えーと、\n今日は"}, {4, "話者", "議題|一つ"}};
  const std::string lines = "0|話者A|えーと、 今日は\n4|話者|議題|一つ";
  struct Case {
    const char* name;
    std::string memo;
    std::string memoPart;
  };
  const Case cases[] = {
      {"memo kept untrimmed", " 参加者：田中\n", " 参加者：田中\n"},
      {"empty memo", "", "（なし）"},
      {"blank memo", " \n\t\u3000", "（なし）"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CLICleaner::request(c.memo, chunk),
              instruction + c.memoPart + "\n\n文字起こし（番号|話者|本文）：\n" + lines);
  }
}

TEST_F(CLICleanerTest, ParseTakesAllowedNumberedTexts) {
  struct Case {
    const char* name;
    std::string answer;
    Answer expected;
  };
  const Case cases[] = {
      {"wrapped in words and a fence",
       "はい。\n```json\n{\"lines\":[{\"n\":0,\"text\":\" 直した\\n\"}]}\n```\n以上です。", {{0, "直した"}}},
      {"number as a string of digits", R"({"lines":[{"n":"1","text":"一"}]})", {{1, "一"}}},
      {"integral number written with a fraction", R"({"lines":[{"n":2.0,"text":"二"}]})", {{2, "二"}}},
      {"numbers that are no line numbers",
       R"({"lines":[{"n":"x","text":"a"},{"n":1.5,"text":"b"},{"n":"1.5","text":"c"},{"n":1e30,"text":"d"},
          {"n":99999999999,"text":"e"},{"n":"99999999999","text":"f"},{"n":"","text":"g"},{"n":null,"text":"h"},
          {"n":true,"text":"i"},{"text":"j"},{"n":-1,"text":"k"}]})",
       {}},
      {"numbers not allowed", R"({"lines":[{"n":3,"text":"三"},{"n":7,"text":"七"},{"n":4,"text":"四"}]})", {{4, "四"}}},
      {"missing, mistyped and blank texts",
       R"({"lines":[{"n":0},{"n":1,"text":5},{"n":2,"text":" \n\t　"},{"n":4,"text":null}]})", {}},
      {"a later answer replaces an earlier one", R"({"lines":[{"n":0,"text":"前"},{"n":0,"text":"後"}]})",
       {{0, "後"}}},
      {"other members are ignored", R"({"note":"x","lines":[{"n":1,"text":"一","extra":true}]})", {{1, "一"}}},
  };
  const std::set<int> allowed = {0, 1, 2, 4};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CLICleaner::parse(c.answer, allowed), c.expected);
  }
  EXPECT_EQ(logText().find("清書の答えを読めなかった"), std::string::npos);
}

TEST_F(CLICleanerTest, ParseLogsAnAnswerThatIsNotJsonAndGivesNothing) {
  struct Case {
    const char* name;
    std::string answer;
    std::string logged;  // the part after "先頭 "
  };
  const std::string eightyOne = repeated("あ", 40) + "\n" + repeated("い", 40);
  const Case cases[] = {
      {"words only", "すみません、できません。", "すみません、できません。"},
      {"braces the wrong way round", "}{", "}{"},
      {"broken JSON", "{\"lines\":[{\"n\":0,}]}", "{\"lines\":[{\"n\":0,}]}"},
      {"lines not an array", "{\"lines\":3}", "{\"lines\":3}"},
      {"an element that is no object", "{\"lines\":[{\"n\":0,\"text\":\"a\"},1]}",
       "{\"lines\":[{\"n\":0,\"text\":\"a\"},1]}"},
      {"no lines member", "{\"items\":[]}", "{\"items\":[]}"},
      {"first 80 characters, line feeds as blanks", eightyOne + "{", repeated("あ", 40) + " " + repeated("い", 39)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(CLICleaner::parse(c.answer, {0}), IsEmpty());
    EXPECT_TRUE(logged("ERROR", "清書の答えを読めなかった（JSONではない）: 先頭 " + c.logged));
  }
}

TEST_F(CLICleanerTest, CleanAsksChunkByChunkAndReportsEach) {
  install(CLIAssistant::claude, kEchoingAssistant);
  const std::vector<Line> lines = {{0, "話者A", repeated("あ", 1500)},
                                   {1, "話者B", repeated("い", 1500)},
                                   {3, "話者", repeated("う", 1500)},
                                   {5, "話者A", "え"}};
  EXPECT_FALSE(clean(lines));

  ASSERT_EQ(answers_.size(), 2u);
  EXPECT_EQ(answers_[0], (Answer{{0, repeated("あ", 1500) + "！"}, {1, repeated("い", 1500) + "！"}}));
  EXPECT_EQ(answers_[1], (Answer{{3, repeated("う", 1500) + "！"}, {5, "え！"}}));
  EXPECT_THAT(fractions_, ElementsAre(0.5, 1.0));
  const std::string requests = platform::readFile(home() / "requests");
  EXPECT_EQ(requests, CLICleaner::request("参加者：田中", {lines[0], lines[1]}) + "----\n" +
                          CLICleaner::request("参加者：田中", {lines[2], lines[3]}) + "----\n");
}

TEST_F(CLICleanerTest, CleanStopsAtTheFirstFailureAfterTheChunksBefore) {
  // Answers the first request, fails the second.
  install(CLIAssistant::claude,
          "cat > /dev/null\n"
          "if [ -e \"$HOME/asked\" ]; then echo 'Error: usage limit' >&2; exit 1; fi\n"
          "touch \"$HOME/asked\"\n"
          "echo '{\"lines\":[{\"n\":0,\"text\":\"直した\"}]}'\n");
  const std::vector<Line> lines = {{0, "話者A", repeated("あ", 3000)}, {1, "話者A", repeated("い", 3000)},
                                   {2, "話者A", repeated("う", 3000)}};
  const std::exception_ptr error = clean(lines);
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const CLIAssistant::Failure& failure) {
    EXPECT_EQ(failure.errorDescription(), "Claude Code が答えを返しませんでした：Error: usage limit");
  }
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_EQ(answers_[0], (Answer{{0, "直した"}}));
  EXPECT_THAT(fractions_, ElementsAre(1.0 / 3.0));
}

TEST_F(CLICleanerTest, CleanSendsNothingOnceStopped) {
  install(CLIAssistant::claude, kEchoingAssistant);
  std::stop_source stop;
  stop.request_stop();
  const std::exception_ptr error = clean({{0, "話者A", "あ"}}, stop.get_token());
  EXPECT_THROW(std::rethrow_exception(error), platform::CancellationError);
  EXPECT_FALSE(std::filesystem::exists(home() / "requests"));
  EXPECT_THAT(answers_, IsEmpty());
}

TEST_F(CLICleanerTest, CleanOfNoLinesAsksNothing) {
  install(CLIAssistant::claude, kEchoingAssistant);
  EXPECT_FALSE(clean({}));
  EXPECT_THAT(answers_, IsEmpty());
  EXPECT_THAT(fractions_, IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(home() / "requests"));
}

}  // namespace
}  // namespace veltovoice
