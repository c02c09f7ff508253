#include "platform/net/Url.h"

#include <gtest/gtest.h>

#include "platform/net/HttpDate.h"
#include "platform/net/PercentEncoding.h"

namespace platform {
namespace {

TEST(UrlTest, ParsesAbsoluteUrlsAndKeepsTheText) {
  const auto url = Url::parse("HTTP://Example.org:8080/a%20b/c?q=1");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->text(), "HTTP://Example.org:8080/a%20b/c?q=1");
  EXPECT_EQ(url->scheme(), "http");
  EXPECT_EQ(url->host(), "Example.org");
  EXPECT_EQ(url->port(), 8080);
  EXPECT_EQ(url->path(), "/a b/c");
}

TEST(UrlTest, RejectsTextThatIsNoAbsoluteUrl) {
  for (const char* text : {"", "/relative/path", "no scheme", "http://host/with space",
                           "http://[::1", "127.0.0.1:3128"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(Url::parse(text));
  }
  EXPECT_FALSE(Url::parse(std::string_view("http://a/\0b", 11)));
}

TEST(UrlTest, ComparesOriginsWithDefaultPorts) {
  const auto a = Url::parse("https://hub.example/x");
  const auto b = Url::parse("https://HUB.example:443/y");
  const auto c = Url::parse("http://hub.example/x");
  const auto d = Url::parse("https://hub.example:8443/x");
  EXPECT_TRUE(a->sameOrigin(*b));
  EXPECT_FALSE(a->sameOrigin(*c));
  EXPECT_FALSE(a->sameOrigin(*d));
  EXPECT_EQ(a->port(), std::nullopt);
  EXPECT_EQ(a->effectivePort(), 443);
}

TEST(PercentEncodingTest, KeepsPathCharactersAndEscapesTheRest) {
  struct Case {
    const char* name;
    const char* text;
    const char* encoded;
  };
  const Case cases[] = {
      {"plain", "Encoder.mlmodelc/weights/weight.bin", "Encoder.mlmodelc/weights/weight.bin"},
      {"keptPunctuation", "!$&'()*+,-./:;=@_~", "!$&'()*+,-./:;=@_~"},
      {"blankAndQuery", "a b?c#d%e", "a%20b%3Fc%23d%25e"},
      {"multibyte", "\xE9\x9F\xB3.bin", "%E9%9F%B3.bin"},
      {"brackets", "[x]{y}\"z\"<>\\^`|", "%5Bx%5D%7By%7D%22z%22%3C%3E%5C%5E%60%7C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(percentEncodePath(c.text), c.encoded);
  }
}

TEST(HttpDateTest, ReadsOnlyTheExactForm) {
  const auto date = parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT");
  ASSERT_TRUE(date);
  EXPECT_EQ(std::chrono::system_clock::to_time_t(*date), 784111777);
  EXPECT_TRUE(parseHttpDate("Thu, 29 Feb 2024 00:00:00 UTC"));

  for (const char* text : {" Sun, 06 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT ",
                           "Sun, 6 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                           "Sun Nov  6 08:49:37 1994", "Sun, 06 Nov 1994 08:49:37 PST",
                           "Sun, 31 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT",
                           "sun, 06 nov 1994 08:49:37 gmt", "120", ""}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseHttpDate(text));
  }
}

}  // namespace
}  // namespace platform
