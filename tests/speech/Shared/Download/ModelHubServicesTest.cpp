#include "speech/Shared/Download/ModelHub.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "platform/sys/Environment.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/HFClient.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::HubFake;
using Fault = HubFake::Fault;

constexpr const char* kRepo = "TesselInference/parakeet-tdt-0.6b-v3-coreml";
constexpr const char* kPath = "parakeet_vocab.json";
const std::string kBytes = R"({"0": "<unk>", "1": "▁の"})";

void writeText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// Sets an environment variable for the lifetime of the object and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name), old_(platform::Environment::value(name)) {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ModelHubServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
    hub_.putFile(kRepo, "main", {kPath, kBytes, false});
  }

  void TearDown() override {
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(true);
  }

  platform::Url vocabulary() const { return ModelRegistry::resolveModel(kRepo, kPath, "main"); }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "DownloadUtils") out.push_back(record.message);
    }
    return out;
  }

  HubFake hub_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
};

TEST_F(ModelHubServicesTest, FetchFileRetriesOnlyTransientAnswers) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::optional<DownloadError::Case> expected;  // none: the body arrives
    std::size_t requests;
  };
  const Case cases[] = {
      {"not found is final", {Fault::httpStatus(404)}, DownloadError::Case::downloadFailed, 1},
      {"unavailable, then the body", {Fault::httpStatus(503)}, std::nullopt, 2},
      {"unavailable twice", {Fault::httpStatus(503), Fault::httpStatus(503)}, DownloadError::Case::rateLimited, 2},
      {"HTML page with 200, then the body", {Fault::of(Fault::Kind::htmlBody)}, std::nullopt, 2},
      {"HTML type twice",
       {Fault::of(Fault::Kind::htmlContentType), Fault::of(Fault::Kind::htmlContentType)},
       DownloadError::Case::invalidArtifact,
       2},
      {"empty twice",
       {Fault::of(Fault::Kind::emptyBody), Fault::of(Fault::Kind::emptyBody)},
       DownloadError::Case::invalidArtifact,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hub_.clearRequests();
    testsupport::SystemLogCapture log;
    for (const Fault& fault : c.faults) hub_.failNextRequest(kRepo, kPath, fault);
    try {
      EXPECT_EQ(ModelHub::fetchFile(vocabulary(), "vocabulary", 2, 0.01), kBytes);
      EXPECT_FALSE(c.expected);
    } catch (const DownloadError& error) {
      ASSERT_TRUE(c.expected) << error.what();
      EXPECT_EQ(error.errorCase(), *c.expected);
    }
    EXPECT_EQ(hub_.requests().size(), c.requests);
    std::size_t retries = 0;
    for (const auto& record : log.records()) {
      if (record.message.rfind("Download attempt ", 0) != 0) continue;
      ++retries;
      EXPECT_EQ(record.message.rfind("Download attempt 1 for vocabulary failed: ", 0), 0u) << record.message;
    }
    EXPECT_EQ(retries, c.requests - 1);
  }
}

TEST_F(ModelHubServicesTest, TokenIsSentOnlyWhenTheEnvironmentHasOne) {
  ModelHub::fetchFile(vocabulary(), "vocabulary", 1, 0.01);
  ModelHub::fetchWithAuth(vocabulary());
  for (const auto& request : hub_.requests()) EXPECT_FALSE(request.hasAuthorization) << request.target;

  hub_.clearRequests();
  ScopedVariable token("HF_TOKEN", "secret");
  ModelHub::fetchFile(vocabulary(), "vocabulary", 1, 0.01);
  ModelHub::fetchWithAuth(vocabulary());
  const auto requests = hub_.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) EXPECT_EQ(request.authorization, "Bearer secret");
}

TEST_F(ModelHubServicesTest, FetchWithAuthHandsBackAnyAnswerAsItCame) {
  const platform::Url missing = ModelRegistry::resolveModel(kRepo, "missing.json", "main");

  const platform::HttpResponse response = ModelHub::fetchWithAuth(missing);

  EXPECT_EQ(response.statusCode, 404);
  EXPECT_EQ(response.body, "Entry not found");
  EXPECT_EQ(hub_.requests().size(), 1u);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(ModelHub::fetchWithAuth(vocabulary()).body, kBytes);
}

TEST_F(ModelHubServicesTest, OfflineFetchesSendNothing) {
  ModelHub::setOfflineMode(true);
  const std::string address = vocabulary().text();
  struct Case {
    const char* name;
    std::function<void()> call;
    std::string operation;
  };
  const Case cases[] = {
      {"fetchFile", [&] { ModelHub::fetchFile(vocabulary(), "vocabulary", 4, 0.01); }, "fetchFile(vocabulary)"},
      {"fetchWithAuth", [&] { ModelHub::fetchWithAuth(vocabulary()); }, "fetchWithAuth(" + address + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.call();
      ADD_FAILURE() << "expected networkDisabled";
    } catch (const DownloadError& error) {
      EXPECT_EQ(error.errorCase(), DownloadError::Case::networkDisabled);
      EXPECT_EQ(error.operation(), c.operation);
    }
  }
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(ModelHubServicesTest, SessionIsTheHubClientsSharedClient) {
  EXPECT_EQ(&ModelHub::session(), &HFClient::session());
}

TEST_F(ModelHubServicesTest, ClearCacheRemovesOnlyTheRepositoryFolder) {
  const fs::path root = scratch_ / "Models";
  writeText(root / "other/keep.bin", "other repository");
  writeText(root / "beside.txt", "beside");

  ModelHub::clearCache(Repo::parakeetV3, root);  // never downloaded
  writeText(root / Repo(Repo::parakeetV3).folderName() / "Encoder.mlmodelc/weights/weight.bin", "weights");
  writeText(root / Repo(Repo::parakeetV3).folderName() / ".tesselaudio-revision", "main\n");
  ModelHub::clearCache(Repo::parakeetV3, root);
  ModelHub::clearCache(Repo::sortformer, scratch_ / "no such root");

  EXPECT_FALSE(fs::exists(root / Repo(Repo::parakeetV3).folderName()));
  EXPECT_TRUE(fs::exists(root / "other/keep.bin"));
  EXPECT_TRUE(fs::exists(root / "beside.txt"));
  EXPECT_TRUE(messages().empty());
}

TEST_F(ModelHubServicesTest, ClearAllCachesRemovesBothCachesAndAlwaysLogs) {
  const fs::path home = scratch_ / "home";
  const fs::path data = scratch_ / "data";
  ScopedVariable homeVariable("HOME", home.string());
  ScopedVariable dataVariable("XDG_DATA_HOME", data.string());
  writeText(data / "TesselAudio/Models/sortformer/model.bin", "model");
  writeText(data / "TesselAudio/settings.json", "{}");
  writeText(data / "VeltoVoice/Sessions/a.json", "{}");
  writeText(home / ".cache/tesselaudio/old/weights.bin", "old");
  writeText(home / ".cache/other/keep.bin", "keep");

  ModelHub::clearAllCaches();
  ModelHub::clearAllCaches();  // nothing left to remove

  EXPECT_FALSE(fs::exists(data / "TesselAudio/Models"));
  EXPECT_FALSE(fs::exists(home / ".cache/tesselaudio"));
  EXPECT_TRUE(fs::exists(data / "TesselAudio/settings.json"));
  EXPECT_TRUE(fs::exists(data / "VeltoVoice/Sessions/a.json"));
  EXPECT_TRUE(fs::exists(home / ".cache/other/keep.bin"));
  EXPECT_EQ(messages(), (std::vector<std::string>{"All model caches cleared", "All model caches cleared"}));
}

}  // namespace
}  // namespace tesselaudio
