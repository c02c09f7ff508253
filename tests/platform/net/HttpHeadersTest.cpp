#include "platform/net/HttpHeaders.h"

#include <gtest/gtest.h>

#include "platform/net/ProxySettings.h"

namespace platform {
namespace {

TEST(HttpHeadersTest, LooksUpNamesWithoutCaseAndJoinsRepeats) {
  HttpHeaders headers;
  headers.add("Link", "<a>; rel=\"prev\"");
  headers.add("LINK", "<b>; rel=\"next\"");
  headers.add("ETag", "\"x\"");
  EXPECT_EQ(headers.value("link"), "<a>; rel=\"prev\", <b>; rel=\"next\"");
  EXPECT_EQ(headers.value("etag"), "\"x\"");
  EXPECT_EQ(headers.value("Retry-After"), std::nullopt);

  headers.set("link", "<c>");
  EXPECT_EQ(headers.value("Link"), "<c>");
  headers.remove("ETAG");
  EXPECT_FALSE(headers.contains("etag"));
}

TEST(ProxySettingsTest, NeedsHostAndExplicitPort) {
  struct Case {
    const char* name;
    const char* text;
    std::optional<ProxySettings::Entry> expected;
  };
  const Case cases[] = {
      {"hostAndPort", "http://proxy.local:3128", ProxySettings::Entry{true, "proxy.local", 3128}},
      {"credentialsAndPathIgnored", "https://user:pw@10.0.0.1:8080/x",
       ProxySettings::Entry{true, "10.0.0.1", 8080}},
      {"noPort", "http://proxy.local", std::nullopt},
      {"noScheme", "proxy.local:3128", std::nullopt},
      {"notAUrl", "::", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ProxySettings::parseProxyURL(c.text), c.expected);
  }
}

}  // namespace
}  // namespace platform
