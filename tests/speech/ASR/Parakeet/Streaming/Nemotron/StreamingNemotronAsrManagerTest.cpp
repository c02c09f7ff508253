#include "speech/ASR/Parakeet/Streaming/Nemotron/StreamingNemotronAsrManager.h"

#include <cstdlib>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "platform/audio/PcmBuffer.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"
#include "tests/support/TransducerModelBuilder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::nemotronBlankFrame;
using testsupport::nemotronTokenFrame;
using testsupport::NemotronStandIn;
using Level = platform::SystemLog::Level;

constexpr const char* kVocab = R"({"0": "▁he", "1": "llo", "2": "▁wor", "3": "ld", "5": "▁five"})";
// Mean log-mel above which the stand-in encoder plays its script: loud noise, not silence.
constexpr float kLoud = -10;
// Small chunks: 16 new mel frames (2,560 samples) behind 9 cached ones.
constexpr std::int64_t kChunkFrames = 16;
constexpr std::size_t kChunkSamples = 2560;

std::vector<float> loud(std::size_t samples) {
  std::vector<float> out(samples);
  std::mt19937 random(11);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  for (float& s : out) s = uniform(random);
  return out;
}

std::unique_ptr<platform::PcmBuffer> buffer(const std::vector<float>& samples) {
  return testsupport::floatBuffer(16000, {samples});
}

NemotronStandIn small(std::vector<testsupport::NemotronScriptFrame> script = {}) {
  NemotronStandIn standIn;
  standIn.totalMelFrames = kChunkFrames + 9;
  if (!script.empty()) standIn.levels = {{kLoud, std::move(script)}};
  return standIn;
}

float first(const std::shared_ptr<const platform::MLMultiArray>& array) { return (*array)[0].floatValue(); }

float at(const std::shared_ptr<const platform::MLMultiArray>& array, std::int64_t band, std::int64_t frame) {
  return (*array)[std::vector<std::int64_t>{0, band, frame}].floatValue();
}

class StreamingNemotronAsrManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  fs::path folder(const NemotronStandIn& standIn, std::optional<std::string> metadata) {
    return testsupport::writeNemotronModelFolder(scratch_.path() / ("models" + std::to_string(folders_++)), standIn,
                                                 kVocab, metadata);
  }

  std::unique_ptr<StreamingNemotronAsrManager> loaded(const NemotronStandIn& standIn,
                                                      std::int64_t chunkFrames = kChunkFrames) {
    auto engine = std::make_unique<StreamingNemotronAsrManager>(platform::MLModelConfiguration{}, std::nullopt);
    engine->loadModels(folder(standIn, testsupport::nemotronMetadata(standIn, chunkFrames, chunkFrames * 10)));
    return engine;
  }

  std::size_t logCount(const std::string& message, Level level = Level::info) const {
    std::size_t count = 0;
    for (const auto& record : log_.records()) {
      count += record.category == "NemotronStreaming" && record.message == message && record.level == level;
    }
    return count;
  }

  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  int folders_ = 0;
};

TEST_F(StreamingNemotronAsrManagerTest, LoadLogsConfigAndFusedModelOnlyWhenPresent) {
  struct Case {
    bool metadata;
    bool fused;
  };
  for (const Case c : {Case{true, true}, Case{true, false}, Case{false, false}}) {
    SCOPED_TRACE(std::to_string(c.metadata) + std::to_string(c.fused));
    testsupport::SystemLogCapture log;
    NemotronStandIn standIn = small();
    standIn.fused = c.fused;
    const fs::path from = folder(standIn, c.metadata ? std::optional(testsupport::nemotronMetadata(standIn, 16, 160))
                                                     : std::nullopt);
    StreamingNemotronAsrManager engine(std::nullopt, NemotronChunkSize::ms560);
    EXPECT_EQ(engine.displayName(), "Nemotron 0.6B (2240ms)");
    EXPECT_EQ(engine.mlConfiguration().computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_TRUE(engine.mlConfiguration().allowLowPrecisionAccumulationOnGPU);
    EXPECT_EQ(engine.getPartialTranscript(), "");
    if (!c.metadata) {
      // Without a file the 2240 ms geometry stays, which these stand-ins do not have.
      EXPECT_THROW(engine.loadModels(from), std::exception);
    } else {
      engine.loadModels(from);
    }
    std::size_t configLines = 0, fusedLines = 0, loadedLines = 0;
    for (const auto& record : log.records()) {
      configLines += record.message == "Loaded config: 160ms chunks, 16 mel frames";
      fusedLines += record.message == "Loaded fused decoder_joint (B1) — merged inner-loop path enabled";
      loadedLines += record.message == "Nemotron models loaded successfully (160ms chunks).";
    }
    EXPECT_EQ(configLines, c.metadata ? 1u : 0u);
    EXPECT_EQ(fusedLines, c.fused ? 1u : 0u);
    EXPECT_EQ(loadedLines, c.metadata ? 1u : 0u);
    EXPECT_EQ(engine.hasFusedDecoderJoint(), c.fused);
    EXPECT_EQ(engine.displayName(), c.metadata ? "Nemotron 0.6B (160ms)" : "Nemotron 0.6B (2240ms)");
  }
}

TEST_F(StreamingNemotronAsrManagerTest, AllZeroProbeFailsTheLoad) {
  NemotronStandIn standIn = small();
  standIn.zeroEncoder = true;
  StreamingNemotronAsrManager engine(platform::MLModelConfiguration{}, std::nullopt);
  try {
    engine.loadModels(folder(standIn, testsupport::nemotronMetadata(standIn, 16, 160)));
    FAIL() << "loaded";
  } catch (const ASRError& error) {
    EXPECT_EQ(error.errorCase(), ASRError::Case::encoderInstantiationFailed);
    EXPECT_EQ(error.description(),
              "Encoder ANE program failed to instantiate: Nemotron int8 encoder returned all-zero output on a "
              "load-time probe — the ANE program did not instantiate (see CoreML ANEProgramProcessRequestDirect "
              "status=0x12). This is the iPadOS cold-start failure; re-download or update the encoder model.");
  }
}

TEST_F(StreamingNemotronAsrManagerTest, BadMetadataKeepsThePreviousConfiguration) {
  NemotronStandIn standIn = small();
  auto engine = loaded(standIn);
  const auto before = engine->config();
  const fs::path bad = folder(standIn, std::string("[1]"));
  EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { engine->loadModels(bad); }),
            "ASR processing failed: Invalid metadata.json format");
  EXPECT_EQ(engine->config(), before);
}

TEST_F(StreamingNemotronAsrManagerTest, EncoderInputIsTheCacheThenTheChunkAtTheRealGeometry) {
  NemotronStandIn standIn;
  standIn.levels = {{kLoud, {nemotronTokenFrame(0)}}};
  auto engine = loaded(standIn, 224);
  const auto extractor = NemotronMelExtractor::english(128);
  const auto first = loud(35840);
  std::vector<float> second(35840);
  for (std::size_t i = 0; i < second.size(); ++i) second[i] = first[(i * 7) % first.size()] * 0.3f;

  const auto firstMel = extractor.melSpectrogram(first);
  ASSERT_EQ(firstMel->shape(), (std::vector<std::int64_t>{1, 128, 225}));
  const auto freshInput = engine->prependMelCache(*firstMel);
  ASSERT_EQ(freshInput->shape(), (std::vector<std::int64_t>{1, 128, 233}));
  for (std::int64_t b = 0; b < 128; b += 17) {
    for (std::int64_t f = 0; f < 9; ++f) ASSERT_EQ(at(freshInput, b, f), 0.0f);
    for (std::int64_t f = 0; f < 224; ++f) {
      ASSERT_EQ(at(freshInput, b, 9 + f), at(firstMel, b, f));
    }
  }

  engine->appendAudio(*buffer(first));
  engine->processBufferedAudio({});
  const auto cache = engine->melCache();
  ASSERT_TRUE(cache);
  ASSERT_EQ(cache->shape(), (std::vector<std::int64_t>{1, 128, 9}));
  const auto secondMel = extractor.melSpectrogram(second);
  const auto input = engine->prependMelCache(*secondMel);
  for (std::int64_t b = 0; b < 128; b += 17) {
    for (std::int64_t f = 0; f < 9; ++f) {
      ASSERT_EQ(at(cache, b, f), at(firstMel, b, 216 + f));
      ASSERT_EQ(at(input, b, f), at(firstMel, b, 216 + f));
    }
    for (std::int64_t f = 0; f < 224; ++f) {
      ASSERT_EQ(at(input, b, 9 + f), at(secondMel, b, f));
    }
  }
}

TEST_F(StreamingNemotronAsrManagerTest, GreedyDecodingOfTheScriptedFrames) {
  struct Case {
    const char* name;
    std::vector<testsupport::NemotronScriptFrame> script;
    float penalty;
    std::vector<std::int64_t> ids;
    float hState;  // decoder steps that emitted
  };
  const Case cases[] = {
      // A blank keeps token and state: the third frame starts from token 0 and one step.
      {"blank between", {nemotronTokenFrame(0), nemotronBlankFrame(), nemotronTokenFrame(1)}, -2, {0, 1}, 2},
      {"never blank", {nemotronTokenFrame(3)}, 0, std::vector<std::int64_t>(10, 3), 10},
      {"tie", {{{5, 1.0f}, {1024, 1.0f}}}, 0, std::vector<std::int64_t>(10, 5), 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NemotronStandIn standIn = small(c.script);
    standIn.penalty = c.penalty;
    for (bool fused : {false, true}) {
      standIn.fused = fused;
      auto engine = loaded(standIn);
      engine->appendAudio(*buffer(loud(kChunkSamples)));
      engine->processBufferedAudio({});
      EXPECT_EQ(engine->accumulatedTokenIds(), c.ids);
      EXPECT_EQ(first(engine->hState()), c.hState);
      EXPECT_EQ(first(engine->cState()), 2 * c.hState);
      EXPECT_EQ(engine->lastToken(), c.ids.back());
      EXPECT_EQ(engine->absoluteFrameBase(), 3);
    }
  }
}

TEST_F(StreamingNemotronAsrManagerTest, TimingsFollowTheAbsoluteFrameClock) {
  NemotronStandIn standIn = small({nemotronBlankFrame(), nemotronBlankFrame(), nemotronBlankFrame(),
                                   nemotronTokenFrame(2)});
  standIn.frames = 8;
  auto engine = loaded(standIn);
  engine->appendAudio(*buffer(std::vector<float>(7 * kChunkSamples)));
  engine->processBufferedAudio({});
  EXPECT_EQ(engine->absoluteFrameBase(), 56);
  EXPECT_TRUE(engine->getTokenTimings().empty());
  engine->appendAudio(*buffer(loud(kChunkSamples)));
  engine->processBufferedAudio({});
  const auto timings = engine->getTokenTimings();
  ASSERT_EQ(timings.size(), 1u);
  EXPECT_EQ(timings[0].token, "▁wor");
  EXPECT_EQ(timings[0].tokenId, 2);
  EXPECT_DOUBLE_EQ(timings[0].startTime, 59 * 0.08);
  EXPECT_NEAR(timings[0].startTime, 4.72, 1e-9);
  EXPECT_NEAR(timings[0].endTime, 4.80, 1e-9);
  EXPECT_EQ(timings[0].confidence, 1.0f);
}

TEST_F(StreamingNemotronAsrManagerTest, EmptyEncoderOutputStillAdvancesTheCaches) {
  NemotronStandIn standIn = small();
  standIn.emptyAtOrBelow = -1;
  auto engine = loaded(standIn);
  std::vector<std::string> calls;
  engine->setPartialCallback([&](const std::string& text) { calls.push_back(text); });
  engine->appendAudio(*buffer(loud(kChunkSamples)));
  engine->processBufferedAudio({});
  EXPECT_EQ(engine->processedChunks(), 1);
  EXPECT_EQ(engine->absoluteFrameBase(), 0);
  EXPECT_EQ(first(engine->hState()), 0.0f);
  EXPECT_EQ(first(engine->cacheChannel()), 1.0f);
  EXPECT_EQ(first(engine->cacheTime()), 1.0f);
  EXPECT_EQ((*engine->cacheLen())[0].intValue(), 2);
  EXPECT_TRUE(engine->melCache());
  EXPECT_TRUE(calls.empty());
}

TEST_F(StreamingNemotronAsrManagerTest, MissingCacheLenOutputKeepsTheLength) {
  NemotronStandIn standIn = small();
  standIn.cacheLenOut = false;
  auto engine = loaded(standIn);
  engine->appendAudio(*buffer(loud(2 * kChunkSamples)));
  engine->processBufferedAudio({});
  EXPECT_EQ((*engine->cacheLen())[0].intValue(), 1);
  EXPECT_EQ(first(engine->cacheChannel()), 2.0f);
}

TEST_F(StreamingNemotronAsrManagerTest, FirstChunkAfterResetStartsFromBlankAndZeroState) {
  auto engine = loaded(small({nemotronTokenFrame(0), nemotronTokenFrame(1)}));
  engine->appendAudio(*buffer(loud(kChunkSamples)));
  engine->processBufferedAudio({});
  EXPECT_EQ(engine->lastToken(), 1);
  engine->reset();
  EXPECT_EQ(engine->lastToken(), 1024);
  EXPECT_FALSE(engine->melCache());
  EXPECT_EQ(first(engine->hState()), 0.0f);
  EXPECT_EQ(first(engine->cacheChannel()), 0.0f);
  EXPECT_EQ((*engine->cacheLen())[0].intValue(), 1);
  EXPECT_EQ(engine->absoluteFrameBase(), 0);
  engine->appendAudio(*buffer(loud(kChunkSamples)));
  engine->processBufferedAudio({});
  EXPECT_EQ(engine->accumulatedTokenIds(), (std::vector<std::int64_t>{0, 1}));
  EXPECT_EQ(first(engine->hState()), 2.0f);
  EXPECT_EQ(engine->getTokenTimings()[0].startTime, 0.0);
}

TEST_F(StreamingNemotronAsrManagerTest, ProcessReturnsNothingWhileTheTextAccumulates) {
  auto engine = loaded(small({nemotronTokenFrame(0), nemotronTokenFrame(1)}));
  std::vector<std::string> calls;
  engine->setPartialTranscriptCallback([&](const std::string& text) { calls.push_back(text); });
  EXPECT_EQ(engine->process(*buffer(loud(kChunkSamples / 2)), {}), "");
  EXPECT_EQ(engine->processedChunks(), 0);
  EXPECT_EQ(engine->process(*buffer(loud(kChunkSamples)), {}), "");
  EXPECT_EQ(engine->processedChunks(), 1);
  EXPECT_EQ(engine->getPartialTranscript(), "hello");
  EXPECT_EQ(calls, (std::vector<std::string>{"hello"}));
  EXPECT_EQ(engine->audioBuffer().size(), kChunkSamples / 2);
}

TEST_F(StreamingNemotronAsrManagerTest, FinishPadsTheTailAndHandsOverTheTimings) {
  auto engine = loaded(small({nemotronTokenFrame(0), nemotronTokenFrame(1)}));
  EXPECT_EQ(engine->finish({}), "");
  EXPECT_EQ(engine->processedChunks(), 0);
  engine->appendAudio(*buffer(loud(100)));
  engine->finish({});
  EXPECT_EQ(engine->processedChunks(), 1);
  EXPECT_EQ(engine->absoluteFrameBase(), 3);
  EXPECT_TRUE(engine->audioBuffer().empty());

  engine->appendAudio(*buffer(loud(kChunkSamples - 10)));
  const auto [text, timings] = engine->finishWithTokenTimings({});
  EXPECT_EQ(text, "hello");
  ASSERT_EQ(timings.size(), 2u);
  EXPECT_DOUBLE_EQ(timings[0].startTime, 3 * 0.08);
  const auto [again, none] = engine->finishWithTokenTimings({});
  EXPECT_EQ(again, "");
  EXPECT_TRUE(none.empty());

  // The next utterance continues the frame clock.
  engine->appendAudio(*buffer(loud(kChunkSamples)));
  const auto [next, nextTimings] = engine->finishWithTokenTimings({});
  EXPECT_EQ(next, "hello");
  ASSERT_FALSE(nextTimings.empty());
  EXPECT_DOUBLE_EQ(nextTimings[0].startTime, 6 * 0.08);
}

TEST_F(StreamingNemotronAsrManagerTest, FinishDecodesEveryWholeChunkBeforeTheTail) {
  auto engine = loaded(small({nemotronTokenFrame(0)}));
  engine->appendAudio(*buffer(loud(kChunkSamples * 5 / 2)));
  engine->finish({});
  EXPECT_EQ(engine->processedChunks(), 3);
  EXPECT_TRUE(engine->audioBuffer().empty());
}

TEST_F(StreamingNemotronAsrManagerTest, ResetAfterCleanupRecreatesTheStateButNotTheModels) {
  auto engine = loaded(small({nemotronTokenFrame(0)}));
  engine->cleanup({});
  EXPECT_FALSE(engine->cacheChannel());
  engine->reset();
  ASSERT_TRUE(engine->cacheChannel());
  EXPECT_EQ(engine->cacheChannel()->shape(), (std::vector<std::int64_t>{1, 2, 3, 4}));
  EXPECT_EQ(engine->hState()->shape(), (std::vector<std::int64_t>{2, 1, 4}));
  engine->appendAudio(*buffer(loud(kChunkSamples)));
  for (const auto& call : std::vector<std::function<void()>>{[&] { engine->processBufferedAudio({}); },
                                                             [&] { engine->finish({}); },
                                                             [&] { engine->process(*buffer(loud(10)), {}); }}) {
    try {
      call();
      ADD_FAILURE() << "decoded";
    } catch (const ASRError& error) {
      EXPECT_EQ(error.errorCase(), ASRError::Case::notInitialized);
    }
  }
  EXPECT_EQ(engine->audioBuffer().size(), kChunkSamples);
}

TEST_F(StreamingNemotronAsrManagerTest, BrokenModelOutputsAreRefused) {
  struct Case {
    const char* name;
    std::function<void(NemotronStandIn&)> change;
    const char* description;
  };
  const Case cases[] = {
      {"decoder_out", [](NemotronStandIn& s) { s.missingOutputs = {"decoder_out"}; }, "ASR processing failed: Decoder failed"},
      {"h_out", [](NemotronStandIn& s) { s.missingOutputs = {"h_out"}; }, "ASR processing failed: Decoder failed"},
      {"logits", [](NemotronStandIn& s) { s.missingOutputs = {"logits"}; }, "ASR processing failed: Joint failed"},
      {"fused logits",
       [](NemotronStandIn& s) {
         s.fused = true;
         s.missingOutputs = {"logits"};
       },
       "ASR processing failed: Fused decoder_joint failed"},
      {"int32 encoded", [](NemotronStandIn& s) { s.encodedAsInt32 = true; }, nullptr},
      {"rank-2 encoded", [](NemotronStandIn& s) { s.encodedRank2 = true; }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NemotronStandIn standIn = small({nemotronTokenFrame(0)});
    c.change(standIn);
    // The probe only needs "encoded"; int32 ones are refused there already.
    StreamingNemotronAsrManager engine(platform::MLModelConfiguration{}, std::nullopt);
    const fs::path from = folder(standIn, testsupport::nemotronMetadata(standIn, kChunkFrames, 160));
    try {
      engine.loadModels(from);
      engine.appendAudio(*buffer(loud(kChunkSamples)));
      engine.processBufferedAudio({});
      ADD_FAILURE() << "decoded";
    } catch (const ASRError& error) {
      EXPECT_EQ(error.errorCase(), ASRError::Case::processingFailed);
      if (c.description) {
        EXPECT_EQ(error.description(), c.description);
      }
    }
  }
  NemotronStandIn noEncoded = small();
  noEncoded.missingOutputs = {"encoded"};
  StreamingNemotronAsrManager engine(platform::MLModelConfiguration{}, std::nullopt);
  EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] {
              engine.loadModels(folder(noEncoded, testsupport::nemotronMetadata(noEncoded, kChunkFrames, 160)));
            }),
            "ASR processing failed: Encoder probe produced no `encoded` output");
}

TEST_F(StreamingNemotronAsrManagerTest, FailedChunkLeavesTheStreamAsBefore) {
  NemotronStandIn standIn = small({nemotronTokenFrame(0), nemotronTokenFrame(1)});
  standIn.failOnToken = 1;
  auto engine = loaded(standIn);
  std::vector<std::string> calls;
  engine->setPartialCallback([&](const std::string& text) { calls.push_back(text); });
  // A quiet chunk first, so that there are caches and a mel cache to keep.
  engine->appendAudio(*buffer(std::vector<float>(kChunkSamples)));
  engine->processBufferedAudio({});
  const auto melCache = engine->melCache();
  const auto cacheChannel = engine->cacheChannel();
  engine->appendAudio(*buffer(loud(kChunkSamples)));

  EXPECT_THROW(engine->processBufferedAudio({}), std::exception);

  EXPECT_TRUE(engine->accumulatedTokenIds().empty());
  EXPECT_TRUE(engine->getTokenTimings().empty());
  EXPECT_EQ(engine->melCache(), melCache);
  EXPECT_EQ(engine->cacheChannel(), cacheChannel);
  EXPECT_EQ(first(engine->cacheChannel()), 1.0f);
  EXPECT_EQ(engine->lastToken(), 1024);
  EXPECT_EQ(first(engine->hState()), 0.0f);
  EXPECT_EQ(engine->processedChunks(), 1);
  EXPECT_EQ(engine->absoluteFrameBase(), 3);
  EXPECT_EQ(engine->audioBuffer().size(), kChunkSamples);
  EXPECT_TRUE(calls.empty());
}

// The four required files of the 2240 ms folder published on a loopback hub.
class StreamingNemotronLoadTest : public StreamingNemotronAsrManagerTest {
 protected:
  static constexpr const char* kRepo = "TesselInference/nemotron-speech-streaming-en-0.6b-coreml";

  void SetUp() override {
    StreamingNemotronAsrManagerTest::SetUp();
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    standIn_ = small({nemotronTokenFrame(0), nemotronTokenFrame(1)});
    // The repositories' catalogue also lists the fused model and a preprocessor, so the hub has them.
    standIn_.fused = true;
    published_ = folder(standIn_, testsupport::nemotronMetadata(standIn_, kChunkFrames, 160));
    fs::copy(published_ / "joint.mlmodelc", published_ / "preprocessor.mlmodelc", fs::copy_options::recursive);
    for (const char* bundle : {"encoder/encoder_int8.mlmodelc", "decoder.mlmodelc", "joint.mlmodelc",
                               "decoder_joint.mlmodelc", "preprocessor.mlmodelc"}) {
      hub_.putFolder(kRepo, "main", std::string("nemotron_coreml_2240ms/") + bundle, published_ / bundle);
    }
    for (const char* file : {"tokenizer.json", "metadata.json"}) {
      std::ifstream in(published_ / file, std::ios::binary);
      hub_.putFile(kRepo, "main", {std::string("nemotron_coreml_2240ms/") + file,
                                   std::string((std::istreambuf_iterator<char>(in)), {})});
    }
  }

  testsupport::HubFake hub_;
  NemotronStandIn standIn_;
  fs::path published_;
};

TEST_F(StreamingNemotronLoadTest, WithoutAChunkSizeThe2240RepositoryIsFetched) {
  const fs::path base = scratch_.path() / "base";
  StreamingNemotronAsrManager engine(platform::MLModelConfiguration{}, std::nullopt);
  engine.loadModels(base, std::nullopt, {}, {});
  const fs::path local = base / "nemotron-streaming/2240ms";
  for (const char* file : {"encoder/encoder_int8.mlmodelc/model.onnx", "decoder.mlmodelc/model.onnx",
                           "joint.mlmodelc/model.onnx", "tokenizer.json", "metadata.json"}) {
    EXPECT_TRUE(fs::exists(local / file)) << file;
  }
  EXPECT_EQ(logCount("Loading Nemotron CoreML models from " + local.string() + "..."), 1u);
  EXPECT_EQ(engine.displayName(), "Nemotron 0.6B (160ms)");
  engine.appendAudio(*buffer(loud(kChunkSamples)));
  EXPECT_EQ(engine.finish({}), "hello");
}

TEST_F(StreamingNemotronLoadTest, CachedBundleWithoutOnnxKeepsTheCache) {
  const fs::path base = scratch_.path() / "base";
  const fs::path local = base / "nemotron-streaming/2240ms";
  fs::create_directories(local);
  fs::copy(published_, local, fs::copy_options::recursive);
  fs::remove(local / "encoder/encoder_int8.mlmodelc/model.onnx");
  StreamingNemotronAsrManager engine(platform::MLModelConfiguration{}, std::nullopt);
  EXPECT_THROW(engine.loadModels(base, std::nullopt, {}, {}), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::exists(local / "encoder/encoder_int8.mlmodelc/coremldata.bin"));
  EXPECT_EQ(hub_.fileRequestCount(), 0u);
}

}  // namespace
}  // namespace tesselaudio
