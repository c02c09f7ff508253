#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModels.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/FileIO.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyContext.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModelVariant.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcTokenizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/CtcModelBuilder.h"
#include "tests/support/HubFake.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRepo = "TesselInference/parakeet-ctc-110m-coreml";

void writeText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// The stand-in pair on a loopback hub, the user's data folder (and so the models root) in a
// temporary folder, and the log captured.
class CtcModelsTest : public testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
  }

  void TearDown() override {
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(true);
  }

  fs::path writeSet(const std::string& name = "set") {
    const fs::path set = scratch_.path() / name;
    testsupport::writeCtcFolder(set);
    return set;
  }

  void publish(const fs::path& set) {
    for (const auto& entry : fs::directory_iterator(set)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_directory()) {
        hub_.putFolder(kRepo, "main", name, entry.path());
      } else {
        hub_.putFile(kRepo, "main", {name, platform::readFile(entry.path())});
      }
    }
  }

  fs::path root() const { return data_.path() / "TesselAudio" / "Models"; }
  fs::path cache() const { return root() / "parakeet-ctc-110m-coreml"; }

  std::vector<std::string> requestedFiles() const {
    std::vector<std::string> files;
    for (const auto& request : hub_.requests()) {
      const auto at = request.target.find("/resolve/main/");
      if (at != std::string::npos) files.push_back(request.target.substr(at + 14));
    }
    return files;
  }

  bool requested(const std::string& prefix) const {
    const auto files = requestedFiles();
    return std::any_of(files.begin(), files.end(), [&](const std::string& f) { return f.starts_with(prefix); });
  }

  std::vector<std::string> lines(const std::string& category) const { return log_.messages(category); }

  bool logged(const std::string& category, const std::string& line) const {
    const auto all = lines(category);
    return std::find(all.begin(), all.end(), line) != all.end();
  }

  bool loggedStartingWith(const std::string& category, const std::string& prefix) const {
    const auto all = lines(category);
    return std::any_of(all.begin(), all.end(), [&](const std::string& line) { return line.starts_with(prefix); });
  }

  testsupport::TemporaryFolder data_;
  testsupport::ScopedVariable dataHome_{"XDG_DATA_HOME", data_.path().string()};
  testsupport::TemporaryFolder scratch_;
  testsupport::HubFake hub_;
  testsupport::SystemLogCapture log_;
};

TEST(CtcModelVariantTest, RawValuesRepositoriesAndConfigurations) {
  const auto variant = CtcModelVariant::fromRawValue("ctc06b");
  ASSERT_TRUE(variant);
  EXPECT_EQ(variant->repo().rawValue(), "TesselInference/parakeet-ctc-0.6b-coreml");
  EXPECT_EQ(variant->repo().folderName(), "parakeet-ctc-0.6b-coreml");
  EXPECT_EQ(variant->displayName(), "Parakeet CTC 0.6B (pure)");
  EXPECT_EQ(CtcModelVariant::fromRawValue("ctc110m"), CtcModelVariant::ctc110m);
  EXPECT_EQ(CtcModelVariant(CtcModelVariant::ctc110m).repo().folderName(), "parakeet-ctc-110m-coreml");
  for (const char* raw : {"", "CTC06B", "ctc06b ", "ctc110"}) EXPECT_FALSE(CtcModelVariant::fromRawValue(raw)) << raw;

  auto encoder = CtcModels::defaultConfiguration();
  const auto mel = CtcModels::melSpectrogramConfiguration();
  EXPECT_EQ(encoder.computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(mel.computeUnits, platform::MLComputeUnits::cpuOnly);
  EXPECT_TRUE(encoder.allowLowPrecisionAccumulationOnGPU);
  EXPECT_TRUE(mel.allowLowPrecisionAccumulationOnGPU);
  encoder.computeUnits = platform::MLComputeUnits::all;
  EXPECT_EQ(CtcModels::defaultConfiguration().computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
}

TEST_F(CtcModelsTest, DefaultFolderIsBelowTheDataFolder) {
  EXPECT_EQ(CtcModels::defaultCacheDirectory(CtcModelVariant::ctc110m), cache());
  EXPECT_EQ(CtcModels::defaultCacheDirectory(CtcModelVariant::ctc06b), root() / "parakeet-ctc-0.6b-coreml");
}

TEST_F(CtcModelsTest, DownloadSkipsACompleteFolderAndFetchesAnIncompleteOne) {
  publish(writeSet());
  EXPECT_EQ(CtcModels::download(std::nullopt, CtcModelVariant::ctc110m), cache());
  EXPECT_TRUE(requested("MelSpectrogram.mlmodelc/"));
  EXPECT_TRUE(requested("AudioEncoder.mlmodelc/"));
  EXPECT_TRUE(fs::exists(cache() / "vocab.json"));
  EXPECT_TRUE(fs::exists(cache() / "tokenizer.json"));
  EXPECT_TRUE(logged("CtcModels", "Preparing CTC models (Parakeet CTC 110M (hybrid)) at: " + cache().string()));
  EXPECT_TRUE(logged("CtcModels", "Successfully downloaded CTC models (Parakeet CTC 110M (hybrid))"));

  hub_.clearRequests();
  EXPECT_EQ(CtcModels::download(std::nullopt, CtcModelVariant::ctc110m), cache());
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_TRUE(logged("CtcModels", "CTC models already present at: " + cache().string()));

  fs::remove(cache() / "vocab.json");
  EXPECT_FALSE(CtcModels::modelsExist(cache()));
  CtcModels::download(std::nullopt, CtcModelVariant::ctc110m);
  EXPECT_TRUE(requested("vocab.json"));
  EXPECT_TRUE(CtcModels::modelsExist(cache()));
}

TEST_F(CtcModelsTest, ForcedDownloadRemovesOnlyTheRepositoryFolder) {
  publish(writeSet());
  CtcModels::download(std::nullopt, CtcModelVariant::ctc110m);
  writeText(cache() / "stale.txt", "left over");
  hub_.clearRequests();
  CtcModels::download(std::nullopt, CtcModelVariant::ctc110m, true);
  EXPECT_FALSE(fs::exists(cache() / "stale.txt"));
  EXPECT_TRUE(requested("MelSpectrogram.mlmodelc/"));
  EXPECT_TRUE(requested("AudioEncoder.mlmodelc/"));
  EXPECT_TRUE(CtcModels::modelsExist(cache()));

  // A target of another name is never removed: the models land in the repository folder beside it.
  const fs::path unrelated = root() / "my-notes";
  writeText(unrelated / "notes.txt", "keep me");
  EXPECT_EQ(CtcModels::download(unrelated, CtcModelVariant::ctc110m, true), unrelated);
  EXPECT_EQ(platform::readFile(unrelated / "notes.txt"), "keep me");
  EXPECT_TRUE(CtcModels::modelsExist(cache()));
}

TEST_F(CtcModelsTest, LoadReturnsTheSetAndLogsIt) {
  publish(writeSet());
  const CtcModels models = CtcModels::downloadAndLoad(std::nullopt, CtcModelVariant::ctc110m);
  ASSERT_TRUE(models.melSpectrogram);
  ASSERT_TRUE(models.encoder);
  EXPECT_EQ(models.melSpectrogram->modelDescription().inputDescriptionsByName.count("audio"), 1u);
  EXPECT_EQ(models.encoder->modelDescription().outputDescriptionsByName.count("ctc_head_raw_output"), 1u);
  EXPECT_EQ(models.configuration, CtcModels::defaultConfiguration());
  EXPECT_EQ(models.melSpectrogram->configuration().computeUnits, platform::MLComputeUnits::cpuOnly);
  EXPECT_EQ(models.vocabulary.size(), 40u);
  EXPECT_EQ(models.vocabulary.at(1), "\u2581");
  EXPECT_EQ(models.variant, CtcModelVariant::ctc110m);
  EXPECT_TRUE(logged("CtcModels", "Loading CTC models (Parakeet CTC 110M (hybrid)) from: " + cache().string()));
  EXPECT_TRUE(logged("CtcModels", "Loaded CTC vocabulary with 40 tokens from " + (cache() / "vocab.json").string()));
  EXPECT_TRUE(logged("CtcModels", "Successfully loaded CTC models (Parakeet CTC 110M (hybrid)) and vocabulary"));
}

TEST_F(CtcModelsTest, LoadReadsTheVocabularyOfTheFolderTheModelsCameFrom) {
  publish(writeSet());
  const fs::path elsewhere = root() / "elsewhere";
  writeText(elsewhere / "vocab.json", R"({"0": "wrong"})");
  const CtcModels models = CtcModels::load(elsewhere, CtcModelVariant::ctc110m);
  EXPECT_EQ(models.vocabulary.size(), 40u);
  EXPECT_EQ(models.vocabulary.at(0), "<unk>");
}

TEST_F(CtcModelsTest, CorruptEncoderIsPurgedAndFetchedOnce) {
  publish(writeSet());
  CtcModels::download(std::nullopt, CtcModelVariant::ctc110m);
  writeText(cache() / "AudioEncoder.mlmodelc" / "model.onnx", "garbage, not a network");
  hub_.clearRequests();

  const CtcModels models = CtcModels::load(cache(), CtcModelVariant::ctc110m);
  EXPECT_TRUE(models.encoder);
  EXPECT_TRUE(loggedStartingWith("DownloadUtils", "First load failed: "));
  EXPECT_TRUE(logged("DownloadUtils", "Deleting AudioEncoder.mlmodelc and re-downloading\u2026"));
  EXPECT_TRUE(requested("AudioEncoder.mlmodelc/model.onnx"));
  EXPECT_FALSE(requested("MelSpectrogram.mlmodelc/"));
}

TEST_F(CtcModelsTest, LostVocabularyIsFetchedAgainOrNamedOffline) {
  publish(writeSet());
  CtcModels::download(std::nullopt, CtcModelVariant::ctc110m);
  fs::remove(cache() / "vocab.json");
  ModelHub::setOfflineMode(true);
  EXPECT_EQ(testsupport::thrownDescription<AsrModelsError>([&] { CtcModels::load(cache(), CtcModelVariant::ctc110m); }),
            "ASR model 'vocab.json' not found at: " + (cache() / "vocab.json").string());
  ModelHub::setOfflineMode(false);
  hub_.clearRequests();
  EXPECT_EQ(CtcModels::load(cache(), CtcModelVariant::ctc110m).vocabulary.size(), 40u);
  EXPECT_EQ(requestedFiles(), (std::vector<std::string>{"vocab.json"}));
}

TEST_F(CtcModelsTest, CancelledRetryGetsNoSizeDiagnosis) {
  publish(writeSet());
  CtcModels::download(std::nullopt, CtcModelVariant::ctc110m);
  writeText(cache() / "AudioEncoder.mlmodelc" / "model.onnx", "garbage, not a network");
  hub_.clearRequests();
  hub_.holdFile(kRepo, "AudioEncoder.mlmodelc/model.onnx");
  std::stop_source stop;
  std::thread canceller([&] {
    // The retry's download has begun: stop it there.
    if (hub_.waitForFileRequests(1, std::chrono::seconds(30))) stop.request_stop();
    hub_.releaseFile(kRepo, "AudioEncoder.mlmodelc/model.onnx");
  });
  EXPECT_THROW(CtcModels::load(cache(), CtcModelVariant::ctc110m, stop.get_token()), platform::CancellationError);
  canceller.join();
  EXPECT_TRUE(loggedStartingWith("DownloadUtils", "First load failed: "));
  EXPECT_FALSE(loggedStartingWith("DownloadUtils", "Load still failing"));
  EXPECT_FALSE(loggedStartingWith("DownloadUtils", "Load-failure size diagnosis"));
}

TEST_F(CtcModelsTest, FailuresOutsideTheCacheKeepEveryFile) {
  struct Case {
    const char* name;
    bool offline;
    bool unreachable;
    bool cancelled;
    const char* logPrefix;
  };
  const Case cases[] = {
      {"offline", true, false, false, "Offline mode: load failed and re-download blocked. "},
      {"unreachable hub", false, true, false,
       "Load failed with transient network error; preserving model cache for resume. "},
      {"cancelled", false, false, true, "Load cancelled; preserving model cache. "},
  };
  publish(writeSet());
  CtcModels::download(std::nullopt, CtcModelVariant::ctc110m);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // An incomplete encoder: a purge would remove it.
    fs::remove(cache() / "AudioEncoder.mlmodelc" / "model.onnx");
    writeText(cache() / "AudioEncoder.mlmodelc" / "metadata.json", "{}");
    fs::remove(cache() / "AudioEncoder.mlmodelc" / "coremldata.bin");
    ModelHub::setOfflineMode(c.offline);
    if (c.unreachable) ModelRegistry::setBaseURL("http://127.0.0.1:9");
    std::stop_source stop;
    if (c.cancelled) stop.request_stop();
    EXPECT_ANY_THROW(CtcModels::load(cache(), CtcModelVariant::ctc110m, stop.get_token()));
    EXPECT_EQ(platform::readFile(cache() / "AudioEncoder.mlmodelc" / "metadata.json"), "{}");
    EXPECT_TRUE(fs::exists(cache() / "MelSpectrogram.mlmodelc" / "model.onnx"));
    EXPECT_TRUE(loggedStartingWith("DownloadUtils", c.logPrefix));
    EXPECT_FALSE(loggedStartingWith("DownloadUtils", "First load failed: "));
    ModelHub::setOfflineMode(false);
    ModelRegistry::setBaseURL(hub_.baseURL());
  }
}

TEST_F(CtcModelsTest, BundleWithoutNetworkIsKeptAndNotFetchedAgain) {
  const fs::path set = writeSet();
  fs::remove(set / "AudioEncoder.mlmodelc" / "model.onnx");
  publish(set);
  EXPECT_THROW(CtcModels::load(root() / "parakeet-ctc-110m-coreml", CtcModelVariant::ctc110m), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::is_regular_file(cache() / "AudioEncoder.mlmodelc" / "coremldata.bin"));
  EXPECT_FALSE(loggedStartingWith("DownloadUtils", "First load failed: "));

  hub_.clearRequests();
  EXPECT_THROW(CtcModels::load(cache(), CtcModelVariant::ctc110m), UnsupportedModelFormatError);
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(CtcModelsTest, DirectLoadLogsEachModelAndTheComputeUnits) {
  const fs::path set = writeSet();
  const CtcModels models = CtcModels::loadDirect(set, CtcModelVariant::ctc06b);
  EXPECT_EQ(models.variant, CtcModelVariant::ctc06b);
  EXPECT_EQ(models.vocabulary.size(), 40u);
  EXPECT_EQ(lines("CtcModels"),
            (std::vector<std::string>{
                "Loading CTC models directly from: " + set.string(),
                "Loaded MelSpectrogram directly from: " + (set / "MelSpectrogram.mlmodelc").string(),
                "Loaded AudioEncoder directly from: " + (set / "AudioEncoder.mlmodelc").string(),
                "CTC encoder loaded with computeUnits: cpuAndNeuralEngine (MelSpectrogram: cpuOnly)",
                "Loaded CTC vocabulary with 40 tokens from " + (set / "vocab.json").string(),
                "Successfully loaded CTC models directly (40 vocab tokens)",
            }));
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(CtcModelsTest, DirectLoadFailures) {
  const fs::path set = writeSet();
  fs::remove_all(set / "MelSpectrogram.mlmodelc");
  EXPECT_EQ(testsupport::thrownDescription<AsrModelsError>([&] { CtcModels::loadDirect(set, CtcModelVariant::ctc110m); }),
            "ASR model 'MelSpectrogram' not found at: " + (set / "MelSpectrogram.mlmodelc").string());

  // A broken encoder is compiled once; a compiled folder is no package, so that fails too.
  const fs::path broken = writeSet("broken");
  writeText(broken / "AudioEncoder.mlmodelc" / "model.onnx", "garbage");
  EXPECT_THROW(CtcModels::loadDirect(broken, CtcModelVariant::ctc110m), platform::MLModelError);
  EXPECT_TRUE(logged("CtcModels", "Direct load failed, attempting compilation..."));
  EXPECT_FALSE(loggedStartingWith("CtcModels", "Loaded AudioEncoder directly from: "));
  EXPECT_FALSE(fs::exists(broken / "AudioEncoder.mlpackage"));

  // The vocabulary is looked for only after both models loaded.
  const fs::path noVocabulary = writeSet("noVocabulary");
  fs::remove(noVocabulary / "vocab.json");
  EXPECT_EQ(testsupport::thrownDescription<AsrModelsError>(
                [&] { CtcModels::loadDirect(noVocabulary, CtcModelVariant::ctc110m); }),
            "ASR model 'vocab.json' not found at: " + (noVocabulary / "vocab.json").string());
  EXPECT_TRUE(loggedStartingWith("CtcModels", "CTC encoder loaded with computeUnits: "));
}

TEST_F(CtcModelsTest, VocabularyKeysAndInvalidFiles) {
  const fs::path folder = scratch_.path() / "vocabulary";
  writeText(folder / "vocab.json", R"({"0": "a", "+7": "b", "-1": "c", "x1": "d", "1.5": "e", "+-2": "f",
                                       "99999999999999999999": "g", "": "h"})");
  EXPECT_EQ(CtcModels::loadVocabulary(folder),
            (std::map<std::int64_t, std::string>{{0, "a"}, {7, "b"}, {-1, "c"}}));

  for (const char* text : {R"({"0": "a", "1": 2})", R"(["a", "b"])", R"({"x": "a"})", "{}", "not json"}) {
    SCOPED_TRACE(text);
    writeText(folder / "vocab.json", text);
    try {
      CtcModels::loadVocabulary(folder);
      ADD_FAILURE() << "no error";
    } catch (const AsrModelsError& error) {
      EXPECT_EQ(error.errorCase(), AsrModelsError::Case::loadingFailed);
      EXPECT_EQ(error.description(),
                "Failed to load ASR models: Invalid CTC vocabulary: " + (folder / "vocab.json").string());
    }
  }
}

TEST_F(CtcModelsTest, LoadWithCtcTokensEncodesEveryTerm) {
  publish(writeSet());
  const fs::path file = scratch_.path() / "terms.json";
  writeText(file, R"({"terms": [
      {"text": "tessel", "ctcTokenIds": [3, 4], "tokenIds": [9], "weight": 2.5, "minSimilarity": 1.5},
      {"text": "bee", "aliases": ["b"]}
    ], "minTermLength": 2})");
  const auto [vocabulary, models] = CustomVocabularyContext::loadWithCtcTokens(file.string(), CtcModelVariant::ctc110m);
  const auto tokenizer = CtcTokenizer::load(cache());
  ASSERT_EQ(vocabulary.terms.size(), 2u);
  EXPECT_EQ(vocabulary.terms[0].ctcTokenIds, tokenizer->encode("tessel"));
  EXPECT_NE(vocabulary.terms[0].ctcTokenIds, (std::vector<std::int64_t>{3, 4}));
  EXPECT_FALSE(vocabulary.terms[0].tokenIds);
  EXPECT_EQ(vocabulary.terms[0].weight, 2.5f);
  EXPECT_EQ(vocabulary.terms[0].minSimilarity, 1.0f);
  EXPECT_EQ(vocabulary.terms[1].ctcTokenIds, tokenizer->encode("bee"));
  EXPECT_EQ(vocabulary.terms[1].aliases, (std::vector<std::string>{"b"}));
  EXPECT_EQ(vocabulary.minTermLength, 2);
  EXPECT_TRUE(models.encoder);
  EXPECT_EQ(models.vocabulary.size(), 40u);
}

}  // namespace
}  // namespace tesselaudio
