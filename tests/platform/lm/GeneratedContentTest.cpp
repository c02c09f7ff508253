#include "platform/lm/GeneratedContent.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/lm/GenerationError.h"

namespace platform {
namespace {

const GeneratedContent kContent(nlohmann::json::parse(R"({
  "int": 7, "float": 7.0, "fraction": 7.5, "text": "7", "huge": 1e300,
  "strings": ["a", "b"], "ints": [1, 2.0, -3], "mixed": [1, "2"],
  "objects": [{"n": 1}, {"n": 2}], "null": null
})"));

TEST(GeneratedContentTest, ReadsEachTypeOrThrowsDecodingFailure) {
  struct Case {
    const char* name;
    std::function<void()> read;
    bool throws;
  };
  const Case cases[] = {
      {"integer", [] { EXPECT_EQ(kContent.value<std::int64_t>("int"), 7); }, false},
      {"integralFloat", [] { EXPECT_EQ(kContent.value<std::int64_t>("float"), 7); }, false},
      {"fraction", [] { kContent.value<std::int64_t>("fraction"); }, true},
      {"integerText", [] { kContent.value<std::int64_t>("text"); }, true},
      {"integerOutOfRange", [] { kContent.value<std::int64_t>("huge"); }, true},
      {"string", [] { EXPECT_EQ(kContent.value<std::string>("text"), "7"); }, false},
      {"stringFromNumber", [] { kContent.value<std::string>("int"); }, true},
      {"stringFromNull", [] { kContent.value<std::string>("null"); }, true},
      {"strings",
       [] { EXPECT_EQ(kContent.value<std::vector<std::string>>("strings"),
                      (std::vector<std::string>{"a", "b"})); },
       false},
      {"stringsWithNumber", [] { kContent.value<std::vector<std::string>>("mixed"); }, true},
      {"integers",
       [] { EXPECT_EQ(kContent.value<std::vector<std::int64_t>>("ints"),
                      (std::vector<std::int64_t>{1, 2, -3})); },
       false},
      {"integersWithText", [] { kContent.value<std::vector<std::int64_t>>("mixed"); }, true},
      {"integersFromString", [] { kContent.value<std::vector<std::int64_t>>("text"); }, true},
      {"contents",
       [] {
         auto list = kContent.value<std::vector<GeneratedContent>>("objects");
         ASSERT_EQ(list.size(), 2u);
         EXPECT_EQ(list[1].value<std::int64_t>("n"), 2);
       },
       false},
      {"contentsFromObject", [] { kContent.value<std::vector<GeneratedContent>>("int"); }, true},
      {"missing", [] { kContent.value<std::string>("absent"); }, true},
      {"propertyOfNonObject",
       [] { GeneratedContent(nlohmann::json::array()).value<std::string>("x"); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.throws) {
      c.read();
      continue;
    }
    try {
      c.read();
      ADD_FAILURE() << "no error";
    } catch (const GenerationError& error) {
      EXPECT_EQ(error.errorCase(), GenerationError::Case::decodingFailure);
    }
  }
}

}  // namespace
}  // namespace platform
