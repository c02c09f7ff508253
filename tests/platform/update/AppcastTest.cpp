#include "platform/update/Appcast.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/update/UpdateError.h"

namespace platform {
namespace {

std::string release(const std::string& version, const std::string& display) {
  return "<release version=\"" + version + "\" displayVersion=\"" + display +
         "\" url=\"https://updates.example/VeltoVoice-" + display + ".tar.gz\" length=\"10\" signature=\"c2ln\"/>";
}

TEST(AppcastTest, NewestReleaseIsTheHighestVersionWhereverItStands) {
  const auto items = Appcast::parse("<?xml version=\"1.0\"?><updates>" + release("9", "1.9.0") +
                                    release("10", "1.10.0") + release("2", "1.2.0") + "</updates>");
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[1].fileURL, "https://updates.example/VeltoVoice-1.10.0.tar.gz");
  EXPECT_EQ(items[1].contentLength, 10);
  EXPECT_EQ(items[1].edSignature, "c2ln");
  const auto newest = Appcast::newest(items);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->versionString, "10");
  EXPECT_EQ(newest->displayVersionString, "1.10.0");
}

TEST(AppcastTest, RefusesFeedsThatAreNotAListOfReleases) {
  struct Case {
    const char* name;
    std::string xml;
  };
  const std::string good = release("2", "1.2.0");
  const Case cases[] = {
      {"malformed", "<updates><release"},
      {"empty", ""},
      {"other root", "<feed>" + good + "</feed>"},
      {"no release", "<updates/>"},
      {"entity declaration",
       "<!DOCTYPE updates [<!ENTITY big \"https://evil.example/x.tar.gz\">]><updates>" + good + "</updates>"},
      {"missing signature",
       "<updates><release version=\"2\" displayVersion=\"2\" url=\"https://a.example/x\" length=\"1\"/></updates>"},
      {"plain http archive",
       "<updates><release version=\"2\" displayVersion=\"2\" url=\"http://a.example/x\" length=\"1\" "
       "signature=\"c2ln\"/></updates>"},
      {"length not a number",
       "<updates><release version=\"2\" displayVersion=\"2\" url=\"https://a.example/x\" length=\"12kB\" "
       "signature=\"c2ln\"/></updates>"},
      {"zero length",
       "<updates><release version=\"2\" displayVersion=\"2\" url=\"https://a.example/x\" length=\"0\" "
       "signature=\"c2ln\"/></updates>"},
      {"version with letters", "<updates>" + release("2b", "2") + "</updates>"},
      {"absurdly long version", "<updates>" + release(std::string(5000, '9'), "2") + "</updates>"},
      {"absurdly long display version", "<updates>" + release("2", std::string(200, 'x')) + "</updates>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Appcast::parse(c.xml);
      ADD_FAILURE() << "accepted";
    } catch (const UpdateError& error) {
      EXPECT_EQ(error.updateCode(), UpdateError::Code::feedInvalid);
      EXPECT_EQ(error.domain(), UpdateError::kDomain);
      EXPECT_FALSE(error.failureReason().empty());
    }
  }
}

}  // namespace
}  // namespace platform
