#include "app/VoiceMemos/VoiceMemosController.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::VoiceMemosController {

void PrintTo(const FindResult& result, std::ostream* out) {
  const char* kinds[] = {"found", "notFound", "noPermission"};
  *out << kinds[static_cast<int>(result.kind)];
  if (result.url) *out << " " << result.url->string();
}

}  // namespace veltovoice::VoiceMemosController

namespace veltovoice {
namespace {

using namespace std::chrono;
using VoiceMemosController::FindResult;

// The offset of the zone that CTest gave the test, so that instants can be written as wall-clock
// times; none for a zone this table does not know.
std::optional<seconds> zoneOffset() {
  const char* zone = std::getenv("TZ");
  const std::string name = zone ? zone : "";
  if (name == "UTC") return 0s;
  if (name == "Asia/Tokyo") return 9h;
  return std::nullopt;
}

// Seconds since 2001-01-01 UTC of an instant.
double since2001(system_clock::time_point instant) {
  return duration<double>(instant - sys_days{year{2001} / January / 1}).count();
}

// 2 January 2025 at the given local wall-clock time, in seconds since 2001.
double jan2(int hour, int minute, int second) {
  return since2001(sys_days{year{2025} / January / 2} + hours{hour} + minutes{minute} +
                   seconds{second} - zoneOffset().value());
}

class VoiceMemosControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zoneOffset()) GTEST_SKIP() << "unknown time zone";
    // One process per test, so the home folder can be this test's own.
    ::setenv("HOME", home_.path().c_str(), 1);
    recordings_ = home_ / "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings";
  }

  void makeFolder() { std::filesystem::create_directories(recordings_); }

  std::filesystem::path add(const std::string& name) {
    makeFolder();
    testsupport::writeFile(recordings_ / name, {});
    return recordings_ / name;
  }

  // The names of the folder's entries in the order the file system lists them.
  std::vector<std::filesystem::path> listing() const {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(recordings_)) {
      entries.push_back(entry.path());
    }
    return entries;
  }

  testsupport::TemporaryFolder home_;
  std::filesystem::path recordings_;
};

TEST_F(VoiceMemosControllerTest, UsesFolderInHome) {
  EXPECT_EQ(VoiceMemosController::recordingsFolder(), recordings_);
}

TEST_F(VoiceMemosControllerTest, AcceptsDistancesUpToTolerance) {
  const auto file = add("20250102 093000.m4a");
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double near;
    double tolerance;
    bool found;
  };
  const Case cases[] = {
      {"tenSecondsAfter", jan2(9, 30, 10), 30, true},
      {"tenSecondsBefore", jan2(9, 29, 50), 30, true},
      {"exactlyTolerance", jan2(9, 30, 30), 30, true},
      {"beyondTolerance", jan2(9, 30, 31), 30, false},
      {"sameSecondZeroTolerance", jan2(9, 30, 0), 0, true},
      {"fractionBeyondZeroTolerance", jan2(9, 30, 0) + 0.001, 0, false},
      {"negativeTolerance", jan2(9, 30, 0), -1, false},
      {"nanTolerance", jan2(9, 30, 0), nan, false},
      {"infiniteTolerance", jan2(9, 30, 0) + 20 * 365 * 86400.0, inf, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VoiceMemosController::findRecording(c.near, c.tolerance),
              c.found ? FindResult::found(file) : FindResult::notFound());
  }
}

TEST_F(VoiceMemosControllerTest, SkipsNamesThatCarryNoStamp) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const char* name : {"20250102 093000.wav", "20250102 093000", "20250102 09300.m4a",
                           "2025-01-02 0930.m4a", "20251302 093000.m4a", "20250230 093000.m4a",
                           "20250102 243000.m4a", "20250102 093060.m4a", "20250102T093000.m4a",
                           "20250102 09300\u0301.m4a",
                           "20250102 09300\u03010.m4a", ".m4a", "notes.txt"}) {
    add(name);
  }
  std::filesystem::create_directory(recordings_ / "20250102 093000.m4a");
  EXPECT_EQ(VoiceMemosController::findRecording(jan2(9, 30, 0), inf), FindResult::notFound());
}

TEST_F(VoiceMemosControllerTest, ReadsStampBeforeAnySuffix) {
  const auto file = add("20250102 093000-ABCD.QTA");
  add("20250102 093000.wav");
  EXPECT_EQ(VoiceMemosController::findRecording(jan2(9, 30, 5), 30), FindResult::found(file));
}

TEST_F(VoiceMemosControllerTest, ChoosesNearestAndFirstListedOnTies) {
  add("20250102 092950.m4a");
  add("20250102 093010.m4a");
  add("20250102 093003 second take.m4a");
  EXPECT_EQ(VoiceMemosController::findRecording(jan2(9, 30, 4), 30),
            FindResult::found(recordings_ / "20250102 093003 second take.m4a"));

  std::filesystem::remove(recordings_ / "20250102 093003 second take.m4a");
  const auto entries = listing();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(VoiceMemosController::findRecording(jan2(9, 30, 0), 30),
            FindResult::found(entries.front()));
}

TEST_F(VoiceMemosControllerTest, TellsMissingFolderFromUnreadableOne) {
  // No folder at all: Linux machines normally have none, which is no reason for a permission notice.
  EXPECT_EQ(VoiceMemosController::findRecording(jan2(9, 30, 0), 30), FindResult::notFound());

  makeFolder();
  EXPECT_EQ(VoiceMemosController::findRecording(jan2(9, 30, 0), 30), FindResult::notFound());

  std::filesystem::remove(recordings_);
  testsupport::writeFile(recordings_, testsupport::raw("not a folder"));
  EXPECT_EQ(VoiceMemosController::findRecording(jan2(9, 30, 0), 30), FindResult::noPermission());
}

// CTest runs this suite once under Asia/Tokyo and once under UTC: the same name is a different
// instant in each.
TEST_F(VoiceMemosControllerTest, ReadsStampInCurrentZone) {
  const auto file = add("20250102 093000.m4a");
  const double utcNineThirty = since2001(sys_days{year{2025} / January / 2} + 9h + 30min);
  const bool utc = zoneOffset() == 0s;
  EXPECT_EQ(VoiceMemosController::findRecording(utcNineThirty, 30),
            utc ? FindResult::found(file) : FindResult::notFound());
  EXPECT_EQ(VoiceMemosController::findRecording(utcNineThirty - 9 * 3600.0, 30),
            utc ? FindResult::notFound() : FindResult::found(file));
}

}  // namespace
}  // namespace veltovoice
