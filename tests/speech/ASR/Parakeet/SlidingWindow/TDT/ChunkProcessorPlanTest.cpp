#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "speech/ASR/Parakeet/SlidingWindow/TDT/ChunkProcessor.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "speech/Shared/AudioSourceFactory.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {

void PrintTo(const ChunkProcessor::ChunkStartDecision& d, std::ostream* os) {
  *os << "(" << d.start << ", warmup " << d.useWarmupPrefix << ", pauseCut " << d.pauseCut << ")";
}
void PrintTo(const ChunkProcessor::PlannedWindow& w, std::ostream* os) {
  *os << "{#" << w.index << " start " << w.start << " warmup " << w.warmupSamples << " context "
      << w.contextSamples << " chunkEnd " << w.chunkEnd << " audioEnd " << w.audioEnd << " last " << w.isLastChunk
      << "}";
}
void PrintTo(const ChunkProcessor::WindowFrames& f, std::ostream* os) {
  *os << "(" << f.decodeStart << ", " << f.end << ")";
}
void PrintTo(const ChunkProcessor::ChunkLayout& l, std::ostream* os) {
  *os << "(" << l.chunkSamples << ", " << l.strideSamples << ", " << l.melContextSamples << ", "
      << l.warmupPrefixSamples << ")";
}

namespace {

using Decision = ChunkProcessor::ChunkStartDecision;
using Window = ChunkProcessor::PlannedWindow;
using Frames = ChunkProcessor::WindowFrames;
using Layout = ChunkProcessor::ChunkLayout;

constexpr std::int64_t kFrame = 1280;
constexpr std::int64_t kChunk = 239360;  // without mel context
constexpr std::int64_t kStride = 207360;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Sets samples [begin, end) to `level`.
void fill(std::vector<float>& samples, std::int64_t begin, std::int64_t end, float level) {
  for (std::int64_t i = begin; i < end; ++i) samples[static_cast<std::size_t>(i)] = level;
}

// Writes a 440 Hz tone of `amplitude` over samples [begin, end).
void tone(std::vector<float>& samples, std::int64_t begin, std::int64_t end, float amplitude) {
  for (std::int64_t i = begin; i < end; ++i) {
    samples[static_cast<std::size_t>(i)] =
        amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(i) / 16000.0));
  }
}

// A real in-memory source that remembers every read and, when asked, throws on read number
// `failingRead` (0-based) and every read after it.
class RecordingSource final : public AudioSampleSource {
 public:
  struct Read {
    std::int64_t offset;
    std::int64_t count;
    bool operator==(const Read&) const = default;
  };

  explicit RecordingSource(std::vector<float> samples, std::optional<std::size_t> failingRead = std::nullopt)
      : inner_(std::move(samples)), failingRead_(failingRead) {}

  std::int64_t sampleCount() const override { return inner_.sampleCount(); }
  void copySamples(float* destination, std::int64_t offset, std::int64_t count) const override {
    reads.push_back({offset, count});
    if (failingRead_ && reads.size() > *failingRead_) throw std::runtime_error("read failed");
    inner_.copySamples(destination, offset, count);
  }

  mutable std::vector<Read> reads;

 private:
  ArrayAudioSampleSource inner_;
  std::optional<std::size_t> failingRead_;
};

TEST(ChunkProcessorPlanTest, FieldsTakeTheRecognisersValues) {
  const ArrayAudioSampleSource source(std::vector<float>(5000));
  const ChunkProcessor processor(source);
  EXPECT_EQ(&processor.sampleSource, &source);
  EXPECT_EQ(processor.totalSamples, 5000);
  EXPECT_EQ(processor.logger.category(), "ChunkProcessor");
  EXPECT_EQ(processor.overlapSeconds, 2.0);
  EXPECT_EQ(processor.melContextSamples, 1280);
  EXPECT_EQ(processor.noMelWarmupPrefixFrames, 0);
}

TEST(ChunkProcessorPlanTest, ChunkLayoutFollowsMelContextAndVersion) {
  struct Case {
    const char* name;
    bool melChunkContext;
    std::optional<AsrModelVersion> version;
    std::int64_t warmupFrames;
    Layout layout;
  };
  const Case cases[] = {
      {"mel context", true, AsrModelVersion::v2, 0, {238080, 206080, 1280, 0}},
      {"no mel context", false, AsrModelVersion::v3, 0, {239360, 207360, 0, 0}},
      {"v3 warm-up", false, AsrModelVersion::v3, 7, {239360, 207360, 0, 8960}},
      {"redux warm-up", false, AsrModelVersion::redux, 7, {239360, 207360, 0, 8960}},
      {"thistle3Clean warm-up", false, AsrModelVersion::thistle3Clean, 7, {239360, 207360, 0, 8960}},
      {"v3 with mel context has no warm-up", true, AsrModelVersion::v3, 7, {238080, 206080, 1280, 0}},
      {"v2 has no warm-up", false, AsrModelVersion::v2, 7, {239360, 207360, 0, 0}},
      {"tdtCtc110m has no warm-up", false, AsrModelVersion::tdtCtc110m, 7, {239360, 207360, 0, 0}},
      {"tdtJa has no warm-up", false, AsrModelVersion::tdtJa, 7, {239360, 207360, 0, 0}},
      {"no version has no warm-up", false, std::nullopt, 7, {239360, 207360, 0, 0}},
      {"no version with mel context", true, std::nullopt, 7, {238080, 206080, 1280, 0}},
  };
  const ArrayAudioSampleSource source(std::vector<float>(1000));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChunkProcessor processor(source);
    processor.noMelWarmupPrefixFrames = c.warmupFrames;
    EXPECT_EQ(processor.chunkLayout(c.melChunkContext, c.version), c.layout);
  }
}

TEST(ChunkProcessorPlanTest, StrideStaysWithinAFrameAndTheWindow) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double overlapSeconds;
    std::int64_t chunkSamples;
    std::int64_t stride;
  };
  const Case cases[] = {
      {"two seconds", 2.0, kChunk, kStride},
      {"no overlap", 0.0, kChunk, kChunk},
      {"part of a frame", 0.05, kChunk, kChunk},
      {"negative", -1.0, kChunk, kChunk},
      {"NaN", std::nan(""), kChunk, kChunk},
      {"infinite", kInf, kChunk, kChunk},
      {"minus infinity", -kInf, kChunk, kChunk},
      // Half of 239,360 is 119,680, which rounds down to 119,040.
      {"above half a window", 10.0, kChunk, 120320},
      {"beyond the 64-bit range", 1e300, kChunk, 120320},
      {"one-frame window", 2.0, 1280, 1280},
      {"two-frame window", 2.0, 2560, 1280},
  };
  const ArrayAudioSampleSource source(std::vector<float>(1000));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChunkProcessor processor(source);
    processor.overlapSeconds = c.overlapSeconds;
    EXPECT_EQ(processor.strideSamples(c.chunkSamples), c.stride);
  }
}

TEST(ChunkProcessorPlanTest, RegularStartsCoverTheInputOnTheStrideGrid) {
  struct Case {
    const char* name;
    std::int64_t totalSamples;
    std::int64_t stride;
    std::vector<std::int64_t> starts;
  };
  const Case cases[] = {
      {"empty input", 0, kStride, {0}},
      {"one sample", 1, kStride, {0}},
      {"exactly one stride", kStride, kStride, {0}},
      {"one sample past a stride", kStride + 1, kStride, {0, kStride}},
      {"three windows", 500000, 206080, {0, 206080, 412160}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ArrayAudioSampleSource source(std::vector<float>(static_cast<std::size_t>(c.totalSamples)));
    std::vector<Decision> expected;
    for (const std::int64_t start : c.starts) expected.push_back({start, false, false});
    EXPECT_EQ(ChunkProcessor(source).regularChunkStarts(c.stride), expected);
  }
}

TEST(ChunkProcessorPlanTest, WindowConstructionReproducesTheWorkedExamples) {
  const Layout withContext{238080, 206080, 1280, 0};
  const Layout withoutContext{kChunk, kStride, 0, 0};
  const Layout withWarmup{kChunk, kStride, 0, 8960};
  struct Case {
    const char* name;
    std::int64_t totalSamples;
    Layout layout;
    std::vector<Decision> decisions;
    std::optional<std::int64_t> speechEnd;
    std::vector<Window> windows;
    std::vector<Frames> frames;
  };
  const Case cases[] = {
      {"one short window",
       100000,
       withContext,
       {{0, false, false}},
       std::nullopt,
       {{0, 0, 0, 0, 100000, 100000, true}},
       {{0, 78}}},
      {"three regular windows",
       500000,
       withContext,
       {{0, false, false}, {206080, false, false}, {412160, false, false}},
       std::nullopt,
       {{0, 0, 0, 0, 238080, 238080, false},
        {1, 206080, 0, 1280, 444160, 444160, false},
        {2, 412160, 0, 1280, 500000, 500000, true}},
       {{0, 186}, {161, 347}, {322, 390}}},
      {"starts continue on the stride after the decisions",
       500000,
       withContext,
       {{0, false, false}},
       std::nullopt,
       {{0, 0, 0, 0, 238080, 238080, false},
        {1, 206080, 0, 1280, 444160, 444160, false},
        {2, 412160, 0, 1280, 500000, 500000, true}},
       {{0, 186}, {161, 347}, {322, 390}}},
      {"last window back-filled with warm-up",
       300000,
       withoutContext,
       {{0, false, false}, {kStride, false, false}},
       300000,
       {{0, 0, 0, 0, kChunk, kChunk, false}, {1, kStride, 145920, 0, 300000, 300000, true}},
       {{0, 187}, {48, 234}}},
      {"speech end stops the last window's audio",
       100000,
       withoutContext,
       {{0, false, false}},
       60000,
       {{0, 0, 0, 0, 100000, 60000, true}},
       {{0, 46}}},
      {"no last window at or beyond the speech end",
       300000,
       withoutContext,
       {{0, false, false}, {kStride, false, false}},
       200000,
       {{0, 0, 0, 0, kChunk, kChunk, false}},
       {{0, 187}}},
      {"warm-up only where a later decision asks for it",
       500000,
       withWarmup,
       {{0, true, false}, {kStride, true, false}, {414720, false, false}},
       std::nullopt,
       {{0, 0, 0, 0, kChunk, kChunk, false},
        {1, kStride, 8960, 0, kStride + kChunk - 8960, kStride + kChunk - 8960, false},
        {2, 414720, 0, 0, 500000, 500000, true}},
       {{0, 187}, {155, 342}, {324, 390}}},
      {"the first window never warms up",
       500000,
       withWarmup,
       {{100000, true, false}},
       std::nullopt,
       {{0, 100000, 0, 0, 100000 + kChunk, 100000 + kChunk, false}, {1, 307360, 0, 0, 500000, 500000, true}},
       {{78, 265}, {240, 390}}},
      {"empty input", 0, withContext, {{0, false, false}}, std::nullopt, {}, {}},
      {"empty input without decisions", 0, withContext, {}, std::nullopt, {}, {}},
      {"empty input with a speech end", 0, withoutContext, {{0, false, false}}, 0, {}, {}},
      {"first decision beyond the input", 1000, withContext, {{1000, false, false}}, std::nullopt, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ArrayAudioSampleSource source(std::vector<float>(static_cast<std::size_t>(c.totalSamples)));
    const auto plan = ChunkProcessor(source).planWindows(c.decisions, c.layout, c.speechEnd, false);
    EXPECT_EQ(plan.windows, c.windows);
    EXPECT_EQ(plan.frames, c.frames);
  }
}

// Speech as a tone up to 190,000 and from 200,000 on, a pause between, 400,000 samples in all.
std::vector<float> speechWithOnePause() {
  std::vector<float> samples(400000);
  tone(samples, 0, 190000, 0.3F);
  tone(samples, 200000, 400000, 0.3F);
  return samples;
}

TEST(ChunkProcessorPlanTest, LatePauseCutEndsThePreviousWindowsAudio) {
  const ArrayAudioSampleSource source(speechWithOnePause());
  const ChunkProcessor processor(source);
  const Layout layout = processor.chunkLayout(false, AsrModelVersion::v3);
  const auto decisions = processor.silenceAlignedChunkStarts(layout.chunkSamples, layout.strideSamples, false, true);
  // Frames 149 to 155 are silent, so boundaries 150 to 155 are quiet; the middle one is 152.
  ASSERT_EQ(decisions, (std::vector<Decision>{{0, false, false}, {194560, false, true}}));

  struct Case {
    const char* name;
    bool preferLatePause;
    std::int64_t firstAudioEnd;
  };
  for (const Case& c : {Case{"meet at the pause", true, 194560}, Case{"overlap", false, kChunk}}) {
    SCOPED_TRACE(c.name);
    const auto plan = processor.planWindows(decisions, layout, std::nullopt, c.preferLatePause);
    EXPECT_EQ(plan.windows, (std::vector<Window>{{0, 0, 0, 0, kChunk, c.firstAudioEnd, false},
                                                 {1, 194560, 0, 0, 400000, 400000, true}}));
    EXPECT_EQ(plan.frames, (std::vector<Frames>{{0, c.firstAudioEnd / kFrame}, {152, 312}}));
  }
}

TEST(ChunkProcessorPlanTest, InputEndingInSilenceEndsItsPlanAtTheSpeech) {
  // Speech up to 60,000 of 100,000 samples, then exact zeros: the last loud block counted back from
  // the end is [59,040, 60,320).
  std::vector<float> samples(100000);
  tone(samples, 0, 60000, 0.3F);
  const ArrayAudioSampleSource shortSource(samples);
  const ChunkProcessor shortInput(shortSource);
  ASSERT_EQ(shortInput.speechEndSamples(), 60320);
  const Layout layout = shortInput.chunkLayout(false, AsrModelVersion::v3);
  const auto shortPlan =
      shortInput.planWindows(shortInput.regularChunkStarts(layout.strideSamples), layout, 60320, false);
  EXPECT_EQ(shortPlan.windows, (std::vector<Window>{{0, 0, 0, 0, 100000, 60320, true}}));

  // Speech up to 200,000 of 300,000 samples: the window that would start at 207,360 and be last is
  // not planned.
  samples.assign(300000, 0.0F);
  tone(samples, 0, 200000, 0.3F);
  const ArrayAudioSampleSource longSource(samples);
  const ChunkProcessor longInput(longSource);
  const std::int64_t speechEnd = longInput.speechEndSamples();
  ASSERT_EQ(speechEnd, 200160);
  const auto longPlan =
      longInput.planWindows(longInput.regularChunkStarts(layout.strideSamples), layout, speechEnd, false);
  EXPECT_EQ(longPlan.windows, (std::vector<Window>{{0, 0, 0, 0, kChunk, kChunk, false}}));
}

TEST(ChunkProcessorPlanTest, SpeechEndIsTheEndOfTheLastLoudBlock) {
  struct Case {
    const char* name;
    std::int64_t totalSamples;
    std::function<void(std::vector<float>&)> shape;
    std::int64_t speechEnd;
  };
  const Case cases[] = {
      {"empty input", 0, [](auto&) {}, 0},
      {"silent throughout", 500000, [](auto&) {}, 500000},
      {"loud to the end", 500000, [](auto& s) { fill(s, 0, 500000, 0.1F); }, 500000},
      // The blocks are counted back from 500,000, so the block holding sample 99,999 ends at 100,640.
      {"loud start", 500000, [](auto& s) { fill(s, 0, 100000, 0.1F); }, 100640},
      {"one loud sample", 500000, [](auto& s) { s[300000] = 0.5F; }, 300320},
      {"a level just under the threshold", 500000, [](auto& s) { fill(s, 0, 500000, 0.00049F); }, 500000},
      // The block [199,200, 200,480) mixes both levels and stays under the threshold.
      {"a quiet tail after a level just over the threshold", 500000,
       [](auto& s) {
         fill(s, 0, 200000, 0.00051F);
         fill(s, 200000, 500000, 0.0004F);
       },
       199200},
      {"loud only in the short first block", 5000, [](auto& s) { s[0] = 0.5F; }, 1160},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> samples(static_cast<std::size_t>(c.totalSamples));
    c.shape(samples);
    const ArrayAudioSampleSource source(samples);
    EXPECT_EQ(ChunkProcessor(source).speechEndSamples(), c.speechEnd);
  }
}

TEST(ChunkProcessorPlanTest, SpeechEndReadsOneBlockPerStepBackwards) {
  const RecordingSource thousand(std::vector<float>(1000));
  EXPECT_EQ(ChunkProcessor(thousand).speechEndSamples(), 1000);
  EXPECT_EQ(thousand.reads, (std::vector<RecordingSource::Read>{{0, 1000}}));

  std::vector<float> samples(5000);
  samples[0] = 0.5F;
  const RecordingSource loudFirstSample(samples);
  EXPECT_EQ(ChunkProcessor(loudFirstSample).speechEndSamples(), 1160);
  EXPECT_EQ(loudFirstSample.reads,
            (std::vector<RecordingSource::Read>{{3720, 1280}, {2440, 1280}, {1160, 1280}, {0, 1160}}));
}

TEST(ChunkProcessorPlanTest, FrameEnergySumsHoldOneSumPerFrameReadInPieces) {
  // Two full pieces of 256 frames and a short frame of 1,000 samples.
  const std::int64_t total = 2 * 256 * kFrame + 1000;
  std::vector<float> samples(static_cast<std::size_t>(total));
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i % 977) / 977.0F - 0.5F;
  const RecordingSource source(samples);

  const std::vector<float> energies = ChunkProcessor(source).frameEnergySums();

  ASSERT_EQ(energies.size(), 513U);
  for (std::size_t frame = 0; frame < energies.size(); ++frame) {
    float sum = 0;
    for (std::size_t i = frame * kFrame; i < std::min<std::size_t>((frame + 1) * kFrame, samples.size()); ++i) {
      sum += samples[i] * samples[i];
    }
    ASSERT_EQ(energies[frame], sum) << "frame " << frame;
  }
  EXPECT_EQ(source.reads,
            (std::vector<RecordingSource::Read>{{0, 327680}, {327680, 327680}, {655360, 1000}}));

  const RecordingSource empty(std::vector<float>{});
  EXPECT_TRUE(ChunkProcessor(empty).frameEnergySums().empty());
  EXPECT_TRUE(empty.reads.empty());
}

TEST(ChunkProcessorPlanTest, SamplesTheSourceLacksReadAsZeros) {
  // A processor told of more samples than its source holds.
  const ArrayAudioSampleSource source(std::vector<float>(400000, 0.1F));
  ChunkProcessor processor(source);
  processor.totalSamples = 700000;
  const std::vector<float> energies = processor.frameEnergySums();
  ASSERT_EQ(energies.size(), 547U);
  EXPECT_GT(energies[312], 0.0F);
  EXPECT_TRUE(std::all_of(energies.begin() + 313, energies.end(), [](float e) { return e == 0.0F; }));
  EXPECT_EQ(processor.speechEndSamples(), 400480);
}

TEST(ChunkProcessorPlanTest, ShortInputHasOnlyTheFirstStart) {
  for (const std::int64_t total : {std::int64_t{0}, std::int64_t{1000}, kStride}) {
    for (const bool warmup : {false, true}) {
      for (const bool latePause : {false, true}) {
        SCOPED_TRACE(testing::Message() << total << " samples, warm-up " << warmup << ", late pause " << latePause);
        const ArrayAudioSampleSource source(std::vector<float>(static_cast<std::size_t>(total), 0.1F));
        EXPECT_EQ(ChunkProcessor(source).silenceAlignedChunkStarts(kChunk, kStride, warmup, latePause),
                  (std::vector<Decision>{{0, false, false}}));
      }
    }
  }
}

TEST(ChunkProcessorPlanTest, PureSilenceStartsAtTheEarliestCountedBoundary) {
  const ArrayAudioSampleSource source(std::vector<float>(500000));
  const ChunkProcessor processor(source);
  EXPECT_EQ(processor.latestPauseCut(0, kChunk, processor.frameEnergySums()), std::nullopt);
  // Frame 112 = 162 − 50, then frame 274 = 324 − 50.
  const std::vector<Decision> expected = {{0, false, false}, {143360, false, true}, {350720, false, true}};
  for (const bool latePause : {false, true}) {
    SCOPED_TRACE(latePause ? "late pause" : "no late pause");
    EXPECT_EQ(processor.silenceAlignedChunkStarts(kChunk, kStride, false, latePause), expected);
  }
}

// Loud audio at level 0.1 (local energy 0.01) with `level` over [p − 1,280, p + 1,280) around each
// of the boundaries `frames`.
std::vector<float> loudWithDips(std::int64_t total, const std::vector<std::int64_t>& frames, float level) {
  std::vector<float> samples(static_cast<std::size_t>(total), 0.1F);
  for (const std::int64_t frame : frames) fill(samples, frame * kFrame - kFrame, frame * kFrame + kFrame, level);
  return samples;
}

TEST(ChunkProcessorPlanTest, SearchesTakePausesNearTheGridOrTheGridItself) {
  // One target at 207,360 (frame 162): the wide search counts frames 112 to 181, the narrow one 156
  // to 168; the median local energy is the loud 0.01.
  struct Case {
    const char* name;
    std::vector<float> samples;
    Decision decision;
  };
  // Audio at 0.05 up to 186,880 puts 34 of the 70 counted energies below 0.00625, one at 0.00625
  // and 35 at 0.01: the median (index 35) is 0.01, not the lower middle.
  std::vector<float> quieterFirstHalf = loudWithDips(400000, {120}, 0.02F);
  fill(quieterFirstHalf, 0, 119 * kFrame, 0.05F);
  fill(quieterFirstHalf, 121 * kFrame, 146 * kFrame, 0.05F);
  std::vector<float> nanAfterDip = loudWithDips(400000, {140}, 0.02F);
  fill(nanAfterDip, 190000, 230000, kNaN);
  const Case cases[] = {
      {"wide minimum at most 0.05 of the median is a pause", loudWithDips(400000, {140}, 0.02F),
       {179200, false, true}},
      {"wide minimum above 0.05 of the median, outside the narrow range", loudWithDips(400000, {140}, 0.03F),
       {207360, false, false}},
      {"narrow minimum at most 0.35 of the median", loudWithDips(400000, {165}, 0.03F), {211200, false, false}},
      {"narrow minimum above 0.35 of the median", loudWithDips(400000, {165}, 0.07F), {207360, false, false}},
      {"equal minima: the earlier frame", loudWithDips(400000, {170, 150}, 0.0F), {192000, false, true}},
      {"the median of an even count is the upper middle", quieterFirstHalf, {153600, false, true}},
      {"NaN samples sort after every energy", nanAfterDip, {179200, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ArrayAudioSampleSource source(c.samples);
    EXPECT_EQ(ChunkProcessor(source).silenceAlignedChunkStarts(kChunk, kStride, false, false),
              (std::vector<Decision>{{0, false, false}, c.decision}));
  }
}

TEST(ChunkProcessorPlanTest, SmallWindowsAdvanceByTheStrideWhenNoStartFits) {
  // Windows of at most 7,680 samples leave no boundary between the previous start and the latest
  // one, and the fallback lies at or before the previous start.
  struct Case {
    const char* name;
    std::int64_t chunkSamples;
    bool latePause;
  };
  for (const Case& c : {Case{"7,680", 7680, false}, Case{"6,400", 6400, false}, Case{"late pause", 7680, true}}) {
    SCOPED_TRACE(c.name);
    const ArrayAudioSampleSource source(std::vector<float>(20000));
    const ChunkProcessor processor(source);
    const std::int64_t stride = processor.strideSamples(c.chunkSamples);
    ASSERT_EQ(stride, 3840);
    EXPECT_EQ(processor.silenceAlignedChunkStarts(c.chunkSamples, stride, false, c.latePause),
              (std::vector<Decision>{{0, false, false},
                                     {3840, false, false},
                                     {7680, false, false},
                                     {11520, false, false},
                                     {15360, false, false},
                                     {19200, false, false}}));
  }
}

// A table of frame sums for frames at the given RMS levels.
std::vector<float> energyTable(const std::vector<float>& frameRms) {
  std::vector<float> table;
  for (const float rms : frameRms) table.push_back(rms * rms * static_cast<float>(kFrame));
  return table;
}

TEST(ChunkProcessorPlanTest, LatestPauseCutTakesTheMiddleOfTheLatestQuietRun) {
  // From previous start 0 with 239,360-sample windows over 500,000 samples the candidates are the
  // boundaries of frames 1 to 186, and those from frame 125 on (159,360 = 239,360 − 80,000) are kept:
  // kept index i is boundary 125 + i. A boundary is quiet when both frames meeting there are.
  struct Case {
    const char* name;
    float loudRms;
    std::vector<std::pair<std::int64_t, std::int64_t>> quietFrames;  // [first, last] at quietRms
    float quietRms;
    std::optional<std::int64_t> cutBoundary;
  };
  const Case cases[] = {
      {"two quiet boundaries", 0.1F, {{150, 152}}, 0.0F, std::nullopt},
      {"three quiet boundaries", 0.1F, {{150, 153}}, 0.0F, 152},
      {"four at kept indices 4 to 7", 0.1F, {{128, 132}}, 0.0F, 130},
      {"the latest run wins", 0.1F, {{140, 145}, {170, 173}}, 0.0F, 172},
      {"a short late run does not hide an earlier one", 0.1F, {{140, 145}, {170, 172}}, 0.0F, 143},
      {"a run reaching the last candidate", 0.1F, {{182, 200}}, 0.0F, 184},
      {"a run before the look-back", 0.1F, {{100, 110}}, 0.0F, std::nullopt},
      {"a run cut by the look-back", 0.1F, {{120, 127}}, 0.0F, 126},
      {"quiet under 0.18 of the loudest RMS", 0.1F, {{150, 153}}, 0.0179F, 152},
      {"loud over 0.18 of the loudest RMS", 0.1F, {{150, 153}}, 0.0181F, std::nullopt},
      {"quiet under the 0.004 floor", 0.01F, {{150, 153}}, 0.0039F, 152},
      {"loud over the 0.004 floor", 0.01F, {{150, 153}}, 0.0041F, std::nullopt},
      {"pure silence", 0.0F, {}, 0.0F, std::nullopt},
  };
  const ArrayAudioSampleSource source(std::vector<float>(500000));
  const ChunkProcessor processor(source);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> rms(391, c.loudRms);
    for (const auto& [first, last] : c.quietFrames) {
      for (std::int64_t f = first; f <= last; ++f) rms[static_cast<std::size_t>(f)] = c.quietRms;
    }
    const auto cut = processor.latestPauseCut(0, kChunk, energyTable(rms));
    EXPECT_EQ(cut, c.cutBoundary ? std::optional(*c.cutBoundary * kFrame) : std::nullopt);
  }
}

TEST(ChunkProcessorPlanTest, LatestPauseCutMeasuresAgainstEveryCandidate) {
  // The loudest candidate lies before the look-back; measured against it the whole kept range at
  // RMS 0.1 is one quiet run (kept 0 to 61), cut at kept index 30, boundary 155.
  std::vector<float> rms(391, 0.1F);
  rms[10] = 1.0F;
  const ArrayAudioSampleSource source(std::vector<float>(500000));
  const ChunkProcessor processor(source);
  EXPECT_EQ(processor.latestPauseCut(0, kChunk, energyTable(rms)), 155 * kFrame);

  // Near the end of the input the window ends at the input's end: the candidates run to 498,720 and
  // the look-back from the window's nominal end leaves none.
  EXPECT_EQ(processor.latestPauseCut(480000, kChunk, energyTable(std::vector<float>(391, 0.0F))), std::nullopt);
  std::vector<float> endRms(391, 0.1F);
  for (std::size_t f = 385; f < 391; ++f) endRms[f] = 0.0F;
  EXPECT_EQ(processor.latestPauseCut(300000, kChunk, energyTable(endRms)), 387 * kFrame);
}

TEST(ChunkProcessorPlanTest, WarmupIsSkippedOnlyAfterAFifthOfASecondOfQuiet) {
  // 20,000 samples: loud to 5,000, a level of 0.0029 to 10,000, 0.0031 to 13,600, exact zeros after.
  std::vector<float> samples(20000);
  fill(samples, 0, 5000, 0.1F);
  fill(samples, 5000, 10000, 0.0029F);
  fill(samples, 10000, 13600, 0.0031F);
  const ArrayAudioSampleSource source(samples);
  const ChunkProcessor processor(source);
  struct Case {
    const char* name;
    std::int64_t position;
    bool warmup;
  };
  const Case cases[] = {
      {"in loud audio", 0, true},
      {"3,200 quiet samples under 0.003", 5000, false},
      {"loud right after 3,200 quiet samples", 6800, false},
      {"loud in the tenth block", 7120, true},
      {"quiet audio turning loud within 3,200 samples", 8000, true},
      {"a level just over 0.003", 10000, true},
      {"silence of exactly 3,200 samples to the end", 16800, false},
      {"silence shorter than 3,200 samples to the end", 16801, true},
      {"at the end", 20000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(processor.shouldUseWarmupPrefix(c.position), c.warmup);
  }
}

TEST(ChunkProcessorPlanTest, BoundaryEnergyScoreIsTheMeanSquareAroundAPosition) {
  std::vector<float> samples(10000);
  fill(samples, 0, 5000, 0.5F);
  const ArrayAudioSampleSource source(samples);
  const ChunkProcessor processor(source);
  EXPECT_FLOAT_EQ(processor.boundaryEnergyScore(5000, 1000), 0.125F);
  EXPECT_FLOAT_EQ(processor.boundaryEnergyScore(0, 1000), 0.25F);      // only [0, 1,000)
  EXPECT_FLOAT_EQ(processor.boundaryEnergyScore(9500, 1000), 0.0F);    // only [8,500, 10,000)
  EXPECT_FLOAT_EQ(processor.boundaryEnergyScore(12000, 1000), 0.0F);   // empty
}

TEST(ChunkProcessorPlanTest, WarmupStartsInPausesOrGiveThemUp) {
  // The first target is 207,360, which is also the fallback start; a window from a pause at p
  // would end at p + 231,680. Inputs up to 414,720 samples have that one target.
  struct Case {
    const char* name;
    std::vector<float> samples;
    std::vector<Decision> after;  // the decisions after the first
  };
  std::vector<float> longPause(400000, 0.1F);
  fill(longPause, 178000, 185000, 0.0F);
  // The dip at frame 140 (179,200) with quiet audio around 179,200 + 231,680 = 410,880.
  std::vector<float> quietWindowEnd = loudWithDips(414000, {140}, 0.0F);
  fill(quietWindowEnd, 409600, 412160, 0.0F);
  const Case cases[] = {
      {"a long pause needs no warm-up", longPause, {{180480, false, true}}},
      {"a short pause in loud audio is given up", loudWithDips(414000, {140}, 0.0F), {{207360, false, false}}},
      {"a short pause kept when its window would end in quiet", quietWindowEnd, {{179200, true, true}}},
      {"a short pause kept when its window would pass the end", loudWithDips(400000, {140}, 0.0F),
       {{179200, true, true}}},
      // The next target, 414,720, finds no pause and falls back to the grid.
      {"a short pause after the fallback keeps its warm-up", loudWithDips(460000, {170}, 0.0F),
       {{217600, true, true}, {414720, false, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ArrayAudioSampleSource source(c.samples);
    std::vector<Decision> expected = {{0, false, false}};
    expected.insert(expected.end(), c.after.begin(), c.after.end());
    EXPECT_EQ(ChunkProcessor(source).silenceAlignedChunkStarts(kChunk, kStride, true, false), expected);
  }
}

// Speech-like audio: tone bursts of 1 to 9 s with pauses of 0.1 to 1.2 s, from a fixed pattern.
std::vector<float> talk(std::int64_t totalSamples) {
  std::vector<float> samples(static_cast<std::size_t>(totalSamples));
  std::int64_t position = 0;
  for (int i = 0; position < totalSamples; ++i) {
    const std::int64_t speech = 16000 + (i * 37 % 9) * 16000;
    const std::int64_t pause = 1600 + (i * 53 % 12) * 1600;
    tone(samples, position, std::min(position + speech, totalSamples), 0.2F + 0.05F * static_cast<float>(i % 4));
    position += speech + pause;
  }
  return samples;
}

TEST(ChunkProcessorPlanTest, ReadErrorsLeaveAtOnce) {
  std::vector<float> samples = talk(700000);
  fill(samples, 684000, 700000, 0.0F);
  struct Case {
    const char* name;
    std::function<void(const ChunkProcessor&)> plan;
  };
  const Case cases[] = {
      {"speech end", [](const ChunkProcessor& p) { p.speechEndSamples(); }},
      {"energy table", [](const ChunkProcessor& p) { p.frameEnergySums(); }},
      {"starts with late pauses", [](const ChunkProcessor& p) { p.silenceAlignedChunkStarts(kChunk, kStride, true, true); }},
      {"starts without late pauses",
       [](const ChunkProcessor& p) { p.silenceAlignedChunkStarts(kChunk, kStride, true, false); }},
  };
  for (const Case& c : cases) {
    const RecordingSource counting(samples);
    c.plan(ChunkProcessor(counting));
    const std::size_t reads = counting.reads.size();
    ASSERT_GE(reads, 2U) << c.name;
    for (const std::size_t failing : {std::size_t{0}, reads / 2, reads - 1}) {
      SCOPED_TRACE(testing::Message() << c.name << ", read " << failing << " of " << reads << " fails");
      const RecordingSource source(samples, failing);
      EXPECT_THROW(c.plan(ChunkProcessor(source)), std::runtime_error);
      EXPECT_EQ(source.reads.size(), failing + 1);
    }
  }
}

// The whole plan the long-audio path makes for a v3-family model without mel context.
struct FullPlan {
  std::vector<Decision> decisions;
  std::int64_t speechEnd;
  ChunkProcessor::WindowPlan windows;
};

FullPlan planAll(const AudioSampleSource& source) {
  ChunkProcessor processor(source);
  processor.noMelWarmupPrefixFrames = 7;
  const Layout layout = processor.chunkLayout(false, AsrModelVersion::v3);
  FullPlan plan;
  plan.decisions = processor.silenceAlignedChunkStarts(layout.chunkSamples, layout.strideSamples, true, true);
  plan.speechEnd = processor.speechEndSamples();
  plan.windows = processor.planWindows(plan.decisions, layout, plan.speechEnd, true);
  return plan;
}

TEST(ChunkProcessorPlanTest, DiskBackedWavPlansLikeTheSamplesInMemory) {
  // Values a 16-bit PCM file holds exactly, ending in a second of silence.
  std::vector<float> samples = talk(1200000);
  fill(samples, 1184000, 1200000, 0.0F);
  for (float& sample : samples) sample = std::round(sample * 32768.0F) / 32768.0F;
  const testsupport::TemporaryFolder folder;
  testsupport::writeEncoded(folder / "talk.wav", 16000, {samples}, "pcm_s16le");
  const auto [disk, loadDuration] = AudioSourceFactory().makeDiskBackedSource(folder / "talk.wav", 16000);
  ASSERT_EQ(disk.sampleCount(), std::ssize(samples));
  std::vector<float> readBack(samples.size());
  disk.copySamples(readBack.data(), 0, disk.sampleCount());
  ASSERT_EQ(readBack, samples);

  const FullPlan inMemory = planAll(ArrayAudioSampleSource(samples));
  const FullPlan onDisk = planAll(disk);
  EXPECT_EQ(onDisk.decisions, inMemory.decisions);
  EXPECT_EQ(onDisk.speechEnd, inMemory.speechEnd);
  EXPECT_EQ(onDisk.windows, inMemory.windows);
  // A plan worth comparing: several windows, late-pause cuts, and an end of speech before the end.
  EXPECT_GE(inMemory.windows.windows.size(), 5U);
  EXPECT_LT(inMemory.speechEnd, 1184000 + kFrame);
  EXPECT_TRUE(std::ranges::any_of(inMemory.decisions, &Decision::pauseCut));
  disk.cleanup();
}

}  // namespace
}  // namespace tesselaudio
