#include "app/Model/LiveModelServices.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "speech/Shared/AppLogger.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using Turn = devadevev::SpeakerDiarizer::Turn;

double overlap(const std::vector<Turn>& turns, int slot, double from, double to) {
  double total = 0;
  for (const Turn& turn : turns) {
    if (turn.speaker == slot) total += std::max(0.0, std::min(turn.end, to) - std::max(turn.start, from));
  }
  return total;
}

// The services' default diarizers over a Models folder that holds the model as a finished download
// leaves it; the hub's address is a refused port, so a request would fail them.
class LiveModelServicesDiarizerTest : public ::testing::Test {
 protected:
  LiveModelServicesDiarizerTest() {
    tesselaudio::AppLogger::setMirrorsToConsole(false);
    testsupport::installSortformerBundle(testsupport::sortformerBandOracleModel(), models());
  }
  ~LiveModelServicesDiarizerTest() override { tesselaudio::AppLogger::setMirrorsToConsole(true); }

  fs::path models() const { return root_.path() / "Models"; }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder root_;
};

TEST_F(LiveModelServicesDiarizerTest, LiveDiarizerHearsTwoSpeakers) {
  const LiveModelServices services;
  const std::shared_ptr<devadevev::SpeakerDiarizer> diarizer = services.makeDiarizer();
  std::mutex mutex;
  std::vector<Turn> last;
  diarizer->prepare(
      models(),
      [&](const std::vector<Turn>& turns) {
        std::scoped_lock lock(mutex);
        last = turns;
      },
      {});
  std::vector<float> samples = testsupport::sortformerBandAudio(0, 2 * 48000, 1, 48000);
  const auto second = testsupport::sortformerBandAudio(1, 2 * 48000, 2, 48000);
  samples.insert(samples.end(), second.begin(), second.end());
  std::jthread([&] {
    for (std::size_t at = 0; at < samples.size(); at += 480) {
      diarizer->append(std::span<const float>(samples.data() + at, 480), 48000);
    }
  }).join();
  diarizer->finish();

  std::scoped_lock lock(mutex);
  EXPECT_GT(overlap(last, 0, 0, 2), 1.5);
  EXPECT_GT(overlap(last, 1, 2, 4), 1.5);
}

TEST_F(LiveModelServicesDiarizerTest, RangeDiarizerReturnsTurnsInFileTime) {
  const LiveModelServices services;
  std::vector<float> samples(2 * 48000, 0.0f);
  const auto speech = testsupport::sortformerBandAudio(2, 2 * 48000, 1, 48000);
  samples.insert(samples.end(), speech.begin(), speech.end());
  const fs::path file = root_.path() / "recording.m4a";
  testsupport::writeAac(file, 48000, {samples});

  const auto turns = services.diarizeFile(file, {{1, 4}}, models(), [](double) {}, {});
  EXPECT_GT(overlap(turns, 2, 2, 4), 1.5);
  EXPECT_LT(overlap(turns, 2, 0, 1.8), 0.01);
}

}  // namespace
}  // namespace veltovoice
