#include "voicememos/Recording.h"

#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace voicememos {
namespace {

using Cursor = Recording::FetchRequest::Cursor;

TEST(RecordingTest, ReadsIdentifierFromText) {
  struct Case {
    const char* name;
    const char* text;
    std::optional<std::int64_t> value;
  };
  const Case cases[] = {
      {"blanksAround", " \t42 ", 42},
      {"plus", "+7", 7},
      {"minus", "-3", -3},
      {"largest", "9223372036854775807", INT64_MAX},
      {"smallest", "-9223372036854775808", INT64_MIN},
      {"ideographicSpace", "\u300042", 42},
      {"innerBlank", "4 2", std::nullopt},
      {"empty", "", std::nullopt},
      {"onlyBlanks", "  ", std::nullopt},
      {"lineFeed", "42\n", std::nullopt},
      {"oneAboveRange", "9223372036854775808", std::nullopt},
      {"twoSigns", "+-3", std::nullopt},
      {"onlySign", "-", std::nullopt},
      {"fraction", "4.2", std::nullopt},
      {"fullWidthDigits", "４２", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto id = Recording::ID::fromText(c.text);
    EXPECT_EQ(id ? std::optional(id->rawValue) : std::nullopt, c.value);
  }
}

TEST(RecordingTest, CursorTextRoundTrips) {
  const Cursor dated{750000000.5, {12}};
  EXPECT_EQ(dated.description(), "750000000.5:12");
  EXPECT_EQ(Cursor::fromText(dated.description()), dated);

  const Cursor whole{750000000.0, {-4}};
  EXPECT_EQ(whole.description(), "750000000.0:-4");
  EXPECT_EQ(Cursor::fromText(whole.description()), whole);

  const Cursor undated{Cursor::kUndated, {7}};
  EXPECT_EQ(undated.description(), "-1e+300:7");
  EXPECT_EQ(Cursor::fromText(undated.description()), undated);
}

TEST(RecordingTest, RefusesTextsThatAreNoCursors) {
  for (const char* text : {"1.5", "1.5:", ":12", "1.5:12:3", "abc:12", " 1.5:12", "1.5:12 ",
                           "1.5:+-12", "1,5:12", ""}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Cursor::fromText(text), std::nullopt);
  }
  EXPECT_EQ(Cursor::fromText("1.5:12"), (Cursor{1.5, {12}}));
  EXPECT_EQ(Cursor::fromText("+1.5:+12"), (Cursor{1.5, {12}}));
}

TEST(RecordingTest, EqualityCoversEveryField) {
  Recording a;
  a.id = {1};
  a.title = "会議";
  a.date = 750000000.0;
  a.folder = Folder{{3}, "Work"};
  Recording b = a;
  EXPECT_EQ(a, b);
  b.folder->name = "Home";
  EXPECT_NE(a, b);

  EXPECT_FALSE(a.isRecentlyDeleted());
  a.deletionDate = 750000100.0;
  EXPECT_TRUE(a.isRecentlyDeleted());
}

TEST(RecordingTest, IdentifiersCodeAsIntegers) {
  EXPECT_EQ(nlohmann::json(Recording::ID{42}).dump(), "42");
  EXPECT_EQ(nlohmann::json(Folder::ID{-1}).dump(), "-1");
  EXPECT_EQ(nlohmann::json::parse("42").get<Recording::ID>(), Recording::ID{42});
  EXPECT_EQ(nlohmann::json::parse("7").get<Folder::ID>(), Folder::ID{7});
  for (const char* text : {"\"42\"", "4.5", "null", "9223372036854775808"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(nlohmann::json::parse(text).get<Recording::ID>(), nlohmann::json::exception);
  }
}

}  // namespace
}  // namespace voicememos
