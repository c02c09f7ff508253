#include "app/Processing/TranscriptJudge.h"

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "app/Model/AppLog.h"
#include "app/Processing/LanguageModelRequest.h"
#include "app/Processing/TaskExtractor.h"
#include "platform/lm/GeneratedContent.h"
#include "platform/lm/GenerationError.h"
#include "platform/lm/GenerationOptions.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Scalars.h"

namespace veltovoice::TranscriptJudge {

const char* const kInstructions =
    "あなたは会議の文字起こしの校正係です。同じ発言を2つの方法で文字起こしした A と B があります。\n"
    "日本語として自然で、会話の流れに合い、聞き間違い（不自然な漢字・意味の通らない語）が少ない方を選びます。\n"
    "迷ったら A を選びます。";

namespace {

using platform::DynamicGenerationSchema;
using platform::GeneratedContent;
using Property = DynamicGenerationSchema::Property;

std::string safeText(const std::string& text) {
  return platform::text::isValidUtf8(text) ? text : platform::text::repairedUtf8(text);
}

platform::GenerationOptions options() {
  platform::GenerationOptions options;
  options.temperature = 0.0;
  return options;
}

std::vector<std::vector<Pair>> chunked(const std::vector<Pair>& pairs) {
  std::vector<std::vector<Pair>> chunks;
  for (std::size_t at = 0; at < pairs.size(); at += kChunkSize) {
    const std::size_t end = std::min(pairs.size(), at + kChunkSize);
    chunks.emplace_back(pairs.begin() + static_cast<std::ptrdiff_t>(at),
                        pairs.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return chunks;
}

// The choices an answer gives for lines of `chunk`; elements without a readable "n" or "choice",
// or naming another line, are passed over. Throws GenerationError when "choices" is unreadable.
Choices choicesOf(const GeneratedContent& content, const std::vector<Pair>& chunk) {
  std::set<std::int64_t> lines;
  for (const Pair& pair : chunk) lines.insert(pair.index);
  Choices choices;
  for (const GeneratedContent& element : content.value<std::vector<GeneratedContent>>("choices")) {
    std::int64_t n = 0;
    std::string choice;
    try {
      n = element.value<std::int64_t>("n");
      if (!lines.count(n)) continue;
      choice = element.value<std::string>("choice");
    } catch (const platform::GenerationError&) {
      continue;
    }
    choices[n] = choice == "B";
  }
  return choices;
}

}  // namespace

const platform::GenerationSchema& schema() {
  static const platform::GenerationSchema schema = [] {
    DynamicGenerationSchema choice(
        "Choice", std::nullopt,
        {Property{"n", "行の番号", DynamicGenerationSchema::integer(), false},
         Property{"choice", "より正しい方", DynamicGenerationSchema::anyOf("AB", std::nullopt, {"A", "B"}),
                  false}});
    DynamicGenerationSchema root(
        "Choices", std::nullopt,
        {Property{"choices", "すべての行の選択",
                  DynamicGenerationSchema::arrayOf(DynamicGenerationSchema::referenceTo("Choice")), false}});
    return platform::GenerationSchema(root, {choice});
  }();
  return schema;
}

std::string prompt(const std::vector<Pair>& chunk, const std::string& context) {
  std::string text;
  if (!context.empty()) text = "会話の参考情報：\n" + safeText(context) + "\n\n";
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (i > 0) text += "\n\n";
    const Pair& pair = chunk[i];
    text += fmt::format("{}｜{}\nA：{}\nB：{}", pair.index, safeText(pair.speaker), safeText(pair.a),
                        safeText(pair.b));
  }
  return text;
}

QCoro::Task<int> judge(std::shared_ptr<platform::SystemLanguageModel> model, std::vector<Pair> pairs,
                       std::string context, std::function<void(const Choices&)> onChunk,
                       std::function<void(double)> onProgress, std::stop_token stop) {
  const auto chunks = chunked(pairs);
  int skipped = 0;
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const std::vector<Pair>& chunk = chunks[k];
    platform::CancellationError::throwIfRequested(stop);
    std::optional<Choices> choices;
    try {
      // Named before it is awaited: g++ 12 destroys temporaries of an awaited expression twice.
      QCoro::Task<GeneratedContent> asking =
          LanguageModelRequest::respond(model, kInstructions, prompt(chunk, context), schema(), options(), stop);
      const GeneratedContent content = co_await std::move(asking);
      choices = choicesOf(content, chunk);
    } catch (const platform::CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      AppLog::error(fmt::format("文字起こしの統合で判定を飛ばした: 行 {}〜{} {}", chunk.front().index,
                                chunk.back().index, TaskExtractor::reason(error)));
      ++skipped;
    }
    if (choices) onChunk(*choices);
    onProgress(static_cast<double>(k + 1) / static_cast<double>(chunks.size()));
  }
  co_return skipped;
}

}  // namespace veltovoice::TranscriptJudge
