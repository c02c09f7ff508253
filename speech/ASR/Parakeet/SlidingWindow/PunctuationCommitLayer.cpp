#include "speech/ASR/Parakeet/SlidingWindow/PunctuationCommitLayer.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sys/InvalidArgumentError.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Scalars.h"
#include "platform/text/Whitespace.h"

namespace tesselaudio {
namespace {

using std::chrono::steady_clock;
using std::chrono::system_clock;

// A character is white space when its first scalar is, as "\r\n" is.
bool isWhitespace(std::string_view character) {
  const auto scalars = platform::text::unicodeScalars(character);
  return scalars && !scalars->empty() && platform::text::isWhitespaceOrNewline(scalars->front());
}

bool endsWithWhitespace(const std::string& text) {
  const auto characters = platform::text::graphemes(text);
  return !characters.empty() && isWhitespace(characters.back());
}

// `text` joined onto `committed`: one space between, unless `committed` is empty or ends in white
// space.
std::string joined(const std::string& committed, std::string_view text) {
  std::string result = committed;
  if (!committed.empty() && !endsWithWhitespace(committed)) result += ' ';
  result += text;
  return result;
}

std::string concatenated(const std::vector<std::string>& characters, size_t begin, size_t end) {
  std::string text;
  for (size_t i = begin; i < end; ++i) text += characters[i];
  return text;
}

// Timers beyond this many seconds wait as long as this (some thirty years), which keeps the
// deadline arithmetic of the clock from overflowing.
constexpr double kLongestWaitSeconds = 1e9;

}  // namespace

struct PunctuationCommitLayer::Core {
  Core(double timeout, std::set<std::string> marks, bool commits)
      : debounceTimeout(timeout), punctuationMarks(std::move(marks)), commitOnTimeout(commits),
        lastUpdateTime(system_clock::now()) {}

  // Constant after construction.
  const double debounceTimeout;
  const std::set<std::string> punctuationMarks;
  const bool commitOnTimeout;
  const system_clock::time_point lastUpdateTime;

  mutable std::mutex mutex;
  std::condition_variable wake;
  // Guarded by mutex.
  std::string committedText;
  std::string ghostText;
  uint64_t debounceGeneration = 0;
  bool timerArmed = false;
  steady_clock::time_point deadline;
  uint64_t timerGeneration = 0;  // the generation the armed timer belongs to
  bool stopping = false;
  std::shared_ptr<const UpdateCallback> callback;

  // REQUIRES: mutex is held.
  CommitLayerUpdate update(std::optional<CommitReason> reason) const {
    std::string total;
    if (ghostText.empty()) {
      total = committedText;
    } else if (committedText.empty()) {
      total = ghostText;
    } else {
      total = joined(committedText, ghostText);
    }
    return {committedText, ghostText, std::move(total), std::move(reason), system_clock::now()};
  }

  // REQUIRES: mutex is held.
  void invalidateDebounce() {
    if (timerArmed) {
      timerArmed = false;
      wake.notify_all();
    }
    ++debounceGeneration;
  }

  // REQUIRES: mutex is held.
  void commitGhostText() {
    if (ghostText.empty()) return;
    committedText = joined(committedText, ghostText);
    ghostText.clear();
  }

  // Hands `made` to the callback without the mutex. REQUIRES: `lock` holds mutex; it is released.
  void publish(std::unique_lock<std::mutex>& lock, const CommitLayerUpdate& made) {
    const auto current = callback;
    lock.unlock();
    if (current) (*current)(made);
  }

  // The timer thread: waits for the armed deadline, and commits when its timer is still the
  // current one when the deadline comes.
  static void runTimer(const std::shared_ptr<Core>& core) {
    std::unique_lock lock(core->mutex);
    while (!core->stopping) {
      if (!core->timerArmed) {
        core->wake.wait(lock);
        continue;
      }
      const uint64_t generation = core->timerGeneration;
      const bool changed = core->wake.wait_until(lock, core->deadline, [&] {
        return core->stopping || !core->timerArmed || core->timerGeneration != generation;
      });
      if (changed) continue;
      core->timerArmed = false;
      if (!core->commitOnTimeout || core->debounceGeneration != generation || core->ghostText.empty()) continue;
      core->commitGhostText();
      core->publish(lock, core->update(CommitReason::debounceTimeout()));
      lock.lock();
    }
  }
};

PunctuationCommitLayer::PunctuationCommitLayer(double debounceTimeout, std::set<std::string> punctuationMarks,
                                               bool commitOnTimeout) {
  if (!std::isfinite(debounceTimeout) || debounceTimeout < 0) {
    throw platform::InvalidArgumentError("debounceTimeout", "a debounce time must be finite and not negative");
  }
  core_ = std::make_shared<Core>(debounceTimeout, std::move(punctuationMarks), commitOnTimeout);
}

PunctuationCommitLayer::~PunctuationCommitLayer() {
  {
    std::scoped_lock lock(core_->mutex);
    core_->stopping = true;
    core_->wake.notify_all();
  }
  if (!timer_.joinable()) return;
  // A callback on the timer thread may drop the last reference; that thread cannot join itself.
  if (timer_.get_id() == std::this_thread::get_id()) {
    timer_.detach();
  } else {
    timer_.join();
  }
}

double PunctuationCommitLayer::debounceTimeout() const { return core_->debounceTimeout; }
const std::set<std::string>& PunctuationCommitLayer::punctuationMarks() const { return core_->punctuationMarks; }
bool PunctuationCommitLayer::commitOnTimeout() const { return core_->commitOnTimeout; }
system_clock::time_point PunctuationCommitLayer::lastUpdateTime() const { return core_->lastUpdateTime; }

std::string PunctuationCommitLayer::committedText() const {
  std::scoped_lock lock(core_->mutex);
  return core_->committedText;
}

std::string PunctuationCommitLayer::ghostText() const {
  std::scoped_lock lock(core_->mutex);
  return core_->ghostText;
}

uint64_t PunctuationCommitLayer::debounceGeneration() const {
  std::scoped_lock lock(core_->mutex);
  return core_->debounceGeneration;
}

bool PunctuationCommitLayer::hasDebounceTask() const {
  std::scoped_lock lock(core_->mutex);
  return core_->timerArmed;
}

bool PunctuationCommitLayer::hasUpdateCallback() const {
  std::scoped_lock lock(core_->mutex);
  return core_->callback != nullptr;
}

CommitLayerUpdate PunctuationCommitLayer::processPartialText(const std::string& text) {
  const auto characters = platform::text::graphemes(text);
  std::optional<size_t> mark;
  for (size_t i = characters.size(); i-- > 0;) {
    if (core_->punctuationMarks.contains(characters[i])) {
      mark = i;
      break;
    }
  }

  std::unique_lock lock(core_->mutex);
  core_->invalidateDebounce();
  std::optional<CommitReason> reason;
  if (mark) {
    size_t rest = *mark + 1;
    while (rest < characters.size() && isWhitespace(characters[rest])) ++rest;
    const std::string separator = rest > *mark + 1 ? concatenated(characters, *mark + 1, rest) : " ";
    core_->committedText = joined(core_->committedText, concatenated(characters, 0, *mark + 1) + separator);
    core_->ghostText = concatenated(characters, rest, characters.size());
    reason = CommitReason::punctuation(characters[*mark]);
  } else {
    core_->ghostText = text;
    startDebounceTimer();
  }
  const CommitLayerUpdate made = core_->update(std::move(reason));
  core_->publish(lock, made);
  return made;
}

void PunctuationCommitLayer::startDebounceTimer() {
  const double seconds = std::min(core_->debounceTimeout, kLongestWaitSeconds);
  core_->invalidateDebounce();
  core_->timerArmed = true;
  core_->timerGeneration = core_->debounceGeneration;
  core_->deadline =
      steady_clock::now() + std::chrono::duration_cast<steady_clock::duration>(std::chrono::duration<double>(seconds));
  if (!timer_.joinable()) timer_ = std::thread(&Core::runTimer, core_);
  core_->wake.notify_all();
}

CommitLayerUpdate PunctuationCommitLayer::processEOU() { return commitGhost(CommitReason::endOfUtterance()); }

CommitLayerUpdate PunctuationCommitLayer::manualCommit() { return commitGhost(CommitReason::manualCommit()); }

CommitLayerUpdate PunctuationCommitLayer::commitGhost(CommitReason reason) {
  std::unique_lock lock(core_->mutex);
  core_->invalidateDebounce();
  core_->commitGhostText();
  const CommitLayerUpdate made = core_->update(std::move(reason));
  core_->publish(lock, made);
  return made;
}

void PunctuationCommitLayer::reset() {
  std::unique_lock lock(core_->mutex);
  core_->invalidateDebounce();
  core_->committedText.clear();
  core_->ghostText.clear();
  core_->publish(lock, core_->update(std::nullopt));
}

void PunctuationCommitLayer::setUpdateCallback(UpdateCallback callback) {
  std::scoped_lock lock(core_->mutex);
  core_->callback = callback ? std::make_shared<const UpdateCallback>(std::move(callback)) : nullptr;
}

}  // namespace tesselaudio
