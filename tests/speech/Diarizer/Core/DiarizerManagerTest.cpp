#include "speech/Diarizer/Core/DiarizerManager.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "speech/Diarizer/Core/DiarizerError.h"
#include "speech/Diarizer/Core/DiarizerModels.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/DiarizerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using testsupport::alternatingVoices;
using testsupport::kDiarizerChunkSamples;
using testsupport::kSegmentationFrames;

constexpr double kFrame = 0.016875;
constexpr double kChunkEnd = 589 * kFrame;  // 9.939375 s
constexpr double kBlockEnd = 296 * kFrame;  // 4.995 s: frame 296 already hears the second voice
// The end of the last voice before zeros: frame 296 hears 80 samples of it and 190 zeros.
constexpr double kPaddedBlockEnd = 297 * kFrame;
constexpr std::int64_t kEchoOffset = 150000;

// A segment as the tests compare it.
struct Expected {
  std::string speakerId;
  double start;
  double end;
};

void expectSegments(const std::vector<TimedSpeakerSegment>& actual, const std::vector<Expected>& expected,
                    double shift = 0) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(actual[i].speakerId, expected[i].speakerId);
    EXPECT_NEAR(actual[i].startTimeSeconds, expected[i].start + shift, 1e-4);
    EXPECT_NEAR(actual[i].endTimeSeconds, expected[i].end + shift, 1e-4);
  }
}

std::vector<float> pointing(float level) {
  std::vector<float> embedding(256, 0.0f);
  embedding[0] = level;
  return embedding;
}

// An embedding along the first axis at about `level`: the second voice's run starts with frame 296,
// which also hears the first voice a little.
void expectPointing(const std::vector<float>& embedding, float level) {
  ASSERT_EQ(embedding.size(), 256u);
  EXPECT_NEAR(embedding[0], level, 0.002f);
  for (std::size_t i = 1; i < embedding.size(); ++i) EXPECT_EQ(embedding[i], 0.0f) << i;
}

// One 10 s chunk for the echo segmentation: frame f of the chunk decodes to the local speakers of
// classes[f] (0 nobody, 1 to 3 one speaker alone, 4 to 6 two at once); the rest of the audio holds
// the level 0.5, which the level embedding hears in every active frame.
std::vector<float> echoChunk(const std::vector<int>& classes) {
  std::vector<float> audio(kDiarizerChunkSamples, 0.5f);
  std::fill(audio.begin() + kEchoOffset, audio.begin() + kEchoOffset + kSegmentationFrames * 7, 0.0f);
  for (std::size_t f = 0; f < classes.size(); ++f) {
    audio[static_cast<std::size_t>(kEchoOffset) + f * 7 + static_cast<std::size_t>(classes[f])] = 1.0f;
  }
  return audio;
}

// `count` frames of `classValue` from frame `from` on, written into `classes`.
void paint(std::vector<int>& classes, std::size_t from, std::size_t count, int classValue) {
  std::fill(classes.begin() + static_cast<std::ptrdiff_t>(from),
            classes.begin() + static_cast<std::ptrdiff_t>(from + count), classValue);
}

DiarizerConfig chunking(float chunkDuration, float chunkOverlap) {
  DiarizerConfig config;
  config.chunkDuration = chunkDuration;
  config.chunkOverlap = chunkOverlap;
  return config;
}

std::vector<int> silentFrames() { return std::vector<int>(kSegmentationFrames, 0); }

template <class Body>
DiarizerError::Code thrownCode(Body&& body) {
  try {
    body();
  } catch (const DiarizerError& error) {
    return error.errorCode();
  }
  ADD_FAILURE() << "no DiarizerError";
  return DiarizerError::Code::processingFailed;
}

// Stand-in models written to a temporary folder and loaded from there.
class DiarizerManagerTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  DiarizerModels models(const testsupport::ModelBuilder& segmentation = testsupport::dcSegmentationModel(),
                        const testsupport::ModelBuilder& embedding = testsupport::levelEmbeddingModel()) {
    const auto folder = folder_.path() / std::to_string(written_++);
    return DiarizerModels::load(segmentation.writeBundle(folder), embedding.writeBundle(folder));
  }

  std::unique_ptr<DiarizerManager> ready(DiarizerConfig config = {}) {
    auto manager = std::make_unique<DiarizerManager>(config);
    manager->initialize(models());
    return manager;
  }

  std::unique_ptr<DiarizerManager> readyWithEcho(DiarizerConfig config = {}) {
    auto manager = std::make_unique<DiarizerManager>(config);
    manager->initialize(models(testsupport::echoSegmentationModel(kEchoOffset)));
    return manager;
  }

  testsupport::TemporaryFolder folder_;
  int written_ = 0;
};

TEST_F(DiarizerManagerTest, NothingRunsWithoutModels) {
  DiarizerManager manager;
  const auto voices = alternatingVoices(10);
  EXPECT_FALSE(manager.isAvailable());
  EXPECT_EQ(manager.segmentationModel(), nullptr);
  EXPECT_EQ(thrownCode([&] { manager.performCompleteDiarization(voices); }), DiarizerError::Code::notInitialized);
  EXPECT_EQ(thrownCode([&] { manager.extractSpeakerEmbedding(voices); }), DiarizerError::Code::notInitialized);

  manager.initialize(models());
  EXPECT_TRUE(manager.isAvailable());
  EXPECT_NE(manager.segmentationModel(), nullptr);
  EXPECT_NO_THROW(manager.performCompleteDiarization(voices));

  manager.cleanup();
  EXPECT_FALSE(manager.isAvailable());
  EXPECT_NE(manager.embeddingExtractor(), nullptr);
  EXPECT_EQ(manager.speakerManager().speakerCount(), 2u);
  EXPECT_EQ(thrownCode([&] { manager.performCompleteDiarization(voices); }), DiarizerError::Code::notInitialized);
  EXPECT_EQ(thrownCode([&] { manager.extractSpeakerEmbedding(voices); }), DiarizerError::Code::notInitialized);
}

TEST_F(DiarizerManagerTest, ConstructionDerivesTheSpeakerDatabaseThresholds) {
  DiarizerConfig config;
  config.minSpeechDuration = 1.5f;
  config.minEmbeddingUpdateDuration = 3.0f;
  const DiarizerManager manager(config);
  EXPECT_FLOAT_EQ(manager.speakerManager().speakerThreshold(), 0.84f);
  EXPECT_FLOAT_EQ(manager.speakerManager().embeddingThreshold(), 0.56f);
  EXPECT_EQ(manager.speakerManager().minSpeechDuration(), 1.5f);
  EXPECT_EQ(manager.speakerManager().minEmbeddingUpdateDuration(), 3.0f);
  EXPECT_EQ(manager.speakerManager().nextSpeakerId(), 1);
}

TEST_F(DiarizerManagerTest, EmptyInputRunsNoChunk) {
  DiarizerConfig config;
  config.debugMode = true;
  auto manager = ready(config);
  std::vector<double> progress;

  const auto result = manager->performCompleteDiarization({}, 16000, 0, [&](double p) { progress.push_back(p); });

  EXPECT_EQ(progress, std::vector<double>{1.0});
  EXPECT_TRUE(result.segments.empty());
  ASSERT_TRUE(result.timings);
  EXPECT_EQ(result.timings->segmentationSeconds, 0.0);
  EXPECT_EQ(result.timings->embeddingExtractionSeconds, 0.0);
  EXPECT_EQ(result.timings->speakerClusteringSeconds, 0.0);
  ASSERT_TRUE(result.speakerDatabase);
  EXPECT_TRUE(result.speakerDatabase->empty());
}

TEST_F(DiarizerManagerTest, ChunkLayoutsGiveTheirSegmentsAndProgress) {
  struct Case {
    const char* name;
    float chunkDuration;
    float chunkOverlap;
    double seconds;
    std::vector<double> progress;
    std::vector<Expected> segments;
  };
  const std::vector<Expected> defaultSegments = {
      {"1", 0, kBlockEnd},   {"2", kBlockEnd, kChunkEnd},          {"1", 10, 10 + kBlockEnd},
      {"2", 10 + kBlockEnd, 10 + kChunkEnd}, {"1", 20, 20 + kPaddedBlockEnd},
  };
  const Case cases[] = {
      // The last chunk holds 5 s and zeros: nothing is heard after 25 s.
      {"defaults over 25 s", 10, 0, 25, {0.4, 0.8, 1.0, 1.0}, defaultSegments},
      {"10.4 s chunks are 10 s chunks", 10.4f, 0, 25, {0.4, 0.8, 1.0, 1.0}, defaultSegments},
      {"overlap 5 keeps every chunk's segments",
       10,
       5,
       25,
       {0.2, 0.4, 0.6, 0.8, 1.0, 1.0},
       {
           {"1", 0, kBlockEnd},
           {"2", kBlockEnd, kChunkEnd},
           {"2", 5, 5 + kBlockEnd},
           {"1", 5 + kBlockEnd, 5 + kChunkEnd},
           {"1", 10, 10 + kBlockEnd},
           {"2", 10 + kBlockEnd, 10 + kChunkEnd},
           {"2", 15, 15 + kBlockEnd},
           {"1", 15 + kBlockEnd, 15 + kChunkEnd},
           {"1", 20, 20 + kPaddedBlockEnd},
       }},
      // Chunks at 0 and 12 s; the 2 s between them are never heard. The second chunk's voices
      // change at frames 178 and 474.
      {"negative overlap leaves gaps",
       10,
       -2,
       22,
       {192000.0 / 352000.0, 1.0, 1.0},
       {{"1", 0, kBlockEnd},
        {"2", kBlockEnd, kChunkEnd},
        {"1", 12, 12 + 178 * kFrame},
        {"2", 12 + 178 * kFrame, 12 + 474 * kFrame},
        {"1", 12 + 474 * kFrame, 12 + kChunkEnd}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = ready(chunking(c.chunkDuration, c.chunkOverlap));
    std::vector<double> progress;

    const auto result = manager->performCompleteDiarization(alternatingVoices(c.seconds), 16000, 0,
                                                            [&](double p) { progress.push_back(p); });

    ASSERT_EQ(progress.size(), c.progress.size());
    for (std::size_t i = 0; i < progress.size(); ++i) EXPECT_DOUBLE_EQ(progress[i], c.progress[i]);
    expectSegments(result.segments, c.segments);
  }
}

TEST_F(DiarizerManagerTest, TwoVoicesBecomeSpeakersOneAndTwoAndStaySo) {
  DiarizerConfig config;
  config.debugMode = true;
  config.exposeChunkEmbeddings = true;
  auto manager = ready(config);
  const auto voices = alternatingVoices(20);
  const std::vector<Expected> expected = {
      {"1", 0, kBlockEnd}, {"2", kBlockEnd, kChunkEnd}, {"1", 10, 10 + kBlockEnd}, {"2", 10 + kBlockEnd, 10 + kChunkEnd}};

  const auto first = manager->performCompleteDiarization(voices);
  expectSegments(first.segments, expected);
  for (const auto& segment : first.segments) {
    SCOPED_TRACE(segment.startTimeSeconds);
    expectPointing(segment.embedding, segment.speakerId == "1" ? 0.5f : -0.5f);
    // Every frame of a run is active, so the score is the embedding's norm / 10.
    EXPECT_NEAR(segment.qualityScore, std::abs(segment.embedding[0]) / 10, 1e-6);
  }

  ASSERT_TRUE(first.speakerDatabase);
  EXPECT_EQ(first.speakerDatabase->size(), 2u);
  EXPECT_NEAR(first.speakerDatabase->at("1")[0], 1.0f, 1e-6);
  EXPECT_NEAR(first.speakerDatabase->at("2")[0], -1.0f, 1e-6);
  ASSERT_TRUE(first.timings);
  EXPECT_GT(first.timings->segmentationSeconds, 0.0);
  EXPECT_GT(first.timings->embeddingExtractionSeconds, 0.0);
  EXPECT_EQ(first.timings->audioLoadingSeconds, 0.0);

  ASSERT_TRUE(first.chunkEmbeddings);
  struct Chunk {
    std::string speakerId;
    std::int64_t chunkIndex, speakerIndex;
    double start, end;
  };
  const Chunk chunks[] = {{"1", 0, 0, 0, kBlockEnd},
                          {"2", 0, 1, kBlockEnd, kChunkEnd},
                          {"1", 1, 0, 10, 10 + kBlockEnd},
                          {"2", 1, 1, 10 + kBlockEnd, 10 + kChunkEnd}};
  ASSERT_EQ(first.chunkEmbeddings->size(), std::size(chunks));
  for (std::size_t i = 0; i < std::size(chunks); ++i) {
    SCOPED_TRACE(i);
    const auto& actual = (*first.chunkEmbeddings)[i];
    EXPECT_EQ(actual.speakerId, chunks[i].speakerId);
    EXPECT_EQ(actual.chunkIndex, chunks[i].chunkIndex);
    EXPECT_EQ(actual.speakerIndex, chunks[i].speakerIndex);
    EXPECT_NEAR(actual.startTimeSeconds, chunks[i].start, 1e-9);
    EXPECT_NEAR(actual.endTimeSeconds, chunks[i].end, 1e-9);
    expectPointing(actual.embedding256, chunks[i].speakerId == "1" ? 0.5f : -0.5f);
    EXPECT_TRUE(actual.rho128.empty());
  }

  const auto second = manager->performCompleteDiarization(voices);
  expectSegments(second.segments, expected);
  EXPECT_EQ(manager->speakerManager().speakerIds(), (std::vector<std::string>{"1", "2"}));
}

TEST_F(DiarizerManagerTest, TimingsCarryTheModelsCompilationDuration) {
  DiarizerConfig config;
  config.debugMode = true;
  DiarizerManager manager(config);
  const auto loaded = models();
  manager.initialize(loaded);

  const auto result = manager.performCompleteDiarization(alternatingVoices(10));

  ASSERT_TRUE(result.timings);
  EXPECT_EQ(result.timings->modelCompilationSeconds, loaded.compilationDuration);
  EXPECT_DOUBLE_EQ(result.timings->totalInferenceSeconds, result.timings->segmentationSeconds +
                                                              result.timings->embeddingExtractionSeconds +
                                                              result.timings->speakerClusteringSeconds);
}

TEST_F(DiarizerManagerTest, TimeOffsetShiftsEveryTime) {
  DiarizerConfig config;
  config.exposeChunkEmbeddings = true;
  const auto voices = alternatingVoices(20);
  const auto plain = ready(config)->performCompleteDiarization(voices);
  const auto shifted = ready(config)->performCompleteDiarization(voices, 16000, 30.0);

  ASSERT_EQ(shifted.segments.size(), plain.segments.size());
  for (std::size_t i = 0; i < plain.segments.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(shifted.segments[i].startTimeSeconds, plain.segments[i].startTimeSeconds + 30, 1e-4);
    EXPECT_NEAR(shifted.segments[i].endTimeSeconds, plain.segments[i].endTimeSeconds + 30, 1e-4);
  }
  ASSERT_TRUE(plain.chunkEmbeddings && shifted.chunkEmbeddings);
  ASSERT_EQ(shifted.chunkEmbeddings->size(), plain.chunkEmbeddings->size());
  for (std::size_t i = 0; i < plain.chunkEmbeddings->size(); ++i) {
    EXPECT_NEAR((*shifted.chunkEmbeddings)[i].startTimeSeconds, (*plain.chunkEmbeddings)[i].startTimeSeconds + 30, 1e-9);
    EXPECT_NEAR((*shifted.chunkEmbeddings)[i].endTimeSeconds, (*plain.chunkEmbeddings)[i].endTimeSeconds + 30, 1e-9);
  }
}

TEST_F(DiarizerManagerTest, WithoutDebugModeTheResultHoldsSegmentsOnly) {
  auto manager = ready();
  const auto result = manager->performCompleteDiarization(alternatingVoices(20));
  EXPECT_EQ(result.segments.size(), 4u);
  EXPECT_FALSE(result.speakerDatabase);
  EXPECT_FALSE(result.timings);
  EXPECT_FALSE(result.chunkEmbeddings);
  EXPECT_EQ(manager->speakerManager().speakerCount(), 2u);
}

TEST_F(DiarizerManagerTest, KnownSpeakersAreMatchedAndNumberingFollowsThem) {
  struct Case {
    const char* name;
    std::string knownId;
    std::vector<std::string> expectedIds;  // of the first voice, then the second
  };
  const Case cases[] = {
      {"numeric id", "7", {"7", "8"}},
      {"name as id", "alice", {"alice", "1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = ready();
    manager->initializeKnownSpeakers({Speaker(c.knownId, std::nullopt, pointing(1.0f))});
    const auto result = manager->performCompleteDiarization(alternatingVoices(10));
    ASSERT_EQ(result.segments.size(), 2u);
    EXPECT_EQ(result.segments[0].speakerId, c.expectedIds[0]);
    EXPECT_EQ(result.segments[1].speakerId, c.expectedIds[1]);
  }
}

TEST_F(DiarizerManagerTest, FrameRunsBecomeSegmentsOnTheFrameGrid) {
  DiarizerConfig config;
  config.exposeChunkEmbeddings = true;
  struct Case {
    const char* name;
    std::function<void(std::vector<int>&)> paintFrames;
    double atTime;
    std::vector<Expected> segments;
    std::size_t speakers;
  };
  const Case cases[] = {
      {"a 100-frame run from frame 59", [](auto& f) { paint(f, 59, 100, 1); }, 20.0,
       {{"1", 20.995625, 22.683125}}, 1},
      {"a single active frame is never a segment",
       [](auto& f) {
         paint(f, 59, 100, 1);
         paint(f, 300, 1, 1);
       },
       0.0, {{"1", 59 * kFrame, 159 * kFrame}}, 1},
      // Speaker 1 talks only over speaker 0: its mask is empty, its embedding zero.
      {"a speaker heard only over another gets none",
       [](auto& f) {
         paint(f, 59, 100, 1);
         paint(f, 200, 80, 4);
       },
       0.0, {{"1", 59 * kFrame, 159 * kFrame}, {"1", 200 * kFrame, 280 * kFrame}}, 1},
      // Speaker 0 is heard only together with speaker 2; speaker 2's shared frames still count.
      {"the slots go on after one without speaker",
       [](auto& f) {
         paint(f, 0, 80, 5);
         paint(f, 100, 100, 3);
       },
       0.0, {{"1", 0, 80 * kFrame}, {"1", 100 * kFrame, 200 * kFrame}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = readyWithEcho(config);
    auto classes = silentFrames();
    c.paintFrames(classes);

    const auto result = manager->performCompleteDiarization(echoChunk(classes), 16000, c.atTime);

    expectSegments(result.segments, c.segments);
    EXPECT_EQ(manager->speakerManager().speakerCount(), c.speakers);
    ASSERT_TRUE(result.chunkEmbeddings);
    EXPECT_EQ(result.chunkEmbeddings->size(), c.speakers);
  }
}

TEST_F(DiarizerManagerTest, ActivityMustExceedTheFloorToGetASpeaker) {
  struct Case {
    const char* name;
    std::size_t frames;
    std::size_t speakers;
  };
  const Case cases[] = {{"equal to the floor", 10, 0}, {"one frame more", 11, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiarizerConfig config;
    // Short enough that the speech itself could make a speaker and a segment.
    config.minSpeechDuration = 0.1f;
    auto manager = readyWithEcho(config);
    auto classes = silentFrames();
    paint(classes, 100, c.frames, 1);

    const auto result = manager->performCompleteDiarization(echoChunk(classes));

    EXPECT_EQ(manager->speakerManager().speakerCount(), c.speakers);
    EXPECT_EQ(result.segments.size(), c.speakers);
  }
}

TEST_F(DiarizerManagerTest, ConfigurationsThatCannotBeProcessedAreRefusedBeforeAnyChunk) {
  struct Case {
    const char* name;
    float chunkDuration;
    float chunkOverlap;
    std::int64_t sampleRate;
    DiarizerError::Code code;
    const char* message;  // "" when not checked
  };
  const float nan = std::nanf("");
  const float inf = INFINITY;
  const Case cases[] = {
      {"overlap equal to the duration", 10, 10, 16000, DiarizerError::Code::processingFailed,
       "Processing failed: chunkOverlap 10 s rounds to 10 s, which leaves no step forward after chunks of 10 s"},
      {"overlap above the duration", 10, 12, 16000, DiarizerError::Code::processingFailed, ""},
      {"overlap rounding up to the duration", 10, 9.5f, 16000, DiarizerError::Code::processingFailed, ""},
      {"10.5 s rounds to 11 s", 10.5f, 0, 16000, DiarizerError::Code::processingFailed,
       "Processing failed: chunkDuration 10.5 s rounds to 11 s; chunks last from 1 to 10 whole seconds"},
      {"0.4 s rounds to nothing", 0.4f, 0, 16000, DiarizerError::Code::processingFailed, ""},
      {"negative duration", -3, 0, 16000, DiarizerError::Code::processingFailed, ""},
      {"duration not a number", nan, 0, 16000, DiarizerError::Code::processingFailed,
       "Processing failed: chunkDuration nan s and chunkOverlap 0 s must be finite"},
      {"infinite overlap", 10, -inf, 16000, DiarizerError::Code::processingFailed, ""},
      {"overlap beyond the sample range", 10, -1e30f, 16000, DiarizerError::Code::processingFailed,
       "Processing failed: chunkOverlap -1e+30 s at 16000 Hz leaves the 64-bit range of sample positions"},
      {"8 kHz", 10, 0, 8000, DiarizerError::Code::invalidAudioData, ""},
      {"0 Hz", 10, 0, 0, DiarizerError::Code::invalidAudioData, ""},
      {"negative rate", 10, 0, -16000, DiarizerError::Code::invalidAudioData, ""},
  };
  const auto voices = alternatingVoices(20);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = ready(chunking(c.chunkDuration, c.chunkOverlap));
    int progressCalls = 0;
    for (const auto& samples : {voices, std::vector<float>{}}) {
      try {
        manager->performCompleteDiarization(samples, c.sampleRate, 0, [&](double) { ++progressCalls; });
        ADD_FAILURE() << "no error";
      } catch (const DiarizerError& error) {
        EXPECT_EQ(error.errorCode(), c.code);
        if (*c.message) {
          EXPECT_EQ(error.description(), c.message);
        }
      }
    }
    EXPECT_EQ(progressCalls, 0);
    EXPECT_EQ(manager->speakerManager().speakerCount(), 0u);
  }
}

TEST_F(DiarizerManagerTest, ModelErrorsEndTheRunAndKeepTheSpeakersMadeSoFar) {
  auto manager = ready();
  auto failingModels = models(testsupport::failingSegmentationModel(), testsupport::failingEmbeddingModel());
  std::vector<double> progress;
  // After the first chunk the extractor runs a model that fails.
  EXPECT_THROW(manager->performCompleteDiarization(alternatingVoices(30), 16000, 0,
                                                   [&](double p) {
                                                     progress.push_back(p);
                                                     manager->setEmbeddingExtractor(
                                                         std::make_shared<EmbeddingExtractor>(failingModels.embeddingModel));
                                                   }),
               platform::MLModelError);
  EXPECT_EQ(progress.size(), 1u);
  EXPECT_EQ(manager->speakerManager().speakerIds(), (std::vector<std::string>{"1", "2"}));

  manager->initialize(failingModels);
  EXPECT_THROW(manager->performCompleteDiarization(alternatingVoices(10)), platform::MLModelError);
  EXPECT_EQ(manager->speakerManager().speakerCount(), 2u);
}

TEST_F(DiarizerManagerTest, MissingExtractorFailsAtTheChunk) {
  auto manager = ready();
  manager->setEmbeddingExtractor(nullptr);
  EXPECT_EQ(thrownCode([&] { manager->performCompleteDiarization(alternatingVoices(10)); }),
            DiarizerError::Code::notInitialized);
  EXPECT_EQ(thrownCode([&] { manager->extractSpeakerEmbedding(alternatingVoices(10)); }),
            DiarizerError::Code::notInitialized);
}

TEST_F(DiarizerManagerTest, SingleEmbeddingOfAStretchOfAudio) {
  auto manager = ready();
  // Shorter than the window: the audio is repeated, so the level stays what it is.
  EXPECT_EQ(manager->extractSpeakerEmbedding(std::vector<float>(48000, -0.25f)), pointing(-0.25f));
  EXPECT_EQ(thrownCode([&] { manager->extractSpeakerEmbedding({}); }), DiarizerError::Code::invalidAudioData);

  DiarizerManager undeclared;
  undeclared.initialize(models(testsupport::dcSegmentationModel(false)));
  try {
    undeclared.extractSpeakerEmbedding(std::vector<float>(48000, 0.5f));
    ADD_FAILURE() << "no error";
  } catch (const DiarizerError& error) {
    EXPECT_EQ(error.errorCode(), DiarizerError::Code::processingFailed);
    EXPECT_EQ(error.description(),
              "Processing failed: Cannot determine segmentation frame count from model output shape");
  }
}

TEST_F(DiarizerManagerTest, ChecksAreThoseOfAudioValidation) {
  const DiarizerManager manager;
  EXPECT_FALSE(manager.validateEmbedding(std::vector<float>{0.1f}));
  EXPECT_TRUE(manager.validateEmbedding(std::vector<float>{0.2f}));
  EXPECT_EQ(manager.validateAudio({}).issues.size(), 3u);
  EXPECT_TRUE(manager.validateAudio(alternatingVoices(2)).isValid);
}

}  // namespace
}  // namespace tesselaudio
