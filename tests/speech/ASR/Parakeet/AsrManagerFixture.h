#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRConfig.h"
#include "speech/ASR/Parakeet/AsrManager.h"
#include "speech/ASR/Parakeet/AsrModels.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/ParakeetModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {

// The world of the recogniser tests: stand-in window model sets written into a temporary folder
// and loaded with loadLocal, managers over them whose background work has finished, test audio
// built block by block, and the log captured.
class AsrManagerFixture : public testing::Test {
 protected:
  static constexpr int64_t kWindow = 240000;
  static constexpr int64_t kBlock = 1280;
  // Where the stand-in joint's classes point.
  static constexpr int kHelloId = 100;
  static constexpr int kCommaId = 101;
  static constexpr int kUnknownId = 102;
  static constexpr int kPeriodId = 7883;
  // Classes of the stand-in joint.
  static constexpr int kSilence = 0;
  static constexpr int kHello = 1;
  static constexpr int kComma = 2;
  static constexpr int kUnknown = 3;

  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  // Tokens per class: the version's blank, ▁Hello, ",", "<unk>" (8192 only for a blank of 8192).
  static testsupport::ParakeetWindowScript script(AsrModelVersion version = AsrModelVersion::v3, float probability = 0.9f) {
    testsupport::ParakeetWindowScript script;
    script.hiddenSize = version.encoderHiddenSize();
    script.tokenIds = {static_cast<int32_t>(version.blankId()), kHelloId, kCommaId, kUnknownId};
    script.probabilities = {1.0f, probability, probability, probability};
    script.fused = version.hasFusedEncoder();
    return script;
  }

  // Loads the version's stand-in set built from `window`; with `ladder`, adds the encoder's
  // functions enc_2000ms (201 frames) and enc_5000ms (501 frames); `pieces` adds to or replaces
  // the vocabulary's pieces.
  AsrModels load(AsrModelVersion version = AsrModelVersion::v3, const testsupport::ParakeetWindowScript& window = script(),
                 bool ladder = false, const std::map<int64_t, std::string>& pieces = {}) {
    testsupport::ParakeetModelSet set;
    set.preprocessorFile = std::string(version.preprocessorFile());
    const auto encoderFile = version.encoderFile(ParakeetEncoderPrecision::int8);
    set.encoderFile = encoderFile ? std::string(*encoderFile) : "";
    set.decoderFile = std::string(version.decoderFile());
    set.jointFile = std::string(version.jointFile());
    set.vocabularyFile = std::string(version.vocabularyFile());
    std::map<int64_t, std::string> allPieces = {{kHelloId, "\u2581Hello"}, {kCommaId, ","}, {kUnknownId, "<unk>"},
                                                {kPeriodId, "."},         {7956, "?"},      {8020, "!"}};
    for (const auto& [id, piece] : pieces) allPieces[id] = piece;
    set.vocabulary = testsupport::parakeetVocabulary(version.blankId(), allPieces);
    set.decoderLayers = version.decoderLayers();
    set.window = window;
    const auto folder = folder_.path() / ("set" + std::to_string(sets_++));
    testsupport::writeParakeetModelSet(folder, set);
    AsrModels models = AsrModels::loadLocal(folder, version);
    if (ladder) {
      models.encoderLadder = AsrModels::loadEncoderLadder(folder / set.encoderFile, platform::MLComputeUnits::cpuOnly, models.encoder);
    }
    return models;
  }

  // A manager whose background work is done.
  static std::shared_ptr<AsrManager> manager(std::optional<AsrModels> models, ASRConfig config = {}) {
    auto manager = std::make_shared<AsrManager>(std::move(config), std::move(models));
    manager->waitForBackgroundTasks();
    return manager;
  }

  // A 240,000-sample window: block k (1,280 samples) held at the level that the stand-in decodes as
  // classes[k], zeros after them.
  static std::vector<float> window(const std::vector<int>& classes) {
    std::vector<float> samples(kWindow, 0.0f);
    for (size_t block = 0; block < classes.size(); ++block) {
      const float level = std::sqrt(static_cast<float>(classes[block]) / 1000.0f);
      const auto begin = samples.begin() + static_cast<int64_t>(block) * kBlock;
      std::fill(begin, std::min(begin + kBlock, samples.end()), level);
    }
    return samples;
  }

  // `blocks` blocks of ▁Hello.
  static std::vector<float> speech(int blocks) { return window(std::vector<int>(static_cast<size_t>(blocks), kHello)); }

  // The messages logged under category "ASR", at `level` when given.
  std::vector<std::string> logged(std::optional<platform::SystemLog::Level> level = std::nullopt) const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "ASR" && (!level || record.level == *level)) out.push_back(record.message);
    }
    return out;
  }

  static float firstValue(const std::shared_ptr<platform::MLMultiArray>& array) { return (*array)[0].floatValue(); }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;

 private:
  int sets_ = 0;
};

}  // namespace tesselaudio
