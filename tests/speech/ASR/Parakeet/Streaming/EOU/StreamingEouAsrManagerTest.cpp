#include "speech/ASR/Parakeet/Streaming/EOU/StreamingEouAsrManager.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/ml/MLModelError.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/InvalidArgumentError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoder.h"
#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoderError.h"
#include "speech/ASR/Parakeet/Streaming/Tokenizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverterError.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TransducerModelBuilder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::EouEncoderLevel;
using testsupport::EouEncoderStandIn;
using testsupport::TransducerStandIn;
using Level = platform::SystemLog::Level;
using Script = std::vector<std::vector<std::int64_t>>;

constexpr std::int64_t kEou = testsupport::kTransducerEouId;
constexpr const char* kVocab = R"({"0": "▁he", "1": "llo", "2": "▁wor", "3": "ld", "4": "!", "5": "▁again"})";
// Mean log-mel thresholds of the stand-in encoder's levels (see TransducerModelBuilder.h).
constexpr float kSoft = -12;
constexpr float kLoud = -6;

// 16 kHz samples of one kind of audio: silence, quiet noise (soft) or loud noise.
enum class Sound { silence, soft, loud };

std::vector<float> audio(Sound sound, std::size_t samples) {
  std::vector<float> out(samples, 0.0f);
  if (sound == Sound::silence) return out;
  const float amplitude = sound == Sound::loud ? 0.5f : 0.01f;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> uniform(-1, 1);
  for (float& s : out) s = amplitude * uniform(random);
  return out;
}

// The same audio as a 48 kHz stereo buffer (each sample held three frames), so that the engine
// converts it; the converter gives back exactly a third of the frames.
std::unique_ptr<platform::PcmBuffer> stereo48k(const std::vector<float>& samples16k) {
  std::vector<float> upsampled;
  upsampled.reserve(samples16k.size() * 3);
  for (float s : samples16k) upsampled.insert(upsampled.end(), {s, s, s});
  return testsupport::floatBuffer(48000, {upsampled, upsampled});
}

EouEncoderStandIn encoderFor(StreamingChunkSize size, std::vector<EouEncoderLevel> levels = {}) {
  EouEncoderStandIn standIn;
  standIn.melFrames = size.melFrames();
  standIn.preCacheSize = size.preCacheSize();
  standIn.outputFrames = size.validOutputLen();
  standIn.levels = std::move(levels);
  return standIn;
}

float elementAt(const std::shared_ptr<const platform::MLMultiArray>& array, std::int64_t index) {
  return (*array)[index].floatValue();
}

class StreamingEouAsrManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override {
    AppLogger::setMirrorsToConsole(true);
    unsetenv("TESSEL_EOU_FUSED");
  }

  // An engine loaded from a fresh model folder of stand-ins.
  std::unique_ptr<StreamingEouAsrManager> loaded(StreamingChunkSize size, const EouEncoderStandIn& encoder,
                                                 const TransducerStandIn& transducer = {},
                                                 std::int64_t debounceMs = 1280, bool debugFeatures = false) {
    const fs::path folder = testsupport::writeEouModelFolder(scratch_ / ("models" + std::to_string(folders_++)),
                                                             encoder, kVocab, transducer);
    auto engine = std::make_unique<StreamingEouAsrManager>(platform::MLModelConfiguration{}, size, debounceMs,
                                                           debugFeatures);
    engine->loadModels(folder);
    return engine;
  }

  // Appends the sounds, one window-advance each, and processes them.
  static void feed(StreamingEouAsrManager& engine, const std::vector<std::pair<Sound, std::size_t>>& parts) {
    for (const auto& [sound, samples] : parts) engine.appendAudio(*stereo48k(audio(sound, samples)));
    engine.processBufferedAudio({});
  }

  // ms1280 windows, one per character: '.' silence, 's' soft, 'L' loud.
  static void feedWindows(StreamingEouAsrManager& engine, const std::string& plan) {
    for (char c : plan) {
      const Sound sound = c == 'L' ? Sound::loud : c == 's' ? Sound::soft : Sound::silence;
      engine.process(*stereo48k(audio(sound, 20480)), {});
    }
  }

  std::size_t logCount(const std::string& message, std::optional<Level> level = std::nullopt) const {
    std::size_t count = 0;
    for (const auto& record : log_.records()) {
      if (record.category == "StreamingEOU" && record.message == message && (!level || record.level == *level)) {
        ++count;
      }
    }
    return count;
  }

  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  int folders_ = 0;
};

TEST(StreamingChunkSizeTest, HoldsTheGeometryOfEachChunkSize) {
  struct Case {
    StreamingChunkSize size;
    std::int64_t durationMs, chunkSamples, melFrames, shiftSamples, validOutputLen, preCacheSize;
    const char* subdirectory;
    Repo repo;
    const char* displayName;
  };
  const Case cases[] = {
      {StreamingChunkSize::ms160, 160, 2560, 17, 1280, 2, 16, "160ms", Repo::parakeetEou160,
       "Parakeet EOU 120M (160ms)"},
      {StreamingChunkSize::ms320, 630, 10080, 64, 5120, 4, 9, "320ms", Repo::parakeetEou320,
       "Parakeet EOU 120M (630ms)"},
      {StreamingChunkSize::ms1280, 1280, 20480, 129, 20480, 16, 16, "1280ms", Repo::parakeetEou1280,
       "Parakeet EOU 120M (1280ms)"},
  };
  ASSERT_EQ(StreamingChunkSize::allCases().size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.subdirectory);
    EXPECT_EQ(StreamingChunkSize::allCases()[i], c.size);
    EXPECT_EQ(c.size.durationMs(), c.durationMs);
    EXPECT_EQ(c.size.chunkSamples(), c.chunkSamples);
    EXPECT_EQ(c.size.melFrames(), c.melFrames);
    EXPECT_EQ(c.size.shiftSamples(), c.shiftSamples);
    EXPECT_EQ(c.size.validOutputLen(), c.validOutputLen);
    EXPECT_EQ(c.size.preCacheSize(), c.preCacheSize);
    EXPECT_EQ(c.size.modelSubdirectory(), c.subdirectory);
    EXPECT_EQ(c.size.repo(), c.repo);
    StreamingEouAsrManager engine({}, c.size, 1280, false);
    EXPECT_EQ(engine.displayName(), c.displayName);
    EXPECT_EQ(engine.chunkSize(), c.size);
    EXPECT_EQ(engine.hopLength(), 160);
  }
}

TEST_F(StreamingEouAsrManagerTest, CreationLogsAndLoadsNothing) {
  StreamingEouAsrManager engine({}, StreamingChunkSize::ms320, 640, true);
  EXPECT_EQ(logCount("Initialized with chunk size: 630ms, EOU debounce: 640ms", Level::info), 1u);
  EXPECT_FALSE(engine.isLoaded());
  EXPECT_EQ(engine.eouDebounceMs(), 640);
  EXPECT_TRUE(engine.debugFeatures());
  EXPECT_FALSE(engine.eouDetected());
  EXPECT_EQ(engine.processedChunks(), 0);
  EXPECT_EQ(engine.getPartialTranscript(), "");
}

TEST_F(StreamingEouAsrManagerTest, WindowLoopTakesEveryCompleteWindowAndKeepsTheOverlap) {
  struct Case {
    const char* name;
    std::size_t samples;
    std::int64_t windows;
    std::size_t left;
  };
  const Case cases[] = {
      {"one window", 2560, 1, 1280},
      {"two windows", 3840, 2, 1280},
      {"less than a window", 2559, 0, 2559},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = loaded(StreamingChunkSize::ms160, encoderFor(StreamingChunkSize::ms160));
    engine->appendAudio(*stereo48k(audio(Sound::silence, c.samples)));
    ASSERT_EQ(engine->audioBuffer().size(), c.samples);
    engine->processBufferedAudio({});
    EXPECT_EQ(engine->processedChunks(), c.windows);
    EXPECT_EQ(engine->totalSamplesProcessed(), c.windows * 1280);
    EXPECT_EQ(engine->audioBuffer().size(), c.left);
  }
}

TEST_F(StreamingEouAsrManagerTest, ProcessReturnsNothingWhileTextArrivesThroughCallbacks) {
  auto engine = loaded(StreamingChunkSize::ms1280,
                       encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{2}}}, {kLoud, {{0}, {1}}}}));
  std::vector<std::string> partials;
  engine->setPartialCallback([&](const std::string& text) {
    partials.push_back(text);
    EXPECT_EQ(text, engine->getPartialTranscript());
  });

  for (char window : std::string("L.s.")) {
    SCOPED_TRACE(window);
    const Sound sound = window == 'L' ? Sound::loud : window == 's' ? Sound::soft : Sound::silence;
    EXPECT_EQ(engine->process(*stereo48k(audio(sound, 20480)), {}), "");
  }

  // The token-free windows never call back.
  EXPECT_EQ(partials, (std::vector<std::string>{"hello", "hello wor"}));
  EXPECT_EQ(engine->accumulatedTokenIds(), (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_EQ(engine->getRawTokenStrings(), (std::vector<std::string>{"▁he", "llo", "▁wor"}));
  EXPECT_EQ(engine->getTokenTimestampsMs(), (std::vector<std::int64_t>{0, 80, 2 * 1280}));
  EXPECT_EQ(engine->finish({}), "hello wor");
}

TEST_F(StreamingEouAsrManagerTest, TokenTimesFollowTheWindowIndexAndTheFrame) {
  struct Case {
    const char* name;
    StreamingChunkSize size;
    Script script;
    std::vector<std::pair<Sound, std::size_t>> audio;
    std::vector<std::int64_t> times;
    std::vector<std::string> raw;
    std::string transcript;
  };
  const Case cases[] = {
      // Windows 0 to 2 are silent; window 3 is half loud.
      {"ms160 window 3, frames 0 and 1", StreamingChunkSize::ms160, {{0}, {1}},
       {{Sound::silence, 5120}, {Sound::loud, 1280}}, {240, 280}, {"▁he", "llo"}, "hello"},
      {"ms1280 window 2, frame 5", StreamingChunkSize::ms1280, {{}, {}, {}, {}, {}, {5}},
       {{Sound::silence, 40960}, {Sound::loud, 20480}}, {2960}, {"▁again"}, "again"},
      {"ms320 window 0, frame 3", StreamingChunkSize::ms320, {{}, {}, {}, {2}},
       {{Sound::loud, 10080}}, {240}, {"▁wor"}, "wor"},
      {"an id without a piece", StreamingChunkSize::ms1280, {{5000}, {3}},
       {{Sound::loud, 20480}}, {0, 80}, {"<id:5000>", "ld"}, "ld"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = loaded(c.size, encoderFor(c.size, {{kSoft, c.script}}));
    feed(*engine, c.audio);
    EXPECT_EQ(engine->getTokenTimestampsMs(), c.times);
    EXPECT_EQ(engine->getRawTokenStrings(), c.raw);
    EXPECT_EQ(engine->getPartialTranscript(), c.transcript);
  }
  EXPECT_EQ(StreamingEouAsrManager::computeTokenTimestampsMs(6, {0, 1}, 40), (std::vector<std::int64_t>{240, 280}));
}

TEST_F(StreamingEouAsrManagerTest, WithoutVocabularyIdsAndTimesAccumulateButNoTextIsMade) {
  auto engine = loaded(StreamingChunkSize::ms1280,
                       encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{kEou}}}, {kLoud, {{0}}}}), {}, 0);
  engine->setTokenizer(nullptr);
  int calls = 0;
  engine->setPartialCallback([&](const std::string&) { ++calls; });
  engine->setEouCallback([&](const std::string&) { ++calls; });

  feedWindows(*engine, "Ls");

  EXPECT_EQ(engine->accumulatedTokenIds(), (std::vector<std::int64_t>{0}));
  EXPECT_EQ(engine->getTokenTimestampsMs(), (std::vector<std::int64_t>{0}));
  EXPECT_TRUE(engine->getRawTokenStrings().empty());
  EXPECT_EQ(engine->getEouTimestampsMs(), (std::vector<std::int64_t>{2560}));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(engine->getPartialTranscript(), "");
  EXPECT_EQ(engine->finish({}), "");
  EXPECT_EQ(engine->accumulatedTokenIds(), (std::vector<std::int64_t>{0}));
  EXPECT_EQ(engine->getEouTimestampsMs(), (std::vector<std::int64_t>{2560}));
}

TEST_F(StreamingEouAsrManagerTest, FinishPadsTheRestIntoOneWindow) {
  struct Case {
    const char* name;
    std::size_t samples;
    std::int64_t windows;
  };
  const Case cases[] = {{"100 samples", 100, 1}, {"empty buffer", 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = loaded(StreamingChunkSize::ms160, encoderFor(StreamingChunkSize::ms160));
    if (c.samples > 0) engine->appendAudio(*stereo48k(audio(Sound::silence, c.samples)));
    EXPECT_EQ(engine->finish({}), "");
    EXPECT_EQ(engine->processedChunks(), c.windows);
    EXPECT_TRUE(engine->audioBuffer().empty());
  }
}

TEST_F(StreamingEouAsrManagerTest, FinishDecodesEveryBufferedWindowBeforeTheRest) {
  auto engine = loaded(StreamingChunkSize::ms1280,
                       encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{2}, {3}}}, {kLoud, {{0}, {1}}}}));
  // Two and a half windows appended without processing: nothing may be dropped.
  engine->appendAudio(*stereo48k(audio(Sound::loud, 20480)));
  engine->appendAudio(*stereo48k(audio(Sound::silence, 20480)));
  engine->appendAudio(*stereo48k(audio(Sound::loud, 10240)));  // padded: half loud reads as soft

  EXPECT_EQ(engine->finish({}), "hello world");
  EXPECT_EQ(engine->processedChunks(), 3);
  EXPECT_TRUE(engine->audioBuffer().empty());
}

TEST_F(StreamingEouAsrManagerTest, FinishEndsTheSegmentAndTheNextContinuesTheTimeLine) {
  auto engine = loaded(StreamingChunkSize::ms1280,
                       encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{2}, {3}}}, {kLoud, {{0}, {1}}}}), {}, 0);
  feedWindows(*engine, "L");
  EXPECT_EQ(engine->finish({}), "hello");
  EXPECT_TRUE(engine->getTokenTimestampsMs().empty());
  EXPECT_TRUE(engine->getRawTokenStrings().empty());

  feedWindows(*engine, "s");
  EXPECT_EQ(engine->getTokenTimestampsMs(), (std::vector<std::int64_t>{1280, 1360}));
  EXPECT_EQ(engine->finish({}), "world");
  EXPECT_EQ(engine->processedChunks(), 2);
}

TEST_F(StreamingEouAsrManagerTest, EndOfUtteranceIsConfirmedAfterTheDebounce) {
  struct Case {
    const char* name;
    std::string windows;  // ms1280: 'L' tokens "hello", 's' the end-of-utterance token alone, '.' nothing
    std::int64_t debounceMs;
    std::vector<std::int64_t> eouTimes;
    std::vector<std::string> logLines;
  };
  const Case cases[] = {
      {"the next token-free window confirms", "Ls..", 1280, {3840}, {"EOU confirmed at chunk 2 (3840ms)"}},
      {"not before the debounce", "Ls", 1280, {}, {}},
      {"a token inside the run clears it", "sL.", 1280, {}, {}},
      {"a cleared run starts again at the next token", "sL.s.", 1280, {6400}, {"EOU confirmed at chunk 4 (6400ms)"}},
      {"debounce 0 confirms at once", "Ls", 0, {2560}, {"EOU confirmed at chunk 1 (2560ms)"}},
      {"no second confirmation", "Ls.s.s.", 0, {2560}, {"EOU confirmed at chunk 1 (2560ms)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    auto engine = loaded(StreamingChunkSize::ms1280,
                         encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{kEou}}}, {kLoud, {{0}, {1}}}}), {},
                         c.debounceMs);
    std::vector<std::string> reported;
    engine->setEouCallback([&](const std::string& text) { reported.push_back(text); });

    feedWindows(*engine, c.windows);

    EXPECT_EQ(engine->getEouTimestampsMs(), c.eouTimes);
    EXPECT_EQ(engine->eouDetected(), !c.eouTimes.empty());
    EXPECT_EQ(reported, std::vector<std::string>(c.eouTimes.size(), "hello"));
    std::vector<std::string> lines;
    for (const auto& record : log.records()) {
      if (record.message.rfind("EOU confirmed", 0) == 0) {
        EXPECT_EQ(record.level, Level::info);
        lines.push_back(record.message);
      }
    }
    EXPECT_EQ(lines, c.logLines);
  }
}

TEST_F(StreamingEouAsrManagerTest, TokensBeforeTheEndOfUtteranceTokenStartNoRun) {
  auto engine = loaded(StreamingChunkSize::ms1280, encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{0, kEou}}}}));
  feedWindows(*engine, "s...");
  EXPECT_EQ(engine->accumulatedTokenIds(), (std::vector<std::int64_t>{0}));
  EXPECT_FALSE(engine->eouDetected());
  EXPECT_TRUE(engine->getEouTimestampsMs().empty());
}

TEST_F(StreamingEouAsrManagerTest, ResetAllowsAnotherConfirmationAndKeepsCallbacksModelsAndVocabulary) {
  auto engine = loaded(StreamingChunkSize::ms1280,
                       encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{kEou}}}, {kLoud, {{0}, {1}}}}), {}, 0);
  int eous = 0;
  std::vector<std::string> partials;
  engine->setEouCallback([&](const std::string&) { ++eous; });
  engine->setPartialCallback([&](const std::string& text) { partials.push_back(text); });
  feedWindows(*engine, "Ls");
  engine->appendAudio(*stereo48k(audio(Sound::loud, 100)));
  const auto tokenizer = engine->tokenizer();

  engine->reset({});

  EXPECT_TRUE(engine->audioBuffer().empty());
  EXPECT_TRUE(engine->accumulatedTokenIds().empty());
  EXPECT_TRUE(engine->getTokenTimestampsMs().empty());
  EXPECT_TRUE(engine->getRawTokenStrings().empty());
  EXPECT_TRUE(engine->getEouTimestampsMs().empty());
  EXPECT_EQ(engine->processedChunks(), 0);
  EXPECT_EQ(engine->totalSamplesProcessed(), 0);
  EXPECT_FALSE(engine->eouDetected());
  EXPECT_EQ(elementAt(engine->cacheLastChannelLen(), 0), 0);
  EXPECT_EQ(engine->rnntDecoder()->lastToken(), RnntDecoder::blankId);
  EXPECT_EQ(engine->tokenizer(), tokenizer);
  EXPECT_EQ(engine->eouDebounceMs(), 0);

  feedWindows(*engine, "Ls");
  EXPECT_EQ(eous, 2);
  EXPECT_EQ(partials, (std::vector<std::string>{"hello", "hello"}));
  EXPECT_EQ(engine->getEouTimestampsMs(), (std::vector<std::int64_t>{2560}));
}

TEST_F(StreamingEouAsrManagerTest, CachesCarryFromTheEncoderOutputs) {
  struct Case {
    const char* name;
    bool newPreCache;
    float preCacheAfterTwoWindows;
  };
  for (const Case& c : {Case{"every cache replaced", true, 2}, Case{"no new_pre_cache keeps the old one", false, 0}}) {
    SCOPED_TRACE(c.name);
    EouEncoderStandIn encoder = encoderFor(StreamingChunkSize::ms320);
    encoder.newPreCache = c.newPreCache;
    auto engine = loaded(StreamingChunkSize::ms320, encoder);
    EXPECT_EQ(engine->preCache()->shape(), (std::vector<std::int64_t>{1, 128, 9}));
    EXPECT_EQ(engine->cacheLastChannel()->shape(), (std::vector<std::int64_t>{17, 1, 70, 512}));
    EXPECT_EQ(engine->cacheLastTime()->shape(), (std::vector<std::int64_t>{17, 1, 512, 8}));
    EXPECT_EQ(engine->cacheLastChannelLen()->dataType(), platform::MLMultiArrayDataType::int32);

    feed(*engine, {{Sound::silence, 10080 + 5120}});

    ASSERT_EQ(engine->processedChunks(), 2);
    EXPECT_EQ(elementAt(engine->preCache(), 5), c.preCacheAfterTwoWindows);
    EXPECT_EQ(elementAt(engine->cacheLastChannel(), 1000), 2);
    EXPECT_EQ(elementAt(engine->cacheLastTime(), 7), 2);
    EXPECT_EQ(elementAt(engine->cacheLastChannelLen(), 0), 2);
  }
}

TEST_F(StreamingEouAsrManagerTest, FailedWindowLeavesSamplesCachesAndDecoderStateAsTheyWere) {
  struct Case {
    const char* name;
    EouEncoderStandIn encoder;
    std::optional<std::int64_t> failOnTarget;
    std::string description;
  };
  EouEncoderStandIn missing = encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{2}, {3}}}});
  missing.encodedOutput = false;
  EouEncoderStandIn int32Output = encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{2}, {3}}}});
  int32Output.encodedAsInt32 = true;
  const Case cases[] = {
      {"missing encoder output", missing, std::nullopt, "ASR processing failed: Missing encoder output"},
      {"int32 encoder output", int32Output, std::nullopt, ""},
      // Fails on the step after "ld" was emitted, with the decoder state already advanced twice.
      {"decoder failing after two tokens", encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{2}, {3}}}}), 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransducerStandIn transducer;
    transducer.failOnTarget = c.failOnTarget;
    auto engine = loaded(StreamingChunkSize::ms1280, c.encoder, transducer);
    int calls = 0;
    engine->setPartialCallback([&](const std::string&) { ++calls; });
    engine->appendAudio(*stereo48k(audio(Sound::soft, 20480)));
    const auto preCache = engine->preCache();
    const auto channelLen = engine->cacheLastChannelLen();
    const auto hState = engine->rnntDecoder()->hState();

    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        engine->processBufferedAudio({});
        FAIL() << "no error";
      } catch (const platform::Error& error) {
        if (!c.description.empty()) {
          EXPECT_EQ(error.description(), c.description);
        }
      }
    }

    // The window stays buffered and left no trace, however often it is retried.
    EXPECT_EQ(engine->audioBuffer().size(), 20480u);
    EXPECT_EQ(engine->processedChunks(), 0);
    EXPECT_EQ(engine->totalSamplesProcessed(), 0);
    EXPECT_TRUE(engine->accumulatedTokenIds().empty());
    EXPECT_TRUE(engine->getTokenTimestampsMs().empty());
    EXPECT_EQ(engine->preCache(), preCache);
    EXPECT_EQ(engine->cacheLastChannelLen(), channelLen);
    EXPECT_EQ(elementAt(engine->cacheLastChannelLen(), 0), 0);
    EXPECT_EQ(engine->rnntDecoder()->hState(), hState);
    EXPECT_EQ(engine->rnntDecoder()->lastToken(), RnntDecoder::blankId);
    EXPECT_EQ(calls, 0);
  }
}

TEST_F(StreamingEouAsrManagerTest, WindowsBeforeLoadingAreRefused) {
  StreamingEouAsrManager engine({}, StreamingChunkSize::ms160, 1280, false);
  engine.appendAudio(*stereo48k(audio(Sound::loud, 1000)));
  EXPECT_NO_THROW(engine.processBufferedAudio({}));
  try {
    engine.process(*stereo48k(audio(Sound::loud, 2000)), {});
    FAIL() << "no error";
  } catch (const ASRError& error) {
    EXPECT_EQ(error.errorCase(), ASRError::Case::notInitialized);
  }
  EXPECT_EQ(engine.audioBuffer().size(), 3000u);
  EXPECT_THROW(engine.finish({}), ASRError);
  EXPECT_EQ(engine.audioBuffer().size(), 3000u);
  EXPECT_EQ(engine.processedChunks(), 0);
}

TEST_F(StreamingEouAsrManagerTest, StopRequestEndsTheLoopBeforeTheNextWindow) {
  auto engine = loaded(StreamingChunkSize::ms160, encoderFor(StreamingChunkSize::ms160));
  std::stop_source stop;
  stop.request_stop();
  engine->appendAudio(*stereo48k(audio(Sound::silence, 1000)));
  EXPECT_NO_THROW(engine->processBufferedAudio(stop.get_token()));
  EXPECT_THROW(engine->process(*stereo48k(audio(Sound::silence, 1000)), stop.get_token()),
               platform::CancellationError);
  EXPECT_THROW(engine->process(*stereo48k(audio(Sound::silence, 3000)), stop.get_token()),
               platform::CancellationError);
  EXPECT_THROW(engine->finish(stop.get_token()), platform::CancellationError);
  EXPECT_EQ(engine->audioBuffer().size(), 5000u);
  EXPECT_EQ(engine->processedChunks(), 0);
  EXPECT_NO_THROW(engine->reset(stop.get_token()));
  EXPECT_TRUE(engine->audioBuffer().empty());
}

TEST_F(StreamingEouAsrManagerTest, CleanupDropsTheModelsAndLogs) {
  auto engine = loaded(StreamingChunkSize::ms160, encoderFor(StreamingChunkSize::ms160));
  engine->cleanup({});
  EXPECT_FALSE(engine->isLoaded());
  EXPECT_EQ(engine->tokenizer(), nullptr);
  EXPECT_EQ(engine->preCache(), nullptr);
  EXPECT_EQ(engine->rnntDecoder(), nullptr);
  EXPECT_EQ(logCount("StreamingEouAsrManager resources cleaned up", Level::info), 1u);
  EXPECT_THROW(engine->process(*stereo48k(audio(Sound::silence, 2560)), {}), ASRError);
}

TEST_F(StreamingEouAsrManagerTest, BadInputIsRefusedAndNothingIsAppended) {
  auto engine = loaded(StreamingChunkSize::ms160, encoderFor(StreamingChunkSize::ms160));
  engine->injectSilence(0.5);
  EXPECT_EQ(engine->audioBuffer().size(), 8000u);
  engine->injectSilence(0.00001);
  EXPECT_EQ(engine->audioBuffer().size(), 8000u);
  for (double seconds : {-1.0, -0.0001, std::nan(""), std::numeric_limits<double>::infinity(), 1e12}) {
    SCOPED_TRACE(seconds);
    EXPECT_THROW(engine->injectSilence(seconds), platform::InvalidArgumentError);
  }
  EXPECT_EQ(engine->audioBuffer().size(), 8000u);

  auto interleaved = platform::PcmBuffer::make(
      *platform::AudioFormat::make(platform::CommonFormat::pcmFormatFloat32, 48000, 4, true), 8);
  interleaved->setFrameLength(8);
  EXPECT_THROW(engine->appendAudio(*interleaved), AudioConverterError);
  EXPECT_THROW(engine->process(*interleaved, {}), AudioConverterError);
  EXPECT_EQ(engine->audioBuffer().size(), 8000u);
  EXPECT_EQ(engine->processedChunks(), 0);
}

TEST_F(StreamingEouAsrManagerTest, DebugFeaturesAreWrittenAsPrettyJson) {
  auto engine = loaded(StreamingChunkSize::ms160, encoderFor(StreamingChunkSize::ms160), {}, 1280, true);
  feed(*engine, {{Sound::soft, 3840}});
  const fs::path file = scratch_ / "features.json";
  engine->saveDebugFeatures(file);

  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text.rfind("{\n  \"mel_features\": [\n", 0), 0u);
  const auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json["count"], 2 * 128 * 17);
  EXPECT_EQ(json["mel_features"].size(), 2u * 128 * 17);
  EXPECT_EQ(logCount("Dumped 4352 features to " + file.string(), Level::info), 1u);
  EXPECT_THROW(engine->saveDebugFeatures(scratch_ / "missing" / "folder" / "x.json"), std::exception);
}

// The four required files of each chunk size published on a loopback hub.
class StreamingEouLoadTest : public StreamingEouAsrManagerTest {
 protected:
  static constexpr const char* kRepo = "TesselInference/parakeet-realtime-eou-120m-coreml";

  void SetUp() override {
    StreamingEouAsrManagerTest::SetUp();
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    published_ = testsupport::writeEouModelFolder(scratch_ / "published", encoderFor(StreamingChunkSize::ms160,
                                                                                    {{kSoft, {{0}, {1}}}}),
                                                  kVocab);
    for (const char* bundle : {"streaming_encoder.mlmodelc", "decoder.mlmodelc", "joint_decision.mlmodelc"}) {
      hub_.putFolder(kRepo, "main", std::string("160ms/") + bundle, published_ / bundle);
    }
    hub_.putFile(kRepo, "main", {"160ms/vocab.json", kVocab});
  }

  static std::string onnxOf(const fs::path& bundle) {
    std::ifstream in(bundle / "model.onnx", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  testsupport::HubFake hub_;
  fs::path published_;
};

TEST_F(StreamingEouLoadTest, FetchesTheRequiredFilesIntoTheDoubledFolderAndLoadsThem) {
  const fs::path dataHome = scratch_ / "data";
  setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  StreamingEouAsrManager engine({}, StreamingChunkSize::ms160, 1280, false);

  engine.loadModels(std::stop_token());

  const fs::path folder = dataHome / "TesselAudio/Models/parakeet-eou-streaming/parakeet-eou-streaming/160ms";
  for (const char* file : {"streaming_encoder.mlmodelc/model.onnx", "decoder.mlmodelc/model.onnx",
                           "joint_decision.mlmodelc/model.onnx", "vocab.json"}) {
    EXPECT_TRUE(fs::exists(folder / file)) << file;
  }
  EXPECT_TRUE(engine.isLoaded());
  EXPECT_EQ(logCount("Loading CoreML models from " + folder.string() + "...", Level::info), 1u);
  EXPECT_EQ(logCount("Models loaded successfully.", Level::info), 1u);
  engine.process(*stereo48k(audio(Sound::soft, 2560)), {});
  EXPECT_EQ(engine.finish({}), "hello");
}

TEST_F(StreamingEouLoadTest, DamagedModelIsPurgedAndFetchedOnceMore) {
  const fs::path base = scratch_ / "base";
  const fs::path folder = base / "parakeet-eou-streaming/160ms";
  fs::create_directories(folder);
  fs::copy(published_, folder, fs::copy_options::recursive);
  std::ofstream(folder / "decoder.mlmodelc/model.onnx", std::ios::binary) << "not a network";
  StreamingEouAsrManager engine({}, StreamingChunkSize::ms160, 1280, false);

  engine.loadModels(base, std::nullopt, {}, {});

  EXPECT_TRUE(engine.isLoaded());
  std::size_t purges = 0;
  for (const auto& record : log_.records()) purges += record.message == "Deleting cache and re-downloading\u2026";
  EXPECT_EQ(purges, 1u);
  EXPECT_EQ(onnxOf(folder / "decoder.mlmodelc"), onnxOf(published_ / "decoder.mlmodelc"));
  EXPECT_GT(hub_.fileRequestCount(), 0u);
}

TEST_F(StreamingEouLoadTest, CachedBundleWithoutOnnxKeepsTheCacheAndFails) {
  const fs::path base = scratch_ / "base";
  const fs::path folder = base / "parakeet-eou-streaming/160ms";
  fs::create_directories(folder);
  fs::copy(published_, folder, fs::copy_options::recursive);
  fs::remove(folder / "streaming_encoder.mlmodelc/model.onnx");
  StreamingEouAsrManager engine({}, StreamingChunkSize::ms160, 1280, false);

  EXPECT_THROW(engine.loadModels(base, std::nullopt, {}, {}), UnsupportedModelFormatError);

  EXPECT_FALSE(engine.isLoaded());
  EXPECT_TRUE(fs::exists(folder / "streaming_encoder.mlmodelc/coremldata.bin"));
  EXPECT_EQ(hub_.fileRequestCount(), 0u);
}

TEST_F(StreamingEouAsrManagerTest, FusedDecoderOnlyForExactlyOne) {
  // The fused stand-in lacks "token_id", so a window shows which path decodes.
  TransducerStandIn broken;
  broken.missingOutputs = {"token_id"};
  const fs::path withFused = scratch_ / "withFused";
  testsupport::writeEouModelFolder(withFused, encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{0}}}}), kVocab);
  fs::remove_all(withFused / StreamingEouAsrManager::kFusedModelFile);
  fs::rename(testsupport::transducerFusedModel(broken).writeBundle(withFused),
             withFused / StreamingEouAsrManager::kFusedModelFile);
  const fs::path withoutFused = scratch_ / "withoutFused";
  testsupport::writeEouModelFolder(withoutFused, encoderFor(StreamingChunkSize::ms1280, {{kSoft, {{0}}}}), kVocab);

  const std::string info = "TESSEL_EOU_FUSED=1: using fused decoder+joint_decision (1 dispatch per RNNT step)";
  const std::string warning = "TESSEL_EOU_FUSED=1 set but decoder_joint_decision_fused.mlmodelc not found in " +
                              withoutFused.string() + "; using reference decoder+joint path";
  struct Case {
    const char* value;
    fs::path folder;
    bool fused;
    bool warned;
  };
  const Case cases[] = {
      {"1", withFused, true, false},
      {"1", withoutFused, false, true},
      {"true", withFused, false, false},
      {"01", withFused, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.value) + " " + c.folder.filename().string());
    testsupport::SystemLogCapture log;
    setenv("TESSEL_EOU_FUSED", c.value, 1);
    StreamingEouAsrManager engine({}, StreamingChunkSize::ms1280, 1280, false);
    engine.loadModels(c.folder);
    std::size_t infos = 0, warnings = 0;
    for (const auto& record : log.records()) {
      infos += record.message == info && record.level == Level::info;
      // The logger writes warnings at the system log's error level.
      warnings += record.message == warning && record.level == Level::error;
    }
    EXPECT_EQ(infos, c.fused ? 1u : 0u);
    EXPECT_EQ(warnings, c.warned ? 1u : 0u);
    if (c.fused) {
      EXPECT_THROW(engine.process(*stereo48k(audio(Sound::soft, 20480)), {}), RnntDecoderError);
    } else {
      engine.process(*stereo48k(audio(Sound::soft, 20480)), {});
      EXPECT_EQ(engine.getPartialTranscript(), "he");
    }
  }
}

}  // namespace
}  // namespace tesselaudio
