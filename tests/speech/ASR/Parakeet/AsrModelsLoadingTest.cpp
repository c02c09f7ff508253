#include "speech/ASR/Parakeet/AsrModels.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/SystemLog.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/speech/ASR/Parakeet/ParakeetModelsFixture.h"
#include "tests/support/HostWithSystem.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;

const auto failureOf = testsupport::thrownDescription<AsrModelsError>;
using testsupport::HostWithSystem;

class AsrModelsLoadingTest : public ParakeetModelsFixture {
 protected:
  static void writeCtcHead(const fs::path& folder) {
    testsupport::ModelBuilder head("CtcHead");
    head.input("encoder", testsupport::ElementType::float32, {1, 4})
        .output("ctc_logits", testsupport::ElementType::float32, {1, 4})
        .node("Identity", {"encoder"}, {"ctc_logits"});
    head.writeBundle(folder);
  }

  static std::vector<double> secondsOf(const std::vector<EncoderLadderFunction>& ladder) {
    std::vector<double> seconds;
    for (const auto& function : ladder) seconds.push_back(function.seconds);
    return seconds;
  }

  static int64_t melFramesOf(const platform::MLModel& model) {
    return model.modelDescription().inputDescriptionsByName.at("mel").multiArrayConstraint->shape.back();
  }

  // A v2 set in its cache folder (an encoder without functions) whose vocabulary file holds `json`,
  // or no vocabulary file when none.
  fs::path cacheV2WithVocabulary(const std::optional<std::string>& json) {
    auto set = standIn(AsrModelVersion::v2);
    set.encoder.functions.clear();
    set.encoder.defaultFunction.clear();
    set.vocabulary.clear();
    const fs::path folder = cache(AsrModelVersion::v2, set);
    if (json) writeText(folder / "parakeet_vocab.json", *json);
    return folder;
  }
};

TEST_F(AsrModelsLoadingTest, LoadsTheSetInOrderThroughTheHub) {
  publish(AsrModelVersion::v3);
  const fs::path folder = AsrModels::defaultCacheDirectory(AsrModelVersion::v3);
  writeText(folder / "CtcHead.mlmodelc" / "coremldata.bin", "");

  const AsrModels models = AsrModels::load(folder);

  EXPECT_EQ(openedByHub(), (std::vector<std::string>{"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc",
                                                     "JointDecisionv3.mlmodelc"}));
  ASSERT_TRUE(models.encoder && models.preprocessor && models.decoder && models.joint);
  EXPECT_EQ(models.ctcHead, nullptr);
  EXPECT_EQ(models.version, AsrModelVersion::v3);
  EXPECT_EQ(models.configuration, AsrModels::defaultConfiguration());
  EXPECT_EQ(models.vocabulary.size(), 8192u);
  EXPECT_EQ(models.vocabulary.at(8191), "t8191");
  EXPECT_EQ(models.preprocessor->configuration().computeUnits, MLComputeUnits::cpuOnly);
  EXPECT_EQ(models.encoder->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);

  EXPECT_EQ(secondsOf(models.encoderLadder), (std::vector<double>{2.0, 5.0, 15.0}));
  EXPECT_EQ(models.encoderLadder[0].melFrames, 201);
  EXPECT_EQ(melFramesOf(*models.encoderLadder[0].model), 201);
  EXPECT_EQ(models.encoderLadder[1].melFrames, 501);
  EXPECT_EQ(models.encoderLadder[2].melFrames, 1501);
  EXPECT_EQ(models.encoderLadder[2].model, models.encoder);

  const auto all = messages();
  const std::vector<std::string> expectedOrder = {
      "Loading ASR models from: " + folder.string(),
      "Loaded Preprocessor.mlmodelc with compute units: cpuOnly",
      "Loaded Encoder.mlmodelc with compute units: cpuAndNeuralEngine",
      "Encoder ladder: 2.0 s, 5.0 s, 15.0 s",
      "Loaded JointDecisionv3.mlmodelc",
      "Loaded vocabulary with 8192 tokens from " + (folder / "parakeet_vocab.json").string(),
      "Successfully loaded all ASR models with optimized compute units",
  };
  auto at = all.begin();
  for (const auto& line : expectedOrder) {
    at = std::find(at, all.end(), line);
    EXPECT_NE(at, all.end()) << line;
  }
  EXPECT_TRUE(loggedStartingWith("Loaded encoder function enc_2000ms in "));
  EXPECT_TRUE(loggedStartingWith("Loaded encoder function enc_5000ms in "));
  EXPECT_FALSE(loggedStartingWith("Loaded encoder function enc_15000ms"));
  EXPECT_FALSE(loggedStartingWith("[Beta]"));
  EXPECT_FALSE(loggedStartingWith("CTC head"));
  for (const auto& target : requestTargets()) EXPECT_EQ(target.find("ctc"), std::string::npos) << target;

  hub_.clearRequests();
  AsrModels::load(folder);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(AsrModelsLoadingTest, ModelsTheHubDidNotProduceGiveLoadingFailed) {
  struct Case {
    const char* name;
    AsrModelVersion version;
    const char* dropped;
    const char* expected;
  };
  const Case cases[] = {
      {"preprocessor", AsrModelVersion::v3, "Preprocessor.mlmodelc", "Failed to load ASR models: Failed to load preprocessor model"},
      {"encoder", AsrModelVersion::v3, "Encoder.mlmodelc",
       "Failed to load ASR models: Failed to load encoder model (required for split frontend)"},
      {"decoder", AsrModelVersion::v3, "Decoder.mlmodelc", "Failed to load ASR models: Failed to load decoder model"},
      {"jointOfTheV3Family", AsrModelVersion::ultra, "JointDecisionv3.mlmodelc",
       "Failed to load ASR models: Failed to load joint model JointDecisionv3.mlmodelc (required for v3; delete the "
       "models directory to force a fresh download)"},
      {"jointOfV2", AsrModelVersion::v2, "JointDecision.mlmodelc",
       "Failed to load ASR models: Failed to load joint model JointDecision.mlmodelc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = cache(c.version);
    recordHubCalls(c.dropped);
    EXPECT_EQ(failureOf([&] { AsrModels::load(folder, std::nullopt, c.version); }), c.expected);
  }
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(AsrModelsLoadingTest, FusedVersionLoadsThePreprocessorAloneAndAnOptionalCtcHead) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& folder)> arrange;
    bool hasCtcHead;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"unreachableCtcRepository", [](const fs::path&) {}, false, {"CTC head model not available: "}},
      {"localHead",
       [](const fs::path& folder) { writeCtcHead(folder); },
       true, {"[Beta] Loaded CTC head model from local directory"}},
      {"brokenLocalHead",
       [](const fs::path& folder) { writeText(folder / "CtcHead.mlmodelc" / "model.onnx", "garbage"); }, false,
       {"CTC head model found but failed to load: ", "CTC head model not available: "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = cache(AsrModelVersion::tdtCtc110m);
    c.arrange(folder);
    recordHubCalls();
    const auto callsBefore = hubCalls().size();
    const auto linesBefore = messages().size();

    const AsrModels models = AsrModels::load(folder, std::nullopt, AsrModelVersion::tdtCtc110m);

    EXPECT_EQ(models.encoder, nullptr);
    EXPECT_TRUE(models.encoderLadder.empty());
    EXPECT_FALSE(models.usesSplitFrontend());
    EXPECT_EQ(models.ctcHead != nullptr, c.hasCtcHead);
    const auto calls = hubCalls();
    ASSERT_GE(calls.size() - callsBefore, 3u);
    EXPECT_EQ(calls[callsBefore].modelNames, std::vector<std::string>{"Preprocessor.mlmodelc"});
    EXPECT_EQ(calls[callsBefore].computeUnits, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(calls[callsBefore + 1].modelNames, std::vector<std::string>{"Decoder.mlmodelc"});
    EXPECT_EQ(calls[callsBefore + 2].modelNames, std::vector<std::string>{"JointDecision.mlmodelc"});
    const auto all = messages();
    const std::vector<std::string> added(all.begin() + static_cast<std::ptrdiff_t>(linesBefore), all.end());
    EXPECT_NE(std::find(added.begin(), added.end(), "Loaded Preprocessor.mlmodelc with compute units: cpuAndNeuralEngine"),
              added.end());
    for (const auto& line : c.lines) {
      EXPECT_TRUE(std::any_of(added.begin(), added.end(), [&](const std::string& m) { return m.starts_with(line); }))
          << line;
    }
    fs::remove_all(folder);
  }
}

TEST_F(AsrModelsLoadingTest, StopDuringTheOptionalCtcHeadStillEndsTheLoad) {
  const fs::path folder = cache(AsrModelVersion::tdtCtc110m);
  ParakeetModelLoader::replace([](Repo repo, const std::vector<std::string>& names, const fs::path& directory,
                                  MLComputeUnits units, const std::optional<std::string>& variant,
                                  const DownloadConfig& config, const ProgressHandler& progress, std::stop_token stop) {
    if (repo == Repo::parakeetCtc110m) throw platform::CancellationError();
    return ModelHub::loadModels(repo, names, directory, units, variant, config, progress, stop);
  });

  EXPECT_THROW(AsrModels::load(folder, std::nullopt, AsrModelVersion::tdtCtc110m), platform::CancellationError);
  EXPECT_FALSE(loggedStartingWith("CTC head model not available"));
}

TEST_F(AsrModelsLoadingTest, EncoderLadderTakesWellNamedFunctionsInOrder) {
  testsupport::ParakeetEncoderScript script;
  script.functions = {{"enc_2000ms", 201},  {"enc_15000ms", 1501}, {"enc_5000ms", 501},  {"encoder_main", 1501},
                      {"enc_ms", 11},       {"enc_abcms", 21},     {"enc_10000ms", 1001}, {"enc_2500ms ", 251}};
  script.defaultFunction = "encoder_main";
  const fs::path bundle = testsupport::parakeetEncoder(script).writeBundle(scratch_.path());
  writeText(bundle / "enc_10000ms.onnx", "not a network");
  const std::shared_ptr<const platform::MLModel> encoder = ModelHub::openCompiledModel(bundle, {});

  const auto ladder = AsrModels::loadEncoderLadder(bundle, MLComputeUnits::cpuAndGPU, encoder);

  EXPECT_EQ(secondsOf(ladder), (std::vector<double>{2.0, 5.0, 15.0}));
  EXPECT_EQ(ladder[2].model, encoder);
  EXPECT_NE(ladder[0].model, encoder);
  EXPECT_EQ(ladder[0].model->configuration().computeUnits, MLComputeUnits::cpuAndGPU);
  EXPECT_EQ(ladder[0].model->configuration().functionName, "enc_2000ms");
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const platform::SystemLog::Record& r) {
    // Warnings reach the system log as errors.
    return r.level == platform::SystemLog::Level::error &&
           r.message.starts_with("Encoder function enc_10000ms failed to load: ");
  }));
}

TEST_F(AsrModelsLoadingTest, EncoderLadderIsEmptyWithoutFunctionsOrOnAnOlderSystem) {
  const fs::path withFunctions = testsupport::parakeetEncoder(standIn(AsrModelVersion::v3).encoder).writeBundle(scratch_.path());
  const std::shared_ptr<const platform::MLModel> encoder = ModelHub::openCompiledModel(withFunctions, {});
  const fs::path plain = scratch_ / "plain";
  const fs::path withoutFunctions = testsupport::parakeetEncoder({}).writeBundle(plain);

  EXPECT_TRUE(AsrModels::loadEncoderLadder(withoutFunctions, MLComputeUnits::cpuOnly, encoder).empty());
  EXPECT_TRUE(AsrModels::loadEncoderLadder(scratch_ / "missing.mlmodelc", MLComputeUnits::cpuOnly, encoder).empty());
  EXPECT_EQ(AsrModels::loadEncoderLadder(withFunctions, MLComputeUnits::cpuOnly, encoder).size(), 3u);

  platform::HostEnvironment::replace(std::make_shared<HostWithSystem>(HostWithSystem::OperatingSystemVersion{14, 7, 0}));
  EXPECT_TRUE(AsrModels::loadEncoderLadder(withFunctions, MLComputeUnits::cpuOnly, encoder).empty());
  const AsrModels models = AsrModels::load(cache(AsrModelVersion::v3));
  EXPECT_TRUE(models.encoderLadder.empty());
  EXPECT_FALSE(loggedStartingWith("Encoder ladder:"));
}

TEST_F(AsrModelsLoadingTest, VocabularyShapes) {
  struct Case {
    const char* name;
    std::string json;
    std::map<int, std::string> expected;
  };
  const Case cases[] = {
      {"array", R"(["a", "b"])", {{0, "a"}, {1, "b"}}},
      {"object", R"({"0": "a", "x": "b", "+2": "c"})", {{0, "a"}, {2, "c"}}},
      {"sameIdTwice", R"({"7": "a", "07": "b"})", {{7, "a"}}},
      {"badKeys", R"({"": "e", "1.5": "f", " 3": "g", "+-4": "h", "-5": "n", "99999999999": "o", "6x": "p"})",
       {{-5, "n"}}},
      {"japanese", R"(["▁こんにちは"])", {{0, "▁こんにちは"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = cacheV2WithVocabulary(c.json);
    const AsrModels models = AsrModels::load(folder, std::nullopt, AsrModelVersion::v2);
    if (std::string(c.name) == "sameIdTwice") {
      ASSERT_EQ(models.vocabulary.size(), 1u);
      EXPECT_TRUE(models.vocabulary.at(7) == "a" || models.vocabulary.at(7) == "b");
    } else {
      EXPECT_EQ(models.vocabulary, c.expected);
    }
  }
}

TEST_F(AsrModelsLoadingTest, VocabularyFailures) {
  struct Case {
    const char* name;
    std::optional<std::string> json;
    std::string expected;
    std::string logPrefix;
  };
  const fs::path file = AsrModels::defaultCacheDirectory(AsrModelVersion::v2) / "parakeet_vocab.json";
  const Case cases[] = {
      {"topLevelString", R"("tokens")", "Failed to load ASR models: Vocabulary file has unexpected format", ""},
      {"arrayOfNumbers", "[1, 2]", "Failed to load ASR models: Vocabulary file has unexpected format", ""},
      {"objectOfNumbers", R"({"0": 1})", "Failed to load ASR models: Vocabulary file has unexpected format", ""},
      {"invalidJson", R"(["a", )", "Failed to load ASR models: Vocabulary parsing failed",
       "Failed to load or parse vocabulary file at " + file.string() + ": "},
      {"missing", std::nullopt, "ASR model 'parakeet_vocab.json' not found at: " + file.string(),
       "Vocabulary file not found at " + file.string() +
           ". Please ensure the vocab file is downloaded with the models."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = cacheV2WithVocabulary(c.json);
    EXPECT_EQ(failureOf([&] { AsrModels::load(folder, std::nullopt, AsrModelVersion::v2); }), c.expected);
    if (!c.logPrefix.empty()) {
      EXPECT_TRUE(loggedStartingWith(c.logPrefix));
    }
    fs::remove_all(folder);
  }
}

TEST_F(AsrModelsLoadingTest, LocalFolderLoadsWithoutTheHub) {
  const fs::path folder = scratch_ / "flat";
  auto set = standIn(AsrModelVersion::v3);
  testsupport::writeParakeetModelSet(folder, set);
  writeCtcHead(folder);
  auto configuration = AsrModels::defaultConfiguration();
  configuration.computeUnits = MLComputeUnits::cpuOnly;
  configuration.allowLowPrecisionAccumulationOnGPU = false;

  const AsrModels models = AsrModels::loadLocal(folder, AsrModelVersion::v3, configuration);

  ASSERT_TRUE(models.encoder && models.preprocessor && models.decoder && models.joint && models.ctcHead);
  EXPECT_TRUE(models.encoderLadder.empty());
  EXPECT_EQ(models.configuration, configuration);
  EXPECT_EQ(models.vocabulary.size(), 8192u);
  EXPECT_FALSE(models.joint->configuration().allowLowPrecisionAccumulationOnGPU);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(AsrModelsLoadingTest, LocalFolderFailures) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> damage;
    std::string expected;  // with <folder> for the folder's path
  };
  const Case cases[] = {
      {"vocabularyShortOfTheBlank",
       [](const fs::path& f) { writeText(f / "parakeet_vocab.json", testsupport::parakeetVocabulary(8191)); },
       "Failed to load ASR models: Local vocabulary must contain every token before the blank ID"},
      {"vocabularyWithAGap",
       [](const fs::path& f) {
         std::string json = "{";
         for (int id = 0; id < 8193; ++id) {
           if (id == 4000) continue;
           json += (id ? ",\"" : "\"") + std::to_string(id) + "\":\"p\"";
         }
         writeText(f / "parakeet_vocab.json", json + "}");
       },
       "Failed to load ASR models: Local vocabulary must contain every token before the blank ID"},
      {"emptyVocabulary", [](const fs::path& f) { writeText(f / "parakeet_vocab.json", "[]"); },
       "Failed to load ASR models: Local vocabulary must contain every token before the blank ID"},
      {"noEncoder", [](const fs::path& f) { fs::remove_all(f / "Encoder.mlmodelc"); },
       "ASR model 'Encoder.mlmodelc' not found at: <folder>/Encoder.mlmodelc"},
      {"noJoint", [](const fs::path& f) { fs::remove_all(f / "JointDecisionv3.mlmodelc"); },
       "ASR model 'JointDecisionv3.mlmodelc' not found at: <folder>/JointDecisionv3.mlmodelc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = scratch_ / "flat";
    testsupport::writeParakeetModelSet(folder, standIn(AsrModelVersion::v3));
    c.damage(folder);
    std::string expected = c.expected;
    if (const auto at = expected.find("<folder>"); at != std::string::npos) expected.replace(at, 8, folder.string());
    EXPECT_EQ(failureOf([&] { AsrModels::loadLocal(folder, AsrModelVersion::v3); }), expected);
    fs::remove_all(folder);
  }
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(AsrModelsLoadingTest, BundleWithoutNetworkKeepsTheCache) {
  const fs::path folder = cache(AsrModelVersion::v3);
  fs::remove(folder / "Decoder.mlmodelc" / "model.onnx");
  EXPECT_THROW(AsrModels::load(folder), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::exists(folder / "Decoder.mlmodelc" / "coremldata.bin"));
  EXPECT_EQ(requestCount(), 0u);

  const fs::path flat = scratch_ / "flat";
  testsupport::writeParakeetModelSet(flat, standIn(AsrModelVersion::v3));
  fs::remove(flat / "Decoder.mlmodelc" / "model.onnx");
  EXPECT_THROW(AsrModels::loadLocal(flat, AsrModelVersion::v3), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::exists(flat / "Decoder.mlmodelc" / "coremldata.bin"));
}

TEST_F(AsrModelsLoadingTest, UnreachableHubErrorPassesThroughAndKeepsTheCache) {
  const fs::path folder = cache(AsrModelVersion::v3);
  fs::remove_all(folder / "JointDecisionv3.mlmodelc");
  ModelRegistry::setBaseURL("http://127.0.0.1:9");
  for (bool offline : {false, true}) {
    SCOPED_TRACE(offline ? "offline" : "unreachable");
    ModelHub::setOfflineMode(offline);
    EXPECT_ANY_THROW(AsrModels::load(folder));
    EXPECT_TRUE(fs::exists(folder / "Encoder.mlmodelc" / "model.onnx"));
    EXPECT_TRUE(fs::exists(folder / "parakeet_vocab.json"));
  }
}

TEST_F(AsrModelsLoadingTest, Configurations) {
  const auto defaults = AsrModels::defaultConfiguration();
  EXPECT_EQ(defaults.computeUnits, MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_TRUE(defaults.allowLowPrecisionAccumulationOnGPU);
  EXPECT_FALSE(defaults.functionName);

  auto optimized = AsrModels::optimizedConfiguration(true);
  EXPECT_EQ(optimized.computeUnits, MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_TRUE(optimized.allowLowPrecisionAccumulationOnGPU);
  setenv("CI", "", 1);
  optimized = AsrModels::optimizedConfiguration(false);
  EXPECT_EQ(optimized.computeUnits, MLComputeUnits::cpuOnly);
  EXPECT_FALSE(optimized.allowLowPrecisionAccumulationOnGPU);
  unsetenv("CI");
  EXPECT_EQ(AsrModels::optimizedConfiguration(false).computeUnits, MLComputeUnits::cpuAndNeuralEngine);

  EXPECT_TRUE(AsrModels::optimizedPredictionOptions().outputBackings.empty());
}

TEST_F(AsrModelsLoadingTest, DownloadAndLoadFetchesOnceThenUsesTheCache) {
  publish(AsrModelVersion::quillet25);

  const AsrModels models = AsrModels::downloadAndLoad(std::nullopt, std::nullopt, AsrModelVersion::quillet25);

  EXPECT_EQ(models.version, AsrModelVersion::quillet25);
  EXPECT_EQ(models.encoder->configuration().computeUnits, MLComputeUnits::cpuAndGPU);
  EXPECT_TRUE(logged("Loaded Encoder.mlmodelc with compute units: cpuAndGPU"));
  EXPECT_TRUE(logged("Downloading ASR models to: " +
                     AsrModels::defaultCacheDirectory(AsrModelVersion::quillet25).string()));
  hub_.clearRequests();
  AsrModels::downloadAndLoad(std::nullopt, std::nullopt, AsrModelVersion::quillet25);
  EXPECT_EQ(requestCount(), 0u);

  hub_.clearRequests();
  EXPECT_TRUE(failureOf([] {
                AsrModels::downloadAndLoad(std::nullopt, std::nullopt, AsrModelVersion::quillet25,
                                           ParakeetEncoderPrecision::int8, MLComputeUnits::cpuAndNeuralEngine);
              }).starts_with("Failed to load ASR models: Quillet-2.5 supports the GPU encoder"));
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(AsrModelsLoadingTest, CacheEntriesLoadFromTheDefaultFolder) {
  const fs::path v3 = cache(AsrModelVersion::v3);
  const fs::path ultra = cache(AsrModelVersion::ultra);

  EXPECT_EQ(AsrModels::loadWithAutoRecovery().version, AsrModelVersion::v3);
  EXPECT_TRUE(logged("Loading ASR models from: " + v3.string()));
  const AsrModels fromCache = AsrModels::loadFromCache(std::nullopt, AsrModelVersion::ultra, MLComputeUnits::cpuOnly);
  EXPECT_EQ(fromCache.version, AsrModelVersion::ultra);
  EXPECT_EQ(fromCache.encoder->configuration().computeUnits, MLComputeUnits::cpuOnly);
  EXPECT_TRUE(logged("Loading ASR models from: " + ultra.string()));
  EXPECT_EQ(AsrModels::loadWithAutoRecovery(v3).vocabulary.size(), 8192u);
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(AsrModelsLoadingTest, OlderSystemRefusesCompressedVersionsBeforeTouchingAnything) {
  platform::HostEnvironment::replace(std::make_shared<HostWithSystem>(HostWithSystem::OperatingSystemVersion{14, 0, 0}));
  const fs::path folder = AsrModels::defaultCacheDirectory(AsrModelVersion::redux);
  const std::string expected =
      "Failed to load ASR models: Parakeet Redux requires iOS 18 / macOS 15 (its compressed encoder uses iOS 18 Core "
      "ML ops). Use AsrModelVersion.ultra on iOS 17 / macOS 14.";
  EXPECT_EQ(failureOf([&] { AsrModels::load(folder, std::nullopt, AsrModelVersion::redux); }), expected);
  EXPECT_EQ(failureOf([&] { AsrModels::download(folder, true, AsrModelVersion::redux); }), expected);
  EXPECT_EQ(failureOf([&] { AsrModels::downloadAndLoad(folder, std::nullopt, AsrModelVersion::redux); }), expected);
  EXPECT_EQ(failureOf([&] { AsrModels::loadLocal(folder, AsrModelVersion::redux); }), expected);
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(requestCount(), 0u);
}

}  // namespace
}  // namespace tesselaudio
