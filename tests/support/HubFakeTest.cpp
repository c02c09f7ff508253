#include "tests/support/HubFake.h"

#include <gtest/gtest.h>

#include "platform/net/HttpClient.h"

namespace testsupport {
namespace {

// The fake answers ranges itself: a stale validator must get the whole body, not the range that
// cpp-httplib would otherwise cut out of it.
TEST(HubFakeTest, RangesFollowTheValidator) {
  HubFake hub;
  hub.putFile("org/m", "main", {"w.bin", "0123456789", true});
  platform::HttpClient client;
  platform::HttpRequest request;
  request.url = hub.baseURL() + "/org/m/resolve/main/w.bin";
  const auto whole = client.send(request);
  const std::string etag = whole.headers.value("ETag").value_or("");
  ASSERT_FALSE(etag.empty());

  struct Case {
    const char* name;
    std::string range, ifRange;
    int status;
    std::string body, contentRange;
  };
  const Case cases[] = {
      {"matchingValidator", "bytes=6-", etag, 206, "6789", "bytes 6-9/10"},
      {"staleValidator", "bytes=6-", "\"stale\"", 200, "0123456789", ""},
      {"pastTheEnd", "bytes=10-", etag, 416, "", "bytes */10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::HttpRequest ranged = request;
    ranged.headers.set("Range", c.range);
    ranged.headers.set("If-Range", c.ifRange);
    const auto response = client.send(ranged);
    EXPECT_EQ(response.statusCode, c.status);
    EXPECT_EQ(response.body, c.body);
    EXPECT_EQ(response.headers.value("Content-Range").value_or(""), c.contentRange);
  }
  EXPECT_EQ(hub.requests().back().range, "bytes=10-");
  EXPECT_EQ(hub.requests().back().ifRange, etag);
}

TEST(HubFakeTest, ContentIdsComeFromTheBytes) {
  // Known values: SHA-256 of "" and the git blob id of the empty file.
  EXPECT_EQ(HubFake::sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HubFake::gitBlobSHA1(""), "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391");
}

}  // namespace
}  // namespace testsupport
