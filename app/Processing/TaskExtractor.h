#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <QCoroTask>

#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {

// Finds action items in transcript lines with the language model, and proposes parent tasks for a
// list of task titles; also the fuzzy text match and reason texts that minutes and tasks share.
// Stateless. The coroutines run on the GUI thread; the model requests run on workers.
//
// Transcript lines read "[mm:ss] 話者A：text"; outline lines are a task outline ("  - [ ] title").
namespace TaskExtractor {

struct Found {
  std::string title;
  std::string assignee;
  std::string due;
  std::string time;
  std::string parent;
  bool operator==(const Found&) const = default;
};

struct Skip {
  std::string range;
  std::string reason;
  bool operator==(const Skip&) const = default;
};

struct Group {
  std::string title;
  std::vector<int> members;
  bool operator==(const Group&) const = default;
};

// Asks the model chunk by chunk (at most 1,300 characters of lines each) for new tasks, handing
// each chunk's new items to `onFound` on the GUI thread before the next chunk is sent. Returns the
// chunks the model did not answer. Throws CancellationError when `stop` is requested, and the
// error of reading an answer's "items".
QCoro::Task<std::vector<Skip>> extract(std::shared_ptr<platform::SystemLanguageModel> model,
                                       std::vector<std::string> lines,
                                       std::vector<std::string> outline,
                                       std::function<void(const std::vector<Found>&)> onFound,
                                       std::stop_token stop);

// Asks the model which of `titles` belong under a common parent. Throws the request's errors
// (cancellation included) and the error of reading "groups".
QCoro::Task<std::vector<Group>> regroup(std::shared_ptr<platform::SystemLanguageModel> model,
                                        std::vector<std::string> titles, std::stop_token stop);

// `text` without white space and the characters 。、・「」.
std::string normalized(std::string_view text);

// Whether two texts match after normalising: equal, one containing the other, or character
// bigram sets with a Jaccard index of at least 0.6. An empty normalised text matches nothing.
bool similar(std::string_view a, std::string_view b);

// The short Japanese reason text of a failed request.
std::string reason(const std::exception& error);

// The text shown when the language model cannot be used, by the reason it gives; the minutes
// and task operations and their panels share it.
std::string availabilityText(platform::SystemLanguageModel::UnavailableReason reason);

// "mm:ss" or "h:mm:ss" in seconds; nullopt for any other shape, and for a time that no recording
// has: a part that is not finite or negative, or a total above 10⁹ s.
std::optional<double> seconds(std::string_view text);

// "first〜last" from the "[stamp]" of the first and last line ("?" for a line without one).
std::string timeRange(const std::vector<std::string>& lines);

// `lines` cut into chunks of at most `limit` characters; a longer line is cut to `limit` and
// stands alone.
std::vector<std::vector<std::string>> chunks(const std::vector<std::string>& lines, std::size_t limit);

// The prompt for one chunk: the last 40 lines of `outline` ("（なし）" when there are none), then
// the chunk's lines.
std::string extractionPrompt(const std::vector<std::string>& outline, const std::vector<std::string>& chunk);

// The fixed instruction texts of the two requests.
extern const char* const kExtractionInstructions;
extern const char* const kGroupingInstructions;

}  // namespace TaskExtractor
}  // namespace veltovoice
