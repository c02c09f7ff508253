#include "speech/ASR/Parakeet/AsrManager.h"

#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/MLArrayCache.h"
#include "tests/speech/ASR/Parakeet/AsrManagerFixture.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;

size_t windowArraysInCache() { return sharedMLArrayCache().count({1, 240000}, MLMultiArrayDataType::float32); }

class AsrManagerTest : public AsrManagerFixture {};

TEST_F(AsrManagerTest, ManagerWithoutModels) {
  const auto recogniser = manager(std::nullopt);

  EXPECT_FALSE(recogniser->isAvailable());
  EXPECT_EQ(recogniser->decoderLayerCount(), 2);
  EXPECT_TRUE(recogniser->melChunkContext());
  EXPECT_FALSE(recogniser->modelVersion());
  EXPECT_EQ(recogniser->convertTokensToText({1, 2, 3}), "");
  EXPECT_EQ(recogniser->punctuationTokenIds(), (std::set<int>{7883, 7956, 8020}));
  EXPECT_EQ(recogniser->makeWorkerClone(), nullptr);
  TdtDecoderState state(2);
  try {
    recogniser->executeMLInferenceWithTimings(speech(30), std::nullopt, std::nullopt, state);
    ADD_FAILURE() << "no error";
  } catch (const ASRError& error) {
    EXPECT_EQ(error.errorCase(), ASRError::Case::notInitialized);
  }

  ASRConfig noContext;
  noContext.melChunkContextOverride = false;
  EXPECT_FALSE(manager(std::nullopt, noContext)->melChunkContext());
}

TEST_F(AsrManagerTest, AvailabilityAndViewsByVersion) {
  const AsrModels loaded = load();
  struct Case {
    const char* name;
    AsrModelVersion version;
    bool encoder, preprocessor, decoder, joint;
    bool available;
    int64_t layers;
    bool melChunkContext;
  };
  const Case cases[] = {
      {"v3", AsrModelVersion::v3, true, true, true, true, true, 2, false},
      {"v3WithoutEncoder", AsrModelVersion::v3, false, true, true, true, false, 2, false},
      {"tdtJaWithoutEncoder", AsrModelVersion::tdtJa, false, true, true, true, false, 2, false},
      {"tdtCtc110mWithoutEncoder", AsrModelVersion::tdtCtc110m, false, true, true, true, true, 1, true},
      {"tdtCtc110mWithoutPreprocessor", AsrModelVersion::tdtCtc110m, false, false, true, true, false, 1, true},
      {"v2WithoutJoint", AsrModelVersion::v2, true, true, true, false, false, 2, true},
      {"v3WithoutDecoder", AsrModelVersion::v3, true, true, false, true, false, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AsrModels models = loaded;
    models.version = c.version;
    if (!c.encoder) models.encoder = nullptr;
    if (!c.preprocessor) models.preprocessor = nullptr;
    if (!c.decoder) models.decoder = nullptr;
    if (!c.joint) models.joint = nullptr;
    const auto recogniser = manager(models);
    EXPECT_EQ(recogniser->isAvailable(), c.available);
    EXPECT_EQ(recogniser->decoderLayerCount(), c.layers);
    EXPECT_EQ(recogniser->melChunkContext(), c.melChunkContext);
    EXPECT_EQ(recogniser->modelVersion(), c.version);
  }
}

TEST_F(AsrManagerTest, LoadModelsInstallsTheSetAndLogsTwoLines) {
  AsrModels models = load(AsrModelVersion::v3, script(), true);
  models.vocabulary[5] = ".";
  models.vocabulary[7883] = "t7883";
  const auto recogniser = manager(std::nullopt);

  recogniser->loadModels(models);

  EXPECT_EQ(logged(platform::SystemLog::Level::info),
            (std::vector<std::string>{"Loading AsrManager with provided models",
                                      "AsrManager loaded successfully with provided models"}));
  EXPECT_TRUE(recogniser->isAvailable());
  EXPECT_EQ(recogniser->preprocessorModel(), models.preprocessor);
  EXPECT_EQ(recogniser->encoderModel(), models.encoder);
  EXPECT_EQ(recogniser->jointModel(), models.joint);
  EXPECT_TRUE(recogniser->hasEncoderLadder());
  EXPECT_EQ(recogniser->encoderLadderSeconds(), (std::vector<double>{2.0, 5.0}));
  EXPECT_EQ(recogniser->punctuationTokenIds(), (std::set<int>{5, 7956, 8020}));
  EXPECT_EQ(recogniser->vocabulary().size(), 8192u);
}

TEST_F(AsrManagerTest, CleanupKeepsTheVocabulary) {
  const auto recogniser = manager(load(AsrModelVersion::v3, script(), true));

  recogniser->cleanup();

  EXPECT_FALSE(recogniser->isAvailable());
  EXPECT_FALSE(recogniser->hasEncoderLadder());
  EXPECT_TRUE(recogniser->encoderLadderSeconds().empty());
  EXPECT_EQ(recogniser->preprocessorModel(), nullptr);
  EXPECT_EQ(recogniser->asrModels(), nullptr);
  EXPECT_EQ(recogniser->convertTokensToText({kHelloId, kCommaId}), "Hello,");
  EXPECT_EQ(recogniser->punctuationTokenIds(), (std::set<int>{7883, 7956, 8020}));
  EXPECT_EQ(logged(platform::SystemLog::Level::info), std::vector<std::string>{"AsrManager resources cleaned up"});
}

TEST_F(AsrManagerTest, CreationPrewarmsAndResetOrCleanupEmptiesTheSharedArrayCache) {
  for (bool cleanup : {false, true}) {
    SCOPED_TRACE(cleanup ? "cleanup" : "reset");
    const auto recogniser = manager(std::nullopt);
    ASSERT_EQ(windowArraysInCache(), 5u);
    EXPECT_EQ(sharedMLArrayCache().count({1}, MLMultiArrayDataType::int32), 5u);
    EXPECT_EQ(sharedMLArrayCache().count({2, 1, 640}, MLMultiArrayDataType::float32), 5u);

    cleanup ? recogniser->cleanup() : recogniser->reset();
    recogniser->waitForBackgroundTasks();

    EXPECT_EQ(windowArraysInCache(), 0u);
    EXPECT_EQ(sharedMLArrayCache().count({1}, MLMultiArrayDataType::int32), 0u);
  }
}

TEST_F(AsrManagerTest, CreationOpensAProgressSession) {
  const auto recogniser = manager(std::nullopt);
  const auto stream = recogniser->transcriptionProgressStream();
  recogniser->progressEmitter().finishSession();
  std::vector<double> values;
  while (auto value = stream->receive()) values.push_back(*value);
  EXPECT_EQ(values, (std::vector<double>{0.0, 1.0}));
}

TEST_F(AsrManagerTest, ConvertTokensToText) {
  const auto recogniser = manager(load());
  struct Case {
    const char* name;
    std::vector<int64_t> ids;
    std::string text;
  };
  const Case cases[] = {
      {"helloUnknownCommaMissing", {kHelloId, kUnknownId, kCommaId, 99999}, "Hello,"},
      {"empty", {}, ""},
      {"onlyUnknown", {kUnknownId}, ""},
      {"twoWords", {kHelloId, kHelloId, kPeriodId}, "Hello Hello."},
      {"negativeAndHuge", {-1, int64_t{1} << 40}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(recogniser->convertTokensToText(c.ids), c.text);
  }
}

TEST_F(AsrManagerTest, ReportWindowDeliversSecondsAndText) {
  const auto recogniser = manager(load());
  std::vector<AsrManager::WindowProgress> reported;
  recogniser->setWindowHandler([&](const AsrManager::WindowProgress& progress) { reported.push_back(progress); });

  recogniser->reportWindow(2, 7, 125, 312, {kHelloId, kCommaId});
  recogniser->setWindowHandler({});
  recogniser->reportWindow(3, 7, 312, 400, {kHelloId});

  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].index, 2);
  EXPECT_EQ(reported[0].windowCount, 7);
  EXPECT_DOUBLE_EQ(reported[0].startSeconds, 10.0);
  EXPECT_DOUBLE_EQ(reported[0].endSeconds, 24.96);
  EXPECT_EQ(reported[0].text, "Hello,");
}

TEST_F(AsrManagerTest, WorkerCloneSharesModelsButNotEmitterOrHandler) {
  const auto recogniser = manager(load(AsrModelVersion::v3, script(), true));
  int calls = 0;
  recogniser->setWindowHandler([&](const AsrManager::WindowProgress&) { ++calls; });

  const auto clone = recogniser->makeWorkerClone();
  ASSERT_NE(clone, nullptr);
  clone->waitForBackgroundTasks();

  EXPECT_EQ(clone->preprocessorModel(), recogniser->preprocessorModel());
  EXPECT_EQ(clone->encoderModel(), recogniser->encoderModel());
  EXPECT_EQ(clone->decoderModel(), recogniser->decoderModel());
  EXPECT_EQ(clone->jointModel(), recogniser->jointModel());
  EXPECT_EQ(clone->encoderLadder()[0].model, recogniser->encoderLadder()[0].model);
  EXPECT_EQ(clone->config(), recogniser->config());
  EXPECT_NE(&clone->progressEmitter(), &recogniser->progressEmitter());
  clone->reportWindow(0, 1, 0, 10, {kHelloId});
  EXPECT_EQ(calls, 0);
}

TEST_F(AsrManagerTest, PreparePreprocessorInputBorrowsFromTheCache) {
  const auto recogniser = manager(std::nullopt);
  const std::vector<float> samples = speech(3);
  struct Case {
    const char* name;
    std::optional<int64_t> actualLength;
    int32_t declared;
  };
  for (const Case& c : {Case{"allSamples", std::nullopt, 240000}, Case{"given", 3840, 3840}}) {
    SCOPED_TRACE(c.name);
    const auto input = recogniser->preparePreprocessorInput(samples, c.actualLength);
    EXPECT_EQ(windowArraysInCache(), 4u);
    const auto audio = input->featureValue("audio_signal")->multiArrayValue();
    const auto length = input->featureValue("audio_length")->multiArrayValue();
    ASSERT_EQ(audio->shape(), (std::vector<int64_t>{1, 240000}));
    EXPECT_EQ(std::vector<float>(static_cast<float*>(audio->dataPointer()), static_cast<float*>(audio->dataPointer()) + 240000),
              samples);
    EXPECT_EQ(length->dataType(), MLMultiArrayDataType::int32);
    EXPECT_EQ((*length)[0].int32Value(), c.declared);
    sharedMLArrayCache().returnArray(audio);
    EXPECT_EQ(windowArraysInCache(), 5u);
  }
}

TEST_F(AsrManagerTest, TokenTimings) {
  const auto recogniser = manager(load());
  struct Expected {
    int64_t id;
    std::string token;
    double start, end;
    float confidence;
  };
  struct Case {
    const char* name;
    std::vector<int64_t> ids, frames;
    std::vector<float> confidences;
    std::vector<int64_t> durations;
    std::vector<Expected> expected;
  };
  const Case cases[] = {
      {"consecutiveFrames", {kHelloId, kCommaId, kPeriodId}, {0, 1, 2}, {0.5f, 0.6f, 0.7f}, {},
       {{kHelloId, " Hello", 0.0, 0.08, 0.5f}, {kCommaId, ",", 0.0, 0.08, 0.6f}, {kPeriodId, ".", 0.08, 0.16, 0.7f}}},
      {"sortedByFrame", {1, 2, 3}, {5, 3, 4}, {0.1f, 0.2f, 0.3f}, {},
       {{2, "t2", 0.16, 0.24, 0.2f}, {3, "t3", 0.24, 0.32, 0.3f}, {1, "t1", 0.32, 0.40, 0.1f}}},
      {"withDuration", {1}, {10}, {0.9f}, {3}, {{1, "t1", 0.72, 0.96, 0.9f}}},
      {"zeroDurationEndsAtNextStart", {1, 2}, {10, 14}, {0.9f, 0.8f}, {0, 2},
       {{1, "t1", 0.72, 1.04, 0.9f}, {2, "t2", 1.04, 1.20, 0.8f}}},
      {"sameFrame", {1, 2}, {4, 4}, {0.9f, 0.8f}, {}, {{1, "t1", 0.24, 0.32, 0.9f}, {2, "t2", 0.24, 0.32, 0.8f}}},
      {"missingId", {9000}, {1}, {0.5f}, {}, {{9000, "token_9000", 0.0, 0.08, 0.5f}}},
      {"threeIdsTwoFrames", {1, 2, 3}, {0, 1}, {0.1f, 0.2f, 0.3f}, {}, {}},
      {"noIds", {}, {}, {}, {}, {}},
      {"shortDurationsDropTrailing", {1, 2, 3}, {1, 2, 3}, {0.1f, 0.2f, 0.3f}, {1, 1},
       {{1, "t1", 0.0, 0.08, 0.1f}, {2, "t2", 0.08, 0.16, 0.2f}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto timings = recogniser->createTokenTimings(c.ids, c.frames, c.confidences, c.durations);
    ASSERT_EQ(timings.size(), c.expected.size());
    for (size_t i = 0; i < timings.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(timings[i].tokenId, c.expected[i].id);
      EXPECT_EQ(timings[i].token, c.expected[i].token);
      EXPECT_NEAR(timings[i].startTime, c.expected[i].start, 1e-9);
      EXPECT_NEAR(timings[i].endTime, c.expected[i].end, 1e-9);
      EXPECT_EQ(timings[i].confidence, c.expected[i].confidence);
    }
  }
}

// TDT_EMISSION_DELAY_FRAMES is set before the manager starts any thread; each case runs in a
// process of its own.
struct DelayCase {
  const char* name;
  const char* value;  // nullptr: unset
  double startOfFrame5;

  friend void PrintTo(const DelayCase& c, std::ostream* out) { *out << c.name; }
};

class EmissionDelayTest : public AsrManagerFixture, public testing::WithParamInterface<DelayCase> {
 protected:
  void SetUp() override {
    AsrManagerFixture::SetUp();
    if (GetParam().value) {
      setenv("TDT_EMISSION_DELAY_FRAMES", GetParam().value, 1);
    } else {
      unsetenv("TDT_EMISSION_DELAY_FRAMES");
    }
  }
  void TearDown() override {
    unsetenv("TDT_EMISSION_DELAY_FRAMES");
    AsrManagerFixture::TearDown();
  }
};

TEST_P(EmissionDelayTest, ShiftsStartTimes) {
  const auto recogniser = manager(std::nullopt);
  const auto timings = recogniser->createTokenTimings({1}, {5}, {0.5f}, {});
  ASSERT_EQ(timings.size(), 1u);
  EXPECT_NEAR(timings[0].startTime, GetParam().startOfFrame5, 1e-6);
  EXPECT_NEAR(timings[0].endTime, GetParam().startOfFrame5 + 0.08, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Values, EmissionDelayTest,
                         testing::Values(DelayCase{"unset", nullptr, 0.32}, DelayCase{"zero", "0", 0.40},
                                         DelayCase{"notANumber", "abc", 0.32}, DelayCase{"trailingText", "2x", 0.32},
                                         DelayCase{"empty", "", 0.32}, DelayCase{"plusSign", "+2", 0.24},
                                         DelayCase{"negative", "-2", 0.56}, DelayCase{"large", "7", 0.0},
                                         DelayCase{"beyondInt64", "99999999999999999999999", 0.0},
                                         DelayCase{"beyondInt64Negative", "-99999999999999999999999", (5 + 1000000) * 0.08}),
                         [](const testing::TestParamInfo<DelayCase>& info) { return std::string(info.param.name); });

TEST_F(AsrManagerTest, HugeFrameWithNegativeDelayDoesNotOverflow) {
  setenv("TDT_EMISSION_DELAY_FRAMES", "-1000000", 1);
  const auto recogniser = manager(std::nullopt);
  const int64_t last = std::numeric_limits<int64_t>::max();
  const auto timings = recogniser->createTokenTimings({1, 2}, {last - 10, last}, {0.5f, 0.5f}, {});
  unsetenv("TDT_EMISSION_DELAY_FRAMES");
  ASSERT_EQ(timings.size(), 2u);
  EXPECT_GT(timings[1].startTime, 0.0);
  EXPECT_GE(timings[1].startTime, timings[0].startTime);
}

TEST_F(AsrManagerTest, DroppingUnknownTokens) {
  const auto withUnknown = manager(load());
  const auto withoutUnknown = manager(std::nullopt);
  struct Case {
    const char* name;
    std::shared_ptr<AsrManager> recogniser;
    AsrManager::TokenLists in, out;
  };
  const Case cases[] = {
      {"unknownInTheMiddle", withUnknown,
       {{kHelloId, kUnknownId, kCommaId}, {0, 1, 2}, {0.1f, 0.2f, 0.3f}, {}},
       {{kHelloId, kCommaId}, {0, 2}, {0.1f, 0.3f}, {}}},
      {"withDurations", withUnknown,
       {{kUnknownId, kHelloId, kUnknownId}, {0, 1, 2}, {0.1f, 0.2f, 0.3f}, {4, 5, 6}},
       {{kHelloId}, {1}, {0.2f}, {5}}},
      {"mismatchedListsPassThrough", withUnknown,
       {{kHelloId, kUnknownId}, {0}, {0.1f, 0.2f, 0.3f}, {1}},
       {{kHelloId}, {0}, {0.1f, 0.2f, 0.3f}, {1}}},
      {"noUnknownToken", withUnknown,
       {{kHelloId, kCommaId}, {0, 1}, {0.1f}, {}},
       {{kHelloId, kCommaId}, {0, 1}, {0.1f}, {}}},
      {"vocabularyWithoutUnknown", withoutUnknown,
       {{kHelloId, kUnknownId, kCommaId}, {0, 1, 2}, {0.1f, 0.2f, 0.3f}, {}},
       {{kHelloId, kUnknownId, kCommaId}, {0, 1, 2}, {0.1f, 0.2f, 0.3f}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.recogniser->droppingUnknownTokens(c.in.tokenIds, c.in.timestamps, c.in.confidences, c.in.tokenDurations),
              c.out);
  }
}

TEST_F(AsrManagerTest, Confidence) {
  const auto recogniser = manager(std::nullopt);
  struct Case {
    const char* name;
    int64_t tokens;
    bool isEmpty;
    std::vector<float> confidences;
    float expected;
    bool warns;
  };
  const Case cases[] = {
      {"empty", 2, true, {0.9f, 0.8f}, 0.1f, false},
      {"mean", 2, false, {0.9f, 0.8f}, 0.85f, false},
      {"raisedToTheFloor", 2, false, {0.05f, 0.05f}, 0.1f, false},
      {"heldToOne", 2, false, {1.5f, 1.5f}, 1.0f, false},
      {"threeTokensTwoConfidences", 3, false, {0.9f, 0.8f}, 0.5f, true},
      {"noConfidences", 1, false, {}, 0.5f, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = logged().size();
    EXPECT_FLOAT_EQ(recogniser->calculateConfidence(c.tokens, c.isEmpty, c.confidences), c.expected);
    const auto lines = logged();
    const std::vector<std::string> added(lines.begin() + static_cast<int64_t>(before), lines.end());
    EXPECT_EQ(added, c.warns ? std::vector<std::string>{"Expected token confidences but got none - this should not happen"}
                             : std::vector<std::string>{});
  }
}

TEST(InferenceLengthPolicyTest, TextFormAndSetAlgebra) {
  using P = InferenceLengthPolicy;
  const std::pair<int64_t, const char*> forms[] = {{0, "actual"},
                                                   {1, "encoderFull"},
                                                   {2, "preprocessorFull"},
                                                   {4, "trimmedTail"},
                                                   {5, "encoderFull+trimmedTail"},
                                                   {6, "preprocessorFull+trimmedTail"},
                                                   {7, "encoderFull+preprocessorFull+trimmedTail"}};
  for (const auto& [raw, text] : forms) {
    SCOPED_TRACE(text);
    EXPECT_EQ(P(raw).description(), text);
  }
  const P both{P::encoderFull(), P::trimmedTail()};
  EXPECT_EQ(both.rawValue, 5);
  EXPECT_EQ((both & P::trimmedTail()), P::trimmedTail());
  EXPECT_EQ((both ^ P::encoderFull()), P::trimmedTail());
  EXPECT_EQ((both - P::trimmedTail()), P::encoderFull());
  EXPECT_TRUE(P::encoderFull().isSubset(both));
  EXPECT_TRUE(both.isSuperset(P::trimmedTail()));
  EXPECT_TRUE(both.isDisjoint(P::preprocessorFull()));
  P policy;
  EXPECT_TRUE(policy.insert(P::preprocessorFull()));
  EXPECT_FALSE(policy.insert(P::preprocessorFull()));
  EXPECT_TRUE(policy.update(P::preprocessorFull()));
  EXPECT_TRUE(policy.remove(P::preprocessorFull()));
  EXPECT_FALSE(policy.remove(P::preprocessorFull()));
  EXPECT_TRUE(policy.isEmpty());

  std::vector<int64_t> recovery;
  for (const P p : AsrManager::emptyDecodeRecoveryPolicies()) recovery.push_back(p.rawValue);
  EXPECT_EQ(recovery, (std::vector<int64_t>{1, 2, 4, 5, 6}));
}

TEST(AsrManagerStaticTest, FrameAlignedAudio) {
  struct Case {
    const char* name;
    int64_t count;
    bool allow;
    int64_t expected;
  };
  const Case cases[] = {
      {"padsToAFrame", 1000, true, 1280},     {"alreadyAligned", 239360, true, 239360},
      {"alignedBeyondWindow", 239361, true, 239361}, {"justBelowWindow", 239999, true, 239999},
      {"longerThanWindow", 240001, true, 240001},    {"empty", 0, true, 0},
      {"notAllowed", 1000, false, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> samples(static_cast<size_t>(c.count), 0.5f);
    const auto [aligned, length] = AsrManager::frameAlignedAudio(samples, c.allow);
    EXPECT_EQ(length, c.expected);
    ASSERT_EQ(static_cast<int64_t>(aligned.size()), c.expected);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), aligned.begin()));
    EXPECT_TRUE(std::all_of(aligned.begin() + c.count, aligned.end(), [](float v) { return v == 0.0f; }));
  }
}

TEST(AsrManagerStaticTest, RecoveryEligibilityAndCredibility) {
  const std::vector<float> loud(40000, 0.01f);
  const std::vector<float> quiet(40000, 0.0029f);
  EXPECT_TRUE(AsrManager::shouldRecoverEmptyDecode(loud, 40000));
  EXPECT_TRUE(AsrManager::shouldRecoverEmptyDecode(loud, 32000));
  EXPECT_FALSE(AsrManager::shouldRecoverEmptyDecode(loud, 31999));
  EXPECT_FALSE(AsrManager::shouldRecoverEmptyDecode(std::vector<float>(31999, 0.5f), 40000));
  EXPECT_FALSE(AsrManager::shouldRecoverEmptyDecode(quiet, 40000));
  EXPECT_TRUE(AsrManager::shouldRecoverEmptyDecode(std::vector<float>(32000, 0.003f), 32000));

  struct Case {
    const char* name;
    std::vector<int64_t> tokens;
    std::vector<float> confidences;
    bool credible;
  };
  const Case cases[] = {
      {"oneConfidentToken", {1}, {0.99f}, false},
      {"twoAtTheBound", {1, 2}, {0.7f, 0.7f}, true},
      {"twoBelowTheBound", {1, 2}, {0.69f, 0.7f}, false},
      {"noConfidences", {1, 2, 3}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TdtHypothesis hypothesis;
    hypothesis.ySequence = c.tokens;
    hypothesis.tokenConfidences = c.confidences;
    EXPECT_EQ(AsrManager::recoveryIsCredible(hypothesis), c.credible);
  }
}

}  // namespace
}  // namespace tesselaudio
