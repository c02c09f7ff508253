#include "speech/Shared/Download/HFClient.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "speech/Shared/Download/DownloadError.h"

namespace tesselaudio {
namespace {

platform::HttpResponse withHeader(const char* name, const char* value) {
  platform::HttpResponse response;
  response.statusCode = 200;
  if (value != nullptr) response.headers.add(name, value);
  return response;
}

// Token variables are changed in single-threaded set-up; each test runs in its own process.
class HFClientTokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HUGGINGFACEHUB_API_TOKEN"}) {
      ::unsetenv(name);
    }
  }
  std::optional<std::string> authorization() const {
    return HFClient::authorizedRequest(*platform::Url::parse("http://127.0.0.1:9/x"), 1800)
        .headers.value("Authorization");
  }
};

TEST_F(HFClientTokenTest, FirstPresentVariableWins) {
  EXPECT_EQ(HFClient::huggingFaceToken(), std::nullopt);
  EXPECT_EQ(authorization(), std::nullopt);
  ::setenv("HUGGINGFACEHUB_API_TOKEN", "third", 1);
  EXPECT_EQ(authorization(), "Bearer third");
  ::setenv("HUGGING_FACE_HUB_TOKEN", "second", 1);
  EXPECT_EQ(authorization(), "Bearer second");
  ::setenv("HF_TOKEN", "", 1);
  EXPECT_EQ(HFClient::huggingFaceToken(), "");
  EXPECT_EQ(authorization(), "Bearer ");
}

TEST_F(HFClientTokenTest, RequestIsAPlainGetWithIdleTimeout) {
  const auto request = HFClient::authorizedRequest(*platform::Url::parse("http://h.local/a%20b"), 1800);
  EXPECT_EQ(request.method, platform::HttpRequest::Method::get);
  EXPECT_EQ(request.url, "http://h.local/a%20b");
  EXPECT_EQ(request.idleTimeout, 1800);
  EXPECT_EQ(request.overallTimeout, std::nullopt);
  EXPECT_TRUE(request.headers.fields().empty());
}

TEST(HFClientTest, OfflineModeIsOneProcessWideSwitch) {
  EXPECT_FALSE(HFClient::offlineMode());
  HFClient::setOfflineMode(true);
  EXPECT_TRUE(HFClient::offlineMode());
  HFClient::setOfflineMode(false);
}

TEST(HFClientTest, NextPageFromLinkHeader) {
  struct Case {
    const char* name;
    const char* link;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"noHeader", nullptr, std::nullopt},
      {"prevThenNext", "<http://h/p1>; rel=\"prev\", <http://h/p3>; rel=\"next\"", "http://h/p3"},
      {"upperCaseRel", "<http://h/p2>; rel=\"NEXT\"", "http://h/p2"},
      {"unquotedRel", "<http://h/p2>; rel=next", "http://h/p2"},
      {"relListsSeveral", "<http://h/p2>; rel=\"last  next\"", "http://h/p2"},
      {"commaInsideBrackets", "<http://h/p?a=1,2>; rel=\"next\"", "http://h/p?a=1,2"},
      {"elementWithoutRelSkipped", "<http://h/a>; title=x, <http://h/b>; rel=\"next\"", "http://h/b"},
      {"noAngleBracket", "http://h/p2; rel=\"next\"", std::nullopt},
      {"unclosedBracket", "<http://h/p2; rel=\"next\"", std::nullopt},
      {"onlyPrev", "<http://h/p1>; rel=\"prev\"", std::nullopt},
      {"firstNextUnparsableEndsSearch", "<not a url>; rel=\"next\", <http://h/b>; rel=\"next\"",
       std::nullopt},
      {"relativeTargetNotResolved", "</api/next>; rel=\"next\"", std::nullopt},
      {"nextNotAWord", "<http://h/p2>; rel=\"nextpage\"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto next = HFClient::nextPageURL(withHeader("Link", c.link));
    EXPECT_EQ(next ? std::optional<std::string>(next->text()) : std::nullopt, c.expected);
  }
}

TEST(HFClientTest, LooksLikeHTML) {
  struct Case {
    const char* name;
    std::string body;
    bool expected;
  };
  const Case cases[] = {
      {"doctypeAfterBlankLines", "\n\n\n<!DOCTYPE HTML><html>", true},
      {"htmlTag", "  <html lang=\"en\">", true},
      {"xml", "<?xml version=\"1.0\"?>", true},
      {"json", "[]", false},
      {"otherMarkup", "<div>", false},
      {"markupAfter512Bytes", std::string(600, ' ') + "<html>", false},
      {"invalidUtf8BeforeMarkup", "\xFF<html>", false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HFClient::looksLikeHTML(c.body), c.expected);
  }
}

TEST(HFClientTest, JsonGuard) {
  EXPECT_NO_THROW(HFClient::validateJSONResponse("[]", "sub"));
  EXPECT_NO_THROW(HFClient::validateJSONResponse("", "sub"));

  const std::string xml = "  \n<?xml version=\"1.0\"?>" + std::string(200, 'x');
  try {
    HFClient::validateJSONResponse(xml, "sub");
    ADD_FAILURE() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::htmlErrorResponse);
    EXPECT_EQ(error.path(), "sub");
    EXPECT_EQ(error.snippet(), xml.substr(3, 100));
  }

  // Byte 512 falls inside a three-byte character: the head is no valid UTF-8.
  const auto cutAt512 = [](std::string head) {
    head.resize(510, ' ');
    return head + "\xE9\x9F\xB3";
  };
  try {
    HFClient::validateJSONResponse(cutAt512("<!doctype html>"), "");
    ADD_FAILURE() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.snippet(), "");
  }
  EXPECT_NO_THROW(HFClient::validateJSONResponse(cutAt512("[{\"path\":\"a\"}"), ""));
}

TEST(HFClientTest, SnippetCountsCharactersNotBytes) {
  std::string page = "<p>";
  for (int i = 0; i < 120; ++i) page += "\xE9\x9F\xB3";  // 3-byte characters
  try {
    HFClient::validateJSONResponse(page, "p");
    ADD_FAILURE() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.snippet(), page.substr(0, 3 + 97 * 3));
  }
}

std::string httpDate(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

TEST(HFClientTest, RetryAfter) {
  struct Case {
    const char* name;
    std::optional<std::string> header;
    std::optional<double> expected;
  };
  const Case cases[] = {
      {"absent", std::nullopt, std::nullopt},
      {"seconds", "120", 120.0},
      {"negative", "-5", 0.0},
      {"fraction", "1.5", 1.5},
      {"nan", "nan", 0.0},
      {"leadingBlank", " 120", std::nullopt},
      {"trailingText", "120s", std::nullopt},
      {"pastDate", "Sun, 06 Nov 1994 08:49:37 GMT", 0.0},
      {"garbage", "soon", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HFClient::retryAfter(withHeader("Retry-After", c.header ? c.header->c_str() : nullptr)),
              c.expected);
  }
  const auto ahead = HFClient::retryAfter(
      withHeader("Retry-After", httpDate(std::chrono::system_clock::now() + std::chrono::seconds(60)).c_str()));
  ASSERT_TRUE(ahead);
  EXPECT_GT(*ahead, 55.0);
  EXPECT_LE(*ahead, 60.0);
}

}  // namespace
}  // namespace tesselaudio

#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

TEST(HFClientSessionTest, MadeOnceWithTheProxiesOfTheEnvironment) {
  ::setenv("http_proxy", "http://proxy.local:3128", 1);
  testsupport::SystemLogCapture capture;
  platform::HttpClient& first = HFClient::session();
  ::setenv("http_proxy", "http://elsewhere.local:1", 1);
  platform::HttpClient& second = HFClient::session();
  ::unsetenv("http_proxy");

  EXPECT_EQ(&first, &second);
  EXPECT_EQ(first.proxySettings().http, (platform::ProxySettings::Entry{true, "proxy.local", 3128}));
  EXPECT_EQ(first.proxySettings().https, std::nullopt);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Configured HTTP proxy: proxy.local:3128");
}

}  // namespace
}  // namespace tesselaudio
