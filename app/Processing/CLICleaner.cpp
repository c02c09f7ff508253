#include "app/Processing/CLICleaner.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>
#include <nlohmann/json.hpp>

#include "app/Model/AppLog.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"

namespace veltovoice::CLICleaner {

const char* const kInstruction =
    "あなたは会議の文字起こしを校正する係です。音声認識の誤りを直します。\n"
    "・参加者・用語メモにある社名・人名・用語を聞き間違えている箇所は、メモの表記に直す\n"
    "・明らかな誤変換（同じ読みの別の漢字、意味の通らない語）を、前後の文脈から正しい語に直す\n"
    "・「えー」「あのー」などのつなぎ言葉と言い直しを取り、句読点を補う\n"
    "・話し言葉の口調・語尾はそのまま残す。敬語に変えない。要約・言い換え・補足はしない\n"
    "・行をまとめたり分けたりしない。すべての行を、番号を変えずに返す\n"
    "・答えは次の形の JSON だけにする（前後に説明を書かない）：{\"lines\":[{\"n\":行番号,\"text\":\"直した本文\"}]}\n"
    "\n"
    "参加者・用語メモ：\n";

namespace {

constexpr std::size_t kLoggedAnswerCharacters = 80;

std::string withBlanksForLineFeeds(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// "n" as a JSON integer, an integral JSON number, or a string of decimal digits; nothing for
// anything else, also for numbers beyond int.
std::optional<int> lineNumber(const nlohmann::json& n) {
  if (n.is_number_integer()) {
    if (n.is_number_unsigned()) {
      const auto value = n.get<std::uint64_t>();
      if (value > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return std::nullopt;
      return static_cast<int>(value);
    }
    const auto value = n.get<std::int64_t>();
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) return std::nullopt;
    return static_cast<int>(value);
  }
  if (n.is_number_float()) {
    const double value = n.get<double>();
    if (!std::isfinite(value) || value != std::trunc(value) || value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max()) {
      return std::nullopt;
    }
    return static_cast<int>(value);
  }
  if (n.is_string()) {
    const std::string& text = n.get_ref<const std::string&>();
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

// The "lines" array of an answer, or nothing when the answer has no such JSON.
std::optional<nlohmann::json> answerLines(std::string_view answer) {
  const std::size_t open = answer.find('{');
  const std::size_t close = answer.rfind('}');
  if (open == std::string_view::npos || close == std::string_view::npos || open >= close) return std::nullopt;
  nlohmann::json json = nlohmann::json::parse(answer.substr(open, close - open + 1), nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  const auto lines = json.find("lines");
  if (lines == json.end() || !lines->is_array()) return std::nullopt;
  for (const nlohmann::json& element : *lines) {
    if (!element.is_object()) return std::nullopt;
  }
  return std::move(*lines);
}

// QtConcurrent carries only its own exception type, so the worker hands any error back as a value.
struct Reply {
  std::string answer;
  std::exception_ptr error;
};

struct Call {
  CLIAssistant assistant;
  std::string prompt;
  std::stop_token stop;
};

Reply ask(std::shared_ptr<const Call> call) {
  try {
    return {call->assistant.ask(call->prompt, kTimeoutSeconds, call->stop), nullptr};
  } catch (...) {
    return {{}, std::current_exception()};
  }
}

}  // namespace

std::vector<std::vector<Line>> chunked(const std::vector<Line>& lines, std::size_t limit) {
  std::vector<std::vector<Line>> chunks;
  std::vector<Line> current;
  std::size_t sum = 0;
  for (const Line& line : lines) {
    const std::size_t length = platform::text::graphemeCount(line.text);
    if (sum + length > limit && !current.empty()) {
      chunks.push_back(std::move(current));
      current.clear();
      sum = 0;
    }
    current.push_back(line);
    sum += length;
  }
  if (!current.empty()) chunks.push_back(std::move(current));
  return chunks;
}

std::string request(std::string_view memo, const std::vector<Line>& chunk) {
  std::string text = kInstruction;
  if (platform::text::trimWhitespaceAndNewlines(memo).empty()) {
    text += "（なし）";
  } else {
    text += memo;
  }
  text += "\n\n文字起こし（番号|話者|本文）：\n";
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (i > 0) text += '\n';
    text += std::to_string(chunk[i].index) + "|" + chunk[i].speaker + "|" + withBlanksForLineFeeds(chunk[i].text);
  }
  return text;
}

Answer parse(std::string_view answer, const std::set<int>& allowed) {
  const std::optional<nlohmann::json> lines = answerLines(answer);
  if (!lines) {
    AppLog::error("清書の答えを読めなかった（JSONではない）: 先頭 " +
                  withBlanksForLineFeeds(platform::text::graphemePrefix(answer, kLoggedAnswerCharacters)));
    return {};
  }
  Answer corrected;
  for (const nlohmann::json& element : *lines) {
    const auto n = element.find("n");
    const std::optional<int> number = n == element.end() ? std::nullopt : lineNumber(*n);
    if (!number || !allowed.count(*number)) continue;
    const auto text = element.find("text");
    if (text == element.end() || !text->is_string()) continue;
    std::string trimmed = platform::text::trimWhitespaceAndNewlines(text->get_ref<const std::string&>());
    if (trimmed.empty()) continue;
    corrected[*number] = std::move(trimmed);
  }
  return corrected;
}

QCoro::Task<> clean(std::vector<Line> lines, std::string memo, CLIAssistant assistant,
                    std::function<void(const Answer&)> onChunk,
                    std::function<void(double fraction)> onProgress, std::stop_token stop) {
  const std::vector<std::vector<Line>> chunks = chunked(lines, kChunkLimit);
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    platform::CancellationError::throwIfRequested(stop);
    const std::vector<Line>& chunk = chunks[k];
    // The worker gets its inputs in one shared block: g++ 12 mishandles by-copy lambda captures of
    // coroutine parameters.
    auto call = std::make_shared<const Call>(Call{assistant, request(memo, chunk), stop});
    QFuture<Reply> pending = QtConcurrent::run(&ask, call);
    Reply reply = co_await pending;
    if (reply.error) std::rethrow_exception(reply.error);
    std::set<int> allowed;
    for (const Line& line : chunk) allowed.insert(line.index);
    onChunk(parse(reply.answer, allowed));
    onProgress(static_cast<double>(k + 1) / static_cast<double>(chunks.size()));
  }
}

}  // namespace veltovoice::CLICleaner
