#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <QCoroTask>

#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {

// Turns transcript rows into minutes with the language model: where topics start, with short
// headings, and the points and decisions of one topic. Stateless. The coroutines run on the GUI
// thread; the model requests run on workers.
namespace MinutesMaker {

struct Line {
  int index = 0;  // the sentence's position in the conversation
  std::string speaker;
  std::string text;
  bool operator==(const Line&) const = default;
};

struct Boundary {
  int index = 0;
  std::string title;
  bool operator==(const Boundary&) const = default;
};

struct Summary {
  std::vector<std::string> points;
  std::vector<std::string> decisions;
  bool operator==(const Summary&) const = default;
};

// The topic starts of `lines`, ascending, the first at the first row (none for no rows). Asks the
// model chunk by chunk (1,300 characters of text each) and calls `onProgress` on the GUI thread
// after each chunk with the fraction done. A failed chunk is logged and skipped.
// Throws only CancellationError.
QCoro::Task<std::vector<Boundary>> boundaries(std::shared_ptr<platform::SystemLanguageModel> model,
                                              std::vector<Line> lines,
                                              std::function<void(double)> onProgress,
                                              std::stop_token stop);

// The points and decisions of the topic `title` (at most 5 each), or nullopt when the request
// failed (logged). Throws only CancellationError.
QCoro::Task<std::optional<Summary>> summarize(std::shared_ptr<platform::SystemLanguageModel> model,
                                              std::string title, std::vector<Line> lines,
                                              std::stop_token stop);

extern const char* const kBoundaryInstructions;
extern const char* const kSummaryInstructions;

}  // namespace MinutesMaker
}  // namespace veltovoice
