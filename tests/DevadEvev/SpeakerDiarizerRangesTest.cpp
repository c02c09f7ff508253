#include "DevadEvev/SpeakerDiarizer.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/audio/AudioError.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace devadevev {
namespace {

namespace fs = std::filesystem;
using Turn = SpeakerDiarizer::Turn;
using Range = SpeakerDiarizer::Range;
using detail::RangePlacement;

constexpr double kFileRate = 48000;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Seconds of `slot`'s turns that overlap [from, to).
double overlap(const std::vector<Turn>& turns, int slot, double from, double to) {
  double total = 0;
  for (const Turn& turn : turns) {
    if (turn.speaker != slot) continue;
    total += std::max(0.0, std::min(turn.end, to) - std::max(turn.start, from));
  }
  return total;
}

// One second of the file per entry: the band slot speaking, or -1 for silence.
std::vector<float> bandSeconds(const std::vector<int>& slots) {
  std::vector<float> all;
  for (std::size_t second = 0; second < slots.size(); ++second) {
    const auto frames = static_cast<std::size_t>(kFileRate);
    if (slots[second] < 0) {
      all.insert(all.end(), frames, 0.0f);
      continue;
    }
    const auto part = testsupport::sortformerBandAudio(slots[second], frames,
                                                       static_cast<unsigned>(second + 1), kFileRate);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// AAC recordings at 48 kHz in a temporary folder, and a models root holding the band-oracle bundle
// as a finished download leaves it (the hub's address is a refused port).
class SpeakerDiarizerRangesTest : public ::testing::Test {
 protected:
  SpeakerDiarizerRangesTest() {
    tesselaudio::AppLogger::setMirrorsToConsole(false);
    testsupport::installSortformerBundle(testsupport::sortformerBandOracleModel(), models());
  }
  ~SpeakerDiarizerRangesTest() override { tesselaudio::AppLogger::setMirrorsToConsole(true); }

  fs::path models() const { return folder_.path() / "Models"; }

  fs::path recording(const std::vector<float>& samples, const char* name = "recording.m4a") const {
    const fs::path path = folder_.path() / name;
    testsupport::writeAac(path, kFileRate, {samples}, 96000);
    return path;
  }

  // Ten seconds: band 2, 2, 2, 0, 1, 1, 0, 3, 3, 3 (one per second).
  fs::path tenSeconds() const { return recording(bandSeconds({2, 2, 2, 0, 1, 1, 0, 3, 3, 3})); }

  testsupport::TemporaryFolder folder_;
};

TEST_F(SpeakerDiarizerRangesTest, EmptyRangesTouchNeitherModelNorFile) {
  const testsupport::TemporaryFolder empty;
  int calls = 0;
  EXPECT_THAT(SpeakerDiarizer::diarize(empty / "missing.m4a", {}, empty / "Models",
                                       [&](double) { ++calls; }),
              ::testing::IsEmpty());
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(fs::exists(empty / "Models"));
}

TEST_F(SpeakerDiarizerRangesTest, TwoRangesAreJoinedAndTurnsComeBackInFileTime) {
  const fs::path file = tenSeconds();
  const auto joined = detail::readJoinedRanges(file, {{2, 4}, {6, 8}});
  ASSERT_EQ(joined.placements.size(), 2u);
  EXPECT_EQ(joined.placements[0].joined, 0.0);
  EXPECT_EQ(joined.placements[0].actual, 2.0);
  EXPECT_NEAR(joined.placements[0].length, 2.0, 0.01);
  EXPECT_NEAR(joined.placements[1].joined, 2.0, 0.01);
  EXPECT_EQ(joined.placements[1].actual, 6.0);
  EXPECT_NEAR(joined.placements[1].length, 2.0, 0.01);
  EXPECT_EQ(joined.samples.size(), static_cast<std::size_t>((joined.placements[1].joined +
                                                             joined.placements[1].length) * 16000 + 0.5));

  std::mutex mutex;
  std::vector<double> fractions;
  std::vector<std::thread::id> threads;
  const auto turns = SpeakerDiarizer::diarize(file, {{2, 4}, {6, 8}}, models(), [&](double fraction) {
    std::scoped_lock lock(mutex);
    fractions.push_back(fraction);
    threads.push_back(std::this_thread::get_id());
  });

  // Slot 0 speaks across the junction of the joined audio: one turn in each range.
  EXPECT_GT(overlap(turns, 0, 3, 4), 0.75);
  EXPECT_GT(overlap(turns, 0, 6, 7), 0.75);
  EXPECT_GT(overlap(turns, 2, 2, 3), 0.75);
  EXPECT_GT(overlap(turns, 3, 7, 8), 0.75);
  for (const Turn& turn : turns) {
    SCOPED_TRACE(::testing::Message() << turn.speaker << " " << turn.start << "-" << turn.end);
    EXPECT_NE(turn.speaker, 1) << "the gap between the ranges was read";
    const bool inFirst = turn.start >= 2 && turn.end <= 4;
    const bool inSecond = turn.start >= 6 && turn.end <= 8;
    EXPECT_TRUE(inFirst || inSecond);
  }
  EXPECT_TRUE(std::is_sorted(turns.begin(), turns.end(),
                             [](const Turn& a, const Turn& b) { return a.start < b.start; }));

  ASSERT_FALSE(fractions.empty());
  for (std::size_t i = 0; i < fractions.size(); ++i) {
    EXPECT_GT(fractions[i], 0.0);
    EXPECT_LE(fractions[i], 1.0);
    if (i > 0) {
      EXPECT_GE(fractions[i], fractions[i - 1]);
    }
    EXPECT_NE(threads[i], std::this_thread::get_id()) << "progress comes from the batch thread";
  }
}

TEST_F(SpeakerDiarizerRangesTest, RangesWithoutAudioGetEntriesOfLengthZero) {
  struct Case {
    const char* name;
    std::vector<Range> ranges;
    std::vector<double> actualStarts;  // the entries' starts in the file, in order
    std::vector<double> lengths;
  };
  const Case cases[] = {
      {"beyond the end of the file", {{12, 14}}, {12}, {0}},
      {"starting at the end", {{10, 11}}, {10}, {0}},
      {"empty", {{5, 5}}, {5}, {0}},
      {"reversed", {{6, 4}}, {6}, {0}},
      {"negative bound skipped", {{-1, 1}, {1, 2}}, {1}, {1}},
      {"infinite bound skipped", {{9, kInf}, {1, 2}}, {1}, {1}},
      {"NaN bound skipped", {{kNaN, 1}, {1, kNaN}}, {}, {}},
      {"reaching past the end", {{9, 12}}, {9}, {1}},
  };
  const fs::path file = tenSeconds();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto joined = detail::readJoinedRanges(file, c.ranges);
    ASSERT_EQ(joined.placements.size(), c.actualStarts.size());
    double at = 0;
    for (std::size_t i = 0; i < c.actualStarts.size(); ++i) {
      EXPECT_EQ(joined.placements[i].actual, c.actualStarts[i]);
      EXPECT_NEAR(joined.placements[i].length, c.lengths[i], 0.01);
      EXPECT_NEAR(joined.placements[i].joined, at, 1e-9);
      at += joined.placements[i].length;
    }
    EXPECT_NEAR(static_cast<double>(joined.samples.size()) / 16000, at, 1e-9);
  }
}

TEST_F(SpeakerDiarizerRangesTest, RangesWithoutAudioGiveNoTurnsAndNoProgress) {
  const fs::path file = tenSeconds();
  int calls = 0;
  EXPECT_THAT(SpeakerDiarizer::diarize(file, {{12, 14}, {3, 3}}, models(), [&](double) { ++calls; }),
              ::testing::IsEmpty());
  EXPECT_EQ(calls, 0);
}

// Magnitude of `frequency` in 5 ms windows; the sample where its tone gives way to `next`'s.
std::size_t handOver(const std::vector<float>& samples, double frequency, double next) {
  constexpr std::size_t kWindow = 80;
  for (std::size_t at = 0; at + kWindow <= samples.size(); at += 8) {
    const std::vector<float> window(samples.begin() + static_cast<std::ptrdiff_t>(at),
                                    samples.begin() + static_cast<std::ptrdiff_t>(at + kWindow));
    if (testsupport::toneMagnitude(window, next, 16000) > testsupport::toneMagnitude(window, frequency, 16000)) {
      return at + kWindow / 2;
    }
  }
  return samples.size();
}

TEST_F(SpeakerDiarizerRangesTest, RangesAreReadToTheFrameOnAac) {
  // A tone of its own for every second of the file.
  auto toneOf = [](int second) { return 500.0 + 700.0 * second; };
  std::vector<float> samples;
  for (int second = 0; second < 10; ++second) {
    const auto tone = testsupport::sine(toneOf(second), kFileRate, static_cast<std::size_t>(kFileRate), 0.3f);
    samples.insert(samples.end(), tone.begin(), tone.end());
  }
  const fs::path file = recording(samples, "tones.m4a");

  struct Case {
    const char* name;
    Range range;
    int secondBeforeChange;  // the change of tone inside the range is at its end
  };
  const Case cases[] = {
      {"whole seconds", {2, 4}, 2},
      {"from the start", {0, 1.5}, 0},
      {"between AAC frames", {5.2731, 7.5}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto joined = detail::readJoinedRanges(file, {c.range});
    ASSERT_EQ(joined.placements.size(), 1u);
    const double change = static_cast<double>(handOver(joined.samples, toneOf(c.secondBeforeChange),
                                                       toneOf(c.secondBeforeChange + 1))) / 16000;
    // Where the file's tone changes tells where in the file the joined audio starts.
    const double readStart = (c.secondBeforeChange + 1) - change;
    const double readEnd = readStart + joined.placements[0].length;
    EXPECT_NEAR(readStart, c.range.lowerBound, 0.01);
    EXPECT_NEAR(readEnd, c.range.upperBound, 0.01);
  }
}

TEST_F(SpeakerDiarizerRangesTest, UnreadableFilesFail) {
  const fs::path garbage = folder_.path() / "garbage.m4a";
  std::ofstream(garbage) << "not audio at all, only some text that no demuxer takes";
  const fs::path cut = folder_.path() / "cut.m4a";
  {
    const fs::path whole = tenSeconds();
    testsupport::remuxIndexFirst(whole, folder_.path() / "indexFirst.m4a");
    fs::copy_file(folder_.path() / "indexFirst.m4a", cut);
    fs::resize_file(cut, fs::file_size(cut) / 3);
  }
  const fs::path files[] = {folder_.path() / "missing.m4a", garbage, cut};
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    EXPECT_THROW(SpeakerDiarizer::diarize(file, {{0, 10}}, models(), {}), platform::AudioError);
  }
}

TEST(SpeakerDiarizerPlacementTest, SegmentsOfTheJoinedAudioReturnToTheirRanges) {
  struct Case {
    const char* name;
    std::vector<RangePlacement> placements;
    double start, end;
    std::vector<Turn> expected;
  };
  const std::vector<RangePlacement> twoRanges{{0, 100, 100}, {100, 500, 100}};
  const Case cases[] = {
      {"inside the first range", twoRanges, 10, 20, {{1, 110, 120}}},
      {"across the junction", twoRanges, 90, 110, {{1, 190, 200}, {1, 500, 510}}},
      {"starting within 1 ms before the junction", twoRanges, 99.9995, 105, {{1, 500, 505}}},
      {"starting 2 ms before the junction", twoRanges, 99.998, 105,
       {{1, 199.998, 200}, {1, 500, 505}}},
      {"reaching past the joined audio", twoRanges, 150, 260, {{1, 550, 600}}},
      {"empty", twoRanges, 20, 20, {}},
      {"reversed", twoRanges, 30, 20, {}},
      {"over a range without audio", {{0, 10, 2}, {2, 50, 0}, {2, 60, 2}}, 1, 3,
       {{1, 11, 12}, {1, 60, 61}}},
      {"no ranges", {}, 1, 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Turn> turns;
    detail::placeSegment(1, c.start, c.end, c.placements, turns);
    ASSERT_EQ(turns.size(), c.expected.size());
    for (std::size_t i = 0; i < turns.size(); ++i) {
      EXPECT_EQ(turns[i].speaker, c.expected[i].speaker);
      EXPECT_NEAR(turns[i].start, c.expected[i].start, 1e-9);
      EXPECT_NEAR(turns[i].end, c.expected[i].end, 1e-9);
    }
  }
}

}  // namespace
}  // namespace devadevev
