#include "speech/Diarizer/Nemotron3/Nemotron3Models.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Error.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "tests/support/HubFake.h"
#include "tests/support/Nemotron3ModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;

constexpr const char* kRepo = "TesselInference/nemotron-3-diarization-coreml";
constexpr const char* kMarker = ".tesselaudio-nemotron3-weights";

Nemotron3Config tinyConfig(bool split) {
  return Nemotron3Config(4, 0, 1, 6, 16, 4, split ? "Nemotron3Diarizer_tiny_split.mlmodelc" : "Nemotron3Diarizer_tiny.mlmodelc",
                         split);
}

std::string fileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

std::string silenceBytes(std::size_t bytes = 2048) {
  std::string raw = testsupport::nemotron3AssetBytes(std::vector<float>(512, 0.25f));
  raw.resize(bytes, '\0');
  return raw;
}

std::string projectionBytes() { return testsupport::nemotron3AssetBytes(testsupport::nemotron3IdentityProjection()); }

// A loopback hub serving both tiny models and the two assets, the registry pointed at it, the
// models root in a temporary folder and the log captured.
class Nemotron3ModelsLoadTest : public testing::Test {
 protected:
  void SetUp() override {
    AppLogger::setMirrorsToConsole(false);
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    for (const bool split : {false, true}) {
      const auto config = tinyConfig(split);
      const auto name = fs::path(config.modelFileName).stem().string();
      const auto bundle = split ? testsupport::nemotron3SplitModel(name).writeBundle(scratch_.path())
                                : testsupport::nemotron3FusedModel(name).writeBundle(scratch_.path());
      hub_.putFolder(kRepo, "main", config.hubSubdirectory() + "/" + config.modelFileName, bundle);
    }
    hub_.putFile(kRepo, "main", {"learnable_sil_emb.bin", silenceBytes(), true});
    hub_.putFile(kRepo, "main", {"pre_encode_proj_t.bin", projectionBytes(), true});
  }

  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  fs::path root() const { return cache_.path() / "x"; }
  fs::path folder() const { return root() / "nemotron-3-diarization"; }

  Nemotron3Models load(bool split = false, const ProgressHandler& handler = {}) {
    return Nemotron3Models::loadFromHuggingFace(tinyConfig(split), root(), MLComputeUnits::cpuOnly, handler);
  }

  // Paths of the files fetched since the last clear.
  std::vector<std::string> fetched() const {
    std::vector<std::string> paths;
    for (const auto& request : hub_.requests()) {
      const auto at = request.target.find("/resolve/main/");
      if (at != std::string::npos) paths.push_back(request.target.substr(at + 14));
    }
    return paths;
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "Nemotron3Models") out.push_back(record.message);
    }
    return out;
  }

  bool logged(const std::string& prefix) const {
    const auto all = messages();
    return std::any_of(all.begin(), all.end(), [&](const std::string& m) { return m.starts_with(prefix); });
  }

  testsupport::HubFake hub_;
  testsupport::TemporaryFolder cache_;
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
};

TEST_F(Nemotron3ModelsLoadTest, DownloadsTheModelAndSilenceEmbeddingThenReusesTheCache) {
  const auto models = load();
  const auto model = folder() / "monolithic/v2/Nemotron3Diarizer_tiny.mlmodelc";
  EXPECT_TRUE(fs::is_regular_file(model / "model.onnx"));
  EXPECT_FALSE(fs::exists(root() / "monolithic"));
  EXPECT_EQ(models.silenceEmbedding, std::vector<float>(512, 0.25f));
  EXPECT_FALSE(models.preEncodeProjection.has_value());
  EXPECT_EQ(models.model->configuration().computeUnits, MLComputeUnits::cpuOnly);
  EXPECT_EQ(fileText(folder() / kMarker), "ga-2026-09-23\n");
  EXPECT_EQ(fs::file_size(folder() / kMarker), 14u);

  // A fused set never fetches the projection.
  EXPECT_FALSE(fs::exists(folder() / "pre_encode_proj_t.bin"));
  const auto paths = fetched();
  EXPECT_TRUE(std::none_of(paths.begin(), paths.end(), [](const std::string& p) { return p.find("pre_encode") != std::string::npos; }));
  EXPECT_TRUE(std::count(paths.begin(), paths.end(), "learnable_sil_emb.bin") == 1);

  EXPECT_TRUE(logged("Downloading monolithic/v2/Nemotron3Diarizer_tiny.mlmodelc from "
                     "TesselInference/nemotron-3-diarization-coreml..."));
  const auto all = messages();
  ASSERT_FALSE(all.empty());
  EXPECT_TRUE(std::regex_match(all.back(), std::regex(R"(Loaded Nemotron 3 diarization model in \d+\.\d\ds)"))) << all.back();

  hub_.clearRequests();
  const auto again = load();
  EXPECT_TRUE(fetched().empty());
  EXPECT_EQ(again.silenceEmbedding.size(), 512u);
}

TEST_F(Nemotron3ModelsLoadTest, MarkersDecideWhetherTheCacheStays) {
  struct Case {
    const char* name;
    std::optional<std::string> marker;
    bool kept;
    const char* quoted;
  };
  const Case cases[] = {
      {"no marker", std::nullopt, false, "an earlier release"},
      {"blanks around the tag", std::string(" ga-2026-09-23 \n"), true, nullptr},
      {"blank lines around the tag", std::string("\n\r\nga-2026-09-23\n\n"), true, nullptr},
      {"upper case", std::string("GA-2026-09-23\n"), false, "GA-2026-09-23"},
      {"another tag", std::string("  ga-2026-01-01\n"), false, "ga-2026-01-01"},
      {"not UTF-8", std::string("ga-2026-09-23\xff"), false, "an earlier release"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root());
    load();
    writeText(folder() / "leftover.bin", "old");
    if (c.marker) {
      writeText(folder() / kMarker, *c.marker);
    } else {
      fs::remove(folder() / kMarker);
    }
    hub_.clearRequests();
    const auto before = log_.records().size();
    load();
    EXPECT_EQ(fs::exists(folder() / "leftover.bin"), c.kept);
    EXPECT_EQ(fetched().empty(), c.kept);
    EXPECT_EQ(fileText(folder() / kMarker), "ga-2026-09-23\n");
    const auto records = log_.records();
    const bool replaced = std::any_of(records.begin() + static_cast<std::ptrdiff_t>(before), records.end(), [&](const auto& r) {
      return c.quoted && r.message == fmt::format("Cached Nemotron 3 models are from {}; replacing with ga-2026-09-23.", c.quoted);
    });
    EXPECT_EQ(replaced, !c.kept);
  }
}

TEST_F(Nemotron3ModelsLoadTest, SplitSetMissingOnlyTheProjectionFetchesJustThat) {
  load(true);
  EXPECT_TRUE(fs::is_regular_file(folder() / "pre_encode_proj_t.bin"));
  fs::remove(folder() / "pre_encode_proj_t.bin");
  hub_.clearRequests();
  const auto linesBefore = messages().size();
  std::atomic<int> reports = 0;
  const auto models = load(true, [&](const DownloadProgress&) { ++reports; });
  EXPECT_EQ(fetched(), std::vector<std::string>{"pre_encode_proj_t.bin"});
  EXPECT_EQ(reports.load(), 0);
  const auto all = messages();
  EXPECT_TRUE(std::none_of(all.begin() + static_cast<std::ptrdiff_t>(linesBefore), all.end(),
                           [](const std::string& m) { return m.starts_with("Downloading"); }));
  ASSERT_TRUE(models.preEncodeProjection.has_value());
  EXPECT_EQ(*models.preEncodeProjection, testsupport::nemotron3IdentityProjection());
  EXPECT_TRUE(models.packedArray);
}

TEST_F(Nemotron3ModelsLoadTest, BundleWithoutOnnxFailsAndDeletesNothing) {
  load();
  const auto model = folder() / "monolithic/v2/Nemotron3Diarizer_tiny.mlmodelc";
  fs::remove(model / "model.onnx");
  EXPECT_THROW(load(), UnsupportedModelFormatError);
  EXPECT_TRUE(fs::is_regular_file(model / "coremldata.bin"));
  EXPECT_TRUE(fs::is_regular_file(folder() / "learnable_sil_emb.bin"));
  EXPECT_TRUE(fs::is_regular_file(folder() / kMarker));
}

TEST_F(Nemotron3ModelsLoadTest, FailedDownloadWritesNoMarker) {
  ModelRegistry::setBaseURL("http://127.0.0.1:1");
  EXPECT_ANY_THROW(load());
  EXPECT_FALSE(fs::exists(folder() / kMarker));
}

// Loading from a folder the caller prepared.
class Nemotron3ModelsLocalLoadTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  void writeModel(bool split) {
    const auto name = fs::path(tinyConfig(split).modelFileName).stem().string();
    if (split) {
      testsupport::nemotron3SplitModel(name).writeBundle(folder_.path());
    } else {
      testsupport::nemotron3FusedModel(name).writeBundle(folder_.path());
    }
  }

  std::string loadError(bool split) {
    try {
      Nemotron3Models::load(tinyConfig(split), folder_.path(), MLComputeUnits::cpuOnly);
    } catch (const Nemotron3Error& e) {
      EXPECT_EQ(e.errorCode(), Nemotron3Error::Code::modelLoadFailed);
      return e.description();
    }
    return "no error";
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
};

TEST_F(Nemotron3ModelsLocalLoadTest, AssetsAreCheckedBySize) {
  const std::string dir = folder_.path().string();
  const std::string prefix = "Failed to load Nemotron 3 diarization model: ";
  struct Case {
    const char* name;
    bool split;
    std::optional<std::size_t> silence, projection;
    std::string error;  // empty: loads
  };
  const Case cases[] = {
      {"2,051 bytes of silence", false, 2051, std::nullopt, ""},
      {"2,044 bytes of silence", false, 2044, std::nullopt, prefix + "learnable_sil_emb.bin has 511 floats, expected 512"},
      {"no silence", false, std::nullopt, std::nullopt, prefix + "Missing learnable_sil_emb.bin in " + dir},
      {"fused ignores a damaged projection", false, 2048, 12, ""},
      {"split with the projection", true, 2048, 2097152, ""},
      {"split with a short projection", true, 2048, 2097148,
       prefix + "Split-graph mode requires pre_encode_proj_t.bin ([1024,512] fp32) in " + dir},
      {"split without a projection", true, 2048, std::nullopt,
       prefix + "Split-graph mode requires pre_encode_proj_t.bin ([1024,512] fp32) in " + dir},
  };
  writeModel(false);
  writeModel(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(folder_ / "learnable_sil_emb.bin");
    fs::remove(folder_ / "pre_encode_proj_t.bin");
    if (c.silence) writeText(folder_ / "learnable_sil_emb.bin", silenceBytes(*c.silence));
    if (c.projection) {
      auto bytes = projectionBytes();
      bytes.resize(*c.projection);
      writeText(folder_ / "pre_encode_proj_t.bin", bytes);
    }
    EXPECT_EQ(loadError(c.split), c.error.empty() ? "no error" : c.error);
  }
}

TEST_F(Nemotron3ModelsLocalLoadTest, NeitherModelNorPackageIsReported) {
  writeText(folder_ / "learnable_sil_emb.bin", silenceBytes());
  EXPECT_EQ(loadError(false), "Failed to load Nemotron 3 diarization model: Neither Nemotron3Diarizer_tiny.mlmodelc "
                              "nor its .mlpackage found at " + folder_.path().string());
}

TEST_F(Nemotron3ModelsLocalLoadTest, PackageAloneIsCompiledAndLoaded) {
  const auto config = Nemotron3Config::offline();
  testsupport::nemotron3FusedModel("Nemotron3Diarizer_offline", {380, 40, 264}).writePackage(folder_.path());
  writeText(folder_ / "learnable_sil_emb.bin", silenceBytes());
  const auto models = Nemotron3Models::load(config, folder_.path(), MLComputeUnits::cpuOnly);
  EXPECT_FALSE(fs::exists(folder_ / "Nemotron3Diarizer_offline.mlmodelc"));
  EXPECT_GT(models.compilationDuration, 0.0);
  const auto line = fmt::format("Loaded Nemotron 3 diarization model in {:.2f}s", models.compilationDuration);
  const auto records = log_.records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const auto& r) { return r.message == line; })) << line;
  const auto output = models.run(std::vector<float>(3040 * 128, 0.0f), 3040, Nemotron3StreamingState(config), config);
  EXPECT_EQ(output.chunkLength, 380);
}

}  // namespace
}  // namespace tesselaudio
