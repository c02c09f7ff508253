#include <functional>
#include <stop_token>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/AsrManager.h"
#include "speech/Shared/MLArrayCache.h"
#include "tests/speech/ASR/Parakeet/AsrManagerFixture.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;
using P = InferenceLengthPolicy;

class AsrManagerPipelineTest : public AsrManagerFixture {
 protected:
  static size_t windowArraysInCache() { return sharedMLArrayCache().count({1, kWindow}, MLMultiArrayDataType::float32); }

  // The array the next window will borrow, looked at and given back.
  static std::vector<float> nextBorrowedWindow() {
    const auto array = sharedMLArrayCache().getArray({1, kWindow}, MLMultiArrayDataType::float32);
    const auto* values = static_cast<const float*>(array->dataPointer());
    std::vector<float> copy(values, values + kWindow);
    sharedMLArrayCache().returnArray(array);
    return copy;
  }

  // The message of the ASRError::processingFailed that `call` throws.
  static std::string processingFailure(const std::function<void()>& call) {
    try {
      call();
    } catch (const ASRError& error) {
      EXPECT_EQ(error.errorCase(), ASRError::Case::processingFailed);
      return error.message();
    }
    ADD_FAILURE() << "no ASRError";
    return "";
  }

  static AsrManager::InferenceResult run(const AsrManager& recogniser, const std::vector<float>& samples,
                                         std::optional<int64_t> originalLength, P policy = {},
                                         std::optional<int64_t> actualAudioFrames = std::nullopt) {
    TdtDecoderState state(recogniser.decoderLayerCount());
    return recogniser.runInference(samples, originalLength, actualAudioFrames, policy, state);
  }
};

// 40,000 real samples of speech in a 240,000-sample window whose padding is loud up to sample
// 60,160 (47 blocks), so that frames the decoder must not see would decode. Outside a last window
// the decoder leaves the token of the last frame it sees to the tail, so `frames` frames of speech
// give frames - 1 tokens.
TEST_F(AsrManagerPipelineTest, LengthPolicies) {
  const auto recogniser = manager(load());
  const std::vector<float> samples = speech(47);
  const std::vector<float> original = samples;
  const float level = samples[0];
  struct Case {
    const char* name;
    P policy;
    std::optional<int64_t> actualAudioFrames;
    int64_t encoderLength;
    size_t frames;
  };
  const Case cases[] = {
      {"actual", {}, std::nullopt, 32, 32},
      {"actualWithGivenFrames", {}, 10, 32, 10},
      {"trimmedTail", P::trimmedTail(), 40, 29, 28},
      {"preprocessorFull", P::preprocessorFull(), std::nullopt, 188, 32},
      {"preprocessorFullTrimmedTail", {P::preprocessorFull(), P::trimmedTail()}, std::nullopt, 188, 28},
      {"encoderFull", P::encoderFull(), std::nullopt, 188, 32},
      {"encoderFullTrimmedTail", {P::encoderFull(), P::trimmedTail()}, std::nullopt, 188, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = run(*recogniser, samples, 40000, c.policy, c.actualAudioFrames);
    EXPECT_EQ(result.encoderSequenceLength, c.encoderLength);
    EXPECT_EQ(result.hypothesis.ySequence, std::vector<int64_t>(c.frames - 1, kHelloId));
    EXPECT_EQ(samples, original);
    EXPECT_EQ(windowArraysInCache(), 5u);

    const std::vector<float> borrowed = nextBorrowedWindow();
    const bool trimmed = c.policy.contains(P::trimmedTail());
    EXPECT_EQ(borrowed[35839], level);
    EXPECT_EQ(borrowed[35840], trimmed ? 0.0f : level);
    EXPECT_EQ(borrowed[39999], trimmed ? 0.0f : level);
    EXPECT_EQ(borrowed[40000], level);
    EXPECT_EQ(borrowed[60159], level);
  }
}

TEST_F(AsrManagerPipelineTest, TrimmedTailNeverDeclaresLessThanTwoSeconds) {
  const auto recogniser = manager(load());
  for (int64_t real : {32000, 35199}) {
    SCOPED_TRACE(real);
    const auto result = run(*recogniser, speech(30), real, P::trimmedTail());
    EXPECT_EQ(result.encoderSequenceLength, (32000 / 160 + 1 + 7) / 8);
    EXPECT_EQ(result.hypothesis.ySequence.size(), 24u);
  }
}

TEST_F(AsrManagerPipelineTest, OneWindowArrayServesConsecutiveWindows) {
  const auto recogniser = manager(load());
  run(*recogniser, speech(10), 12800);
  const auto first = sharedMLArrayCache().getArray({1, kWindow}, MLMultiArrayDataType::float32);
  sharedMLArrayCache().returnArray(first);

  const std::vector<float> second = window({kComma, kComma, kSilence});
  const auto result = run(*recogniser, second, 3840);

  EXPECT_EQ(result.hypothesis.ySequence, (std::vector<int64_t>{kCommaId, kCommaId}));
  const auto again = sharedMLArrayCache().getArray({1, kWindow}, MLMultiArrayDataType::float32);
  EXPECT_EQ(again, first);
  EXPECT_EQ(static_cast<const float*>(again->dataPointer())[0], second[0]);
  sharedMLArrayCache().returnArray(again);
  EXPECT_EQ(windowArraysInCache(), 5u);
}

TEST_F(AsrManagerPipelineTest, ManagerAndCloneDecodeAtTheSameTime) {
  const auto recogniser = manager(load(AsrModelVersion::v3, script(), true));
  const auto clone = recogniser->makeWorkerClone();
  clone->waitForBackgroundTasks();
  const std::vector<std::vector<float>> windows = {speech(20), window({kComma, kHello, kComma, kSilence}), speech(40)};
  const std::vector<int64_t> lengths = {25600, 5120, 51200};
  std::vector<std::vector<int64_t>> expected;
  for (size_t i = 0; i < windows.size(); ++i) expected.push_back(run(*recogniser, windows[i], lengths[i]).hypothesis.ySequence);

  std::vector<std::vector<std::vector<int64_t>>> decoded(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < decoded.size(); ++t) {
    threads.emplace_back([&, t] {
      const AsrManager& worker = t % 2 == 0 ? *recogniser : *clone;
      for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < windows.size(); ++i) {
          TdtDecoderState state(2);
          decoded[t].push_back(worker.executeMLInferenceWithTimings(windows[i], lengths[i], std::nullopt, state).hypothesis.ySequence);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  for (const auto& results : decoded) {
    ASSERT_EQ(results.size(), 9u);
    for (size_t k = 0; k < results.size(); ++k) EXPECT_EQ(results[k], expected[k % windows.size()]);
  }
  EXPECT_EQ(windowArraysInCache(), 5u);
}

TEST_F(AsrManagerPipelineTest, EncoderLadderChoice) {
  const AsrModels models = load(AsrModelVersion::v3, script(), true);
  ASSERT_EQ(models.encoderLadder.size(), 2u);
  const auto recogniser = manager(models);
  struct Case {
    const char* name;
    int64_t real;
    P policy;
    int ladderIndex;  // -1: the full encoder
    int64_t encoderLength;
  };
  const Case cases[] = {
      {"twoSeconds", 30000, {}, 0, 24},
      {"exactlyTheFunctionsFrames", 32000, {}, 0, 26},
      {"twoSecondsEncoderFull", 30000, P::encoderFull(), 0, 26},
      {"fiveSeconds", 40000, {}, 1, 32},
      {"fiveSecondsEncoderFull", 40000, P::encoderFull(), 1, 63},
      {"longerThanTheLadder", 100000, {}, -1, 79},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint64_t> before;
    for (const auto& function : models.encoderLadder) before.push_back(function.model->predictionCount());
    const uint64_t fullBefore = models.encoder->predictionCount();

    const auto result = run(*recogniser, speech(static_cast<int>((c.real + kBlock - 1) / kBlock)), c.real, c.policy);

    EXPECT_EQ(result.encoderSequenceLength, c.encoderLength);
    const size_t frames = static_cast<size_t>((c.real + kBlock - 1) / kBlock);
    EXPECT_EQ(result.hypothesis.ySequence.size(), std::min<size_t>(frames, static_cast<size_t>(c.encoderLength)) - 1);
    for (size_t i = 0; i < models.encoderLadder.size(); ++i) {
      EXPECT_EQ(models.encoderLadder[i].model->predictionCount() - before[i], static_cast<int>(i) == c.ladderIndex ? 1u : 0u);
    }
    EXPECT_EQ(models.encoder->predictionCount() - fullBefore, c.ladderIndex < 0 ? 1u : 0u);
  }
}

TEST_F(AsrManagerPipelineTest, WithoutMelLengthTheFullEncoderRuns) {
  auto window = script();
  window.withoutMelLength = true;
  const AsrModels models = load(AsrModelVersion::v3, window, true);
  const auto recogniser = manager(models);

  const auto result = run(*recogniser, speech(24), 30000);

  EXPECT_EQ(models.encoder->predictionCount(), 1u);
  EXPECT_EQ(models.encoderLadder[0].model->predictionCount(), 0u);
  EXPECT_EQ(result.encoderSequenceLength, 188);
  EXPECT_EQ(result.hypothesis.ySequence.size(), 23u);
}

TEST_F(AsrManagerPipelineTest, EncoderInputsComeFromEitherProvider) {
  auto fallback = script();
  fallback.extraEncoderInputs = {"audio_length"};
  EXPECT_EQ(run(*manager(load(AsrModelVersion::v3, fallback)), speech(5), 6400).hypothesis.ySequence.size(), 4u);

  auto missing = script();
  missing.extraEncoderInputs = {"cache_len", "zz_state"};
  const auto recogniser = manager(load(AsrModelVersion::v3, missing));
  EXPECT_EQ(processingFailure([&] { run(*recogniser, speech(5), 6400); }),
            "Missing required encoder input: cache_len. Available inputs: mel, mel_length, "
            "fallback inputs: audio_length, audio_signal");
  EXPECT_EQ(windowArraysInCache(), 5u);
}

TEST_F(AsrManagerPipelineTest, UnsliceableMel) {
  auto halfPrecision = script();
  halfPrecision.float16Mel = true;
  const auto recogniser = manager(load(AsrModelVersion::v3, halfPrecision, true));
  EXPECT_EQ(processingFailure([&] { run(*recogniser, speech(24), 30000); }),
            "Cannot slice mel [1, 1, 1501] of type 65552 to 201 frames");
  EXPECT_EQ(windowArraysInCache(), 5u);
}

TEST_F(AsrManagerPipelineTest, EncoderOutputLayoutsAndFusedFrontEnd) {
  auto timeMajor = script();
  timeMajor.timeMajorEncoder = true;
  const auto fused = manager(load(AsrModelVersion::tdtCtc110m, script(AsrModelVersion::tdtCtc110m)));
  ASSERT_EQ(fused->encoderModel(), nullptr);
  struct Case {
    const char* name;
    std::shared_ptr<AsrManager> recogniser;
    P policy;
  };
  const Case cases[] = {
      {"timeMajor", manager(load(AsrModelVersion::v3, timeMajor)), {}},
      {"fused", fused, {}},
      {"fusedIgnoresEncoderFull", fused, P::encoderFull()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = run(*c.recogniser, speech(47), 40000, c.policy);
    EXPECT_EQ(result.encoderSequenceLength, 32);
    EXPECT_EQ(result.hypothesis.ySequence, std::vector<int64_t>(31, kHelloId));
  }
}

TEST_F(AsrManagerPipelineTest, MismatchedConfigurationIsCorrectedForTheCallOnly) {
  ASRConfig config;
  config.tdtConfig.blankId = 1024;
  config.encoderHiddenSize = 640;
  const auto recogniser = manager(load(), config);

  const auto result = run(*recogniser, window({kHello, kSilence, kComma, kSilence}), 5120);

  EXPECT_EQ(result.hypothesis.ySequence, (std::vector<int64_t>{kHelloId, kCommaId}));
  EXPECT_EQ(result.hypothesis.timestamps, (std::vector<int64_t>{0, 2}));
  EXPECT_EQ(recogniser->config(), config);
}

TEST_F(AsrManagerPipelineTest, LanguageHintOfModelsThatCannotUseIt) {
  struct Case {
    const char* name;
    AsrModelVersion version;
    std::optional<Language> language;
    std::vector<std::string> debugLines;
  };
  const Case cases[] = {
      {"v2", AsrModelVersion::v2, Language::english,
       {"Ignoring `language` hint: script filtering requires the v3 joint decoder; loaded model is v2."}},
      {"tdtCtc110m", AsrModelVersion::tdtCtc110m, Language::french,
       {"Ignoring `language` hint: script filtering requires the v3 joint decoder; loaded model is tdtCtc110m."}},
      {"tdtJa", AsrModelVersion::tdtJa, Language::russian,
       {"Ignoring `language` hint for tdtJa: TokenLanguageFilter currently supports Latin/Cyrillic only; "
        "Japanese output is always kept."}},
      {"v2WithoutHint", AsrModelVersion::v2, std::nullopt, {}},
      {"v3", AsrModelVersion::v3, Language::english, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto recogniser = manager(load(c.version, script(c.version)));
    const size_t before = logged(platform::SystemLog::Level::debug).size();
    TdtDecoderState state(recogniser->decoderLayerCount());

    const auto result = recogniser->runInference(speech(5), 6400, std::nullopt, {}, state, 0, false, 0, c.language);

    EXPECT_EQ(result.hypothesis.ySequence, std::vector<int64_t>(4, kHelloId));
    const auto lines = logged(platform::SystemLog::Level::debug);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<int64_t>(before), lines.end()), c.debugLines);
  }
}

TEST_F(AsrManagerPipelineTest, BadInputFailsBeforeAnyModelRuns) {
  const AsrModels models = load();
  const auto recogniser = manager(models);
  struct Case {
    const char* name;
    size_t samples;
    std::optional<int64_t> originalLength;
    std::optional<int64_t> actualAudioFrames;
  };
  const Case cases[] = {
      {"negativeOriginalLength", 240000, -1, std::nullopt},
      {"originalLengthAboveTheSamples", 240000, 240001, std::nullopt},
      {"negativeFrames", 240000, 40000, -1},
      {"moreThanAWindow", 240001, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> samples(c.samples, 0.1f);
    TdtDecoderState state(2);
    EXPECT_FALSE(processingFailure([&] {
                   recogniser->executeMLInferenceWithTimings(samples, c.originalLength, c.actualAudioFrames, state);
                 }).empty());
    EXPECT_FALSE(processingFailure([&] {
                   recogniser->runInference(samples, c.originalLength, c.actualAudioFrames, {}, state);
                 }).empty());
  }
  EXPECT_EQ(models.preprocessor->predictionCount(), 0u);
  EXPECT_EQ(windowArraysInCache(), 5u);
}

TEST_F(AsrManagerPipelineTest, FailuresGiveTheWindowArrayBack) {
  const AsrModels models = load();
  auto withoutEncoder = script();
  withoutEncoder.withoutEncoderOutput = true;
  auto withoutLength = script();
  withoutLength.withoutEncoderLength = true;
  AsrModels withoutDecoder = models;
  withoutDecoder.decoder = nullptr;
  struct Case {
    const char* name;
    std::optional<AsrModels> models;
    bool stop;
    std::function<void(const std::exception&)> check;
  };
  const auto processing = [](const std::string& message) {
    return [message](const std::exception& error) {
      const auto* asr = dynamic_cast<const ASRError*>(&error);
      ASSERT_NE(asr, nullptr);
      EXPECT_EQ(asr->errorCase(), ASRError::Case::processingFailed);
      EXPECT_EQ(asr->message(), message);
    };
  };
  const auto notInitialized = [](const std::exception& error) {
    const auto* asr = dynamic_cast<const ASRError*>(&error);
    ASSERT_NE(asr, nullptr);
    EXPECT_EQ(asr->errorCase(), ASRError::Case::notInitialized);
  };
  const Case cases[] = {
      {"noEncoderOutput", load(AsrModelVersion::v3, withoutEncoder), false, processing("Invalid encoder output")},
      {"noEncoderLength", load(AsrModelVersion::v3, withoutLength), false, processing("Invalid encoder output length")},
      {"noDecoder", withoutDecoder, false, notInitialized},
      {"noModels", std::nullopt, false, notInitialized},
      {"stopped", models, true,
       [](const std::exception& error) { EXPECT_NE(dynamic_cast<const platform::CancellationError*>(&error), nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto recogniser = manager(c.models);
    std::stop_source stop;
    if (c.stop) stop.request_stop();
    TdtDecoderState state(2);
    try {
      recogniser->executeMLInferenceWithTimings(speech(30), 38400, std::nullopt, state, 0, false, 0, std::nullopt,
                                                std::nullopt, std::nullopt, stop.get_token());
      ADD_FAILURE() << "no error";
    } catch (const std::exception& error) {
      c.check(error);
    }
    EXPECT_EQ(windowArraysInCache(), 5u);
  }
  // Only the manager without decoder ran them: the stopped one ran nothing.
  EXPECT_EQ(models.preprocessor->predictionCount(), 1u);
  EXPECT_EQ(models.encoder->predictionCount(), 1u);
}

// Recovery: a preprocessor that zeroes "mel" unless the whole window is declared makes the first
// decode of speech empty, and only the preprocessorFull policies hear it.
class EmptyDecodeRecoveryTest : public AsrManagerFixture {
 protected:
  static testsupport::ParakeetWindowScript zeroing(AsrModelVersion version = AsrModelVersion::v3, float probability = 0.9f) {
    auto window = script(version, probability);
    window.zeroMelUnlessWholeWindow = true;
    return window;
  }
};

TEST_F(EmptyDecodeRecoveryTest, NoRetryWithoutAChanceOfSpeech) {
  struct Case {
    const char* name;
    AsrModelVersion version;
    std::vector<float> samples;
    int64_t real;
  };
  const Case cases[] = {
      {"justBelowTwoSeconds", AsrModelVersion::v3, speech(47), 31999},
      {"nearSilence", AsrModelVersion::v3, std::vector<float>(kWindow, 0.0029f), 40000},
      {"v2", AsrModelVersion::v2, speech(47), 40000},
      {"tdtCtc110m", AsrModelVersion::tdtCtc110m, speech(47), 40000},
      {"tdtJa", AsrModelVersion::tdtJa, speech(47), 40000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AsrModels models = load(c.version, zeroing(c.version));
    const auto recogniser = manager(models);
    TdtDecoderState state(recogniser->decoderLayerCount());

    const auto result = recogniser->executeMLInferenceWithTimings(c.samples, c.real, std::nullopt, state);

    EXPECT_TRUE(result.hypothesis.ySequence.empty());
    EXPECT_EQ(models.preprocessor->predictionCount(), 1u);
  }
}

TEST_F(EmptyDecodeRecoveryTest, AllSuppressedFirstResultIsReturnedAsItIs) {
  const AsrModels models = load();
  const auto recogniser = manager(models);
  TdtDecoderState state(2);

  const auto result = recogniser->executeMLInferenceWithTimings(speech(47), 40000, std::nullopt, state, 0, false, 0,
                                                                std::nullopt, 1000);

  EXPECT_TRUE(result.hypothesis.ySequence.empty());
  EXPECT_EQ(result.hypothesis.suppressedTokens.size(), 31u);
  EXPECT_EQ(models.preprocessor->predictionCount(), 1u);
}

TEST_F(EmptyDecodeRecoveryTest, PreprocessorFullRetryIsAccepted) {
  const AsrModels models = load(AsrModelVersion::v3, zeroing());
  const auto recogniser = manager(models);
  TdtDecoderState state(2);
  const auto startingArray = state.hiddenState;

  const auto result = recogniser->executeMLInferenceWithTimings(speech(47), 40000, std::nullopt, state);

  EXPECT_EQ(result.hypothesis.ySequence, std::vector<int64_t>(31, kHelloId));
  EXPECT_EQ(result.encoderSequenceLength, 188);
  EXPECT_EQ(models.preprocessor->predictionCount(), 3u);
  EXPECT_EQ(logged(platform::SystemLog::Level::info),
            std::vector<std::string>{"Empty decode of 2.5 s of speech recovered with the preprocessorFull length policy: 31 tokens"});
  ASSERT_TRUE(result.hypothesis.decState);
  EXPECT_EQ(state.hiddenState, result.hypothesis.decState->hiddenState);
  EXPECT_NE(state.hiddenState, startingArray);
  EXPECT_EQ(state.lastToken, kHelloId);
  // The retry started from the state the first decode started from: zeros plus its own runs.
  TdtDecoderState fresh(2);
  recogniser->runInference(speech(47), 40000, std::nullopt, P::preprocessorFull(), fresh);
  EXPECT_EQ(firstValue(state.hiddenState), firstValue(fresh.hiddenState));
}

TEST_F(EmptyDecodeRecoveryTest, RetryErrorEndsTheCall) {
  auto failing = zeroing();
  failing.failOnWholeWindow = true;
  const AsrModels models = load(AsrModelVersion::v3, failing);
  const auto recogniser = manager(models);
  TdtDecoderState state(2);

  EXPECT_THROW(recogniser->executeMLInferenceWithTimings(speech(47), 40000, std::nullopt, state), platform::MLModelError);

  EXPECT_EQ(models.preprocessor->predictionCount(), 3u);
  TdtDecoderState firstOnly(2);
  recogniser->runInference(speech(47), 40000, std::nullopt, {}, firstOnly);
  EXPECT_EQ(firstValue(state.hiddenState), firstValue(firstOnly.hiddenState));
  EXPECT_EQ(state.lastToken, firstOnly.lastToken);
  EXPECT_TRUE(logged(platform::SystemLog::Level::info).empty());
  EXPECT_EQ(sharedMLArrayCache().count({1, kWindow}, MLMultiArrayDataType::float32), 5u);
}

TEST_F(EmptyDecodeRecoveryTest, NothingCredibleGivesTheFirstEmptyResult) {
  const AsrModels models = load(AsrModelVersion::v3, zeroing(AsrModelVersion::v3, 0.5f));
  const auto recogniser = manager(models);
  TdtDecoderState state(2);

  const auto result = recogniser->executeMLInferenceWithTimings(speech(47), 40000, std::nullopt, state);

  EXPECT_TRUE(result.hypothesis.ySequence.empty());
  EXPECT_EQ(result.encoderSequenceLength, 32);
  EXPECT_EQ(models.preprocessor->predictionCount(), 6u);
  EXPECT_TRUE(logged().empty());
  ASSERT_TRUE(result.hypothesis.decState);
  EXPECT_EQ(state.hiddenState, result.hypothesis.decState->hiddenState);
}

}  // namespace
}  // namespace tesselaudio
