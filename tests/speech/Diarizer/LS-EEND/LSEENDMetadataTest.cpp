#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"
#include "speech/Diarizer/LS-EEND/LSEENDError.h"
#include "speech/Diarizer/LS-EEND/LSEENDState.h"
#include "tests/support/LSEENDModelBuilder.h"

namespace tesselaudio {
namespace {

const std::vector<std::string> kSnakeKeys{
    "chunk_size",  "frame_duration_seconds", "max_speakers", "sample_rate",  "max_nspks",    "hop_length",
    "win_length",  "n_mels",                 "context_size", "subsampling",  "conv_delay",   "n_units",
    "n_heads",     "enc_n_layers",           "dec_n_layers", "conv_kernel_size"};
const std::vector<std::string> kFieldNames{
    "chunkSize", "frameDurationSeconds", "maxSpeakers", "sampleRate", "maxNspks",   "hopLength",
    "winLength", "nMels",                "contextSize", "subsampling", "convDelay", "nUnits",
    "nHeads",    "encNLayers",           "decNLayers",  "convKernelSize"};

LSEENDMetadata tiny() { return LSEENDMetadata::fromJSON(testsupport::LSEENDModelSizes{}.configJSON()); }

TEST(LSEENDMetadataTest, DecodesEverySnakeCaseKey) {
  const std::string text =
      R"({"chunk_size": 10, "frame_duration_seconds": 0.1, "max_speakers": 4, "sample_rate": 8000,
          "max_nspks": 5, "hop_length": 80, "win_length": 200, "n_mels": 23, "context_size": 7,
          "subsampling": 10, "conv_delay": 9, "n_units": 256, "n_heads": 4, "enc_n_layers": 3,
          "dec_n_layers": 2, "conv_kernel_size": 6})";
  const auto m = LSEENDMetadata::fromJSON(text);
  EXPECT_EQ(m.chunkSize, 10);
  EXPECT_EQ(m.frameDurationSeconds, 0.1f);
  EXPECT_EQ(m.maxSpeakers, 4);
  EXPECT_EQ(m.sampleRate, 8000);
  EXPECT_EQ(m.maxNspks, 5);
  EXPECT_EQ(m.hopLength, 80);
  EXPECT_EQ(m.winLength, 200);
  EXPECT_EQ(m.nMels, 23);
  EXPECT_EQ(m.contextSize, 7);
  EXPECT_EQ(m.subsampling, 10);
  EXPECT_EQ(m.convDelay, 9);
  EXPECT_EQ(m.nUnits, 256);
  EXPECT_EQ(m.nHeads, 4);
  EXPECT_EQ(m.encNLayers, 3);
  EXPECT_EQ(m.decNLayers, 2);
  EXPECT_EQ(m.convKernelSize, 6);
  EXPECT_EQ(m.melFrames(), 9 * 10 + 2 * 7 + 1);
  EXPECT_EQ(m.nFFT(), 256);
  EXPECT_EQ(m.headDim(), 64);
}

TEST(LSEENDMetadataTest, FieldNameKeysDecodeLikeSnakeCaseAndEncodingRoundTrips) {
  const auto snake = tiny();
  nlohmann::json fieldNamed;
  for (std::size_t i = 0; i < kSnakeKeys.size(); ++i) {
    fieldNamed[kFieldNames[i]] = nlohmann::json::parse(snake.toJSON())[kFieldNames[i]];
  }
  EXPECT_EQ(LSEENDMetadata::fromJSON(fieldNamed.dump()), snake);
  EXPECT_EQ(LSEENDMetadata::fromJSON(snake.toJSON()), snake);
}

TEST(LSEENDMetadataTest, EncodingWritesTheFieldNamesInDeclarationOrder) {
  const auto encoded = nlohmann::ordered_json::parse(tiny().toJSON());
  std::vector<std::string> keys;
  for (const auto& [key, value] : encoded.items()) keys.push_back(key);
  EXPECT_EQ(keys, kFieldNames);
  EXPECT_EQ(encoded["frameDurationSeconds"].get<double>(), 0.02);
  EXPECT_FALSE(encoded.contains("melFrames"));
}

TEST(LSEENDMetadataTest, EveryKeyIsRequired) {
  const auto full = nlohmann::json::parse(testsupport::LSEENDModelSizes{}.configJSON());
  for (std::size_t i = 0; i < kSnakeKeys.size(); ++i) {
    SCOPED_TRACE(kSnakeKeys[i]);
    auto lacking = full;
    lacking.erase(kSnakeKeys[i]);
    try {
      LSEENDMetadata::fromJSON(lacking.dump());
      ADD_FAILURE() << "decoded without " << kSnakeKeys[i];
    } catch (const platform::JsonCodingError& error) {
      EXPECT_EQ(error.errorCase(), platform::JsonCodingError::Case::keyNotFound);
      EXPECT_NE(error.description().find(kFieldNames[i]), std::string::npos) << error.description();
    }
  }
}

TEST(LSEENDMetadataTest, RefusesTextThatIsNotAConfiguration) {
  using Case = platform::JsonCodingError::Case;
  struct Row {
    const char* name;
    std::string text;
    Case expected;
  };
  auto with = [](const char* key, nlohmann::json value) {
    auto json = nlohmann::json::parse(testsupport::LSEENDModelSizes{}.configJSON());
    json[key] = std::move(value);
    return json.dump();
  };
  const std::vector<Row> rows{
      {"not JSON", "{chunk_size: 10", Case::dataCorrupted},
      {"an array", "[1, 2]", Case::dataCorrupted},
      {"empty", "", Case::dataCorrupted},
      {"text for a number", with("n_mels", "16"), Case::typeMismatch},
      {"fraction for a whole number", with("chunk_size", 10.5), Case::typeMismatch},
      {"beyond 64 bits", with("hop_length", 18446744073709551615ULL), Case::typeMismatch},
      {"text for the frame duration", with("frame_duration_seconds", "0.1"), Case::typeMismatch},
      {"null", with("n_units", nullptr), Case::keyNotFound},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    try {
      LSEENDMetadata::fromJSON(row.text);
      ADD_FAILURE() << "decoded";
    } catch (const platform::JsonCodingError& error) {
      EXPECT_EQ(error.errorCase(), row.expected) << error.description();
    }
  }
  EXPECT_EQ(LSEENDMetadata::fromJSON(with("chunk_size", 12.0)).chunkSize, 12);
}

TEST(LSEENDMetadataTest, DerivedSizes) {
  struct Row {
    std::int64_t winLength;
    std::int64_t nFFT;
  };
  for (const Row& row : {Row{400, 512}, Row{512, 512}, Row{513, 1024}, Row{1, 1}, Row{2, 2}, Row{3, 4}}) {
    SCOPED_TRACE(row.winLength);
    LSEENDMetadata m = tiny();
    m.winLength = row.winLength;
    EXPECT_EQ(m.nFFT(), row.nFFT);
  }
  for (std::int64_t subsampling : {1, 2, 10}) {
    LSEENDMetadata m = tiny();
    m.chunkSize = 1;
    m.subsampling = subsampling;
    EXPECT_EQ(m.melFrames(), 2 * m.contextSize + 1) << subsampling;
  }
  LSEENDMetadata m = tiny();
  EXPECT_EQ(m.melFrames(), 25);
  m.nUnits = 9;
  EXPECT_EQ(m.headDim(), 4);
}

// Metadata that cannot give a state is refused, naming the field, before any array is made.
TEST(LSEENDMetadataTest, RefusesMetadataThatGivesNoState) {
  struct Row {
    const char* name;
    void (*change)(LSEENDMetadata&);
    const char* field;
  };
  const std::vector<Row> rows{
      {"negative convDelay", [](LSEENDMetadata& m) { m.convDelay = -1; }, "convDelay"},
      {"negative encNLayers", [](LSEENDMetadata& m) { m.encNLayers = -2; }, "encNLayers"},
      {"negative nUnits", [](LSEENDMetadata& m) { m.nUnits = -8; }, "nUnits"},
      {"negative contextSize", [](LSEENDMetadata& m) { m.contextSize = -1; }, "contextSize"},
      {"negative frame duration", [](LSEENDMetadata& m) { m.frameDurationSeconds = -0.1f; }, "frameDurationSeconds"},
      {"no heads", [](LSEENDMetadata& m) { m.nHeads = 0; }, "nHeads"},
      {"no mel bands", [](LSEENDMetadata& m) { m.nMels = 0; }, "nMels"},
      {"empty chunk", [](LSEENDMetadata& m) { m.chunkSize = 0; }, "chunkSize"},
      {"no subsampling", [](LSEENDMetadata& m) { m.subsampling = 0; }, "subsampling"},
      {"no hop", [](LSEENDMetadata& m) { m.hopLength = 0; }, "hopLength"},
      {"no window", [](LSEENDMetadata& m) { m.winLength = 0; }, "winLength"},
      {"no sample rate", [](LSEENDMetadata& m) { m.sampleRate = 0; }, "sampleRate"},
      {"no speakers", [](LSEENDMetadata& m) { m.maxSpeakers = 0; }, "maxSpeakers"},
      {"subsampling beyond the context", [](LSEENDMetadata& m) { m.subsampling = m.contextSize + 2; }, "subsampling"},
      {"state beyond 64 bits", [](LSEENDMetadata& m) { m.nUnits = INT64_C(1) << 40; m.nHeads = 1; }, "encRetKv"},
      {"window beyond 64 bits", [](LSEENDMetadata& m) { m.winLength = INT64_MAX; }, "winLength"},
      {"mel front end beyond int", [](LSEENDMetadata& m) { m.sampleRate = INT64_C(1) << 40; }, "sampleRate"},
      {"chunk beyond 64 bits", [](LSEENDMetadata& m) { m.chunkSize = INT64_C(1) << 62; }, "chunkSize"},
      {"flush beyond 64 bits", [](LSEENDMetadata& m) { m.convDelay = INT64_C(1) << 61; }, "convDelay"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    LSEENDMetadata m = tiny();
    row.change(m);
    try {
      LSEENDState state(m);
      ADD_FAILURE() << "made a state";
    } catch (const LSEENDError& error) {
      EXPECT_EQ(error.errorCase(), LSEENDError::Case::initializationFailed);
      EXPECT_NE(error.description().find(row.field), std::string::npos) << error.description();
    }
  }
}

TEST(LSEENDMetadataTest, AcceptsMetadataWithoutWarmUpOrWidth) {
  LSEENDMetadata m = tiny();
  m.convDelay = 0;
  EXPECT_NO_THROW(m.checkLimits());
  EXPECT_EQ(LSEENDState(m).cnnWindow->shape(), (std::vector<int64_t>{1, 8, 0}));
  m.nUnits = 0;
  EXPECT_NO_THROW(LSEENDState{m});
}

TEST(LSEENDErrorTest, CarriesItsMessageAsPayloadAndDescription) {
  struct Row {
    LSEENDError error;
    LSEENDError::Case errorCase;
    std::optional<std::string> message;
  };
  const std::vector<Row> rows{
      {LSEENDError::initializationFailed("a"), LSEENDError::Case::initializationFailed, "a"},
      {LSEENDError::inferenceFailed("b"), LSEENDError::Case::inferenceFailed, "b"},
      {LSEENDError::invalidInputSize("c"), LSEENDError::Case::invalidInputSize, "c"},
      {LSEENDError::notInitialized(), LSEENDError::Case::notInitialized, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.error.errorCase(), row.errorCase);
    EXPECT_EQ(row.error.message(), row.message);
    EXPECT_EQ(row.error.domain(), "TesselAudio.LSEENDError");
    EXPECT_EQ(row.error.typeName(), "LSEENDError");
  }
  EXPECT_EQ(rows[2].error.description(), "c");
  EXPECT_EQ(rows[3].error.description(), "The operation couldn\u2019t be completed. (TesselAudio.LSEENDError error 3.)");
}

}  // namespace
}  // namespace tesselaudio
