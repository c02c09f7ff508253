#include "speech/Shared/Download/ModelHub.h"

#include <algorithm>
#include <functional>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/ml/MLModelError.h"
#include "platform/net/HttpStatusError.h"
#include "platform/net/TransportError.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/ModelCache.h"
#include "speech/Shared/Download/ModelCachePreservingError.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "speech/Shared/SystemInfo.h"
#include "tests/support/HubFake.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::HubFake;
using Level = platform::SystemLog::Level;

// Sortformer's catalogue set is the variant alone, which lets a test choose it.
constexpr const char* kSortformer = "TesselInference/diar-streaming-sortformer-coreml";
constexpr const char* kLseend = "TesselInference/ls-eend-coreml";
constexpr const char* kKokoro = "TesselInference/kokoro-82m-coreml";
constexpr const char* kModel = "Model.mlmodelc";
constexpr const char* kPinned = "0123456789abcdef0123456789abcdef01234567";

std::string fileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::vector<std::string> sortedFilesBelow(const fs::path& folder) {
  std::vector<std::string> files;
  if (!fs::exists(folder)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(folder).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class PreservingError : public platform::Error, public ModelCachePreservingError {
 public:
  explicit PreservingError(bool preserves)
      : platform::Error("PreservingError", "Test.PreservingError", 1, preserves ? "disk full" : "bad weights"),
        preserves_(preserves) {}
  bool preservesModelCache() const override { return preserves_; }

 private:
  bool preserves_;
};

// A hub fake with the registry pointed at it, a models root under the test's temporary folder,
// a capture of the log, and a tiny network built with the model builder.
class ModelHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
    testsupport::ModelBuilder builder("Model");
    builder.input("x", testsupport::ElementType::float32, {1, 2})
        .output("y", testsupport::ElementType::float32, {1, 2})
        .node("Identity", {"x"}, {"y"});
    bundle_ = builder.writeBundle(scratch_.path());
  }

  void TearDown() override {
    ModelHub::setOfflineMode(false);
    ModelRegistry::setRevisionOverrides({});
    AppLogger::setMirrorsToConsole(true);
  }

  fs::path root() const { return models_.path() / "Models"; }
  fs::path sortformerFolder() const { return root() / "sortformer"; }

  // Publishes the built bundle's files as `<prefix>/<name>/...`; `onnx` replaces model.onnx.
  void publishBundle(const std::string& repo, const std::string& revision, const std::string& at,
                     const std::optional<std::string>& onnx = std::nullopt) {
    for (const auto& entry : fs::recursive_directory_iterator(bundle_)) {
      if (!entry.is_regular_file()) continue;
      const std::string relative = entry.path().lexically_relative(bundle_).string();
      std::string bytes = fileText(entry.path());
      if (relative == "model.onnx" && onnx) bytes = *onnx;
      hub_.putFile(repo, revision, {at + "/" + relative, bytes, relative == "model.onnx"});
    }
  }

  // Copies the built bundle into the cache as `folder`/`name`.
  void cacheBundle(const fs::path& folder, const std::string& name) {
    fs::create_directories(folder / name);
    fs::copy(bundle_, folder / name, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }

  void pinSortformer(const std::string& revision) {
    ModelRegistry::setRevisionOverrides({{kSortformer, revision}});
  }

  std::vector<std::string> messages(std::optional<Level> level = std::nullopt) const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category != "DownloadUtils") continue;
      if (level && record.level != *level) continue;
      out.push_back(record.message);
    }
    return out;
  }

  bool logged(const std::string& message) const {
    const auto all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
  }

  std::size_t countStartingWith(const std::string& prefix) const {
    const auto all = messages();
    return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](const std::string& m) {
      return m.rfind(prefix, 0) == 0;
    }));
  }

  std::vector<std::string> fileRequests() const {
    std::vector<std::string> out;
    for (const auto& request : hub_.requests()) {
      if (request.target.find("/resolve/") != std::string::npos) out.push_back(request.target);
    }
    return out;
  }

  ModelHub::ModelMap loadSortformer(const std::vector<std::string>& names, const ProgressHandler& handler = {},
                                    std::stop_token stop = {}) {
    return ModelHub::loadModels(Repo::sortformer, names, root(), platform::MLComputeUnits::cpuOnly,
                                std::string(kModel), DownloadConfig::default_(), handler, stop);
  }

  void downloadSortformer(const std::set<std::string>& additional, const ProgressHandler& handler = {}) {
    ModelHub::download(Repo::sortformer, root(), std::string(kModel), additional, DownloadConfig::default_(),
                       handler, {});
  }

  HubFake hub_;
  testsupport::TemporaryFolder models_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
  fs::path bundle_;
};

// --- repository download -------------------------------------------------------------------

TEST_F(ModelHubTest, DownloadTakesRequiredBundlesWholeAndSweepsRootMetadataExceptForKokoro) {
  struct Case {
    const char* name;
    Repo repo;
    const char* remote;
    const char* folder;
    std::set<std::string> bundles;
    std::string variant;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"sweep", Repo::sortformer, kSortformer, "sortformer", {kModel}, kModel,
       {"Model.mlmodelc/coremldata.bin", "Model.mlmodelc/metadata.json", "Model.mlmodelc/model.onnx",
        "config.json", "g2p_vocab.json", "notes.txt", "vocab.json"}},
      {"kokoro", Repo::kokoro, kKokoro, "kokoro", {"G2PDecoder.mlmodelc", "G2PEncoder.mlmodelc"}, "",
       {"G2PDecoder.mlmodelc/coremldata.bin", "G2PDecoder.mlmodelc/metadata.json", "G2PDecoder.mlmodelc/model.onnx",
        "G2PEncoder.mlmodelc/coremldata.bin", "G2PEncoder.mlmodelc/metadata.json", "G2PEncoder.mlmodelc/model.onnx",
        "g2p_vocab.json", "vocab.json"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& bundle : c.bundles) publishBundle(c.remote, "main", bundle);
    publishBundle(c.remote, "main", "Other.mlmodelc");
    hub_.putFile(c.remote, "main", {"vocab.json", "{}"});
    hub_.putFile(c.remote, "main", {"g2p_vocab.json", "{}"});
    hub_.putFile(c.remote, "main", {"config.json", "{\"a\":1}"});
    hub_.putFile(c.remote, "main", {"notes.txt", "notes"});
    hub_.putFile(c.remote, "main", {"README.md", "# readme"});

    const std::optional<std::string> variant = c.variant.empty() ? std::nullopt : std::optional(c.variant);
    ModelHub::download(c.repo, root(), variant, {"vocab.json"}, DownloadConfig::default_(), {}, {});

    std::vector<std::string> expected = c.expected;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sortedFilesBelow(root() / c.folder), expected);
    EXPECT_TRUE(logged(std::string("Downloading ") + c.folder + " from HuggingFace..."));
    EXPECT_TRUE(logged(std::string("Downloaded all required models for ") + c.folder));
  }
}

TEST_F(ModelHubTest, SubPathRepositoryFindsARequiredRootFileThroughTheRootListing) {
  publishBundle(kLseend, "main", "optimized/ami/Model.mlmodelc");
  publishBundle(kLseend, "main", "optimized/dih2/Model.mlmodelc");
  hub_.putFile(kLseend, "main", {"optimized/ami/config.json", "{}"});
  hub_.putFile(kLseend, "main", {"vocab.txt", "a\nb\n"});
  hub_.putFile(kLseend, "main", {"unrelated.txt", "x"});

  ModelHub::download(Repo::lseendAmi, root(), std::string("Model"), {"vocab.txt"}, DownloadConfig::default_(), {},
                     {});

  EXPECT_EQ(sortedFilesBelow(root() / "ls-eend/ami"),
            (std::vector<std::string>{"Model.mlmodelc/coremldata.bin", "Model.mlmodelc/metadata.json",
                                      "Model.mlmodelc/model.onnx", "config.json", "vocab.txt"}));
  EXPECT_EQ(fileText(root() / "ls-eend/ami/vocab.txt"), "a\nb\n");
}

TEST_F(ModelHubTest, DownloadReportsProgressAndSkipsPresentAndEmptyFiles) {
  publishBundle(kSortformer, "main", kModel);
  hub_.putFile(kSortformer, "main", {"Model.mlmodelc/weights/empty.bin", ""});
  hub_.putFile(kSortformer, "main", {"Model.mlmodelc/my weights.bin", std::string(3000, 'w'), true});
  hub_.putFile(kSortformer, "main", {"vocab.json", "{\"fresh\":true}"});
  writeText(sortformerFolder() / "vocab.json", "{\"cached\":true}");

  std::mutex mutex;
  std::vector<DownloadProgress> reports;
  downloadSortformer({"vocab.json"}, [&](const DownloadProgress& p) {
    std::scoped_lock lock(mutex);
    reports.push_back(p);
  });

  EXPECT_EQ(fileText(sortformerFolder() / "vocab.json"), "{\"cached\":true}");
  EXPECT_TRUE(fs::is_regular_file(sortformerFolder() / "Model.mlmodelc/weights/empty.bin"));
  EXPECT_EQ(fs::file_size(sortformerFolder() / "Model.mlmodelc/weights/empty.bin"), 0u);
  EXPECT_EQ(fileText(sortformerFolder() / "Model.mlmodelc/my weights.bin"), std::string(3000, 'w'));
  EXPECT_FALSE(fs::exists(sortformerFolder() / "Model.mlmodelc/my weights.bin.partial"));

  const auto requests = fileRequests();
  for (const std::string& target : requests) {
    EXPECT_EQ(target.find("vocab.json"), std::string::npos) << target;
    EXPECT_EQ(target.find("empty.bin"), std::string::npos) << target;
  }
  EXPECT_NE(std::find(requests.begin(), requests.end(),
                      std::string("/") + kSortformer + "/resolve/main/Model.mlmodelc/my%20weights.bin"),
            requests.end());

  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), (DownloadProgress{0.0, DownloadPhase::listing()}));
  for (std::size_t i = 1; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].phase.kind, DownloadPhase::Kind::downloading);
    EXPECT_LE(reports[i].fractionCompleted, 0.5);
    EXPECT_GE(reports[i].fractionCompleted, 0.0);
    EXPECT_EQ(reports[i].phase.totalFiles, 6);
  }
  EXPECT_TRUE(logged("Found 6 files to download"));
}

TEST_F(ModelHubTest, DownloadLogsAfterEveryTenthAndTheLastFile) {
  for (int i = 0; i < 11; ++i) {
    hub_.putFile(kSortformer, "main", {fmt::format("Model.mlmodelc/part{:02}.bin", i), std::string(10 + i, 'p')});
  }
  std::vector<DownloadProgress> reports;
  downloadSortformer({}, [&](const DownloadProgress& p) { reports.push_back(p); });

  std::vector<std::string> counts;
  for (const std::string& m : messages()) {
    if (m.rfind("Downloaded ", 0) == 0 && m.find(" files") != std::string::npos) counts.push_back(m);
  }
  EXPECT_EQ(counts, (std::vector<std::string>{"Downloaded 10/11 files", "Downloaded 11/11 files"}));
  EXPECT_EQ(fileRequests().size(), 11u);

  // Live reports carry the index of the file in flight; each finished file adds one report with
  // the files done and the bytes done so far.
  const double total = 11 * 10 + 55;
  double cumulative = 0;
  std::vector<std::int64_t> finished;
  for (const DownloadProgress& p : reports) {
    if (p.phase.kind == DownloadPhase::Kind::listing) continue;
    ASSERT_EQ(p.phase.kind, DownloadPhase::Kind::downloading);
    EXPECT_LE(p.fractionCompleted, 0.5);
    if (p.phase.completedFiles == static_cast<std::int64_t>(finished.size()) + 1 &&
        p.fractionCompleted == 0.5 * (cumulative + 10 + static_cast<double>(finished.size())) / total) {
      cumulative += 10 + static_cast<double>(finished.size());
      finished.push_back(p.phase.completedFiles);
    } else {
      EXPECT_EQ(p.phase.completedFiles, static_cast<std::int64_t>(finished.size()));
    }
  }
  EXPECT_EQ(finished, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_DOUBLE_EQ(reports.back().fractionCompleted, 0.5);
}

TEST_F(ModelHubTest, PinnedRepositoryWithAnotherMarkerIsEmptiedAndFetchedAgain) {
  pinSortformer(kPinned);
  publishBundle(kSortformer, kPinned, kModel);
  cacheBundle(sortformerFolder(), kModel);
  writeText(sortformerFolder() / "stale.json", "{}");
  writeText(sortformerFolder() / ModelCache::kRevisionMarkerName, "feedfacefeedface\n");

  downloadSortformer({});

  EXPECT_EQ(fileText(sortformerFolder() / ModelCache::kRevisionMarkerName), std::string(kPinned) + "\n");
  EXPECT_FALSE(fs::exists(sortformerFolder() / "stale.json"));
  EXPECT_EQ(fileRequests().size(), 3u);  // coremldata.bin, metadata.json, model.onnx
  EXPECT_EQ(fileText(sortformerFolder() / "Model.mlmodelc/model.onnx"), fileText(bundle_ / "model.onnx"));
}

TEST_F(ModelHubTest, RequiredFileThatExistsNowhereFailsAfterTheOtherFiles) {
  publishBundle(kSortformer, "main", kModel);
  try {
    downloadSortformer({"zeta.json", "alpha.json"});
    FAIL() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::modelNotFound);
    EXPECT_EQ(error.path(), "alpha.json");
  }
  EXPECT_TRUE(fs::exists(sortformerFolder() / "Model.mlmodelc/model.onnx"));
  EXPECT_FALSE(logged("Downloaded all required models for sortformer"));
}

TEST_F(ModelHubTest, OfflineDownloadFailsBeforeAnyProgressOrRequest) {
  ModelHub::setOfflineMode(true);
  bool reported = false;
  try {
    downloadSortformer({}, [&](const DownloadProgress&) { reported = true; });
    FAIL() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::networkDisabled);
    EXPECT_EQ(error.operation(), "download(sortformer)");
    EXPECT_STREQ(error.what(), "TesselAudio offline mode: download(sortformer) blocked");
  }
  EXPECT_FALSE(reported);
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_FALSE(fs::exists(sortformerFolder()));
  EXPECT_TRUE(messages().empty());
}

TEST_F(ModelHubTest, HostileListingPathsFailBeforeAnyFileWork) {
  const char* paths[] = {"../escape.json", "/etc/escape.json", "Model.mlmodelc/../../escape.json",
                         "Model.mlmodelc//escape.json"};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    HubFake hub;
    ModelRegistry::setBaseURL(hub.baseURL());
    hub.putFile(kSortformer, "main", {"Model.mlmodelc/model.onnx", "onnx"});
    hub.addRawEntries(kSortformer, "", nlohmann::json::array({{{"path", path}, {"type", "file"}, {"size", 4}}}));
    try {
      downloadSortformer({});
      FAIL() << "no error";
    } catch (const DownloadError& error) {
      EXPECT_EQ(error.errorCase(), DownloadError::Case::invalidResponse);
    }
    for (const auto& request : hub.requests()) EXPECT_EQ(request.target.find("/resolve/"), std::string::npos);
    EXPECT_FALSE(fs::exists(root() / "escape.json"));
    EXPECT_FALSE(fs::exists(models_.path() / "escape.json"));
  }
}

// --- loading -------------------------------------------------------------------------------

TEST_F(ModelHubTest, LoadModelsDownloadsAndReturnsTheModelsByName) {
  publishBundle(kSortformer, "main", kModel);
  publishBundle(kSortformer, "main", "Second.mlmodelc");
  std::vector<DownloadProgress> reports;
  std::mutex mutex;
  const auto handler = [&](const DownloadProgress& p) {
    std::scoped_lock lock(mutex);
    reports.push_back(p);
  };

  const auto models = loadSortformer({kModel, "Second.mlmodelc"}, handler);

  ASSERT_EQ(models.size(), 2u);
  ASSERT_TRUE(models.at(kModel));
  EXPECT_EQ(models.at(kModel)->configuration().computeUnits, platform::MLComputeUnits::cpuOnly);
  EXPECT_TRUE(models.at(kModel)->configuration().allowLowPrecisionAccumulationOnGPU);
  ASSERT_TRUE(models.at("Second.mlmodelc"));
  EXPECT_TRUE(logged("Models missing or incomplete in cache at " + sortformerFolder().string() +
                     ": [\"Model.mlmodelc\", \"Second.mlmodelc\"]"));
  const std::vector<DownloadProgress> tail(reports.end() - 3, reports.end());
  EXPECT_EQ(tail, (std::vector<DownloadProgress>{{0.5, DownloadPhase::compiling(kModel)},
                                                 {0.75, DownloadPhase::compiling("Second.mlmodelc")},
                                                 {1.0, DownloadPhase::compiling("")}}));
  const std::regex compiled("Compiled model (Model|Second)\\.mlmodelc in [0-9]+\\.[0-9]{2} ms :: (.*)");
  std::size_t compiledLines = 0;
  for (const std::string& m : messages(Level::info)) {
    std::smatch match;
    if (!std::regex_match(m, match, compiled)) continue;
    ++compiledLines;
    EXPECT_EQ(match[2].str(), SystemInfo::summary());
  }
  EXPECT_EQ(compiledLines, 2u);

  // A complete cache: no request, the download phase reported as done at once.
  hub_.clearRequests();
  reports.clear();
  const auto again = loadSortformer({kModel}, handler);
  EXPECT_EQ(again.size(), 1u);
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_TRUE(logged("Found sortformer locally, no download needed"));
  EXPECT_EQ(reports, (std::vector<DownloadProgress>{{0.5, DownloadPhase::downloading(0, 0)},
                                                    {0.5, DownloadPhase::compiling(kModel)},
                                                    {1.0, DownloadPhase::compiling("")}}));

  reports.clear();
  EXPECT_TRUE(loadSortformer({}, handler).empty());
  EXPECT_EQ(reports, (std::vector<DownloadProgress>{{0.5, DownloadPhase::downloading(0, 0)},
                                                    {1.0, DownloadPhase::compiling("")}}));
}

TEST_F(ModelHubTest, CacheCheckFetchesWhatTheMarkerAndTheFilesCallFor) {
  struct Case {
    const char* name;
    bool pinned;
    std::optional<std::string> marker;
    bool vocabularyCached;
    const char* missing;  // the log line's list; empty when nothing is fetched
  };
  const Case cases[] = {
      {"main without marker fetches what is missing", false, std::nullopt, false, "[\"vocab.json\"]"},
      {"main without marker and complete", false, std::nullopt, true, ""},
      {"pinned without marker fetches everything", true, std::nullopt, true,
       "[\"Model.mlmodelc\", \"vocab.json\"]"},
      {"pinned with another marker fetches everything", true, std::string("another\n"), true,
       "[\"Model.mlmodelc\", \"vocab.json\"]"},
      {"marker that is not UTF-8 fetches everything", true, std::string("\xff\xfe") + kPinned, true,
       "[\"Model.mlmodelc\", \"vocab.json\"]"},
      {"matching marker with a line end fetches what is missing", true, std::string(kPinned) + "\n", false,
       "[\"vocab.json\"]"},
      {"matching marker and complete", true, std::string(kPinned) + "\r\n", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    const std::string revision = c.pinned ? kPinned : "main";
    ModelRegistry::setRevisionOverrides(c.pinned ? std::map<std::string, std::string>{{kSortformer, kPinned}}
                                                 : std::map<std::string, std::string>{});
    publishBundle(kSortformer, revision, kModel);
    hub_.putFile(kSortformer, revision, {"vocab.json", "{}"});
    fs::remove_all(sortformerFolder());
    cacheBundle(sortformerFolder(), kModel);
    if (c.vocabularyCached) writeText(sortformerFolder() / "vocab.json", "{}");
    if (c.marker) writeText(sortformerFolder() / ModelCache::kRevisionMarkerName, *c.marker);

    int loads = 0;
    ModelHub::loadWithRecovery(Repo::sortformer, root(), {kModel, "vocab.json"}, std::string(kModel),
                               DownloadConfig::default_(), {}, [&] { ++loads; }, {});

    EXPECT_EQ(loads, 1);
    std::vector<std::string> lines;
    for (const auto& record : log.records()) lines.push_back(record.message);
    const std::string found = "Found sortformer locally, no download needed";
    const std::string missing =
        "Models missing or incomplete in cache at " + sortformerFolder().string() + ": " + c.missing;
    if (std::string(c.missing).empty()) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), found), lines.end());
    } else {
      EXPECT_NE(std::find(lines.begin(), lines.end(), missing), lines.end());
    }
    EXPECT_TRUE(fs::exists(sortformerFolder() / "vocab.json"));
  }
}

TEST_F(ModelHubTest, DamagedModelIsPurgedFetchedAgainAndLoaded) {
  pinSortformer(kPinned);
  publishBundle(kSortformer, kPinned, kModel);
  cacheBundle(sortformerFolder(), kModel);
  writeText(sortformerFolder() / "Model.mlmodelc/model.onnx", "not a network");
  writeText(sortformerFolder() / "Model.mlmodelc.partial", "half");
  writeText(sortformerFolder() / "Model.mlmodelc.partial.etag", "\"e\"");
  writeText(sortformerFolder() / "keep.json", "{}");
  writeText(sortformerFolder() / ModelCache::kRevisionMarkerName, std::string(kPinned) + "\n");

  const auto models = loadSortformer({kModel});

  ASSERT_EQ(models.size(), 1u);
  EXPECT_EQ(countStartingWith("First load failed: "), 1u);
  EXPECT_TRUE(logged("Deleting Model.mlmodelc and re-downloading\u2026"));
  EXPECT_FALSE(fs::exists(sortformerFolder() / "Model.mlmodelc.partial"));
  EXPECT_FALSE(fs::exists(sortformerFolder() / "Model.mlmodelc.partial.etag"));
  EXPECT_TRUE(fs::exists(sortformerFolder() / "keep.json"));
  EXPECT_EQ(fileText(sortformerFolder() / ModelCache::kRevisionMarkerName), std::string(kPinned) + "\n");
  EXPECT_EQ(fileText(sortformerFolder() / "Model.mlmodelc/model.onnx"), fileText(bundle_ / "model.onnx"));
}

TEST_F(ModelHubTest, SecondFailureRunsTheSizeDiagnosisAndPassesTheSecondErrorOn) {
  publishBundle(kSortformer, "main", kModel, "still not a network");
  cacheBundle(sortformerFolder(), kModel);
  writeText(sortformerFolder() / "Model.mlmodelc/model.onnx", "not a network");

  try {
    loadSortformer({kModel});
    FAIL() << "no error";
  } catch (const platform::MLModelError& error) {
    EXPECT_EQ(error.errorCode(), platform::MLModelError::Code::invalidModel);
  }
  EXPECT_EQ(fileText(sortformerFolder() / "Model.mlmodelc/model.onnx"), "still not a network");
  EXPECT_TRUE(logged("Load still failing but all 3 required sortformer files match their published HuggingFace "
                     "sizes \u2014 the download is intact and re-downloading cannot fix this. The model likely "
                     "cannot run on this hardware/OS; try a different precision or variant."));
}

TEST_F(ModelHubTest, SizeDiagnosisTellsATruncatedCacheAndStaysQuietOffline) {
  hub_.putFile(kSortformer, "main", {"vocab.json", "0123456789"});
  hub_.putFile(kSortformer, "main", {"Model.mlmodelc/model.onnx", "abcdef"});
  hub_.putFile(kSortformer, "main", {"unrelated.json", "0123456789"});
  writeText(sortformerFolder() / "vocab.json", "012");
  writeText(sortformerFolder() / "Model.mlmodelc/model.onnx", "abcdef");

  ModelHub::setOfflineMode(true);
  ModelHub::logLoadFailureSizeDiagnosis(Repo::sortformer, root(), {kModel, "vocab.json"});
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(hub_.requests().empty());

  ModelHub::setOfflineMode(false);
  ModelHub::logLoadFailureSizeDiagnosis(Repo::sortformer, root(), {kModel, "vocab.json"});
  EXPECT_EQ(messages(Level::error),
            (std::vector<std::string>{"Load still failing and 1 sortformer file(s) are smaller than their published "
                                      "HuggingFace size \u2014 the cache is truncated; clear it (ModelHub.clearCache) "
                                      "and re-download: vocab.json (3/10 bytes)"}));

  ModelRegistry::setBaseURL("http://127.0.0.1:9");
  ModelHub::logLoadFailureSizeDiagnosis(Repo::sortformer, root(), {kModel});
  EXPECT_EQ(countStartingWith("Load-failure size diagnosis unavailable: "), 1u);
}

TEST_F(ModelHubTest, PreservingFailuresKeepTheCacheAndPassOn) {
  struct Case {
    const char* name;
    std::exception_ptr error;
    Level level;
    const char* line;
  };
  // Warnings reach the system log as errors.
  const Case cases[] = {
      {"cancellation", std::make_exception_ptr(platform::CancellationError()), Level::info,
       "Load cancelled; preserving model cache. "},
      {"invalid artifact", std::make_exception_ptr(DownloadError::invalidArtifact("m.bin", "html")), Level::error,
       "Load failed with transient network error; preserving model cache for resume. "},
      {"stall", std::make_exception_ptr(DownloadError::stalled("m.bin", 120)), Level::error,
       "Load failed with transient network error; preserving model cache for resume. "},
      {"server error",
       std::make_exception_ptr(DownloadError::downloadFailed(
           "m.bin", std::make_exception_ptr(platform::HttpStatusError(503)))),
       Level::error, "Load failed with transient network error; preserving model cache for resume. "},
      {"lost connection",
       std::make_exception_ptr(platform::TransportError(platform::TransportError::Code::networkConnectionLost,
                                                        "http://127.0.0.1/")),
       Level::error, "Load failed with transient network error; preserving model cache for resume. "},
      {"cache-preserving error", std::make_exception_ptr(PreservingError(true)), Level::error,
       "Load failed for a reason outside the model cache; preserving it. "},
  };
  cacheBundle(sortformerFolder(), kModel);
  writeText(sortformerFolder() / "vocab.json", "{}");
  const auto before = sortedFilesBelow(sortformerFolder());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    int loads = 0;
    EXPECT_ANY_THROW(ModelHub::loadWithRecovery(Repo::sortformer, root(), {kModel, "vocab.json"},
                                                std::string(kModel), DownloadConfig::default_(), {},
                                                [&] {
                                                  ++loads;
                                                  std::rethrow_exception(c.error);
                                                },
                                                {}));
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(sortedFilesBelow(sortformerFolder()), before);
    EXPECT_TRUE(hub_.requests().empty());
    bool found = false;
    for (const auto& record : log.records()) {
      if (record.message.rfind(c.line, 0) == 0) {
        found = true;
        EXPECT_EQ(record.level, c.level);
        EXPECT_EQ(record.message, c.line + std::string(platform::Error::recordOf(c.error)->description()));
      }
      EXPECT_EQ(record.message.rfind("First load failed", 0), std::string::npos);
    }
    EXPECT_TRUE(found);
  }
}

TEST_F(ModelHubTest, LoadWithRecoveryDeletesTheWholeFolderBeforeItsOneRetry) {
  publishBundle(kSortformer, "main", kModel);
  hub_.putFile(kSortformer, "main", {"vocab.json", "{}"});
  cacheBundle(sortformerFolder(), kModel);
  writeText(sortformerFolder() / "vocab.json", "{}");
  writeText(sortformerFolder() / "stale.bin", "old");

  int loads = 0;
  const int result = ModelHub::loadWithRecovery<int>(
      Repo::sortformer, root(), {kModel, "vocab.json"}, std::string(kModel), DownloadConfig::default_(), {},
      [&] {
        if (++loads == 1) throw PreservingError(false);
        return 42;
      },
      {});

  EXPECT_EQ(result, 42);
  EXPECT_EQ(loads, 2);
  EXPECT_EQ(countStartingWith("First load failed: bad weights"), 1u);
  EXPECT_TRUE(logged("Deleting cache and re-downloading\u2026"));
  EXPECT_FALSE(fs::exists(sortformerFolder() / "stale.bin"));
  EXPECT_TRUE(fs::exists(sortformerFolder() / "Model.mlmodelc/model.onnx"));
  EXPECT_TRUE(fs::exists(sortformerFolder() / "vocab.json"));
}

TEST_F(ModelHubTest, CachedBundleWithoutOnnxIsKeptOnEveryRoad) {
  fs::create_directories(sortformerFolder() / kModel);
  writeText(sortformerFolder() / kModel / "coremldata.bin", "coreml");
  writeText(sortformerFolder() / kModel / "weights/weight.bin", "weights");
  const auto before = sortedFilesBelow(sortformerFolder());

  try {
    ModelHub::openCompiledModel(sortformerFolder() / kModel, {});
    FAIL() << "no error";
  } catch (const UnsupportedModelFormatError& error) {
    EXPECT_TRUE(error.preservesModelCache());
    EXPECT_NE(error.description().find("Model.mlmodelc"), std::string::npos);
    EXPECT_NE(error.description().find("model.onnx"), std::string::npos);
  }

  EXPECT_THROW(loadSortformer({kModel}), UnsupportedModelFormatError);
  EXPECT_THROW(ModelHub::loadWithRecovery(Repo::sortformer, root(), {kModel}, std::string(kModel),
                                          DownloadConfig::default_(), {},
                                          [&] { ModelHub::openCompiledModel(sortformerFolder() / kModel, {}); }, {}),
               UnsupportedModelFormatError);

  EXPECT_EQ(sortedFilesBelow(sortformerFolder()), before);
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_EQ(countStartingWith("Load failed for a reason outside the model cache; preserving it. Model bundle "
                              "Model.mlmodelc holds no model.onnx"),
            2u);
  EXPECT_EQ(countStartingWith("First load failed"), 0u);
}

TEST_F(ModelHubTest, DamagedNetworkStaysAnOrdinaryLoadError) {
  cacheBundle(sortformerFolder(), kModel);
  writeText(sortformerFolder() / "Model.mlmodelc/model.onnx", "garbage");
  try {
    ModelHub::openCompiledModel(sortformerFolder() / kModel, {});
    FAIL() << "no error";
  } catch (const UnsupportedModelFormatError&) {
    FAIL() << "taken for an unsupported format";
  } catch (const platform::MLModelError& error) {
    EXPECT_EQ(error.errorCode(), platform::MLModelError::Code::invalidModel);
  }
}

// Runs in a process of its own, so the host line has not been written yet.
TEST_F(ModelHubTest, ConcurrentFirstLoadsWriteOneHostLine) {
  cacheBundle(sortformerFolder(), kModel);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([this] { EXPECT_EQ(loadSortformer({kModel}).size(), 1u); });
    }
  }
  EXPECT_EQ(countStartingWith("Host environment: "), 1u);
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(ModelHubTest, TransientAndCancelledLoadsKeepTheCache) {
  struct Case {
    const char* name;
    std::function<void(HubFake&)> breakHub;
    bool cancel;
    Level level;
    const char* line;
  };
  const Case cases[] = {
      {"refused connection", nullptr, false, Level::error,
       "Load failed with transient network error; preserving model cache for resume. "},
      {"rate-limited listing",
       [](HubFake& hub) { hub.replacePage(kSortformer, "", 0, HubFake::Reply{503, "text/plain", "busy", "1"}); },
       false, Level::error, "Load failed with transient network error; preserving model cache for resume. "},
      {"cancelled", [](HubFake&) {}, true, Level::info, "Load cancelled; preserving model cache. "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HubFake hub;
    if (c.breakHub) {
      ModelRegistry::setBaseURL(hub.baseURL());
      publishBundle(kSortformer, "main", kModel);
      c.breakHub(hub);
    } else {
      ModelRegistry::setBaseURL("http://127.0.0.1:9");
    }
    fs::remove_all(sortformerFolder());
    writeText(sortformerFolder() / "Model.mlmodelc/coremldata.bin", "onnx\n");
    writeText(sortformerFolder() / "Model.mlmodelc/model.onnx.partial", "half");
    writeText(sortformerFolder() / "Model.mlmodelc/model.onnx.partial.etag", "\"e\"");
    const auto before = sortedFilesBelow(sortformerFolder());
    testsupport::SystemLogCapture log;
    std::stop_source stop;
    if (c.cancel) stop.request_stop();

    EXPECT_ANY_THROW(loadSortformer({kModel}, {}, stop.get_token()));

    EXPECT_EQ(sortedFilesBelow(sortformerFolder()), before);
    std::size_t lines = 0;
    for (const auto& record : log.records()) {
      EXPECT_EQ(record.message.rfind("First load failed", 0), std::string::npos);
      EXPECT_EQ(record.message.rfind("Deleting", 0), std::string::npos);
      if (record.message.rfind(c.line, 0) != 0) continue;
      ++lines;
      EXPECT_EQ(record.level, c.level);
    }
    EXPECT_EQ(lines, 1u);
  }
}

TEST_F(ModelHubTest, OfflineLoadWithFilesMissingFailsWithModelMissing) {
  writeText(sortformerFolder() / "Model.mlmodelc/model.onnx.partial", "half");
  ModelHub::setOfflineMode(true);
  try {
    loadSortformer({kModel});
    FAIL() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::modelMissing);
    EXPECT_EQ(error.repo(), "sortformer");
    EXPECT_EQ(error.missing(), std::vector<std::string>{kModel});
    const std::string offline = "Offline mode: required models missing or incomplete at " +
                                sortformerFolder().string() + ": [\"Model.mlmodelc\"]";
    const std::string blocked = "Offline mode: load failed and re-download blocked. " + error.description();
    std::vector<std::string> lines = messages(Level::error);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& m) { return m.rfind("Offline mode: ", 0) != 0; }),
                lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{offline, blocked}));
  }
  EXPECT_TRUE(hub_.requests().empty());

  // loadWithRecovery refuses the same way and never runs its load step.
  bool loaded = false;
  EXPECT_THROW(ModelHub::loadWithRecovery(Repo::sortformer, root(), {kModel}, std::string(kModel),
                                          DownloadConfig::default_(), {}, [&] { loaded = true; }, {}),
               DownloadError);
  EXPECT_FALSE(loaded);

  // A complete cache loads offline without a word about it.
  fs::remove_all(sortformerFolder());
  cacheBundle(sortformerFolder(), kModel);
  testsupport::SystemLogCapture log;
  EXPECT_EQ(loadSortformer({kModel}).size(), 1u);
  for (const auto& record : log.records()) EXPECT_EQ(record.message.find("Offline"), std::string::npos);
}

TEST_F(ModelHubTest, ModelMissingOnTheHubIsRetriedOnceThenDiagnosed) {
  publishBundle(kSortformer, "main", kModel);
  try {
    loadSortformer({kModel, "Absent.mlmodelc"});
    FAIL() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::modelNotFound);
    EXPECT_EQ(error.path(), "Absent.mlmodelc");
  }
  EXPECT_EQ(countStartingWith("First load failed: "), 1u);
  EXPECT_TRUE(logged("Deleting Model.mlmodelc, Absent.mlmodelc and re-downloading\u2026"));
  EXPECT_EQ(countStartingWith("Downloading sortformer from HuggingFace..."), 2u);
  EXPECT_EQ(countStartingWith("Load still failing but all 3 required sortformer files match"), 1u);
}

TEST_F(ModelHubTest, CancelledSecondLoadGetsNoDiagnosis) {
  publishBundle(kSortformer, "main", kModel);
  cacheBundle(sortformerFolder(), kModel);
  int loads = 0;
  EXPECT_THROW(ModelHub::loadWithRecovery(Repo::sortformer, root(), {kModel}, std::string(kModel),
                                          DownloadConfig::default_(), {},
                                          [&] {
                                            if (++loads == 1) throw PreservingError(false);
                                            throw platform::CancellationError();
                                          },
                                          {}),
               platform::CancellationError);
  EXPECT_EQ(loads, 2);
  EXPECT_EQ(countStartingWith("Load still failing"), 0u);
  EXPECT_EQ(countStartingWith("Load-failure size diagnosis"), 0u);
}

TEST_F(ModelHubTest, LoadWithRecoveryChecksItsFilesButDownloadsTheCatalogueSet) {
  publishBundle(kSortformer, "main", kModel);
  hub_.putFile(kSortformer, "main", {"vocab.json", "{}"});

  int loads = 0;
  ModelHub::loadWithRecovery(Repo::sortformer, root(), {"vocab.json"}, std::string(kModel),
                             DownloadConfig::default_(), {}, [&] { ++loads; }, {});
  EXPECT_EQ(loads, 1);
  EXPECT_TRUE(fs::exists(sortformerFolder() / "vocab.json"));
  EXPECT_TRUE(fs::exists(sortformerFolder() / "Model.mlmodelc/model.onnx"));

  // Only the caller's files are checked: a lost bundle goes unnoticed here.
  fs::remove_all(sortformerFolder() / kModel);
  hub_.clearRequests();
  ModelHub::loadWithRecovery(Repo::sortformer, root(), {"vocab.json"}, std::string(kModel),
                             DownloadConfig::default_(), {}, [&] { ++loads; }, {});
  EXPECT_EQ(loads, 2);
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(ModelHubTest, LoadWithRecoveryPassesADownloadFailureOnWithoutRecovery) {
  int loads = 0;
  try {
    ModelHub::loadWithRecovery(Repo::sortformer, root(), {kModel}, std::string(kModel), DownloadConfig::default_(),
                               {}, [&] { ++loads; }, {});
    FAIL() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::modelNotFound);
  }
  EXPECT_EQ(loads, 0);
  EXPECT_EQ(countStartingWith("First load failed"), 0u);
}

TEST_F(ModelHubTest, LoadModelsOnceNeverCompilesAndRefusesAPlainFile) {
  publishBundle(kSortformer, "main", kModel);
  hub_.putFile(kSortformer, "main", {"vocab.json", "{}"});
  const fs::path package = testsupport::ModelBuilder("Package")
                               .input("x", testsupport::ElementType::float32, {1})
                               .output("y", testsupport::ElementType::float32, {1})
                               .node("Identity", {"x"}, {"y"})
                               .writePackage(sortformerFolder());
  fs::rename(package, sortformerFolder() / "Package.mlmodelc");

  struct Case {
    const char* name;
    const char* model;
    const char* description;
  };
  const Case cases[] = {
      {"plain file", "vocab.json", "Model path is not a directory: vocab.json"},
      {"uncompiled bundle", "Package.mlmodelc", "Missing coremldata.bin in model: Package.mlmodelc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ModelHub::loadModelsOnce(Repo::sortformer, {kModel, c.model}, root(), platform::MLComputeUnits::cpuOnly,
                               std::string(kModel));
      FAIL() << "no error";
    } catch (const platform::FileError& error) {
      EXPECT_EQ(error.code(), platform::FileError::fileReadCorruptFile);
      EXPECT_EQ(error.description(), c.description);
    }
  }
  EXPECT_EQ(countStartingWith("Compiled model Package"), 0u);
}

}  // namespace
}  // namespace tesselaudio
