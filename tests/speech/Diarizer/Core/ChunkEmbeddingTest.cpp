#include "speech/Diarizer/Core/ChunkEmbedding.h"

#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"

namespace tesselaudio {
namespace {

ChunkEmbedding sample() {
  return {"3", 4, 1, 40.5, 47.25, {0.6f, -0.8f, 0.0f}, {0.125, -2.5}};
}

TEST(ChunkEmbeddingTest, RoundTripsThroughJsonText) {
  const ChunkEmbedding embedding = sample();
  const nlohmann::ordered_json json = embedding.toJson();
  EXPECT_EQ(json.dump(),
            R"({"speakerId":"3","chunkIndex":4,"speakerIndex":1,"startTimeSeconds":40.5,)"
            R"("endTimeSeconds":47.25,"embedding256":[0.6,-0.8,0.0],)"
            R"("rho128":[0.125,-2.5]})");
  EXPECT_EQ(ChunkEmbedding::fromJson(nlohmann::json::parse(json.dump())), embedding);
}

TEST(ChunkEmbeddingTest, EmptyRhoIsWrittenAsAnEmptyList) {
  ChunkEmbedding embedding = sample();
  embedding.rho128.clear();
  const nlohmann::json json = embedding.toJson();
  ASSERT_TRUE(json.contains("rho128"));
  EXPECT_EQ(json["rho128"], nlohmann::json::array());
  EXPECT_EQ(ChunkEmbedding::fromJson(json), embedding);
}

TEST(ChunkEmbeddingTest, DecodingRequiresEveryKey) {
  const nlohmann::json complete = sample().toJson();
  for (const char* key : {"speakerId", "chunkIndex", "speakerIndex", "startTimeSeconds",
                          "endTimeSeconds", "embedding256", "rho128"}) {
    SCOPED_TRACE(key);
    nlohmann::json json = complete;
    json.erase(key);
    EXPECT_THROW(ChunkEmbedding::fromJson(json), platform::JsonCodingError);
  }
}

TEST(ChunkEmbeddingTest, RefusesValuesOfTheWrongKind) {
  struct Case {
    const char* name;
    const char* key;
    nlohmann::json value;
  };
  const Case cases[] = {
      {"embedding not a list", "embedding256", 0.5},
      {"text inside the embedding", "embedding256", nlohmann::json::array({0.5, "x"})},
      {"rho not a list", "rho128", nlohmann::json::object()},
      {"fractional chunk index", "chunkIndex", 1.5},
      {"numeric speaker id", "speakerId", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json json = sample().toJson();
    json[c.key] = c.value;
    EXPECT_THROW(ChunkEmbedding::fromJson(json), platform::JsonCodingError);
  }
}

TEST(ChunkEmbeddingTest, RefusesToEncodeValuesJsonCannotHold) {
  ChunkEmbedding embedding = sample();
  embedding.embedding256[1] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_THROW(embedding.toJson(), platform::JsonCodingError);
}

}  // namespace
}  // namespace tesselaudio
