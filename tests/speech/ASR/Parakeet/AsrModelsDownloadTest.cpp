#include "speech/ASR/Parakeet/AsrModels.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "speech/Shared/Download/ModelCache.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "tests/speech/ASR/Parakeet/ParakeetModelsFixture.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;

const auto failureOf = testsupport::thrownDescription<AsrModelsError>;

constexpr const char* kQuilletCommit = "a042ef89966d289df295709b58ffdabb50bd2510";

class AsrModelsDownloadTest : public ParakeetModelsFixture {
 protected:
  static fs::path marker(const fs::path& folder) { return folder / ModelCache::kRevisionMarkerName; }
};

TEST_F(AsrModelsDownloadTest, CompleteCurrentCacheMakesNoRequest) {
  struct Case {
    const char* name;
    AsrModelVersion version;
    std::optional<std::string> marker;
  };
  const Case cases[] = {
      {"mainWithoutMarker", AsrModelVersion::v3, std::nullopt},
      {"mainWithMarker", AsrModelVersion::ultra, "main\n"},
      {"pinnedWithItsMarker", AsrModelVersion::quillet25, std::string(kQuilletCommit) + "\n"},
      {"fusedWithoutMarker", AsrModelVersion::tdtCtc110m, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = cache(c.version);
    if (c.marker) writeText(marker(folder), *c.marker);
    hub_.clearRequests();

    EXPECT_EQ(AsrModels::download(std::nullopt, false, c.version), folder);
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_TRUE(logged("ASR models already present at: " + folder.string()));
  }
}

TEST_F(AsrModelsDownloadTest, PinnedVersionWithoutMarkerFetchesThePinnedCommit) {
  const fs::path folder = cache(AsrModelVersion::quillet25);
  writeText(folder / "stray.txt", "left by an older cache");
  auto published = standIn(AsrModelVersion::quillet25);
  published.vocabulary = testsupport::parakeetVocabulary(8193);
  publish(AsrModelVersion::quillet25, published);

  EXPECT_EQ(AsrModels::download(std::nullopt, false, AsrModelVersion::quillet25), folder);

  EXPECT_FALSE(fs::exists(folder / "stray.txt"));
  EXPECT_EQ(readText(marker(folder)), std::string(kQuilletCommit) + "\n");
  EXPECT_EQ(readText(folder / "parakeet_vocab.json"), published.vocabulary);
  const auto targets = requestTargets();
  EXPECT_TRUE(std::any_of(targets.begin(), targets.end(), [](const std::string& t) {
    return t.starts_with(std::string("/Brindle-HQ/quillet-2.5-coreml/resolve/") + kQuilletCommit + "/");
  }));
  EXPECT_TRUE(logged("Successfully downloaded ASR models"));
}

TEST_F(AsrModelsDownloadTest, StaleMarkerGoesToTheHubEvenWhenEveryFileExists) {
  struct Case {
    const char* name;
    AsrModelVersion version;
    std::string marker;
  };
  const Case cases[] = {
      {"otherRevision", AsrModelVersion::v3, "0123456789abcdef\n"},
      {"notUtf8", AsrModelVersion::v3, "ma\xff\xfein\n"},
      {"upperCaseCommit", AsrModelVersion::quillet25, "A042EF89966D289DF295709B58FFDABB50BD2510\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    publish(c.version);
    const fs::path folder = cache(c.version);
    writeText(marker(folder), c.marker);
    writeText(folder / "stray.txt", "left by the other revision");
    hub_.clearRequests();

    AsrModels::download(std::nullopt, false, c.version);

    EXPECT_GT(requestCount(), 0u);
    EXPECT_FALSE(fs::exists(folder / "stray.txt"));
    EXPECT_TRUE(AsrModels::modelsExist(folder, c.version));
  }
}

TEST_F(AsrModelsDownloadTest, ForceEmptiesTheFolderFirst) {
  publish(AsrModelVersion::v3);
  const fs::path folder = cache(AsrModelVersion::v3);
  writeText(folder / "stray.txt", "not part of the set");

  EXPECT_EQ(AsrModels::download(folder, true, AsrModelVersion::v3), folder);

  EXPECT_FALSE(fs::exists(folder / "stray.txt"));
  EXPECT_GT(requestCount(), 0u);
  EXPECT_TRUE(AsrModels::modelsExist(folder, AsrModelVersion::v3));
}

TEST_F(AsrModelsDownloadTest, ForceRefusesAFolderNamedOtherwise) {
  publish(AsrModelVersion::v3);
  const fs::path documents = scratch_ / "Documents";
  writeText(documents / "notes.txt", "the user's own file");

  const std::string failure = failureOf([&] { AsrModels::download(documents, true, AsrModelVersion::v3); });

  EXPECT_EQ(failure, "Failed to load ASR models: Refusing to remove " + documents.string() +
                         " for a fresh download: the models belong in a folder named parakeet-tdt-0.6b-v3");
  EXPECT_EQ(readText(documents / "notes.txt"), "the user's own file");
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(AsrModelsDownloadTest, FetchesEachEntryInOrderWithItsComputeUnits) {
  constexpr auto cpu = MLComputeUnits::cpuOnly;
  constexpr auto ane = MLComputeUnits::cpuAndNeuralEngine;
  struct Case {
    const char* name;
    AsrModelVersion version;
    ParakeetEncoderPrecision precision;
    std::optional<MLComputeUnits> encoderRequest;
    std::vector<std::pair<std::string, MLComputeUnits>> expected;
    std::optional<std::string> variant;
  };
  const Case cases[] = {
      {"v3",
       AsrModelVersion::v3,
       ParakeetEncoderPrecision::int8,
       std::nullopt,
       {{"Preprocessor.mlmodelc", cpu}, {"Encoder.mlmodelc", ane}, {"Decoder.mlmodelc", ane},
        {"JointDecisionv3.mlmodelc", ane}},
       "int8"},
      {"v3Int4",
       AsrModelVersion::v3,
       ParakeetEncoderPrecision::int4,
       MLComputeUnits::cpuAndGPU,
       {{"Preprocessor.mlmodelc", cpu}, {"EncoderInt4.mlmodelc", MLComputeUnits::cpuAndGPU}, {"Decoder.mlmodelc", ane},
        {"JointDecisionv3.mlmodelc", ane}},
       "int4"},
      {"quillet25",
       AsrModelVersion::quillet25,
       ParakeetEncoderPrecision::int8,
       std::nullopt,
       {{"Preprocessor.mlmodelc", cpu}, {"Encoder.mlmodelc", MLComputeUnits::cpuAndGPU}, {"Decoder.mlmodelc", ane},
        {"JointDecisionv3.mlmodelc", ane}},
       std::nullopt},
      {"fused",
       AsrModelVersion::tdtCtc110m,
       ParakeetEncoderPrecision::int8,
       std::nullopt,
       {{"Preprocessor.mlmodelc", ane}, {"Decoder.mlmodelc", ane}, {"JointDecision.mlmodelc", ane}},
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    publish(c.version, standIn(c.version, c.precision));
    recordHubCalls();
    const auto before = hubCalls().size();

    const fs::path folder = AsrModels::download(std::nullopt, false, c.version, c.precision, c.encoderRequest);

    const auto calls = hubCalls();
    ASSERT_EQ(calls.size() - before, c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const auto& call = calls[before + i];
      EXPECT_EQ(call.modelNames, std::vector<std::string>{c.expected[i].first});
      EXPECT_EQ(call.computeUnits, c.expected[i].second);
      EXPECT_EQ(call.variant, c.variant);
    }
    EXPECT_TRUE(AsrModels::modelsExist(folder, c.version, c.precision));
  }
  EXPECT_FALSE(fs::exists(AsrModels::defaultCacheDirectory(AsrModelVersion::v3) / "Encoder_v2.mlmodelc"));
}

TEST_F(AsrModelsDownloadTest, ForbiddenEncoderRequestFailsBeforeAnyRequest) {
  publish(AsrModelVersion::quillet25);
  const fs::path folder = cache(AsrModelVersion::quillet25);
  for (bool force : {false, true}) {
    SCOPED_TRACE(force ? "force" : "noForce");
    const std::string failure = failureOf(
        [&] { AsrModels::download(folder, force, AsrModelVersion::quillet25, ParakeetEncoderPrecision::int8, MLComputeUnits::all); });
    EXPECT_TRUE(failure.starts_with("Failed to load ASR models: Quillet-2.5 supports the GPU encoder")) << failure;
    EXPECT_EQ(requestCount(), 0u);
    EXPECT_TRUE(fs::exists(folder / "Encoder.mlmodelc" / "model.onnx"));
  }
}

TEST_F(AsrModelsDownloadTest, AFailedEntryEndsTheCallAndKeepsWhatWasFetched) {
  publish(AsrModelVersion::v3);
  hub_.putFile("TesselInference/parakeet-tdt-0.6b-v3-coreml", "main",
               {"Decoder.mlmodelc/model.onnx", "not a network", true});
  recordHubCalls();
  const fs::path folder = AsrModels::defaultCacheDirectory(AsrModelVersion::v3);

  EXPECT_THROW(AsrModels::download(std::nullopt, false, AsrModelVersion::v3), platform::MLModelError);

  const auto calls = hubCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls.back().modelNames, std::vector<std::string>{"Decoder.mlmodelc"});
  for (const char* kept : {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "JointDecisionv3.mlmodelc",
                           "parakeet_vocab.json"}) {
    EXPECT_TRUE(fs::exists(folder / kept)) << kept;
  }
  EXPECT_FALSE(logged("Successfully downloaded ASR models"));
}

TEST_F(AsrModelsDownloadTest, MissingVocabularyIsFetchedFromTheRepositoryTopLevel) {
  for (AsrModelVersion version : {AsrModelVersion::thistle3, AsrModelVersion::thistle3Clean}) {
    SCOPED_TRACE(std::string(version.repo().folderName()));
    ModelRegistry::setRepoOverrides({{"TesselInference/thistle-3.0-coreml", "Mirror/thistle-coreml"}});
    ModelRegistry::setRevisionOverrides({{"TesselInference/thistle-3.0-coreml", "rev-7"}});
    auto set = standIn(version);
    set.vocabulary = "[\"" + std::string(1496, 'v') + "\"]";  // 1,500 bytes
    publish(version, set, "Mirror/thistle-coreml", "rev-7");
    set.vocabulary.clear();
    const fs::path folder = cache(version, set);
    hub_.clearRequests();

    AsrModels::download(std::nullopt, false, version);

    EXPECT_EQ(readText(folder / "parakeet_vocab.json").size(), 1500u);
    const auto targets = requestTargets();
    EXPECT_NE(std::find(targets.begin(), targets.end(), "/Mirror/thistle-coreml/resolve/rev-7/parakeet_vocab.json"),
              targets.end());
    EXPECT_TRUE(logged("Vocabulary parakeet_vocab.json missing after model download; fetching directly"));
    EXPECT_TRUE(logged("Downloaded vocabulary parakeet_vocab.json (1 KB)"));
  }
}

TEST_F(AsrModelsDownloadTest, InvalidHubAddressGivesTheRegistryError) {
  auto set = standIn(AsrModelVersion::v3);
  set.vocabulary.clear();
  const fs::path folder = cache(AsrModelVersion::v3, set);
  ModelRegistry::setBaseURL("not an address");

  try {
    AsrModels::download(std::nullopt, false, AsrModelVersion::v3);
    FAIL() << "no error";
  } catch (const ModelRegistry::Error& error) {
    EXPECT_EQ(error.text(), "not an address/TesselInference/parakeet-tdt-0.6b-v3-coreml/resolve/main/parakeet_vocab.json");
  }
  EXPECT_TRUE(fs::exists(folder / "Encoder.mlmodelc"));
}

TEST_F(AsrModelsDownloadTest, UnreachableHubKeepsTheCacheAndItsError) {
  auto set = standIn(AsrModelVersion::v3);
  set.encoderFile.clear();
  const fs::path folder = cache(AsrModelVersion::v3, set);
  ModelRegistry::setBaseURL("http://127.0.0.1:9");

  EXPECT_ANY_THROW(AsrModels::download(std::nullopt, false, AsrModelVersion::v3));

  EXPECT_TRUE(fs::exists(folder / "Decoder.mlmodelc" / "model.onnx"));
  EXPECT_TRUE(fs::exists(folder / "parakeet_vocab.json"));
}

TEST_F(AsrModelsDownloadTest, ModelsExistChecksTheVersionSetAndItsVocabulary) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> damage;
    AsrModelVersion version;
    ParakeetEncoderPrecision precision;
    bool expected;
  };
  const Case cases[] = {
      {"complete", [](const fs::path&) {}, AsrModelVersion::v3, ParakeetEncoderPrecision::int8, true},
      {"noVocabulary", [](const fs::path& f) { fs::remove(f / "parakeet_vocab.json"); }, AsrModelVersion::v3,
       ParakeetEncoderPrecision::int8, false},
      {"bundleWithoutMarkerFile", [](const fs::path& f) { fs::remove(f / "Decoder.mlmodelc" / "coremldata.bin"); },
       AsrModelVersion::v3, ParakeetEncoderPrecision::int8, false},
      {"otherPrecision", [](const fs::path&) {}, AsrModelVersion::v3, ParakeetEncoderPrecision::int4, false},
      {"int4Set", [](const fs::path& f) { fs::rename(f / "Encoder.mlmodelc", f / "EncoderInt4.mlmodelc"); },
       AsrModelVersion::v3, ParakeetEncoderPrecision::int4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = cache(AsrModelVersion::v3);
    c.damage(folder);
    EXPECT_EQ(AsrModels::modelsExist(folder, c.version, c.precision), c.expected);
    fs::remove_all(folder);
  }
}

TEST_F(AsrModelsDownloadTest, ModelsExistOfAnUnmatchedFolderChecksTheV3Set) {
  cache(AsrModelVersion::v3);
  // The hub keeps the set beside any folder given to it, in the v3 cache folder.
  const fs::path unmatched = modelsRoot() / "my-models";
  EXPECT_TRUE(AsrModels::modelsExist(unmatched));
  fs::remove(modelsRoot() / "parakeet-tdt-0.6b-v3" / "parakeet_vocab.json");
  EXPECT_FALSE(AsrModels::modelsExist(unmatched));

  cache(AsrModelVersion::tdtCtc110m);
  EXPECT_TRUE(AsrModels::modelsExist(modelsRoot() / "parakeet-tdt-ctc-110m"));
}

TEST_F(AsrModelsDownloadTest, ModelValidationOpensEveryModelOfTheVersion) {
  struct Case {
    const char* name;
    AsrModelVersion version;
    std::function<void(const fs::path&)> damage;
    bool valid;
    std::string failureLine;  // prefix
  };
  const Case cases[] = {
      {"complete", AsrModelVersion::v3, [](const fs::path&) {}, true, ""},
      {"jointWithoutNetwork", AsrModelVersion::v3, [](const fs::path& f) { fs::remove(f / "JointDecisionv3.mlmodelc" / "model.onnx"); },
       false, "Model validation failed: Joint - "},
      {"brokenEncoder", AsrModelVersion::ultra,
       [](const fs::path& f) { writeText(f / "Encoder.mlmodelc" / "encoder_main.onnx", "garbage"); }, false,
       "Model validation failed: Encoder - "},
      {"fusedIgnoresAnEncoder", AsrModelVersion::tdtCtc110m,
       [](const fs::path& f) { writeText(f / "Encoder.mlmodelc" / "model.onnx", "garbage"); }, true, ""},
      {"fusedBrokenDecoder", AsrModelVersion::tdtCtc110m,
       [](const fs::path& f) { writeText(f / "Decoder.mlmodelc" / "model.onnx", "garbage"); }, false,
       "Model validation failed: Decoder - "},
      {"filesMissing", AsrModelVersion::v2, [](const fs::path& f) { fs::remove_all(f / "Preprocessor.mlmodelc"); },
       false, "Model validation failed: model files not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = cache(c.version);
    c.damage(folder);
    const auto before = messages().size();

    EXPECT_EQ(AsrModels::isModelValid(c.version), c.valid);

    const auto all = messages();
    const std::vector<std::string> added(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    if (c.valid) {
      EXPECT_TRUE(added.empty());
    } else {
      ASSERT_EQ(added.size(), 1u);
      EXPECT_TRUE(added[0].starts_with(c.failureLine)) << added[0];
    }
    EXPECT_TRUE(fs::exists(folder / "Decoder.mlmodelc"));
    fs::remove_all(folder);
  }
}

}  // namespace
}  // namespace tesselaudio
