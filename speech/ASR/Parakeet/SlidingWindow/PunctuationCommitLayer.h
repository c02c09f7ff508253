#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "speech/ASR/Parakeet/SlidingWindow/CommitLayerUpdate.h"

namespace tesselaudio {

// Steadies the text shown for a streaming recogniser. Each partial text is committed up to its last
// punctuation mark; the rest stays ghost text until the utterance ends, the caller commits, or no new
// partial text comes within `debounceTimeout` seconds (then a timer commits it, when
// `commitOnTimeout`). Committed text never changes again. Every step makes a CommitLayerUpdate that
// goes to the update callback, when one is set, before the step returns.
//
// Text is joined onto the committed text with one space between, unless the committed text is empty
// or already ends in white space. Marks are user-perceived characters.
//
// Held by std::shared_ptr; safe from any thread. One mutex guards the texts; the callback runs after
// the change, without the mutex, on the calling thread or on the layer's timer thread, so it may call
// back into the layer. Destroying the layer stops and joins the timer.
//
//   auto layer = std::make_shared<PunctuationCommitLayer>(0.8, std::set<std::string>{".", "?"}, true);
//   layer->setUpdateCallback([](const CommitLayerUpdate& u) { show(u.totalText); });
//   layer->processPartialText("Hello. How are");   // commits "Hello. ", ghost "How are"
class PunctuationCommitLayer {
 public:
  using UpdateCallback = std::function<void(const CommitLayerUpdate&)>;

  // Throws platform::InvalidArgumentError when `debounceTimeout` is negative or not finite.
  PunctuationCommitLayer(double debounceTimeout, std::set<std::string> punctuationMarks, bool commitOnTimeout);
  ~PunctuationCommitLayer();
  PunctuationCommitLayer(const PunctuationCommitLayer&) = delete;
  PunctuationCommitLayer& operator=(const PunctuationCommitLayer&) = delete;

  double debounceTimeout() const;
  const std::set<std::string>& punctuationMarks() const;
  bool commitOnTimeout() const;

  std::string committedText() const;
  std::string ghostText() const;
  // When the layer was made.
  std::chrono::system_clock::time_point lastUpdateTime() const;
  // Raised by one each time a pending debounce timer is made stale.
  uint64_t debounceGeneration() const;
  // Whether a debounce timer is waiting.
  bool hasDebounceTask() const;
  bool hasUpdateCallback() const;

  // Takes the latest partial text: commits it up to and including its last mark with the white
  // space after it (one space when none follows), and the rest becomes the ghost text. A text
  // without a mark replaces the ghost text whole and starts the debounce timer.
  CommitLayerUpdate processPartialText(const std::string& text);

  // Commits the ghost text because the utterance ended; the reason is set even when there was
  // nothing to commit.
  CommitLayerUpdate processEOU();

  // Commits the ghost text now, at the caller's request; the reason is set as for processEOU().
  CommitLayerUpdate manualCommit();

  // Empties both texts, stops the timer and publishes an update with empty texts and no reason.
  void reset();

  // Sets or replaces the callback; an empty function removes it.
  void setUpdateCallback(UpdateCallback callback);

 private:
  struct Core;

  CommitLayerUpdate commitGhost(CommitReason reason);
  // REQUIRES: core_->mutex is held.
  void startDebounceTimer();

  std::shared_ptr<Core> core_;  // shared with the timer thread
  std::thread timer_;
};

}  // namespace tesselaudio
