#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include <QCoroTask>

#include "platform/lm/GenerationSchema.h"
#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {

// Asks the language model, line by line, which of two wordings of the same utterance is the better
// Japanese: A, the stored text, or B, a new recognition. Stateless; never changes a conversation.
// The coroutine runs on the GUI thread; the model requests run on workers, one after another.
//
// Each request carries up to kChunkSize lines:
//
//   会話の参考情報：          (only with a context)
//   <context>
//
//   <index>｜<speaker>
//   A：<a>
//   B：<b>
//
//   <index>｜<speaker>
//   …
//
// and the answer reads {"choices":[{"n":<index>,"choice":"A"|"B"},…]}.
namespace TranscriptJudge {

struct Pair {
  std::int64_t index = 0;  // the sentence's position in the conversation; the line number asked
  std::string speaker;
  std::string a;  // the stored text
  std::string b;  // the new recognition
  bool operator==(const Pair&) const = default;
};

// Line number → true when the model chose B. Lines the answer does not cover have no entry.
using Choices = std::map<std::int64_t, bool>;

constexpr std::size_t kChunkSize = 12;

// Judges `pairs` in chunks of kChunkSize, in order. After each answered request calls `onChunk`
// with its choices (possibly none), then, after every request, `onProgress` with the fraction of
// requests done; both on the GUI thread. A request that fails, or whose answer has no readable
// "choices", is logged ("文字起こしの統合で判定を飛ばした: 行 <first>〜<last> <reason>") and
// skipped. Returns the number of skipped requests; no pairs make no request and return 0.
// Throws only CancellationError, when `stop` is requested or the request was cancelled; choices
// reported before stay reported.
QCoro::Task<int> judge(std::shared_ptr<platform::SystemLanguageModel> model, std::vector<Pair> pairs,
                       std::string context, std::function<void(const Choices&)> onChunk,
                       std::function<void(double)> onProgress, std::stop_token stop);

// The prompt of one chunk.
std::string prompt(const std::vector<Pair>& chunk, const std::string& context);

// The answer schema: "Choices" {choices: [Choice]}, "Choice" {n: integer, choice: "A" | "B"}.
const platform::GenerationSchema& schema();

extern const char* const kInstructions;

}  // namespace TranscriptJudge
}  // namespace veltovoice
