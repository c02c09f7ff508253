#include "DevadEvev/SpeakerDiarizer.h"

#include <pthread.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace devadevev {
namespace {

namespace fs = std::filesystem;
using Turn = SpeakerDiarizer::Turn;

constexpr double kTapRate = 48000;
constexpr std::size_t kTapBuffer = 480;

// The diarizer with its queue opened up: a drain on demand and a look at the timer.
class OpenDiarizer : public SpeakerDiarizer {
 public:
  using SpeakerDiarizer::drainNow;
  using SpeakerDiarizer::timerRunning;
};

// Every list onTurns received, with the name of the thread it came on.
class TurnLists {
 public:
  SpeakerDiarizer::TurnsHandler handler() {
    return [this](const std::vector<Turn>& turns) {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      std::scoped_lock lock(mutex_);
      lists_.push_back(turns);
      threads_.push_back(name);
      changed_.notify_all();
    };
  }

  // Waits, for as long as a busy machine may need, until `count` lists have come.
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return lists_.size() >= count; });
  }

  std::vector<std::vector<Turn>> lists() const {
    std::scoped_lock lock(mutex_);
    return lists_;
  }
  std::vector<std::string> threads() const {
    std::scoped_lock lock(mutex_);
    return threads_;
  }
  std::size_t count() const {
    std::scoped_lock lock(mutex_);
    return lists_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<Turn>> lists_;
  std::vector<std::string> threads_;
};

// Band speech of `slot` at the tap's rate.
std::vector<float> speech(int slot, double seconds, unsigned seed = 1) {
  return testsupport::sortformerBandAudio(slot, static_cast<std::size_t>(seconds * kTapRate), seed,
                                          kTapRate);
}

std::vector<float> joined(std::initializer_list<std::vector<float>> parts) {
  std::vector<float> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Seconds of `slot`'s turns that overlap [from, to).
double overlap(const std::vector<Turn>& turns, int slot, double from, double to) {
  double total = 0;
  for (const Turn& turn : turns) {
    if (turn.speaker != slot) continue;
    total += std::max(0.0, std::min(turn.end, to) - std::max(turn.start, from));
  }
  return total;
}

// A models root holding the band-oracle bundle as a finished download leaves it; the hub's address
// is a refused port, so any request would fail the preparation.
class SpeakerDiarizerTest : public ::testing::Test {
 protected:
  SpeakerDiarizerTest() {
    tesselaudio::AppLogger::setMirrorsToConsole(false);
    testsupport::installSortformerBundle(testsupport::sortformerBandOracleModel(), models());
  }
  ~SpeakerDiarizerTest() override { tesselaudio::AppLogger::setMirrorsToConsole(true); }

  fs::path models() const { return folder_.path() / "Models"; }

  // Appends `samples` from a thread of its own in tap-sized buffers, and waits for it to end.
  static void produce(SpeakerDiarizer& diarizer, const std::vector<float>& samples,
                      double rate = kTapRate) {
    std::jthread producer([&] {
      for (std::size_t at = 0; at < samples.size(); at += kTapBuffer) {
        const std::size_t count = std::min(kTapBuffer, samples.size() - at);
        diarizer.append(std::span<const float>(samples.data() + at, count), rate);
      }
    });
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(SpeakerDiarizerTest, LiveTurnsFollowTheSpeakersAndComeOnTheQueue) {
  OpenDiarizer diarizer;
  TurnLists lists;
  diarizer.prepare(models(), lists.handler(), {});
  EXPECT_TRUE(diarizer.timerRunning());

  // The producer runs on while the timer drains.
  std::jthread producer([&] {
    const auto samples = joined({speech(0, 3), speech(1, 3, 2)});
    for (std::size_t at = 0; at < samples.size(); at += kTapBuffer) {
      diarizer.append(std::span<const float>(samples.data() + at, kTapBuffer), kTapRate);
    }
  });
  ASSERT_TRUE(lists.waitFor(1)) << "the timer never published";
  producer.join();
  const std::size_t beforeFinish = lists.count();
  diarizer.finish();
  EXPECT_FALSE(diarizer.timerRunning());
  EXPECT_GT(lists.count(), beforeFinish) << "finish() publishes once more";

  // The thread carries the tail of the queue's label: the OS keeps 15 bytes of a name.
  const std::string label = SpeakerDiarizer::kQueueLabel;
  EXPECT_EQ(label, "velto-voice-app.diarizer");
  for (const std::string& thread : lists.threads()) EXPECT_EQ(thread, label.substr(label.size() - 15));

  const auto all = lists.lists();
  for (const auto& list : all) {
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                               [](const Turn& a, const Turn& b) { return a.start < b.start; }));
    for (const Turn& turn : list) {
      // Frame times in single precision, widened: frame 36 reads 2.879999876022339.
      const auto frame = static_cast<std::int64_t>(std::lround(turn.start / 0.08));
      EXPECT_EQ(turn.start, static_cast<double>(static_cast<float>(frame) * 0.08f));
      EXPECT_LT(turn.start, turn.end);
      EXPECT_GE(turn.speaker, 0);
      EXPECT_LE(turn.speaker, 3);
    }
  }
  const auto& last = all.back();
  EXPECT_GT(overlap(last, 0, 0, 3), 2.5);
  EXPECT_GT(overlap(last, 1, 3, 6), 2.5);
  EXPECT_LT(overlap(last, 0, 3.5, 6), 0.01);
  EXPECT_LT(overlap(last, 1, 0, 2.5), 0.01);
  EXPECT_LT(overlap(last, 2, 0, 10) + overlap(last, 3, 0, 10), 0.01);
}

TEST_F(SpeakerDiarizerTest, FinishPublishesAgainWhenNothingNewCame) {
  OpenDiarizer diarizer;
  TurnLists lists;
  // Appended before the timer runs, so that the first drain, whichever runs it, takes them all.
  produce(diarizer, speech(2, 2));
  diarizer.prepare(models(), lists.handler(), {});
  diarizer.drainNow();
  ASSERT_EQ(lists.count(), 1u);
  diarizer.drainNow();
  EXPECT_EQ(lists.count(), 1u) << "a drain without samples publishes nothing";

  diarizer.finish();
  ASSERT_EQ(lists.count(), 2u);
  EXPECT_GT(overlap(lists.lists().back(), 2, 0, 2), 1.5);
}

TEST_F(SpeakerDiarizerTest, DrainWithoutSamplesOrRateDoesNothing) {
  struct Case {
    const char* name;
    double seconds;
    double rate;
  };
  const Case cases[] = {
      {"no samples", 0, kTapRate},
      {"rate 0, as before the first append", 2, 0},
      {"negative rate", 2, -kTapRate},
      {"NaN rate", 2, std::numeric_limits<double>::quiet_NaN()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenDiarizer diarizer;
    TurnLists lists;
    diarizer.prepare(models(), lists.handler(), {});
    if (c.seconds > 0) produce(diarizer, speech(0, c.seconds), c.rate);
    diarizer.drainNow();
    EXPECT_EQ(lists.count(), 0u);
    // The samples are gone with that drain: the last list has nothing of them.
    diarizer.finish();
    ASSERT_EQ(lists.count(), 1u);
    EXPECT_THAT(lists.lists().back(), ::testing::IsEmpty());
  }
}

TEST_F(SpeakerDiarizerTest, SamplesOfOneDrainTakeTheLatestRate) {
  // Three seconds at 48 kHz, the first half announced as 16 kHz: read at that rate they would
  // last nine seconds.
  const auto samples = speech(1, 3);
  const std::size_t half = samples.size() / 2;
  OpenDiarizer diarizer;
  TurnLists lists;
  // Appended before the timer runs, so that one drain holds both.
  diarizer.append(std::span<const float>(samples.data(), half), 16000);
  diarizer.append(std::span<const float>(samples.data() + half, samples.size() - half), kTapRate);
  diarizer.prepare(models(), lists.handler(), {});
  diarizer.finish();

  ASSERT_GE(lists.count(), 1u);
  const auto last = lists.lists().back();
  ASSERT_FALSE(last.empty());
  EXPECT_GT(overlap(last, 1, 0, 3), 2.5);
  for (const Turn& turn : last) EXPECT_LE(turn.end, 3.2);
}

TEST_F(SpeakerDiarizerTest, CancelStopsTheTimerAndPublishesNothing) {
  OpenDiarizer diarizer;
  TurnLists lists;
  diarizer.prepare(models(), lists.handler(), {});
  diarizer.cancel();
  EXPECT_FALSE(diarizer.timerRunning());
  produce(diarizer, speech(0, 3));
  EXPECT_FALSE(diarizer.timerRunning());
  EXPECT_EQ(lists.count(), 0u);
}

TEST_F(SpeakerDiarizerTest, DamagedSamplesDoNotCrash) {
  auto samples = speech(3, 3);
  for (std::size_t i = 0; i < samples.size(); i += 997) {
    samples[i] = (i / 997) % 2 ? std::numeric_limits<float>::quiet_NaN()
                               : std::numeric_limits<float>::infinity();
  }
  OpenDiarizer diarizer;
  TurnLists lists;
  diarizer.prepare(models(), lists.handler(), {});
  produce(diarizer, samples);
  diarizer.drainNow();
  diarizer.finish();
  EXPECT_GE(lists.count(), 1u);
}

TEST_F(SpeakerDiarizerTest, ModelWithoutOutputsPreparesAndStillFinishes) {
  testsupport::installSortformerBundle(
      testsupport::sortformerContractModel(testsupport::SortformerContractShape::noPredictions),
      models());
  OpenDiarizer diarizer;
  TurnLists lists;
  diarizer.prepare(models(), lists.handler(), {});
  produce(diarizer, speech(0, 3));
  diarizer.drainNow();
  EXPECT_EQ(lists.count(), 0u) << "the failed drain is silent";
  diarizer.finish();
  ASSERT_EQ(lists.count(), 1u);
  EXPECT_THAT(lists.lists().back(), ::testing::IsEmpty());
}

TEST_F(SpeakerDiarizerTest, FailedPreparationKeepsNothing) {
  struct Case {
    const char* name;
    bool withOnnx;
    bool stopped;
  };
  const Case cases[] = {
      {"bundle without model.onnx", false, false},
      {"stop requested", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path bundle =
        testsupport::installSortformerBundle(testsupport::sortformerBandOracleModel(), models());
    if (!c.withOnnx) fs::remove(bundle / "model.onnx");
    std::stop_source stop;
    if (c.stopped) stop.request_stop();

    OpenDiarizer diarizer;
    TurnLists lists;
    EXPECT_THROW(diarizer.prepare(models(), lists.handler(), stop.get_token()), platform::Error);
    EXPECT_FALSE(diarizer.timerRunning());
    produce(diarizer, speech(0, 2));
    diarizer.finish();
    diarizer.cancel();
    EXPECT_EQ(lists.count(), 0u) << "no callback was kept";
    // The cache stays for the next attempt.
    EXPECT_TRUE(fs::exists(bundle / "coremldata.bin"));
  }
}

}  // namespace
}  // namespace devadevev
