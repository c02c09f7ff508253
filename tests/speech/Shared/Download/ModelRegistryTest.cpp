#include "speech/Shared/Download/ModelRegistry.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

// Each test runs in its own process: the assigned base address cannot be cleared, and the
// environment is changed here in single-threaded set-up only.
class ModelRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("REGISTRY_URL");
    ::unsetenv("MODEL_REGISTRY_URL");
    ModelRegistry::setRepoOverrides({});
    ModelRegistry::setRevisionOverrides({});
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : capture_.records()) {
      if (record.category == "ModelRegistry") out.push_back(record.message);
    }
    return out;
  }

  testsupport::SystemLogCapture capture_;
};

TEST_F(ModelRegistryTest, BaseAddressDefaultsToThePublicHub) {
  EXPECT_EQ(ModelRegistry::baseURL(), ModelRegistry::kDefaultBaseURL);
}

TEST_F(ModelRegistryTest, BaseAddressPrecedenceIsReadOnEveryAccess) {
  ::setenv("MODEL_REGISTRY_URL", "http://model.local", 1);
  EXPECT_EQ(ModelRegistry::baseURL(), "http://model.local");
  ::setenv("REGISTRY_URL", "http://registry.local/", 1);
  EXPECT_EQ(ModelRegistry::baseURL(), "http://registry.local/");  // used as given
  ::setenv("REGISTRY_URL", "", 1);
  EXPECT_EQ(ModelRegistry::baseURL(), "");  // empty but present: the next one is not consulted
  ModelRegistry::setBaseURL("http://assigned.local");
  EXPECT_EQ(ModelRegistry::baseURL(), "http://assigned.local");
  ::unsetenv("REGISTRY_URL");
  EXPECT_EQ(ModelRegistry::baseURL(), "http://assigned.local");
}

TEST_F(ModelRegistryTest, LongestOverrideKeyWins) {
  ModelRegistry::setRepoOverrides({{"org-a", "mirror"}, {"org-a/model-x", "other/model-z"}});
  struct Case {
    const char* repo;
    const char* mapped;
  };
  const Case cases[] = {
      {"org-a/model-x/sub", "other/model-z/sub"},
      {"org-a/model-x", "other/model-z"},
      {"org-a/model-q", "mirror/model-q"},
      {"org-a/model-xl", "mirror/model-xl"},
      {"org-ab/model", "org-ab/model"},
      {"Org-a/model", "Org-a/model"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.repo);
    EXPECT_EQ(ModelRegistry::mapRepoPath(c.repo), c.mapped);
  }
}

TEST_F(ModelRegistryTest, RevisionOverridesByPrefix) {
  EXPECT_EQ(ModelRegistry::mapRevision("org-a/model-x", "main"), "main");
  ModelRegistry::setRevisionOverrides({{"org-a", "stable"}});
  EXPECT_EQ(ModelRegistry::mapRevision("org-a/model-x", "main"), "stable");
  EXPECT_EQ(ModelRegistry::mapRevision("org-b/model", "main"), "main");
}

TEST_F(ModelRegistryTest, BuildersJoinTheirPieces) {
  ModelRegistry::setBaseURL("http://127.0.0.1:8080");
  ModelRegistry::setRepoOverrides({{"org-a", "mirror"}});
  EXPECT_EQ(ModelRegistry::resolveModel("org-a/m", "Enc.mlmodelc/weights/weight.bin", "main").text(),
            "http://127.0.0.1:8080/mirror/m/resolve/main/Enc.mlmodelc/weights/weight.bin");
  EXPECT_EQ(ModelRegistry::apiModels("org-a/m", "tree/main").text(),
            "http://127.0.0.1:8080/api/models/mirror/m/tree/main");
  EXPECT_EQ(ModelRegistry::apiModels("org-a/m", "").text(), "http://127.0.0.1:8080/api/models/mirror/m/");
  EXPECT_EQ(ModelRegistry::apiDatasets("org-a/d", "tree/v1").text(),
            "http://127.0.0.1:8080/api/datasets/org-a/d/tree/v1");
  EXPECT_EQ(ModelRegistry::resolveDataset("org-a/d", "x.json", "v1").text(),
            "http://127.0.0.1:8080/datasets/org-a/d/resolve/v1/x.json");
  EXPECT_EQ(ModelRegistry::resolveDatasetBase("org-a/d", "v1"),
            "http://127.0.0.1:8080/datasets/org-a/d/resolve/v1");
}

TEST_F(ModelRegistryTest, RejectedTextGivesInvalidURL) {
  ModelRegistry::setBaseURL("not a url");
  try {
    ModelRegistry::resolveModel("org/m", "a.bin", "main");
    ADD_FAILURE() << "no error";
  } catch (const ModelRegistry::Error& error) {
    EXPECT_EQ(error.text(), "not a url/org/m/resolve/main/a.bin");
    EXPECT_EQ(error.description(), "Invalid URL construction: not a url/org/m/resolve/main/a.bin");
  }
  EXPECT_EQ(ModelRegistry::resolveDatasetBase("d", "v"), "not a url/datasets/d/resolve/v");
}

TEST_F(ModelRegistryTest, ProxyVariablesBecomeProxySettings) {
  struct Case {
    const char* name;
    const char* https;
    const char* http;
    std::optional<platform::ProxySettings> expected;
    std::vector<std::string> log;
  };
  using Entry = platform::ProxySettings::Entry;
  const Case cases[] = {
      {"none", nullptr, nullptr, std::nullopt, {}},
      {"httpOnly", nullptr, "http://proxy.local:3128",
       platform::ProxySettings{std::nullopt, Entry{true, "proxy.local", 3128}},
       {"Configured HTTP proxy: proxy.local:3128"}},
      {"withoutPort", nullptr, "http://proxy.local", std::nullopt,
       {"Invalid HTTP proxy URL: http://proxy.local"}},
      {"both", "http://secure.local:8443", "http://proxy.local:3128",
       platform::ProxySettings{Entry{true, "secure.local", 8443}, Entry{true, "proxy.local", 3128}},
       {"Configured HTTPS proxy: secure.local:8443", "Configured HTTP proxy: proxy.local:3128"}},
      {"oneBadOneGood", "garbage", "http://proxy.local:3128",
       platform::ProxySettings{std::nullopt, Entry{true, "proxy.local", 3128}},
       {"Invalid HTTPS proxy URL: garbage", "Configured HTTP proxy: proxy.local:3128"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture capture;
    c.https ? ::setenv("https_proxy", c.https, 1) : ::unsetenv("https_proxy");
    c.http ? ::setenv("http_proxy", c.http, 1) : ::unsetenv("http_proxy");
    EXPECT_EQ(ModelRegistry::configureProxySettings(), c.expected);
    std::vector<std::string> log;
    for (const auto& record : capture.records()) log.push_back(record.message);
    EXPECT_EQ(log, c.log);
  }
  ::unsetenv("https_proxy");
  ::unsetenv("http_proxy");
}

TEST_F(ModelRegistryTest, UnknownProxyTypeGivesNothingSilently) {
  EXPECT_EQ(ModelRegistry::parseProxyURL("http://proxy.local:3128", "SOCKS"), std::nullopt);
  EXPECT_TRUE(messages().empty());
}

}  // namespace
}  // namespace tesselaudio
