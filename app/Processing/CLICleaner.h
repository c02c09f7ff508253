#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <QCoroTask>

#include "app/Processing/CLIAssistant.h"

namespace veltovoice {

// Sends transcript sentences to an outside assistant for correction, chunk by chunk, and reads
// its answers. Stateless. clean() is a coroutine of the GUI thread whose requests run on workers.
//
// A request is the fixed instruction, the memo, and the chunk's numbered lines
// "<index>|<speaker>|<text>". The answer is JSON, possibly wrapped in other text:
//   {"lines": [{"n": <index, a number or a string of digits>, "text": "<corrected text>"}, ...]}
namespace CLICleaner {

// One sentence as sent.
struct Line {
  int index = 0;         // its position in the conversation when the clean-up started
  std::string speaker;   // the speaker's display name, "話者" without a speaker
  std::string text;
  bool operator==(const Line&) const = default;
};

// The corrected texts of one chunk's answer by line index.
using Answer = std::map<int, std::string>;

// The characters of sentence text a chunk holds at most, unless one sentence alone is longer.
constexpr std::size_t kChunkLimit = 4000;
// Seconds the assistant may take for one chunk.
constexpr double kTimeoutSeconds = 300;

// The fixed first part of every request (847 bytes), ending in "参加者・用語メモ：".
extern const char* const kInstruction;

// `lines` in order, cut into chunks whose texts add up to at most `limit` characters; a line
// longer than `limit` makes a chunk of its own. Speaker and index do not count.
std::vector<std::vector<Line>> chunked(const std::vector<Line>& lines, std::size_t limit);

// The request of one chunk: the instruction, the memo (or "（なし）" when it is blank), the
// transcript heading and the lines with their line feeds turned into blanks.
std::string request(std::string_view memo, const std::vector<Line>& chunk);

// The corrected texts of an answer, from its first "{" to its last "}": only indices in
// `allowed`, texts trimmed and not empty, a later entry for an index replacing an earlier one.
// An answer that is no such JSON is logged as an error and gives nothing.
Answer parse(std::string_view answer, const std::set<int>& allowed);

// Asks `assistant` about each chunk of `lines` in turn (never two at once), each with a limit of
// kTimeoutSeconds; after each answer calls `onChunk` with what it says (also when it says nothing),
// then `onProgress` with the fraction of chunks done. Both run on the GUI thread, the thread this
// coroutine resumes on. Throws the assistant's errors and CancellationError when `stop` is
// requested; chunks answered before keep their effect.
QCoro::Task<> clean(std::vector<Line> lines, std::string memo, CLIAssistant assistant,
                    std::function<void(const Answer&)> onChunk,
                    std::function<void(double fraction)> onProgress, std::stop_token stop);

}  // namespace CLICleaner
}  // namespace veltovoice
