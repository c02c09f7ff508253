#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/HostEnvironment.h"
#include "speech/ASR/Parakeet/AsrModelVersion.h"
#include "speech/ASR/Parakeet/ParakeetModelLoader.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "tests/support/HubFake.h"
#include "tests/support/ParakeetModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {

// The world of the Parakeet model-delivery tests: the models root under a temporary XDG_DATA_HOME,
// a loopback hub with the registry pointed at it, stand-in model sets written in the test, and the
// log captured.
class ParakeetModelsFixture : public testing::Test {
 protected:
  using Path = std::filesystem::path;

  // One call the Parakeet loaders made to the hub.
  struct HubCall {
    std::vector<std::string> modelNames;
    platform::MLComputeUnits computeUnits;
    std::optional<std::string> variant;
  };

  void SetUp() override {
    setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    unsetenv("CI");
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRepoOverrides({});
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
  }

  void TearDown() override {
    ParakeetModelLoader::replace({});
    platform::HostEnvironment::replace(nullptr);
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(true);
  }

  Path modelsRoot() const { return MLModelConfigurationUtils::defaultModelsDirectory(); }

  // The stand-in set of `version`: its file names, a vocabulary of every id below the blank, and an
  // encoder with the functions enc_2000ms, enc_15000ms, enc_5000ms, encoder_main (the default,
  // 1,501 frames) and enc_ms.
  static testsupport::ParakeetModelSet standIn(AsrModelVersion version,
                                               ParakeetEncoderPrecision precision = ParakeetEncoderPrecision::int8) {
    testsupport::ParakeetModelSet set;
    set.preprocessorFile = std::string(version.preprocessorFile());
    set.encoderFile = version.encoderFile(precision) ? std::string(*version.encoderFile(precision)) : "";
    set.decoderFile = std::string(version.decoderFile());
    set.jointFile = std::string(version.jointFile());
    set.vocabularyFile = std::string(version.vocabularyFile());
    set.vocabulary = testsupport::parakeetVocabulary(version.blankId());
    set.decoderLayers = version.decoderLayers();
    set.encoder.melFrames = 1501;
    set.encoder.functions = {{"enc_2000ms", 201}, {"enc_15000ms", 1501}, {"enc_5000ms", 501},
                             {"encoder_main", 1501}, {"enc_ms", 11}};
    set.encoder.defaultFunction = "encoder_main";
    return set;
  }

  // Writes the stand-in set of `version` into its default cache folder and returns the folder.
  Path cache(AsrModelVersion version, const testsupport::ParakeetModelSet& set) const {
    const Path folder = MLModelConfigurationUtils::defaultModelsDirectory(version.repo());
    testsupport::writeParakeetModelSet(folder, set);
    return folder;
  }
  Path cache(AsrModelVersion version) const { return cache(version, standIn(version)); }

  // Serves `set` from the hub as `version`'s repository at `revision` (the repository's own when
  // none), below its sub-folder; the vocabulary at the repository's top level.
  void publish(AsrModelVersion version, const testsupport::ParakeetModelSet& set,
               const std::optional<std::string>& repoPath = std::nullopt,
               const std::optional<std::string>& revision = std::nullopt) {
    const Repo repo = version.repo();
    const std::string remote = repoPath.value_or(repo.remotePath());
    const std::string rev = revision.value_or(repo.revision());
    const testsupport::TemporaryFolder staging;
    testsupport::ParakeetModelSet models = set;
    const std::string vocabulary = std::exchange(models.vocabulary, "");
    testsupport::writeParakeetModelSet(staging.path(), models);
    const std::string prefix = repo.subPath() ? *repo.subPath() + "/" : "";
    for (const auto& entry : std::filesystem::directory_iterator(staging.path())) {
      hub_.putFolder(remote, rev, prefix + entry.path().filename().string(), entry.path());
    }
    if (!vocabulary.empty()) hub_.putFile(remote, rev, {set.vocabularyFile, vocabulary, false});
  }
  void publish(AsrModelVersion version) { publish(version, standIn(version)); }

  // Puts a wrapper of the hub call in place that records every call and hands the real result on
  // without `dropped` (when given).
  void recordHubCalls(std::optional<std::string> dropped = std::nullopt) {
    ParakeetModelLoader::replace([this, dropped](Repo repo, const std::vector<std::string>& names, const Path& directory,
                                                 platform::MLComputeUnits units,
                                                 const std::optional<std::string>& variant, const DownloadConfig& config,
                                                 const ProgressHandler& progress, std::stop_token stop) {
      {
        std::scoped_lock lock(callsMutex_);
        calls_.push_back({names, units, variant});
      }
      auto models = ModelHub::loadModels(repo, names, directory, units, variant, config, progress, stop);
      if (dropped) models.erase(*dropped);
      return models;
    });
  }

  std::vector<HubCall> hubCalls() const {
    std::scoped_lock lock(callsMutex_);
    return calls_;
  }

  std::size_t requestCount() const { return hub_.requests().size(); }

  std::vector<std::string> requestTargets() const {
    std::vector<std::string> targets;
    for (const auto& request : hub_.requests()) targets.push_back(request.target);
    return targets;
  }

  // The messages logged under `category`, in order.
  std::vector<std::string> messages(const std::string& category = "AsrModels") const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == category) out.push_back(record.message);
    }
    return out;
  }

  bool logged(const std::string& message, const std::string& category = "AsrModels") const {
    const auto all = messages(category);
    return std::find(all.begin(), all.end(), message) != all.end();
  }

  bool loggedStartingWith(const std::string& prefix, const std::string& category = "AsrModels") const {
    const auto all = messages(category);
    return std::any_of(all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); });
  }

  // The bundles the hub opened, in order (its "Compiled model <name> in …" lines).
  std::vector<std::string> openedByHub() const {
    std::vector<std::string> names;
    for (const std::string& message : messages("DownloadUtils")) {
      constexpr std::string_view kPrefix = "Compiled model ";
      if (!message.starts_with(kPrefix)) continue;
      const std::string rest = message.substr(kPrefix.size());
      names.push_back(rest.substr(0, rest.find(' ')));
    }
    return names;
  }

  static void writeText(const Path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  }

  static std::string readText(const Path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder scratch_;
  testsupport::HubFake hub_;
  testsupport::SystemLogCapture log_;

 private:
  mutable std::mutex callsMutex_;
  std::vector<HubCall> calls_;  // guarded by callsMutex_
};

}  // namespace tesselaudio
