#include "speech/ASR/Parakeet/AsrModels.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/HostEnvironment.h"
#include "speech/ASR/Parakeet/AsrModelVersion.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "tests/support/HostWithSystem.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

const auto failureOf = testsupport::thrownDescription<AsrModelsError>;

namespace fs = std::filesystem;
using platform::MLComputeUnits;
using Names = ModelNames::NameSet;
using testsupport::HostWithSystem;

const Names kV3Layout = {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc"};

struct VersionCase {
  AsrModelVersion version;
  Repo repo;
  const char* cacheFolder;
  const char* revision;
  int64_t blankId;
  int64_t decoderLayers;
  int64_t encoderHiddenSize;
  bool fused;
  bool v3Family;
  std::optional<std::string_view> macOS15PlatformName;
  std::optional<std::string_view> encoder;  // with int8
  const char* decoder;
  const char* joint;
  const char* vocabulary;
  Names required;  // with int8
};

const std::vector<VersionCase>& versionCases() {
  static const std::vector<VersionCase> cases = {
      {AsrModelVersion::v2, Repo::parakeetV2, "parakeet-tdt-0.6b-v2", "main", 1024, 2, 1024, false, false,
       std::nullopt, "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecision.mlmodelc", "parakeet_vocab.json",
       {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecision.mlmodelc"}},
      {AsrModelVersion::v3, Repo::parakeetV3, "parakeet-tdt-0.6b-v3", "main", 8192, 2, 1024, false, true,
       std::nullopt, "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc", "parakeet_vocab.json",
       kV3Layout},
      {AsrModelVersion::redux, Repo::parakeetRedux, "parakeet-redux", "main", 8192, 2, 1024, false, true,
       "Parakeet Redux", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc", "parakeet_vocab.json",
       kV3Layout},
      {AsrModelVersion::ultra, Repo::parakeetUltra, "parakeet-ultra", "main", 8192, 2, 1024, false, true,
       std::nullopt, "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc", "parakeet_vocab.json",
       kV3Layout},
      {AsrModelVersion::quillet2, Repo::quillet2, "quillet-2", "main", 8192, 2, 1024, false, true, "Quillet-2",
       "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc", "parakeet_vocab.json", kV3Layout},
      {AsrModelVersion::quillet25, Repo::quillet25, "quillet-2.5", "a042ef89966d289df295709b58ffdabb50bd2510", 8192,
       2, 1024, false, true, "Quillet-2.5", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc",
       "parakeet_vocab.json", kV3Layout},
      {AsrModelVersion::thistle3, Repo::thistle3, "thistle-3.0", "main", 8192, 2, 1024, false, true, "Thistle 3.0",
       "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc", "parakeet_vocab.json", kV3Layout},
      {AsrModelVersion::thistle3Clean, Repo::thistle3Clean, "thistle-3.0-clean", "main", 8192, 2, 1024, false, true,
       "Thistle 3.0 Clean", "Encoder.mlmodelc", "Decoder.mlmodelc", "JointDecisionv3.mlmodelc",
       "parakeet_vocab.json", kV3Layout},
      {AsrModelVersion::tdtCtc110m, Repo::parakeetTdtCtc110m, "parakeet-tdt-ctc-110m", "main", 1024, 1, 512, true,
       false, std::nullopt, std::nullopt, "Decoder.mlmodelc", "JointDecision.mlmodelc", "parakeet_vocab.json",
       {"Preprocessor.mlmodelc", "Decoder.mlmodelc", "JointDecision.mlmodelc"}},
      {AsrModelVersion::tdtJa, Repo::parakeetJa, "parakeet-ja", "main", 3072, 2, 1024, false, false, std::nullopt,
       "Encoder.mlmodelc", "Decoderv2.mlmodelc", "Jointerv2.mlmodelc", "vocab.json",
       {"Preprocessor.mlmodelc", "Encoder.mlmodelc", "Decoderv2.mlmodelc", "Jointerv2.mlmodelc"}},
  };
  return cases;
}

class AsrModelsTest : public ::testing::Test {
 protected:
  void useSystem(int majorVersion) {
    auto previous = platform::HostEnvironment::replace(
        std::make_shared<HostWithSystem>(platform::HostEnvironment::OperatingSystemVersion{majorVersion, 0, 0}));
    if (!previous_) previous_ = previous;
  }
  void TearDown() override {
    if (previous_) platform::HostEnvironment::replace(previous_);
  }

 private:
  std::shared_ptr<const platform::HostEnvironment> previous_;
};

TEST_F(AsrModelsTest, EveryVersionNamesItsRepositoryNumbersAndFiles) {
  ASSERT_EQ(AsrModelVersion::allCases().size(), versionCases().size());
  const fs::path modelsRoot = fs::path(std::getenv("XDG_DATA_HOME")) / "TesselAudio" / "Models";
  for (size_t i = 0; i < versionCases().size(); ++i) {
    const VersionCase& c = versionCases()[i];
    const AsrModelVersion version = c.version;
    SCOPED_TRACE(c.cacheFolder);
    EXPECT_EQ(AsrModelVersion::allCases()[i], version);
    EXPECT_EQ(version.repo(), c.repo);
    EXPECT_EQ(version.repo().folderName(), c.cacheFolder);
    EXPECT_EQ(version.repo().revision(), c.revision);
    EXPECT_EQ(version.blankId(), c.blankId);
    EXPECT_EQ(version.decoderLayers(), c.decoderLayers);
    EXPECT_EQ(version.encoderHiddenSize(), c.encoderHiddenSize);
    EXPECT_EQ(version.hasFusedEncoder(), c.fused);
    EXPECT_EQ(version.isV3Family(), c.v3Family);
    EXPECT_EQ(version.macOS15PlatformName(), c.macOS15PlatformName);
    EXPECT_EQ(version.preprocessorFile(), "Preprocessor.mlmodelc");
    EXPECT_EQ(version.encoderFile(ParakeetEncoderPrecision::int8), c.encoder);
    EXPECT_EQ(version.decoderFile(), c.decoder);
    EXPECT_EQ(version.jointFile(), c.joint);
    EXPECT_EQ(version.vocabularyFile(), c.vocabulary);
    EXPECT_EQ(AsrModels::getRequiredModels(version, ParakeetEncoderPrecision::int8), c.required);
    EXPECT_FALSE(AsrModels::getRequiredModels(version, ParakeetEncoderPrecision::int8).contains("CtcHead.mlmodelc"));
    EXPECT_EQ(AsrModels::defaultCacheDirectory(version), modelsRoot / c.cacheFolder);
    EXPECT_EQ(AsrModels::inferredVersion(modelsRoot / c.cacheFolder), version);

    AsrModels models;
    models.version = version;
    EXPECT_EQ(models.usesSplitFrontend(), !c.fused);
    if (version == AsrModelVersion::v3) continue;
    // Only v3 reads the precision.
    for (ParakeetEncoderPrecision precision : ParakeetEncoderPrecision::allCases()) {
      EXPECT_EQ(AsrModels::getRequiredModels(version, precision), c.required);
      EXPECT_EQ(version.encoderFile(precision), c.encoder);
      EXPECT_EQ(version.hubVariant(precision), std::nullopt);
    }
  }
  EXPECT_EQ(AsrModels::requiredModelNames(), versionCases()[0].required);
}

TEST_F(AsrModelsTest, V3TakesTheEncoderOfItsPrecision) {
  struct Case {
    ParakeetEncoderPrecision precision;
    const char* encoder;
    const char* variant;
  };
  const Case cases[] = {
      {ParakeetEncoderPrecision::int8, "Encoder.mlmodelc", "int8"},
      {ParakeetEncoderPrecision::int8V2, "Encoder_v2.mlmodelc", "int8-v2"},
      {ParakeetEncoderPrecision::int4, "EncoderInt4.mlmodelc", "int4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    const AsrModelVersion v3 = AsrModelVersion::v3;
    EXPECT_EQ(v3.encoderFile(c.precision), c.encoder);
    EXPECT_EQ(v3.hubVariant(c.precision), c.variant);
    const Names expected = {"Preprocessor.mlmodelc", c.encoder, "Decoder.mlmodelc", "JointDecisionv3.mlmodelc"};
    EXPECT_EQ(AsrModels::getRequiredModels(v3, c.precision), expected);
  }
}

TEST_F(AsrModelsTest, InfersTheVersionOfAFolder) {
  struct Case {
    const char* name;
    fs::path folder;
    std::optional<AsrModelVersion> version;
  };
  const Case cases[] = {
      {"clean as the last component", "/models/thistle-3.0-clean", AsrModelVersion::thistle3Clean},
      {"clean as an inner component", "/models/thistle-3.0-clean/weights", AsrModelVersion::thistle3Clean},
      {"plain thistle", "/models/thistle-3.0/", AsrModelVersion::thistle3},
      {"quillet-2.5 inside the path", "/models/quillet-2.5/copy", AsrModelVersion::quillet25},
      {"quillet-2 as the last component", "/models/quillet-2", AsrModelVersion::quillet2},
      {"upper case", "/models/PARAKEET-TDT-0.6B-V3", AsrModelVersion::v3},
      {"relative path", "parakeet-ja", AsrModelVersion::tdtJa},
      {"hybrid before v2", "/x/parakeet-tdt-ctc-110m", AsrModelVersion::tdtCtc110m},
      {"no match", "/models/whisper-large", std::nullopt},
      {"empty path", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsrModels::inferredVersion(c.folder), c.version);
  }
}

TEST_F(AsrModelsTest, ResolvesTheEncoderComputeUnits) {
  struct Case {
    const char* name;
    AsrModelVersion version;
    MLComputeUnits configuration;
    std::optional<MLComputeUnits> requested;
    MLComputeUnits result;
  };
  const Case cases[] = {
      {"quillet-2.5 on the neural engine configuration", AsrModelVersion::quillet25,
       MLComputeUnits::cpuAndNeuralEngine, std::nullopt, MLComputeUnits::cpuAndGPU},
      {"quillet-2.5 on all", AsrModelVersion::quillet25, MLComputeUnits::all, std::nullopt, MLComputeUnits::cpuAndGPU},
      {"quillet-2.5 on the CPU", AsrModelVersion::quillet25, MLComputeUnits::cpuOnly, std::nullopt,
       MLComputeUnits::cpuOnly},
      {"quillet-2.5 asking for the CPU", AsrModelVersion::quillet25, MLComputeUnits::all, MLComputeUnits::cpuOnly,
       MLComputeUnits::cpuOnly},
      {"v3 without a request", AsrModelVersion::v3, MLComputeUnits::cpuAndNeuralEngine, std::nullopt,
       MLComputeUnits::cpuAndNeuralEngine},
      {"v3 asking for all", AsrModelVersion::v3, MLComputeUnits::cpuOnly, MLComputeUnits::all, MLComputeUnits::all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsrModels::resolvedEncoderComputeUnits(c.version, c.configuration, c.requested), c.result);
  }
  for (MLComputeUnits forbidden : {MLComputeUnits::all, MLComputeUnits::cpuAndNeuralEngine}) {
    SCOPED_TRACE(static_cast<int>(forbidden));
    EXPECT_EQ(failureOf([&] {
                AsrModels::resolvedEncoderComputeUnits(AsrModelVersion::quillet25, MLComputeUnits::cpuOnly, forbidden);
              }),
              "Failed to load ASR models: Quillet-2.5 supports the GPU encoder or CPU-only diagnostics; ANE encoder "
              "parity is not validated. Use encoderComputeUnits: .cpuAndGPU.");
  }
}

TEST_F(AsrModelsTest, CompressedEncodersNeedSystem15) {
  useSystem(14);
  EXPECT_EQ(failureOf([] { AsrModels::checkPlatformSupport(AsrModelVersion::redux); }),
            "Failed to load ASR models: Parakeet Redux requires iOS 18 / macOS 15 (its compressed encoder uses iOS "
            "18 Core ML ops). Use AsrModelVersion.ultra on iOS 17 / macOS 14.");
  for (const VersionCase& c : versionCases()) {
    SCOPED_TRACE(c.cacheFolder);
    const std::string failure = failureOf([&] { AsrModels::checkPlatformSupport(c.version); });
    if (c.macOS15PlatformName) {
      EXPECT_EQ(failure, "Failed to load ASR models: " + std::string(*c.macOS15PlatformName) +
                             " requires iOS 18 / macOS 15 (its compressed encoder uses iOS 18 Core ML ops). Use "
                             "AsrModelVersion.ultra on iOS 17 / macOS 14.");
    } else {
      EXPECT_EQ(failure, "");
    }
  }

  useSystem(15);
  for (const VersionCase& c : versionCases()) {
    EXPECT_NO_THROW(AsrModels::checkPlatformSupport(c.version)) << c.cacheFolder;
  }
}

TEST_F(AsrModelsTest, TheRealSystemRefusesNoVersion) {
  EXPECT_EQ(platform::HostEnvironment::current()->operatingSystemVersion(),
            (platform::HostEnvironment::OperatingSystemVersion{15, 0, 0}));
  for (const VersionCase& c : versionCases()) {
    EXPECT_NO_THROW(AsrModels::checkPlatformSupport(c.version)) << c.cacheFolder;
  }
}

TEST(AsrModelsErrorTest, DescriptionsAreExact) {
  struct Case {
    AsrModelsError error;
    AsrModelsError::Case errorCase;
    const char* description;
  };
  const Case cases[] = {
      {AsrModelsError::modelNotFound("vocab.json", "/models/parakeet-ja/vocab.json"),
       AsrModelsError::Case::modelNotFound, "ASR model 'vocab.json' not found at: /models/parakeet-ja/vocab.json"},
      {AsrModelsError::downloadFailed("hub unreachable"), AsrModelsError::Case::downloadFailed,
       "Failed to download ASR models: hub unreachable"},
      {AsrModelsError::loadingFailed("bad joint"), AsrModelsError::Case::loadingFailed,
       "Failed to load ASR models: bad joint"},
      {AsrModelsError::modelCompilationFailed("Encoder.mlpackage"), AsrModelsError::Case::modelCompilationFailed,
       "Failed to compile ASR models: Encoder.mlpackage. Try deleting the models and re-downloading."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    const platform::Error& asBase = c.error;
    EXPECT_EQ(asBase.description(), c.description);
    EXPECT_STREQ(asBase.what(), c.description);
    EXPECT_EQ(asBase.typeName(), "AsrModelsError");
    EXPECT_EQ(asBase.domain(), AsrModelsError::kDomain);
    EXPECT_EQ(c.error.errorCase(), c.errorCase);
  }
}

}  // namespace
}  // namespace tesselaudio
