#include "speech/ASR/Parakeet/Streaming/Nemotron/StreamingNemotronMultilingualAsrManager.h"

#include <fstream>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/ml/MLState.h"
#include "platform/sys/InvalidArgumentError.h"
#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualTokenizer.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TransducerModelBuilder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using Manager = StreamingNemotronMultilingualAsrManager;
using Level = platform::SystemLog::Level;
using testsupport::arrayValues;
using testsupport::ElementType;
using testsupport::ModelBuilder;
using testsupport::NemotronStandIn;

constexpr const char* kCategory = "NemotronMultilingualStreaming";
constexpr const char* kVocab = R"({"0": "▁olá", "1": "▁mundo", "7": "<en>", "8": "<pt>"})";
constexpr std::int64_t kEnTag = 7;
constexpr std::int64_t kPtTag = 8;
// Matches the stand-in decoder: blank 1024, state [2, 1, 4].
constexpr std::int64_t kBlank = 1024;

NemotronMultilingualStreamingConfig smallConfig() {
  NemotronMultilingualStreamingConfig config;
  config.blankIdx = kBlank;
  config.vocabSize = kBlank;
  config.decoderLayers = 2;
  config.decoderHidden = 4;
  config.cacheChannelShape = {1, 2, 3, 4};
  config.cacheTimeShape = {1, 2, 4, 2};
  config.defaultPromptId = 101;
  config.promptDictionary = {{"en", 0}, {"pt", 12}, {"pt-BR", 13}};
  config.langTagTokenIds = {kEnTag, kPtTag, 9};
  return config;
}

std::vector<double> filled(std::size_t count, double value) { return std::vector<double>(count, value); }

class StreamingNemotronMultilingualAsrManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  std::shared_ptr<const platform::MLModel> load(const ModelBuilder& builder) {
    const fs::path folder = scratch_.path() / ("model" + std::to_string(models_++));
    return std::make_shared<platform::MLModel>(builder.writeBundle(folder));
  }

  std::shared_ptr<const platform::MLModel> decoder(const NemotronStandIn& standIn = {}) {
    return load(testsupport::nemotronDecoderModel(standIn));
  }

  std::shared_ptr<const NemotronMultilingualTokenizer> tokenizer() {
    const fs::path file = scratch_.path() / "tokenizer.json";
    std::ofstream(file, std::ios::binary) << kVocab;
    return std::make_shared<const NemotronMultilingualTokenizer>(file, smallConfig().langTagTokenIds);
  }

  // A recogniser holding what loading would give it: the small geometry, the tokenizer, a decoder
  // (or none) and a fresh streaming state.
  std::shared_ptr<Manager> loaded(std::shared_ptr<const platform::MLModel> withDecoder) {
    auto manager = std::make_shared<Manager>();
    manager->updateState([&](Manager::State& s) {
      s.config = smallConfig();
      s.tokenizer = tokenizer();
      s.decoder = std::move(withDecoder);
    });
    manager->resetStates();
    return manager;
  }

  std::vector<std::string> messages() const { return log_.messages(kCategory); }

  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  int models_ = 0;
};

TEST_F(StreamingNemotronMultilingualAsrManagerTest, NewRecogniserHoldsInitialValues) {
  const Manager manager;
  EXPECT_EQ(manager.promptId(), 101);
  EXPECT_FALSE(manager.forcedPrefixEnabled());
  EXPECT_EQ(manager.detectedLanguage(), std::nullopt);
  EXPECT_EQ(manager.lastDecodeStats(), (Manager::DecodeStats{0, std::nullopt, 0}));
  EXPECT_EQ(manager.config(), NemotronMultilingualStreamingConfig());
  EXPECT_FALSE(manager.appendTerminalPunctuation());
  EXPECT_EQ(manager.prepNanos() + manager.encNanos() + manager.decNanos(), 0u);
  for (const std::int64_t counter : {manager.chunkCount(), manager.vadSkipCount(), manager.specWindowsTotal(),
                                     manager.specWindowsAllBlank(), manager.specWindowsHitNonBlank(),
                                     manager.detectedBlankSpanCount(), manager.blankRescueCount()}) {
    EXPECT_EQ(counter, 0);
  }
  const auto state = manager.stateSnapshot();
  EXPECT_EQ(state.lastToken, 13087);
  EXPECT_EQ(state.currentPromptId, 101);
  EXPECT_EQ(state.jointNoEncProjBatchedK, 8);
  EXPECT_FALSE(state.encoder || state.decoder || state.tokenizer || state.hState || state.cacheChannel);
  EXPECT_FALSE(state.melExtractor);
  EXPECT_TRUE(messages().empty());

  const platform::MLModelConfiguration fallback = manager.mlConfiguration();
  EXPECT_EQ(fallback.computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_TRUE(fallback.allowLowPrecisionAccumulationOnGPU);
  platform::MLModelConfiguration given;
  given.computeUnits = platform::MLComputeUnits::cpuOnly;
  given.functionName = "main";
  EXPECT_EQ(Manager(given).mlConfiguration(), given);
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, LanguageChoosesPromptAndLogsIt) {
  Manager manager;
  manager.updateState([](Manager::State& s) { s.config = smallConfig(); });
  struct Case {
    const char* name;
    std::optional<std::string> language;
    std::int64_t promptId;
    const char* line;
  };
  for (const Case& c : {Case{"known", "pt_br", 13, "Prompt id set to 13 for language pt_br"},
                        Case{"none", std::nullopt, 101, "Prompt id set to 101 for language auto"},
                        Case{"unknown", "xx", 101, "Prompt id set to 101 for language xx"},
                        Case{"region of a known language", "en-GB", 0, "Prompt id set to 0 for language en-GB"},
                        Case{"empty", "", 101, "Prompt id set to 101 for language "}}) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    manager.setLanguage(c.language);
    EXPECT_EQ(manager.promptId(), c.promptId);
    EXPECT_EQ(manager.stateSnapshot().currentLanguageCode, c.language);
    EXPECT_EQ(log.messages(kCategory), std::vector<std::string>{c.line});
  }
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ForcedPrefixBeforeLoadingOnlyRecordsTheChoice) {
  Manager manager;
  manager.setLanguage("en");
  manager.setForcedPrefix(true);
  EXPECT_TRUE(manager.forcedPrefixEnabled());
  manager.setForcedPrefix(false);
  EXPECT_FALSE(manager.forcedPrefixEnabled());
  EXPECT_EQ(messages(), (std::vector<std::string>{"Prompt id set to 101 for language en", "Forced prefix enabled",
                                                  "Forced prefix disabled"}));
  EXPECT_EQ(manager.stateSnapshot().lastToken, 13087);
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, PromptIdIsSetAloneAndMustFitInt32) {
  Manager manager;
  manager.setLanguage("de");
  manager.setPromptId(42);
  EXPECT_EQ(manager.promptId(), 42);
  EXPECT_EQ(manager.stateSnapshot().currentLanguageCode, "de");
  manager.setPromptId(-2147483648LL);
  EXPECT_EQ(manager.promptId(), -2147483648LL);
  for (const std::int64_t id : {std::int64_t{2147483648LL}, std::int64_t{-2147483649LL}}) {
    SCOPED_TRACE(id);
    EXPECT_THROW(manager.setPromptId(id), platform::InvalidArgumentError);
    EXPECT_EQ(manager.promptId(), -2147483648LL);
  }
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ResetStatesMakesAFreshStreamingState) {
  Manager manager;
  const auto marker = testsupport::makeArray({1}, {5});
  manager.updateState([&](Manager::State& s) {
    s.config = smallConfig();
    s.melCache = s.prefetchedMel = s.prefetchedEncoded = s.prefetchedEncoderProj = marker;
    s.prefetchedCacheChannel = s.prefetchedCacheTime = s.prefetchedCacheLen = marker;
    s.lastToken = 3;
    s.lastDeliveredPartialText = "old";
    s.rescueSpanOpen = s.inBlankRescue = s.rescueSpanOverflowed = true;
    s.rescueFrameCursor = s.rescueSpanStartFrame = s.rescueSpanLastSpeechFrame = 4;
    s.rescueSpanSpeechWindows = s.rescueSpanPreRollFrames = s.rescueSilentWindowRun = 4;
    s.rescueSpanAudio = s.rescuePreRollTail = {0.5f};
    s.detectedBlankSpanCount = s.blankRescueCount = 4;
  });
  manager.resetStates();
  const auto s = manager.stateSnapshot();

  ASSERT_TRUE(s.cacheChannel && s.cacheTime && s.cacheLen && s.hState && s.cState);
  EXPECT_EQ(s.cacheChannel->shape(), (std::vector<std::int64_t>{1, 2, 3, 4}));
  EXPECT_EQ(s.cacheTime->shape(), (std::vector<std::int64_t>{1, 2, 4, 2}));
  EXPECT_EQ(s.cacheChannel->dataType(), platform::MLMultiArrayDataType::float32);
  EXPECT_EQ(arrayValues(*s.cacheChannel), filled(24, 0));
  EXPECT_EQ(arrayValues(*s.cacheTime), filled(16, 0));
  EXPECT_EQ(s.cacheLen->dataType(), platform::MLMultiArrayDataType::int32);
  EXPECT_EQ(arrayValues(*s.cacheLen), std::vector<double>{1});
  for (const auto& decoderState : {s.hState, s.cState}) {
    EXPECT_EQ(decoderState->shape(), (std::vector<std::int64_t>{2, 1, 4}));
    EXPECT_EQ(decoderState->dataType(), platform::MLMultiArrayDataType::float32);
    EXPECT_EQ(arrayValues(*decoderState), filled(8, 0));
  }
  EXPECT_NE(s.hState, s.cState);
  EXPECT_EQ(s.lastToken, kBlank);
  EXPECT_EQ(s.lastDeliveredPartialText, std::nullopt);
  EXPECT_FALSE(s.melCache || s.prefetchedMel || s.prefetchedEncoded || s.prefetchedEncoderProj ||
               s.prefetchedCacheChannel || s.prefetchedCacheTime || s.prefetchedCacheLen);
  EXPECT_FALSE(s.encoderState);  // no encoder
  EXPECT_FALSE(s.rescueSpanOpen || s.inBlankRescue || s.rescueSpanOverflowed);
  EXPECT_EQ(s.rescueFrameCursor + s.rescueSpanStartFrame + s.rescueSpanLastSpeechFrame + s.rescueSpanSpeechWindows +
                s.rescueSpanPreRollFrames + s.rescueSilentWindowRun,
            0);
  EXPECT_TRUE(s.rescueSpanAudio.empty() && s.rescuePreRollTail.empty());
  EXPECT_EQ(manager.detectedBlankSpanCount(), 0);
  EXPECT_EQ(manager.blankRescueCount(), 0);
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ResetStatesMakesAnEncoderStateOnlyForAStatefulEncoder) {
  // One state buffer carried through unchanged is enough to make the encoder stateful.
  ModelBuilder stateful("encoder");
  stateful.input("state", ElementType::float32, {1})
      .output("state_out", ElementType::float32, {1})
      .output("encoded", ElementType::float32, {1})
      .node("Identity", {"state"}, {"state_out"})
      .node("Identity", {"state"}, {"encoded"})
      .state("state");
  ModelBuilder stateless("encoder");
  stateless.input("x", ElementType::float32, {2}).output("y", ElementType::float32, {2}).node("Identity", {"x"}, {"y"});

  Manager manager;
  manager.updateState([&](Manager::State& s) {
    s.config = smallConfig();
    s.encoder = load(stateful);
  });
  manager.resetStates();
  const auto first = manager.stateSnapshot().encoderState;
  ASSERT_TRUE(first);
  manager.resetStates();
  EXPECT_NE(manager.stateSnapshot().encoderState, first);

  // Without declared states the earlier state stays.
  const auto kept = manager.stateSnapshot().encoderState;
  manager.updateState([&](Manager::State& s) { s.encoder = load(stateless); });
  manager.resetStates();
  EXPECT_EQ(manager.stateSnapshot().encoderState, kept);
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ResetStartsANewStreamAndKeepsSettings) {
  auto manager = loaded(decoder());
  std::vector<std::string> delivered;
  manager->setPartialCallback([&](const std::string& text) { delivered.push_back(text); });
  manager->setLanguage("pt");
  manager->setPromptId(77);
  manager->setAppendTerminalPunctuation(true);
  const TokenTiming timing{"olá", 0, 0.0, 0.08, 0.9f};
  manager->updateState([&](Manager::State& s) {
    s.audioBuffer = {0.1f, 0.2f};
    s.audioBufferOffset = 1;
    s.accumulatedTokenIds = {0, 1};
    s.processedChunks = 3;
    s.accumulatedTokenTimings = s.lastFinishTokenTimings = {timing};
    s.absoluteFrameBase = 30;
    s.firstDetectedLanguage = "pt";
    s.lastDeliveredPartialText = "olá";
    s.lastFinishTokenCount = 5;
    s.lastFinishDetectedLanguage = "en";
    s.lastFinishProcessedChunks = 2;
    s.chunkCount = 9;
    s.lastToken = 1;
  });
  manager->reset();
  const auto s = manager->stateSnapshot();
  EXPECT_TRUE(s.audioBuffer.empty());
  EXPECT_EQ(s.audioBufferOffset, 0);
  EXPECT_TRUE(s.accumulatedTokenIds.empty());
  EXPECT_EQ(s.processedChunks, 0);
  EXPECT_TRUE(s.accumulatedTokenTimings.empty());
  EXPECT_TRUE(s.lastFinishTokenTimings.empty());
  EXPECT_EQ(s.absoluteFrameBase, 0);
  EXPECT_EQ(s.firstDetectedLanguage, std::nullopt);
  EXPECT_EQ(s.lastDeliveredPartialText, std::nullopt);
  EXPECT_EQ(s.lastToken, kBlank);

  EXPECT_EQ(s.currentLanguageCode, "pt");
  EXPECT_EQ(manager->promptId(), 77);
  EXPECT_TRUE(manager->appendTerminalPunctuation());
  EXPECT_EQ(s.chunkCount, 9);
  EXPECT_TRUE(s.decoder && s.tokenizer);
  ASSERT_TRUE(s.partialCallback);
  s.partialCallback("x");
  EXPECT_EQ(delivered, std::vector<std::string>{"x"});
  EXPECT_EQ(manager->lastDecodeStats(), (Manager::DecodeStats{5, "en", 2}));
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ResetLogsAStateFailureInsteadOfThrowing) {
  Manager manager;
  manager.updateState([](Manager::State& s) {
    s.config.cacheChannelShape = {1, 0, 3};  // no array of this shape can be made
    s.accumulatedTokenIds = {1};
  });
  EXPECT_THROW(manager.resetStates(), platform::Error);
  testsupport::SystemLogCapture log;
  EXPECT_NO_THROW(manager.reset());
  EXPECT_TRUE(manager.stateSnapshot().accumulatedTokenIds.empty());
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, Level::error);
  EXPECT_EQ(records[0].message.rfind("Failed to reset states: ", 0), 0u) << records[0].message;
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, CleanupReleasesLoadedPartsAndKeepsFusedModels) {
  auto manager = loaded(decoder());
  const auto fused = load(testsupport::nemotronFusedModel({}));
  manager->updateState([&](Manager::State& s) {
    s.melExtractor = s.prefetchMelExtractor = NemotronMelExtractor::english(128);
    s.encoder = s.joint = decoder();
    s.decoderJoint = s.decoderJointArgmax = s.decoderJointNoEncProj = s.jointNoEncProjBatched = fused;
    s.melCache = testsupport::makeArray({1}, {1});
    s.encoderStepBuf = testsupport::makeArray({1}, {1});
    s.accumulatedTokenIds = {0};
  });
  manager->cleanup();
  const auto s = manager->stateSnapshot();
  EXPECT_FALSE(s.melExtractor || s.prefetchMelExtractor);
  EXPECT_FALSE(s.encoder || s.decoder || s.joint || s.tokenizer);
  EXPECT_FALSE(s.cacheChannel || s.cacheTime || s.cacheLen || s.melCache || s.hState || s.cState);
  EXPECT_TRUE(s.accumulatedTokenIds.empty());
  EXPECT_EQ(s.decoderJoint, fused);
  EXPECT_EQ(s.decoderJointArgmax, fused);
  EXPECT_EQ(s.decoderJointNoEncProj, fused);
  EXPECT_EQ(s.jointNoEncProjBatched, fused);
  EXPECT_TRUE(s.encoderStepBuf);
  EXPECT_EQ(messages().back(), "StreamingNemotronMultilingualAsrManager resources cleaned up");
  EXPECT_EQ(manager->getPartialTranscript(), "");
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ForcedPrefixSeedsTheDecoderWithTheLanguageTag) {
  auto manager = loaded(decoder());
  manager->setLanguage("pt");
  manager->setForcedPrefix(true);
  auto s = manager->stateSnapshot();
  EXPECT_EQ(s.lastToken, kPtTag);
  EXPECT_EQ(manager->detectedLanguage(), "pt");
  EXPECT_EQ(arrayValues(*s.hState), filled(8, 1));
  EXPECT_EQ(arrayValues(*s.cState), filled(8, 2));
  EXPECT_EQ(messages().back(), "Forced prefix: seeded decoder with lang-tag token id 8 for pt");

  // A new language seeds on top; the first detected language stays.
  manager->setLanguage("en");
  s = manager->stateSnapshot();
  EXPECT_EQ(s.lastToken, kEnTag);
  EXPECT_EQ(arrayValues(*s.hState), filled(8, 2));
  EXPECT_EQ(manager->detectedLanguage(), "pt");

  // reset() starts from zero states and seeds once, with the language, not the prompt id.
  manager->setPromptId(3);
  manager->reset();
  s = manager->stateSnapshot();
  EXPECT_EQ(s.lastToken, kEnTag);
  EXPECT_EQ(arrayValues(*s.hState), filled(8, 1));
  EXPECT_EQ(manager->detectedLanguage(), "en");
  EXPECT_EQ(manager->promptId(), 3);

  // Turning the prefix off keeps the seed; reset() then leaves the blank.
  manager->setForcedPrefix(false);
  EXPECT_EQ(manager->stateSnapshot().lastToken, kEnTag);
  manager->reset();
  EXPECT_EQ(manager->stateSnapshot().lastToken, kBlank);
  EXPECT_EQ(manager->detectedLanguage(), std::nullopt);
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ForcedPrefixSkipsWhatItCannotSeed) {
  NemotronStandIn withoutStates;
  withoutStates.missingOutputs = {"c_out"};
  const auto fused = load(testsupport::nemotronFusedModel({}));
  struct Case {
    const char* name;
    std::shared_ptr<const platform::MLModel> decoder;
    std::string language;
    std::vector<platform::SystemLog::Record> log;
  };
  const auto record = [](Level level, const char* message) {
    return platform::SystemLog::Record{level, AppLogger(kCategory).subsystem(), kCategory, message};
  };
  const Case cases[] = {
      {"no tag for the language", decoder(), "xx",
       {record(Level::info, "Forced prefix: no lang-tag token for xx; skipping seed")}},
      {"tag lookup is case-sensitive", decoder(), "EN",
       {record(Level::info, "Forced prefix: no lang-tag token for EN; skipping seed")}},
      // A warning reaches the system log with the error type.
      {"decoder without c_out", decoder(withoutStates), "en",
       {record(Level::error, "Forced prefix: decoder did not return h_out/c_out; skipping")}},
      {"only fused models", nullptr, "en", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto manager = loaded(c.decoder);
    manager->updateState([&](Manager::State& s) {
      s.decoderJoint = fused;
      s.currentLanguageCode = c.language;
      s.useForcedPrefix = true;
    });
    testsupport::SystemLogCapture log;
    manager->applyForcedPrefixIfNeeded();
    const auto s = manager->stateSnapshot();
    EXPECT_EQ(s.lastToken, kBlank);
    EXPECT_EQ(arrayValues(*s.hState), filled(8, 0));
    EXPECT_EQ(manager->detectedLanguage(), std::nullopt);
    EXPECT_EQ(log.records(), c.log);
  }
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ForcedPrefixFailureIsThrownToCallersAndLoggedBySettings) {
  NemotronStandIn failing;
  failing.failOnToken = kEnTag;
  auto manager = loaded(decoder(failing));
  manager->updateState([](Manager::State& s) {
    s.currentLanguageCode = "en";
    s.useForcedPrefix = true;
  });
  EXPECT_THROW(manager->applyForcedPrefixIfNeeded(), platform::Error);
  EXPECT_EQ(manager->stateSnapshot().lastToken, kBlank);

  testsupport::SystemLogCapture log;
  EXPECT_NO_THROW(manager->setForcedPrefix(true));
  EXPECT_NO_THROW(manager->setLanguage("en"));
  EXPECT_NO_THROW(manager->reset());
  const auto records = log.records();
  ASSERT_EQ(records.size(), 5u);
  for (const std::size_t failure : {1u, 3u, 4u}) {
    EXPECT_EQ(records[failure].level, Level::error);
    EXPECT_EQ(records[failure].message.rfind("Forced prefix seeding failed: ", 0), 0u) << records[failure].message;
  }
  EXPECT_TRUE(manager->forcedPrefixEnabled());
  EXPECT_EQ(manager->stateSnapshot().currentLanguageCode, "en");
  EXPECT_EQ(manager->stateSnapshot().lastToken, kBlank);
}

TEST_F(StreamingNemotronMultilingualAsrManagerTest, ReadersAnswerFromTheStoredStream) {
  Manager bare;
  bare.updateState([](Manager::State& s) { s.accumulatedTokenIds = {0, 1}; });
  EXPECT_EQ(bare.getPartialTranscript(), "");
  EXPECT_EQ(bare.detectedLanguage(), std::nullopt);

  auto manager = loaded(nullptr);
  const TokenTiming timing{"olá", 0, 0.0, 0.08, 0.9f};
  manager->updateState([&](Manager::State& s) {
    s.accumulatedTokenIds = {8, 0, 7, 1};
    s.accumulatedTokenTimings = {timing};
  });
  EXPECT_EQ(manager->getPartialTranscript(), "olá mundo");
  EXPECT_EQ(manager->detectedLanguage(), "pt");
  EXPECT_EQ(manager->getTokenTimings(), std::vector<TokenTiming>{timing});
}

}  // namespace
}  // namespace tesselaudio
