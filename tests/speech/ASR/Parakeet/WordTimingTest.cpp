#include "speech/ASR/Parakeet/WordTiming.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"

namespace tesselaudio {
namespace {

using platform::JsonCodingError;

TokenTiming piece(const char* token, double start, double end) { return {token, 0, start, end, 0.9f}; }

TEST(WordTimingTest, BuildsWordsFromTokenTimings) {
  struct Case {
    const char* name;
    std::vector<TokenTiming> tokens;
    std::vector<WordTiming> words;
  };
  const Case cases[] = {
      {"empty in, empty out", {}, {}},
      {"marks start words",
       {piece("\u2581the", 0.0, 0.1), piece("\u2581ca", 0.1, 0.2), piece("t", 0.2, 0.3)},
       {{"the", 0.0, 0.1}, {"cat", 0.1, 0.3}}},
      {"spaces start words like marks",
       {piece(" the", 0.0, 0.1), piece(" ca", 0.1, 0.2), piece("t", 0.2, 0.3)},
       {{"the", 0.0, 0.1}, {"cat", 0.1, 0.3}}},
      {"a lone mark leaves the next piece its own start",
       {piece("\u2581", 0.0, 0.1), piece("ab", 0.2, 0.3)},
       {{"ab", 0.2, 0.3}}},
      {"a first piece without a mark starts a word",
       {piece("ab", 0.0, 0.1), piece("c", 0.1, 0.2), piece("\u2581d", 0.2, 0.3)},
       {{"abc", 0.0, 0.2}, {"d", 0.2, 0.3}}},
      {"blank and pad inside a word",
       {piece("\u2581ca", 0.0, 0.1), piece("<blank>", 0.1, 0.5), piece("t", 0.5, 0.6), piece("<pad>", 0.6, 0.9),
        piece("", 0.9, 1.0)},
       {{"cat", 0.0, 0.6}}},
      {"a spaces-only word is dropped",
       {piece("\u2581 ", 0.0, 0.1), piece(" \t", 0.1, 0.2), piece("\u2581x", 0.2, 0.3)},
       {{"x", 0.2, 0.3}}},
      {"words are trimmed of spaces and tabs", {piece("\u2581 hi\t", 0.0, 0.1)}, {{"hi", 0.0, 0.1}}},
      {"Japanese pieces", {piece("\u2581こん", 0.0, 0.1), piece("にちは", 0.1, 0.3)}, {{"こんにちは", 0.0, 0.3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(buildWordTimings(c.tokens), c.words);
  }
}

TEST(WordTimingTest, JsonRoundTripsWithExactlyItsKeys) {
  const WordTiming word{"cat", 0.1, 0.3};
  const nlohmann::json json = word.toJson();
  EXPECT_EQ(json.size(), 3u);
  for (const char* key : {"word", "startTime", "endTime"}) EXPECT_TRUE(json.contains(key)) << key;
  EXPECT_EQ(json.dump(), R"({"endTime":0.3,"startTime":0.1,"word":"cat"})");

  nlohmann::json withExtra = nlohmann::json::parse(json.dump());
  withExtra["confidence"] = 0.85;
  EXPECT_EQ(WordTiming::fromJson(withExtra), word);
}

TEST(WordTimingTest, MalformedJsonFails) {
  struct Case {
    const char* name;
    const char* text;
    JsonCodingError::Case error;
  };
  const Case cases[] = {
      {"no word", R"({"startTime":0,"endTime":1})", JsonCodingError::Case::keyNotFound},
      {"null end", R"({"word":"a","startTime":0,"endTime":null})", JsonCodingError::Case::keyNotFound},
      {"start as text", R"({"word":"a","startTime":"0","endTime":1})", JsonCodingError::Case::typeMismatch},
      {"word as number", R"({"word":1,"startTime":0,"endTime":1})", JsonCodingError::Case::typeMismatch},
      {"not an object", R"(["a",0,1])", JsonCodingError::Case::dataCorrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      WordTiming::fromJson(nlohmann::json::parse(c.text));
      ADD_FAILURE() << "decoded";
    } catch (const JsonCodingError& e) {
      EXPECT_EQ(e.errorCase(), c.error);
    }
  }
}

TEST(WordTimingTest, NonFiniteTimesAreNotWritten) {
  EXPECT_THROW((WordTiming{"a", 0, INFINITY}.toJson()), JsonCodingError);
}

}  // namespace
}  // namespace tesselaudio
