#include "speech/ASR/Parakeet/SlidingWindow/PunctuationCommitLayer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sys/InvalidArgumentError.h"

namespace tesselaudio {
namespace {

using namespace std::chrono_literals;

const std::set<std::string> kMarks = {".", "?"};
constexpr double kShortDebounce = 0.05;
constexpr double kNeverFires = 1e6;
// The longest any test waits for a timer; reached only when something is broken.
constexpr auto kPatience = 10s;

// Keeps every update the callback receives and lets a test wait for them.
class UpdateRecorder {
 public:
  void operator()(const CommitLayerUpdate& update) {
    std::scoped_lock lock(mutex_);
    updates_.push_back(update);
    changed_.notify_all();
  }

  // Waits until at least `count` updates arrived; false when the patience ran out.
  bool waitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return updates_.size() >= count; });
  }

  std::vector<CommitLayerUpdate> updates() const {
    std::scoped_lock lock(mutex_);
    return updates_;
  }

  size_t timeoutCommits() const {
    size_t count = 0;
    for (const auto& update : updates()) count += update.lastCommitReason == CommitReason::debounceTimeout();
    return count;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<CommitLayerUpdate> updates_;
};

class PunctuationCommitLayerTest : public ::testing::Test {
 protected:
  std::shared_ptr<PunctuationCommitLayer> makeLayer(double debounce = kNeverFires, bool commitOnTimeout = true,
                                                    std::shared_ptr<UpdateRecorder> recorder = nullptr) {
    auto layer = std::make_shared<PunctuationCommitLayer>(debounce, kMarks, commitOnTimeout);
    if (!recorder) recorder = recorder_;
    layer->setUpdateCallback([recorder](const CommitLayerUpdate& update) { (*recorder)(update); });
    return layer;
  }

  // The update as returned, after checking that the callback saw the same one first.
  CommitLayerUpdate published(const CommitLayerUpdate& returned) {
    const auto updates = recorder_->updates();
    EXPECT_FALSE(updates.empty());
    if (!updates.empty()) {
      EXPECT_EQ(updates.back(), returned);
    }
    return returned;
  }

  std::shared_ptr<UpdateRecorder> recorder_ = std::make_shared<UpdateRecorder>();
};

TEST_F(PunctuationCommitLayerTest, StartsEmptyWithoutTimerOrCallback) {
  const auto before = std::chrono::system_clock::now();
  PunctuationCommitLayer layer(0.8, kMarks, true);
  const auto after = std::chrono::system_clock::now();

  EXPECT_EQ(layer.committedText(), "");
  EXPECT_EQ(layer.ghostText(), "");
  EXPECT_EQ(layer.debounceGeneration(), 0U);
  EXPECT_FALSE(layer.hasDebounceTask());
  EXPECT_FALSE(layer.hasUpdateCallback());
  EXPECT_GE(layer.lastUpdateTime(), before);
  EXPECT_LE(layer.lastUpdateTime(), after);
  EXPECT_EQ(layer.debounceTimeout(), 0.8);
  EXPECT_EQ(layer.punctuationMarks(), kMarks);
  EXPECT_TRUE(layer.commitOnTimeout());
}

TEST_F(PunctuationCommitLayerTest, RefusesDebounceTimesThatAreNegativeOrNotFinite) {
  for (const double timeout : {-0.001, -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(timeout);
    EXPECT_THROW(PunctuationCommitLayer(timeout, kMarks, true), platform::InvalidArgumentError);
  }
  EXPECT_NO_THROW(PunctuationCommitLayer(0, kMarks, true));
}

TEST_F(PunctuationCommitLayerTest, CommitsUpToTheLastMark) {
  struct Case {
    const char* text;
    const char* committed;
    const char* ghost;
    const char* total;
    std::optional<CommitReason> reason;
  };
  const Case cases[] = {
      {"Hello. How are", "Hello. ", "How are", "Hello. How are", CommitReason::punctuation(".")},
      {"Hi.There", "Hi. ", "There", "Hi. There", CommitReason::punctuation(".")},
      {"Done.", "Done. ", "", "Done. ", CommitReason::punctuation(".")},
      {"A. B? C", "A. B? ", "C", "A. B? C", CommitReason::punctuation("?")},
      {"Wait.   then", "Wait.   ", "then", "Wait.   then", CommitReason::punctuation(".")},
      {"Hi.\r\n\tthere", "Hi.\r\n\t", "there", "Hi.\r\n\tthere", CommitReason::punctuation(".")},
      {"Why?  ", "Why?  ", "", "Why?  ", CommitReason::punctuation("?")},
      {".?", ".? ", "", ".? ", CommitReason::punctuation("?")},
      {"no marks here", "", "no marks here", "no marks here", std::nullopt},
      {"", "", "", "", std::nullopt},
      // A mark with an accent on it is another character.
      {"a.\u0301b", "", "a.\u0301b", "a.\u0301b", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto layer = makeLayer();
    const auto update = published(layer->processPartialText(c.text));
    EXPECT_EQ(update.committedText, c.committed);
    EXPECT_EQ(update.ghostText, c.ghost);
    EXPECT_EQ(update.totalText, c.total);
    EXPECT_EQ(update.lastCommitReason, c.reason);
    EXPECT_EQ(layer->committedText(), c.committed);
    EXPECT_EQ(layer->ghostText(), c.ghost);
    // Only a text without a mark waits for the timer.
    EXPECT_EQ(layer->hasDebounceTask(), !c.reason.has_value());
  }
}

TEST_F(PunctuationCommitLayerTest, JoinsNewTextOntoCommittedText) {
  const auto layer = makeLayer();
  layer->processPartialText("hello world");
  EXPECT_EQ(published(layer->processEOU()).committedText, "hello world");

  const auto partial = published(layer->processPartialText("next words"));
  EXPECT_EQ(partial.totalText, "hello world next words");
  EXPECT_EQ(partial.committedText, "hello world");

  const auto update = published(layer->processPartialText("next words. more"));
  EXPECT_EQ(update.committedText, "hello world next words. ");
  EXPECT_EQ(update.ghostText, "more");
  EXPECT_EQ(update.totalText, "hello world next words. more");

  // Committed text that ends in white space takes the next text without another space.
  EXPECT_EQ(published(layer->manualCommit()).committedText, "hello world next words. more");
  layer->processPartialText("Done.");
  EXPECT_EQ(layer->committedText(), "hello world next words. more Done. ");
  layer->processPartialText("x");
  EXPECT_EQ(published(layer->processEOU()).committedText, "hello world next words. more Done. x");
}

TEST_F(PunctuationCommitLayerTest, EndOfUtteranceAndManualCommitAlwaysCarryTheirReason) {
  const auto layer = makeLayer();
  const auto empty = published(layer->processEOU());
  EXPECT_EQ(empty, (CommitLayerUpdate{"", "", "", CommitReason::endOfUtterance(), empty.timestamp}));

  layer->processPartialText("some words");
  const auto manual = published(layer->manualCommit());
  EXPECT_EQ(manual, (CommitLayerUpdate{"some words", "", "some words", CommitReason::manualCommit(), manual.timestamp}));
  const auto again = published(layer->manualCommit());
  EXPECT_EQ(again.committedText, "some words");
  EXPECT_EQ(again.lastCommitReason, CommitReason::manualCommit());
  EXPECT_FALSE(layer->hasDebounceTask());
}

TEST_F(PunctuationCommitLayerTest, ResetEmptiesEverythingAndPublishes) {
  const auto layer = makeLayer();
  layer->processPartialText("One. two");
  layer->reset();
  const auto updates = recorder_->updates();
  ASSERT_EQ(updates.size(), 2U);
  EXPECT_EQ(updates.back(), (CommitLayerUpdate{"", "", "", std::nullopt, updates.back().timestamp}));
  EXPECT_EQ(layer->committedText(), "");
  EXPECT_EQ(layer->ghostText(), "");
}

TEST_F(PunctuationCommitLayerTest, DebounceCommitsTheLatestGhostText) {
  const auto layer = makeLayer(kShortDebounce);
  layer->processPartialText("one");
  layer->processPartialText("one two");
  ASSERT_TRUE(recorder_->waitFor(3));
  const auto committed = recorder_->updates()[2];
  EXPECT_EQ(committed.committedText, "one two");
  EXPECT_EQ(committed.ghostText, "");
  EXPECT_EQ(committed.totalText, "one two");
  EXPECT_EQ(committed.lastCommitReason, CommitReason::debounceTimeout());
  EXPECT_EQ(layer->committedText(), "one two");
  // Nothing else is pending, so no further update can come.
  EXPECT_FALSE(layer->hasDebounceTask());
  EXPECT_EQ(recorder_->timeoutCommits(), 1U);
}

TEST_F(PunctuationCommitLayerTest, StaleTimersNeverCommit) {
  struct Case {
    const char* name;
    void (*operation)(PunctuationCommitLayer&);
  };
  const Case cases[] = {
      {"reset", [](PunctuationCommitLayer& layer) { layer.reset(); }},
      {"end of utterance", [](PunctuationCommitLayer& layer) { layer.processEOU(); }},
      {"manual commit", [](PunctuationCommitLayer& layer) { layer.manualCommit(); }},
      {"later partial text", [](PunctuationCommitLayer&) {}},
      {"timer that does not commit", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto watched = std::make_shared<UpdateRecorder>();
    const auto layer = makeLayer(kShortDebounce, c.operation != nullptr, watched);
    layer->processPartialText("pending");
    // A layer whose timer starts after the watched one's shows when that one's time is up.
    auto reference = std::make_shared<UpdateRecorder>();
    const auto clock = makeLayer(kShortDebounce, true, reference);
    clock->processPartialText("tick");
    if (c.operation) {
      c.operation(*layer);
      // Ghost text that no timer covers: a stale timer committing would take it.
      layer->processPartialText("First. second");
      EXPECT_FALSE(layer->hasDebounceTask());
    }
    ASSERT_TRUE(reference->waitFor(2));
    const std::string ghost = c.operation ? "second" : "pending";
    EXPECT_EQ(layer->ghostText(), ghost);
    EXPECT_EQ(watched->timeoutCommits(), 0U);
  }
}

TEST_F(PunctuationCommitLayerTest, CallbackMayCallBackIntoTheLayer) {
  auto layer = std::make_shared<PunctuationCommitLayer>(kShortDebounce, kMarks, true);
  std::weak_ptr<PunctuationCommitLayer> weak = layer;
  layer->setUpdateCallback([this, weak](const CommitLayerUpdate& update) {
    if (update.lastCommitReason == CommitReason::debounceTimeout()) {
      if (auto self = weak.lock()) self->processPartialText(self->committedText() + ". After");
    }
    (*recorder_)(update);
  });
  layer->processPartialText("before");
  ASSERT_TRUE(recorder_->waitFor(3));
  EXPECT_EQ(layer->committedText(), "before before. ");
  EXPECT_EQ(layer->ghostText(), "After");
  EXPECT_TRUE(layer->hasUpdateCallback());
  layer->setUpdateCallback({});
  EXPECT_FALSE(layer->hasUpdateCallback());
}

TEST_F(PunctuationCommitLayerTest, DestroyingTheLayerStopsAWaitingTimer) {
  {
    const auto layer = makeLayer(kNeverFires);
    layer->processPartialText("waiting");
    EXPECT_TRUE(layer->hasDebounceTask());
  }
  EXPECT_EQ(recorder_->timeoutCommits(), 0U);
}

TEST_F(PunctuationCommitLayerTest, LastReferenceMayGoInsideTheTimerCallback) {
  auto holder = std::make_shared<std::shared_ptr<PunctuationCommitLayer>>();
  *holder = std::make_shared<PunctuationCommitLayer>(kShortDebounce, kMarks, true);
  auto recorder = recorder_;
  (*holder)->setUpdateCallback([holder, recorder](const CommitLayerUpdate& update) {
    (*recorder)(update);
    if (update.lastCommitReason == CommitReason::debounceTimeout()) holder->reset();
  });
  (*holder)->processPartialText("last words");
  ASSERT_TRUE(recorder_->waitFor(2));
  EXPECT_EQ(recorder_->updates()[1].committedText, "last words");
}

}  // namespace
}  // namespace tesselaudio
