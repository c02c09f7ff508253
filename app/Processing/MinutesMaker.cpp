#include "app/Processing/MinutesMaker.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "app/Model/AppLog.h"
#include "app/Processing/LanguageModelRequest.h"
#include "app/Processing/TaskExtractor.h"
#include "platform/lm/GeneratedContent.h"
#include "platform/lm/GenerationError.h"
#include "platform/lm/GenerationSchema.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"

namespace veltovoice::MinutesMaker {

const char* const kBoundaryInstructions =
    "あなたは会議の議事録係です。会話の文字起こしを読み、話題が変わるところを見つけて見出しを付けます。\n"
    "雑談や相づちだけで話題を変えない。1つの話題はふつう数分以上続く。";

const char* const kSummaryInstructions =
    "あなたは会議の議事録係です。話題の要点を、会議に出ていない人にも分かるように短くまとめます。\n"
    "文字起こしには聞き間違いがあるので、意味の通る形に整えます。推測で内容を足しません。";

namespace {

using platform::DynamicGenerationSchema;
using platform::GeneratedContent;
using Property = DynamicGenerationSchema::Property;

constexpr std::size_t kChunkLimit = 1300;
constexpr std::size_t kSampleLimit = 1800;
constexpr std::size_t kTitleLimit = 30;
constexpr std::size_t kListLimit = 5;

platform::GenerationOptions options() {
  platform::GenerationOptions options;
  options.temperature = 0.2;
  return options;
}

const platform::GenerationSchema& boundarySchema() {
  static const platform::GenerationSchema schema = [] {
    DynamicGenerationSchema start(
        "TopicStart", std::nullopt,
        {Property{"n", "その話題が始まる行の番号", DynamicGenerationSchema::integer(), false},
         Property{"title", "話題の見出し。名詞で短く（20文字以内）。例：LPの改善、保守契約の進め方",
                  DynamicGenerationSchema::string(), false}});
    DynamicGenerationSchema root(
        "Topics", std::nullopt,
        {Property{"topics", "話題が変わる行。範囲の最初の行も必ず含める。細かく区切りすぎない",
                  DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::referenceTo("TopicStart")),
                  false}});
    return platform::GenerationSchema(root, {start});
  }();
  return schema;
}

const platform::GenerationSchema& summarySchema() {
  static const platform::GenerationSchema schema = [] {
    DynamicGenerationSchema root(
        "TopicSummary", std::nullopt,
        {Property{"points", "話し合った内容の要点。1つ40文字以内で2〜4個",
                  DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::string()), false},
         Property{"decisions", "決まったこと。なければ空の配列",
                  DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::string()), false}});
    return platform::GenerationSchema(root, {});
  }();
  return schema;
}

std::string safeText(const std::string& text) {
  return platform::text::isValidUtf8(text) ? text : platform::text::repairedUtf8(text);
}

std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

std::vector<std::vector<Line>> chunked(const std::vector<Line>& lines, std::size_t limit) {
  std::vector<std::vector<Line>> chunks;
  std::vector<Line> current;
  std::size_t running = 0;
  for (const auto& line : lines) {
    const std::size_t count = platform::text::graphemeCount(line.text);
    if (running + count > limit && !current.empty()) {
      chunks.push_back(std::move(current));
      current.clear();
      running = 0;
    }
    current.push_back(line);
    running += count;
  }
  if (!current.empty()) chunks.push_back(std::move(current));
  return chunks;
}

std::string boundaryPrompt(const std::vector<Boundary>& found, const std::vector<Line>& chunk) {
  std::string prompt;
  if (!found.empty()) {
    prompt = "直前の話題：" + found.back().title + "（同じ話題が続いていれば、最初の行にも同じ見出しを付ける）\n\n";
  }
  prompt += "文字起こし（番号|話者|本文）：\n";
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (i > 0) prompt += "\n";
    prompt += fmt::format("{}|{}|{}", chunk[i].index, chunk[i].speaker, oneLine(chunk[i].text));
  }
  return prompt;
}

// The boundaries that the answer marks within `chunk`, sorted by row; unreadable elements dropped.
std::vector<Boundary> markedBoundaries(const GeneratedContent& content, const std::vector<Line>& chunk) {
  std::vector<Boundary> marked;
  for (const auto& element : content.value<std::vector<GeneratedContent>>("topics")) {
    std::int64_t n = 0;
    std::string title;
    try {
      n = element.value<std::int64_t>("n");
    } catch (const platform::GenerationError&) {
      continue;
    }
    if (std::none_of(chunk.begin(), chunk.end(), [&](const Line& line) { return line.index == n; })) {
      continue;
    }
    try {
      title = platform::text::trimWhitespaceAndNewlines(element.value<std::string>("title"));
    } catch (const platform::GenerationError&) {
      continue;
    }
    if (title.empty()) continue;
    marked.push_back(Boundary{static_cast<int>(n), platform::text::graphemePrefix(title, kTitleLimit)});
  }
  std::stable_sort(marked.begin(), marked.end(),
                   [](const Boundary& a, const Boundary& b) { return a.index < b.index; });
  return marked;
}

void appendChunkBoundaries(std::vector<Boundary>& found, std::vector<Boundary> marked, int firstIndex) {
  if (marked.empty() || marked.front().index != firstIndex) {
    std::string title = !found.empty() ? found.back().title : !marked.empty() ? marked.front().title : "話題";
    marked.insert(marked.begin(), Boundary{firstIndex, std::move(title)});
  }
  for (auto& boundary : marked) {
    if (!found.empty() && TaskExtractor::similar(found.back().title, boundary.title)) continue;
    found.push_back(std::move(boundary));
  }
}

// The texts thinned to `limit` characters: what fits of each third, joined by "…" rows.
std::vector<std::string> sampled(const std::vector<std::string>& texts, std::size_t limit) {
  std::vector<std::size_t> counts;
  std::size_t total = 0;
  for (const auto& text : texts) {
    counts.push_back(platform::text::graphemeCount(text));
    total += counts.back();
  }
  if (total <= limit) return texts;
  const std::size_t n = texts.size();
  const std::size_t t = n / 3;
  const std::size_t budget = limit / 3;
  std::vector<std::string> result;
  auto take = [&](std::size_t from, std::size_t to) {
    std::size_t taken = 0;
    for (std::size_t i = from; i < to; ++i) {
      if (taken + counts[i] <= budget) {
        result.push_back(texts[i]);
        taken += counts[i];
      }
    }
  };
  take(0, t);
  result.push_back("…");
  take(t, 2 * t);
  result.push_back("…");
  take(2 * t, n);
  return result;
}

std::vector<std::string> cleanedList(const GeneratedContent& content, const char* property) {
  std::vector<std::string> values;
  try {
    values = content.value<std::vector<std::string>>(property);
  } catch (const platform::GenerationError&) {
    return {};
  }
  std::vector<std::string> cleaned;
  for (const auto& value : values) {
    auto characters = platform::text::graphemes(platform::text::trimWhitespaceAndNewlines(value));
    auto decoration = [](const std::string& c) {
      return c == "・" || c == "-" || c == "•" || c == "\u3000" || c == " ";
    };
    auto first = std::find_if_not(characters.begin(), characters.end(), decoration);
    auto last = std::find_if_not(characters.rbegin(), std::make_reverse_iterator(first), decoration).base();
    if (first >= last) continue;
    std::string text;
    for (auto it = first; it != last; ++it) text += *it;
    cleaned.push_back(std::move(text));
    if (cleaned.size() == kListLimit) break;
  }
  return cleaned;
}

}  // namespace

QCoro::Task<std::vector<Boundary>> boundaries(std::shared_ptr<platform::SystemLanguageModel> model,
                                              std::vector<Line> lines,
                                              std::function<void(double)> onProgress,
                                              std::stop_token stop) {
  for (auto& line : lines) {
    line.speaker = safeText(line.speaker);
    line.text = safeText(line.text);
  }
  const auto chunks = chunked(lines, kChunkLimit);
  std::vector<Boundary> found;
  for (std::size_t done = 0; done < chunks.size(); ++done) {
    const auto& chunk = chunks[done];
    platform::CancellationError::throwIfRequested(stop);
    try {
      GeneratedContent content = co_await LanguageModelRequest::respond(
          model, kBoundaryInstructions, boundaryPrompt(found, chunk), boundarySchema(), options(), stop);
      appendChunkBoundaries(found, markedBoundaries(content, chunk), chunk.front().index);
    } catch (const platform::CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      AppLog::error(fmt::format("話題の区切りを飛ばした: 行 {}〜{} {}", chunk.front().index,
                                chunk.back().index, TaskExtractor::reason(error)));
      if (found.empty()) found.push_back(Boundary{chunk.front().index, "話題"});
    }
    onProgress(static_cast<double>(done + 1) / static_cast<double>(chunks.size()));
  }
  co_return found;
}

QCoro::Task<std::optional<Summary>> summarize(std::shared_ptr<platform::SystemLanguageModel> model,
                                              std::string title, std::vector<Line> lines,
                                              std::stop_token stop) {
  title = safeText(title);
  std::vector<std::string> rows;
  for (const auto& line : lines) rows.push_back(safeText(line.speaker) + "：" + oneLine(safeText(line.text)));
  std::string joined;
  for (const auto& row : sampled(rows, kSampleLimit)) {
    if (!joined.empty()) joined += "\n";
    joined += row;
  }
  const std::string prompt = "話題：" + title + "\n\n文字起こし：\n" + joined;
  try {
    GeneratedContent content = co_await LanguageModelRequest::respond(
        model, kSummaryInstructions, prompt, summarySchema(), options(), stop);
    co_return Summary{cleanedList(content, "points"), cleanedList(content, "decisions")};
  } catch (const platform::CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    AppLog::error("議事録の要点を飛ばした: 話題「" + title + "」 " + TaskExtractor::reason(error));
  }
  co_return std::nullopt;
}

}  // namespace veltovoice::MinutesMaker
