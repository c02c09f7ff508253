#include "app/Processing/TaskExtractor.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <utility>

#include "app/Model/AppLog.h"
#include "app/Processing/LanguageModelRequest.h"
#include "platform/lm/GeneratedContent.h"
#include "platform/lm/GenerationError.h"
#include "platform/lm/GenerationSchema.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"

namespace veltovoice::TaskExtractor {

const char* const kExtractionInstructions =
    "あなたは会議の議事録係です。会話の文字起こしから、誰かがやると決まったこと・頼まれたこと・約束したことだけを抜き出します。\n"
    "雑談、感想、すでに終わったことの報告、一般論は含めません。\n"
    "発言者が「私が〜します」「〜しておきます」と言った場合、担当者はその発言者です。\n"
    "「すでに見つかっているタスク」と同じ内容は出しません。\n"
    "文字起こしには聞き間違いがあるので、意味が通る形に整えて書きます。\n"
    "同じ話題・同じ目的のタスクは、parent に同じ親タスク名を入れてまとめます。既存のタスク一覧にふさわしい親があれば、その名前を使います。\n"
    "担当者や期限がわからないときは「不明」と書かず、空文字にします。";

const char* const kGroupingInstructions =
    "あなたは会議のタスクを整理する係です。同じ話題・同じ目的のタスクを親タスクの下にまとめます。1つのタスクは1つの親にだけ入れます。";

namespace {

using platform::DynamicGenerationSchema;
using platform::GeneratedContent;
using platform::GenerationError;
using Property = DynamicGenerationSchema::Property;

constexpr std::size_t kChunkLimit = 1300;
constexpr std::size_t kOutlineTail = 40;
// Longer than any recording: about 31 years.
constexpr double kLatestSourceSeconds = 1e9;

const char* const kEmptyValueWords[] = {"不明", "なし", "未定", "未指定", "特になし", "-", "ー", "N/A", "none"};

Property stringProperty(const char* name, const char* description) {
  return Property{name, description, DynamicGenerationSchema::string(), false};
}

const platform::GenerationSchema& taskListSchema() {
  static const platform::GenerationSchema schema = [] {
    DynamicGenerationSchema item(
        "TaskItem", std::nullopt,
        {stringProperty("title", "やること。「〜する」の形で短く。例：見積書を3件送る"),
         stringProperty("assignee",
                        "担当者の名前。発言者が自分でやると言ったならその発言者。わからなければ空文字"),
         stringProperty("due", "期限。会話に出た言い方のまま。例：来週火曜、金曜まで。なければ空文字"),
         stringProperty("time", "根拠になった発言の行頭の時刻（mm:ss）。わからなければ空文字"),
         stringProperty("parent",
                        "このタスクをまとめる親タスクの名前。既存のタスク一覧にある名前をそのまま使うか、"
                        "関連するタスクをまとめる短い名前（例：保守契約、LP改善）。単独なら空文字")});
    DynamicGenerationSchema root(
        "TaskList", std::nullopt,
        {Property{"items", "新しく見つかったタスク。なければ空の配列",
                  DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::referenceTo("TaskItem")),
                  false}});
    return platform::GenerationSchema(root, {item});
  }();
  return schema;
}

platform::GenerationSchema groupingSchema() {
  DynamicGenerationSchema group(
      "TaskGroup", std::nullopt,
      {stringProperty("title", "親タスクの名前。まとめる話題や目的を短く。例：保守契約、LP改善"),
       Property{"members", "この親の下に入るタスクの番号",
                DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::integer()), false}});
  DynamicGenerationSchema root(
      "Grouping", std::nullopt,
      {Property{"groups", "2つ以上のタスクをまとめる親。まとめる必要がないタスクはどこにも入れない",
                DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::referenceTo("TaskGroup")),
                false}});
  return platform::GenerationSchema(root, {group});
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

std::string stringOr(const GeneratedContent& content, const char* property) {
  try {
    return content.value<std::string>(property);
  } catch (const GenerationError&) {
    return {};
  }
}

std::string cleanedPerson(std::string value) {
  value = platform::text::trimWhitespaceAndNewlines(value);
  for (const char* word : kEmptyValueWords) {
    if (value == word) return {};
  }
  replaceAll(value, "発言者", "話者");
  return value;
}

Found foundOf(const GeneratedContent& item) {
  return Found{stringOr(item, "title"), cleanedPerson(stringOr(item, "assignee")),
               cleanedPerson(stringOr(item, "due")), stringOr(item, "time"), stringOr(item, "parent")};
}

std::vector<std::string> knownTitlesOf(const std::vector<std::string>& outline) {
  std::vector<std::string> titles;
  for (const auto& line : outline) {
    std::string title = platform::text::trimBlanks(line);
    replaceAll(title, "- ", "");
    titles.push_back(std::move(title));
  }
  return titles;
}

std::vector<std::string> repaired(std::vector<std::string> texts) {
  for (auto& text : texts) {
    if (!platform::text::isValidUtf8(text)) text = platform::text::repairedUtf8(text);
  }
  return texts;
}

bool isWhitespaceCharacter(std::string_view grapheme) {
  auto scalars = platform::text::unicodeScalars(grapheme);
  return scalars && !scalars->empty() && platform::text::isWhitespaceOrNewline((*scalars)[0]);
}

}  // namespace

std::string normalized(std::string_view text) {
  static const std::set<std::string, std::less<>> kDropped = {"。", "、", "・", "「", "」"};
  std::string result;
  for (const auto& character : platform::text::graphemes(text)) {
    if (kDropped.count(character) || isWhitespaceCharacter(character)) continue;
    result += character;
  }
  return result;
}

bool similar(std::string_view a, std::string_view b) {
  const std::string x = normalized(a);
  const std::string y = normalized(b);
  if (x.empty() || y.empty()) return false;
  if (x == y || x.find(y) != std::string::npos || y.find(x) != std::string::npos) return true;
  auto bigrams = [](const std::string& text) {
    const auto characters = platform::text::graphemes(text);
    std::set<std::string> set;
    for (std::size_t i = 1; i < characters.size(); ++i) set.insert(characters[i - 1] + characters[i]);
    return set;
  };
  const auto left = bigrams(x);
  const auto right = bigrams(y);
  if (left.empty() || right.empty()) return false;
  std::size_t shared = 0;
  for (const auto& bigram : left) shared += right.count(bigram);
  const double jaccard =
      static_cast<double>(shared) / static_cast<double>(left.size() + right.size() - shared);
  return jaccard >= 0.6;
}

std::string reason(const std::exception& error) {
  const auto* generation = dynamic_cast<const GenerationError*>(&error);
  if (!generation) return AppLog::describe(error);
  switch (generation->errorCase()) {
    case GenerationError::Case::exceededContextWindowSize: return "入力が長すぎる（exceededContextWindowSize）";
    case GenerationError::Case::guardrailViolation: return "安全フィルター（guardrailViolation）";
    case GenerationError::Case::unsupportedLanguageOrLocale:
      return "対応していない言語（unsupportedLanguageOrLocale）";
    case GenerationError::Case::rateLimited: return "混雑（rateLimited）";
    default: return "生成エラー（" + generation->description() + "）";
  }
}

// How the reasons arise here: no server address configured reads as appleIntelligenceNotEnabled;
// an address that is not an http(s) URL as other; a server that is set but does not answer (or is
// still loading its model) as modelNotReady. deviceNotEligible never arises on Linux and shares the
// text of other.
std::string availabilityText(platform::SystemLanguageModel::UnavailableReason reason) {
  using Reason = platform::SystemLanguageModel::UnavailableReason;
  switch (reason) {
    case Reason::appleIntelligenceNotEnabled:
      return "タスクの抜き出しには言語モデルが必要です。OpenAI 互換のサーバーを VELTOVOICE_LM_URL か設定ファイルの languageModel/url で指定してください。";
    case Reason::modelNotReady:
      return "言語モデルのサーバーが応答しません。サーバーが動いているか確かめて、もう一度試してください。";
    case Reason::deviceNotEligible:
    case Reason::other: break;
  }
  return "この環境では言語モデルを使えないため、タスクを抜き出せません。";
}

std::optional<double> seconds(std::string_view text) {
  const std::string trimmed = platform::text::trimBlanks(text);
  std::vector<double> numbers;
  std::size_t start = 0;
  while (start <= trimmed.size()) {
    std::size_t end = trimmed.find(':', start);
    if (end == std::string::npos) end = trimmed.size();
    const std::string_view part(trimmed.data() + start, end - start);
    double number = 0;
    if (!part.empty()) {
      auto [rest, error] = std::from_chars(part.data(), part.data() + part.size(), number);
      if (error == std::errc() && rest == part.data() + part.size()) numbers.push_back(number);
    }
    start = end + 1;
  }
  double total = 0;
  if (numbers.size() == 2) {
    total = numbers[0] * 60 + numbers[1];
  } else if (numbers.size() == 3) {
    total = numbers[0] * 3600 + numbers[1] * 60 + numbers[2];
  } else {
    return std::nullopt;
  }
  // The model writes what it likes; a time no recording has ("nan", "-1:00", "99999999:00") would
  // make the conversation impossible to save.
  const bool partsFit = std::all_of(numbers.begin(), numbers.end(),
                                    [](double n) { return std::isfinite(n) && n >= 0; });
  if (!partsFit || !(total <= kLatestSourceSeconds)) return std::nullopt;
  return total;
}

std::string timeRange(const std::vector<std::string>& lines) {
  auto stamp = [](const std::string& line) -> std::string {
    const auto close = line.find(']');
    if (line.empty() || line[0] != '[' || close == std::string::npos) return "?";
    return line.substr(1, close - 1);
  };
  if (lines.empty()) return "?〜?";
  return stamp(lines.front()) + "〜" + stamp(lines.back());
}

std::string extractionPrompt(const std::vector<std::string>& outline, const std::vector<std::string>& chunk) {
  const std::size_t from = outline.size() > kOutlineTail ? outline.size() - kOutlineTail : 0;
  std::string prompt = "すでに見つかっているタスク（字下げは親子関係）：\n";
  const std::size_t headerSize = prompt.size();
  for (std::size_t i = from; i < outline.size(); ++i) {
    if (i > from) prompt += '\n';
    prompt += outline[i];
  }
  if (prompt.size() == headerSize) prompt += "（なし）";
  prompt += "\n\n文字起こし：\n";
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (i > 0) prompt += '\n';
    prompt += chunk[i];
  }
  return prompt;
}

std::vector<std::vector<std::string>> chunks(const std::vector<std::string>& lines, std::size_t limit) {
  std::vector<std::vector<std::string>> result;
  std::vector<std::string> current;
  std::size_t running = 0;
  for (const auto& line : lines) {
    const std::size_t count = platform::text::graphemeCount(line);
    if (running + count > limit && !current.empty()) {
      result.push_back(std::move(current));
      current.clear();
      running = 0;
    }
    current.push_back(count > limit ? platform::text::graphemePrefix(line, limit) : line);
    running += count;
  }
  if (!current.empty()) result.push_back(std::move(current));
  return result;
}

QCoro::Task<std::vector<Skip>> extract(std::shared_ptr<platform::SystemLanguageModel> model,
                                       std::vector<std::string> lines,
                                       std::vector<std::string> outline,
                                       std::function<void(const std::vector<Found>&)> onFound,
                                       std::stop_token stop) {
  outline = repaired(std::move(outline));
  std::vector<std::string> known = knownTitlesOf(outline);
  std::vector<Skip> skips;
  for (const auto& chunk : chunks(repaired(std::move(lines)), kChunkLimit)) {
    platform::CancellationError::throwIfRequested(stop);
    std::optional<GeneratedContent> content;
    try {
      content = co_await LanguageModelRequest::respond(model, kExtractionInstructions,
                                                       extractionPrompt(outline, chunk),
                                                       taskListSchema(), {}, stop);
    } catch (const platform::CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      skips.push_back(Skip{timeRange(chunk), reason(error)});
      continue;
    }
    std::vector<Found> kept;
    for (const auto& item : content->value<std::vector<GeneratedContent>>("items")) {
      Found found = foundOf(item);
      if (platform::text::trimWhitespaceAndNewlines(found.title).empty()) continue;
      if (std::any_of(known.begin(), known.end(),
                      [&](const std::string& title) { return similar(title, found.title); })) {
        continue;
      }
      known.push_back(found.title);
      outline.push_back((found.parent.empty() ? "- " : "  - ") + found.title);
      kept.push_back(std::move(found));
    }
    if (!kept.empty()) onFound(kept);
  }
  co_return skips;
}

QCoro::Task<std::vector<Group>> regroup(std::shared_ptr<platform::SystemLanguageModel> model,
                                        std::vector<std::string> titles, std::stop_token stop) {
  titles = repaired(std::move(titles));
  std::string prompt = "タスク一覧：\n";
  for (std::size_t i = 0; i < titles.size(); ++i) {
    if (i > 0) prompt += "\n";
    prompt += std::to_string(i) + ": " + titles[i];
  }
  GeneratedContent content = co_await LanguageModelRequest::respond(
      model, kGroupingInstructions, prompt, groupingSchema(), {}, stop);
  std::vector<Group> groups;
  for (const auto& group : content.value<std::vector<GeneratedContent>>("groups")) {
    Group kept;
    std::vector<std::int64_t> members;
    try {
      kept.title = group.value<std::string>("title");
      members = group.value<std::vector<std::int64_t>>("members");
    } catch (const GenerationError&) {
      continue;
    }
    for (auto member : members) {
      if (member >= 0 && member < static_cast<std::int64_t>(titles.size())) {
        kept.members.push_back(static_cast<int>(member));
      }
    }
    groups.push_back(std::move(kept));
  }
  co_return groups;
}

}  // namespace veltovoice::TaskExtractor
