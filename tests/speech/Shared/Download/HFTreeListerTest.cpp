#include "speech/Shared/Download/HFTreeLister.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/HFClient.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using testsupport::HubFake;
constexpr const char* kRepo = "org/model";

// A hub fake with a small repository, the registry pointed at it; each test runs in its own process.
class HFTreeListerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    hub_.putFile(kRepo, "main", {"config.json", "{}", false});
    hub_.putFile(kRepo, "main", {"Enc.mlmodelc/weights/weight.bin", "WEIGHTS", true});
    hub_.putFile(kRepo, "main", {"Enc.mlmodelc/model.onnx", "ONNX", true});
    hub_.putFile(kRepo, "main", {"vocab.json", "[\"a\"]", false});
  }

  std::vector<RemoteFile> list(const std::string& folder = "",
                               HFTreeLister::IncludeFilter include = [](const std::string&, bool) { return true; }) {
    return HFTreeLister::listTree(kRepo, "main", folder, include,
                                  HFTreeLister::fetch(HFClient::session(), {}));
  }

  static std::vector<std::string> paths(const std::vector<RemoteFile>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.path);
    return out;
  }

  std::vector<std::string> treeTargets() const {
    std::vector<std::string> out;
    for (const auto& r : hub_.requests()) out.push_back(r.target);
    return out;
  }

  template <class Check>
  void expectDownloadError(Check&& check) {
    try {
      list();
      ADD_FAILURE() << "no error";
    } catch (const DownloadError& error) {
      check(error);
    }
  }

  HubFake hub_;
  testsupport::SystemLogCapture log_;
};

TEST_F(HFTreeListerTest, ListsAdmittedFoldersInPlaceWithContentIds) {
  const auto files = list();
  ASSERT_EQ(paths(files), (std::vector<std::string>{"config.json", "Enc.mlmodelc/weights/weight.bin",
                                                     "Enc.mlmodelc/model.onnx", "vocab.json"}));
  EXPECT_EQ(files[0], (RemoteFile{"config.json", 2, RemoteFile::ContentID::gitBlobSHA1(HubFake::gitBlobSHA1("{}"))}));
  EXPECT_EQ(files[1], (RemoteFile{"Enc.mlmodelc/weights/weight.bin", 7,
                                  RemoteFile::ContentID::lfsSHA256(HubFake::sha256("WEIGHTS"))}));
  EXPECT_EQ(treeTargets(), (std::vector<std::string>{"/api/models/org/model/tree/main",
                                                      "/api/models/org/model/tree/main/Enc.mlmodelc",
                                                      "/api/models/org/model/tree/main/Enc.mlmodelc/weights"}));
}

TEST_F(HFTreeListerTest, RefusedFoldersCostNoRequest) {
  const auto files = list("", [](const std::string& path, bool isDirectory) {
    return !isDirectory && path != "vocab.json";
  });
  EXPECT_EQ(paths(files), (std::vector<std::string>{"config.json"}));
  EXPECT_EQ(hub_.requests().size(), 1u);
}

TEST_F(HFTreeListerTest, ListsOneFolder) {
  EXPECT_EQ(paths(list("Enc.mlmodelc/weights")), (std::vector<std::string>{"Enc.mlmodelc/weights/weight.bin"}));
}

TEST_F(HFTreeListerTest, JoinsPagesAndStopsAtARepeatingCursor) {
  hub_.setPageSize(1);
  hub_.loopPages(kRepo, "");
  const auto files = list("", [](const std::string&, bool isDirectory) { return !isDirectory; });
  EXPECT_EQ(paths(files), (std::vector<std::string>{"config.json", "vocab.json"}));
  ASSERT_EQ(log_.records().size(), 1u);
  EXPECT_EQ(log_.records()[0].category, "HFTreeLister");
  EXPECT_EQ(log_.records()[0].message,
            "Pagination cursor for repo root repeats " + hub_.baseURL() +
                "/api/models/org/model/tree/main; stopping after 3 page(s).");
}

TEST_F(HFTreeListerTest, ReadsEntriesLeniently) {
  hub_.addRawEntries(kRepo, "", nlohmann::json::parse(R"([
    {"type": "file", "path": "both.bin", "size": 5, "oid": "git", "lfs": {"oid": "sha"}},
    {"type": "file", "path": "lfs-without-oid.bin", "size": 5, "oid": "git", "lfs": {"size": 5}},
    {"type": "file", "path": "lfs-not-object.bin", "oid": "git", "lfs": "x"},
    {"type": "file", "path": "size-as-text.bin", "size": "5"},
    {"type": "symlink", "path": "link"},
    {"path": "no-type"},
    {"type": "file"},
    {"type": "file", "path": 7},
    {"type": "FILE", "path": "upper-case-type"}
  ])"));
  const auto files = list("", [](const std::string&, bool isDirectory) { return !isDirectory; });
  ASSERT_EQ(files.size(), 6u);
  EXPECT_EQ(files[2], (RemoteFile{"both.bin", 5, RemoteFile::ContentID::lfsSHA256("sha")}));
  EXPECT_EQ(files[3], (RemoteFile{"lfs-without-oid.bin", 5, std::nullopt}));
  EXPECT_EQ(files[4], (RemoteFile{"lfs-not-object.bin", -1, std::nullopt}));
  EXPECT_EQ(files[5], (RemoteFile{"size-as-text.bin", -1, std::nullopt}));
}

TEST_F(HFTreeListerTest, EmptyFolderGivesEmptyList) {
  hub_.replacePage(kRepo, "", 0, {200, "application/json", "[]", ""});
  EXPECT_TRUE(list().empty());
}

TEST_F(HFTreeListerTest, FailuresOfAPage) {
  struct Case {
    const char* name;
    std::size_t page;
    HubFake::Reply reply;
    DownloadError::Case expected;
    std::string text;
  };
  const std::string html = "\n  <!DOCTYPE html><html><head><title>" + std::string(200, 'x');
  const Case cases[] = {
      {"rateLimitedOnPageTwo", 1, {503, "text/plain", "busy", "1"}, DownloadError::Case::rateLimited,
       "Hugging Face rate limit encountered: Rate limited while listing files (HTTP 503)"},
      {"tooManyRequests", 0, {429, "text/plain", "busy", ""}, DownloadError::Case::rateLimited,
       "Hugging Face rate limit encountered: Rate limited while listing files (HTTP 429)"},
      {"jsonObjectWith404", 0, {404, "application/json", R"({"error": "Repository not found"})", ""},
       DownloadError::Case::invalidResponse, "Received an invalid response from Hugging Face."},
      {"arrayOfNonObjects", 0, {200, "application/json", "[1, 2]", ""}, DownloadError::Case::invalidResponse,
       "Received an invalid response from Hugging Face."},
      {"htmlWith404", 0, {404, "text/html", html, ""}, DownloadError::Case::htmlErrorResponse,
       "HuggingFace returned HTML instead of JSON for  (rate limit or server issue): " + html.substr(3, 100)},
      {"htmlWith200", 0, {200, "text/html", html, ""}, DownloadError::Case::htmlErrorResponse,
       "HuggingFace returned HTML instead of JSON for  (rate limit or server issue): " + html.substr(3, 100)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HubFake hub;
    ModelRegistry::setBaseURL(hub.baseURL());
    hub.putFile(kRepo, "main", {"a.bin", "A", false});
    hub.putFile(kRepo, "main", {"b.bin", "B", false});
    hub.setPageSize(1);
    hub.replacePage(kRepo, "", c.page, c.reply);
    try {
      list();
      ADD_FAILURE() << "no error";
    } catch (const DownloadError& error) {
      EXPECT_EQ(error.errorCase(), c.expected);
      EXPECT_EQ(error.description(), c.text);
    }
  }
}

TEST_F(HFTreeListerTest, BodyThatIsNoJsonFailsWithTheParserError) {
  hub_.replacePage(kRepo, "", 0, {200, "application/json", "not json", ""});
  EXPECT_THROW(list(), nlohmann::json::parse_error);
}

TEST_F(HFTreeListerTest, RateLimitInAFolderNamesTheFolder) {
  hub_.replacePage(kRepo, "Enc.mlmodelc", 0, {429, "text/plain", "", ""});
  expectDownloadError([](const DownloadError& error) {
    EXPECT_EQ(error.message(), "Rate limited while listing files in Enc.mlmodelc (HTTP 429)");
  });
}

TEST_F(HFTreeListerTest, OfflineFailsBeforeAnyRequest) {
  HFClient::setOfflineMode(true);
  try {
    list("Enc.mlmodelc");
    ADD_FAILURE() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::networkDisabled);
    EXPECT_EQ(error.operation(), "listTree(/api/models/org/model/tree/main/Enc.mlmodelc)");
  }
  HFClient::setOfflineMode(false);
  EXPECT_TRUE(hub_.requests().empty());
}

TEST_F(HFTreeListerTest, HostilePathsFailTheListing) {
  for (const char* path : {"", "/etc/passwd", "../outside", "a/../../b", "a//b", "./a", "a/.", "Enc.mlmodelc/"}) {
    SCOPED_TRACE(path);
    HubFake hub;
    ModelRegistry::setBaseURL(hub.baseURL());
    hub.putFile(kRepo, "main", {"ok.bin", "x", false});
    hub.addRawEntries(kRepo, "", nlohmann::json::array({{{"type", "file"}, {"path", path}}}));
    try {
      list();
      ADD_FAILURE() << "no error";
    } catch (const DownloadError& error) {
      EXPECT_EQ(error.errorCase(), DownloadError::Case::invalidResponse);
    }
  }
  HubFake hub;
  ModelRegistry::setBaseURL(hub.baseURL());
  hub.addRawEntries(kRepo, "", nlohmann::json::array({{{"type", "file"}, {"path", std::string("a\0b", 3)}}}));
  EXPECT_THROW(list(), DownloadError);
}

TEST_F(HFTreeListerTest, FoldersNotBelowTheListedOneAreSkipped) {
  hub_.addRawEntries(kRepo, "Enc.mlmodelc", nlohmann::json::parse(R"([
    {"type": "directory", "path": "Enc.mlmodelc"},
    {"type": "directory", "path": "Other"}
  ])"));
  EXPECT_EQ(paths(list("Enc.mlmodelc")),
            (std::vector<std::string>{"Enc.mlmodelc/weights/weight.bin", "Enc.mlmodelc/model.onnx"}));
  ASSERT_EQ(log_.records().size(), 2u);
  EXPECT_EQ(log_.records()[0].message, "Skipping folder Enc.mlmodelc listed in Enc.mlmodelc: it is not below it.");
}

TEST_F(HFTreeListerTest, DeepNestingFails) {
  std::string folder = "d";
  for (int level = 0; level < 70; ++level) {
    hub_.addRawEntries(kRepo, level == 0 ? "" : folder,
                       nlohmann::json::array({{{"type", "directory"}, {"path", level == 0 ? folder : folder + "/d"}}}));
    if (level > 0) folder += "/d";
  }
  expectDownloadError([](const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::invalidResponse);
  });
}

TEST_F(HFTreeListerTest, TokenGoesOnlyToTheHubsOrigin) {
  ::setenv("HF_TOKEN", "secret", 1);
  HubFake other;
  other.putFile(kRepo, "main", {"elsewhere.bin", "E", false});
  const std::string otherPage = other.baseURL() + "/api/models/org/model/tree/main";
  hub_.linkLastPageTo(kRepo, "", otherPage);
  const auto files = list("", [](const std::string&, bool isDirectory) { return !isDirectory; });
  ::unsetenv("HF_TOKEN");
  EXPECT_EQ(paths(files), (std::vector<std::string>{"config.json", "vocab.json", "elsewhere.bin"}));
  ASSERT_EQ(hub_.requests().size(), 1u);
  EXPECT_EQ(hub_.requests()[0].authorization, "Bearer secret");
  ASSERT_EQ(other.requests().size(), 1u);
  EXPECT_FALSE(other.requests()[0].hasAuthorization);
}

TEST_F(HFTreeListerTest, NoTokenNoAuthorization) {
  list();
  for (const auto& request : hub_.requests()) EXPECT_FALSE(request.hasAuthorization);
}

TEST_F(HFTreeListerTest, FetcherErrorsPassUnchanged) {
  const auto failing = [](const platform::Url&, bool) -> platform::HttpResponse {
    throw std::runtime_error("fetch failed");
  };
  EXPECT_THROW(HFTreeLister::listTree(kRepo, "main", "", [](const std::string&, bool) { return true; }, failing),
               std::runtime_error);
}

}  // namespace
}  // namespace tesselaudio
