#include "speech/ASR/Parakeet/ParakeetLanguageModels.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/FileError.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "tests/speech/ASR/Parakeet/ParakeetModelsFixture.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;

const auto failureOf = testsupport::thrownDescription<AsrModelsError>;

constexpr const char* kRepo = "TesselInference/parakeet-0.6b-ja-coreml";
constexpr int64_t kInt8Frames = 11;
constexpr int64_t kFp32Frames = 22;

// A language set offering the int8 encoder and a full-precision one.
struct BothEncoders {
  static constexpr int blankId = 5;
  static constexpr Repo repo = Repo::parakeetJa;
  static constexpr std::string_view displayName = "Test Language";
  static constexpr std::string_view logCategory = "TestLanguageModels";
  static constexpr std::string_view preprocessorFile = "Preprocessor.mlmodelc";
  static constexpr std::string_view encoderFile = "Encoder.mlmodelc";
  static constexpr std::string_view decoderFile = "Decoderv2.mlmodelc";
  static constexpr std::string_view vocabularyFile = "vocab.json";
  static constexpr std::optional<std::string_view> jointFile = "Jointerv2.mlmodelc";
  static constexpr bool supportsInt8Encoder = true;
  static constexpr std::optional<std::string_view> fp32EncoderFile = "EncoderFp32.mlmodelc";
};

// The int8 choice without a full-precision file.
struct Int8Only : BothEncoders {
  static constexpr std::optional<std::string_view> fp32EncoderFile = std::nullopt;
};

// No choice of encoder: the full-precision file is ignored.
struct SingleEncoder : BothEncoders {
  static constexpr bool supportsInt8Encoder = false;
};

struct WithoutJoint : SingleEncoder {
  static constexpr std::optional<std::string_view> jointFile = std::nullopt;
};

static_assert(ParakeetLanguageModelConfig<BothEncoders>);
static_assert(!ParakeetLanguageModelConfig<int>);

class ParakeetLanguageModelsTest : public ParakeetModelsFixture {
 protected:
  // Both encoders (told apart by their frame counts), the decoder, the joint and `vocabulary`.
  static void writeSet(const fs::path& folder, const std::string& vocabulary = R"(["a", "b"])") {
    testsupport::ParakeetModelSet set;
    set.decoderFile = "Decoderv2.mlmodelc";
    set.jointFile = "Jointerv2.mlmodelc";
    set.vocabularyFile = "vocab.json";
    set.vocabulary = vocabulary;
    set.encoder.melFrames = kInt8Frames;
    testsupport::writeParakeetModelSet(folder, set);
    set.preprocessorFile = "Preprocessor.mlmodelc";
    set.encoderFile = "EncoderFp32.mlmodelc";
    set.encoder.melFrames = kFp32Frames;
    set.vocabulary.clear();
    testsupport::writeParakeetModelSet(folder, set);
  }

  void publishSet() {
    const testsupport::TemporaryFolder staging;
    writeSet(staging.path());
    for (const auto& entry : fs::directory_iterator(staging.path())) {
      if (entry.is_directory()) {
        hub_.putFolder(kRepo, "main", entry.path().filename().string(), entry.path());
      } else {
        hub_.putFile(kRepo, "main", {entry.path().filename().string(), readText(entry.path()), false});
      }
    }
  }

  fs::path folder() const { return ParakeetLanguageModels<BothEncoders>::defaultCacheDirectory(); }

  static int64_t framesOf(const platform::MLModel& model) {
    return model.modelDescription().inputDescriptionsByName.at("mel").multiArrayConstraint->shape.back();
  }

  std::vector<std::string> languageMessages() const { return messages("TestLanguageModels"); }
  bool languageLogged(const std::string& line) const { return logged(line, "TestLanguageModels"); }
};

TEST_F(ParakeetLanguageModelsTest, DefaultsFollowTheRepository) {
  EXPECT_EQ(folder(), modelsRoot() / "parakeet-ja");
  const auto configuration = ParakeetLanguageModels<BothEncoders>::defaultConfiguration();
  EXPECT_EQ(configuration.computeUnits, MLComputeUnits::all);
  EXPECT_TRUE(configuration.allowLowPrecisionAccumulationOnGPU);
}

TEST_F(ParakeetLanguageModelsTest, EncoderChoiceAndItsLabel) {
  struct Case {
    const char* name;
    std::function<std::pair<int64_t, int>(const fs::path&)> load;  // encoder frames, blank id
    int64_t frames;
    const char* label;
  };
  const auto loaded = [](auto models) { return std::make_pair(framesOf(*models.encoder), models.blankId); };
  const Case cases[] = {
      {"bothInt8", [&](const fs::path& f) { return loaded(ParakeetLanguageModels<BothEncoders>::load(f, true)); },
       kInt8Frames, "int8"},
      {"bothFp32", [&](const fs::path& f) { return loaded(ParakeetLanguageModels<BothEncoders>::load(f, false)); },
       kFp32Frames, "fp32"},
      {"int8OnlyAskedForFp32",
       [&](const fs::path& f) { return loaded(ParakeetLanguageModels<Int8Only>::load(f, false)); }, kInt8Frames, "fp32"},
      {"singleEncoder",
       [&](const fs::path& f) { return loaded(ParakeetLanguageModels<SingleEncoder>::load(f, false)); }, kInt8Frames,
       "default"},
  };
  writeSet(folder());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [frames, blankId] = c.load(folder());
    EXPECT_EQ(frames, c.frames);
    EXPECT_EQ(blankId, 5);
    EXPECT_TRUE(languageLogged(std::string("Loaded preprocessor, encoder (") + c.label + "), decoder, and joint"));
  }
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(ParakeetLanguageModelsTest, LoadsTheWholeSet) {
  writeSet(folder());
  auto configuration = ParakeetLanguageModels<BothEncoders>::defaultConfiguration();
  configuration.computeUnits = MLComputeUnits::cpuOnly;

  const auto models = ParakeetLanguageModels<BothEncoders>::load(folder(), true, configuration);

  ASSERT_TRUE(models.preprocessor && models.encoder && models.decoder && models.joint);
  EXPECT_EQ(models.configuration, configuration);
  EXPECT_EQ(models.decoder->configuration().computeUnits, MLComputeUnits::cpuOnly);
  EXPECT_EQ(models.vocabulary, (std::map<int, std::string>{{0, "a"}, {1, "b"}}));
  const std::vector<std::string> expected = {
      "Loading Test Language models from: " + folder().string(),
      "Loaded preprocessor, encoder (int8), decoder, and joint",
      "Loaded Test Language vocabulary with 2 tokens from " + (folder() / "vocab.json").string(),
      "Successfully loaded Test Language models with 2 tokens",
  };
  EXPECT_EQ(languageMessages(), expected);
}

TEST_F(ParakeetLanguageModelsTest, SetWithoutJoint) {
  writeSet(folder());
  fs::remove_all(folder() / "Jointerv2.mlmodelc");
  EXPECT_TRUE(ParakeetLanguageModels<WithoutJoint>::modelsExist(folder()));

  publishSet();
  const auto models = ParakeetLanguageModels<WithoutJoint>::load(folder());

  EXPECT_EQ(models.joint, nullptr);
  EXPECT_TRUE(languageLogged("Loaded preprocessor, encoder (default), decoder"));
}

TEST_F(ParakeetLanguageModelsTest, Vocabulary) {
  struct Case {
    const char* name;
    std::optional<std::string> json;
    std::map<int, std::string> expected;
    std::string failure;
  };
  const std::string parseFailure =
      "Failed to load ASR models: Failed to parse vocab.json - expected array or dictionary format";
  const Case cases[] = {
      {"array", R"(["a","b"])", {{0, "a"}, {1, "b"}}, ""},
      {"object", R"({"3":"x","y":"z"})", {{3, "x"}}, ""},
      {"number", "42", {}, parseFailure},
      {"invalidJson", R"({"3": )", {}, parseFailure},
      {"arrayOfObjects", R"([{"a": 1}])", {}, parseFailure},
      {"missing", std::nullopt, {}, "ASR model 'vocab.json' not found at: " + (folder() / "vocab.json").string()},
  };
  writeSet(folder());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(folder() / "vocab.json");
    if (c.json) writeText(folder() / "vocab.json", *c.json);
    if (c.failure.empty()) {
      EXPECT_EQ(ParakeetLanguageModels<BothEncoders>::load(folder()).vocabulary, c.expected);
    } else {
      EXPECT_EQ(failureOf([&] { ParakeetLanguageModels<BothEncoders>::load(folder()); }), c.failure);
    }
  }
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(ParakeetLanguageModelsTest, ModelsExist) {
  struct Case {
    const char* name;
    std::vector<const char*> removed;
    bool both, int8Only, single;
  };
  const Case cases[] = {
      {"complete", {}, true, true, true},
      {"fp32EncoderOnly", {"Encoder.mlmodelc"}, true, false, false},
      {"int8EncoderOnly", {"EncoderFp32.mlmodelc"}, true, true, true},
      {"noEncoder", {"Encoder.mlmodelc", "EncoderFp32.mlmodelc"}, false, false, false},
      {"noJoint", {"Jointerv2.mlmodelc"}, false, false, false},
      {"noVocabulary", {"vocab.json"}, false, false, false},
      {"noDecoder", {"Decoderv2.mlmodelc"}, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeSet(folder());
    for (const char* name : c.removed) fs::remove_all(folder() / name);
    EXPECT_EQ(ParakeetLanguageModels<BothEncoders>::modelsExist(folder()), c.both);
    EXPECT_EQ(ParakeetLanguageModels<Int8Only>::modelsExist(folder()), c.int8Only);
    EXPECT_EQ(ParakeetLanguageModels<SingleEncoder>::modelsExist(folder()), c.single);
    fs::remove_all(folder());
  }
}

TEST_F(ParakeetLanguageModelsTest, DownloadFetchesTheChosenEncoders) {
  struct Case {
    const char* name;
    std::function<fs::path()> download;
    bool int8Fetched, fp32Fetched;
  };
  const Case cases[] = {
      {"bothEncoders", [] { return ParakeetLanguageModels<BothEncoders>::download(std::nullopt, true, true); }, true,
       true},
      {"fp32Alone", [] { return ParakeetLanguageModels<BothEncoders>::download(std::nullopt, false, false); }, true,
       true},
      {"int8OnlyAskedForBoth", [] { return ParakeetLanguageModels<Int8Only>::download(std::nullopt, false, true); },
       true, false},
      {"singleEncoderAskedForBoth",
       [] { return ParakeetLanguageModels<SingleEncoder>::download(std::nullopt, false, true); }, true, false},
  };
  publishSet();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder());
    recordHubCalls();
    const auto before = hubCalls().size();

    EXPECT_EQ(c.download(), folder());

    const auto calls = hubCalls();
    ASSERT_EQ(calls.size() - before, 1u);
    EXPECT_EQ(calls.back().computeUnits, MLComputeUnits::all);
    const auto& names = calls.back().modelNames;
    const auto asked = [&](const char* name) { return std::find(names.begin(), names.end(), name) != names.end(); };
    EXPECT_EQ(asked("EncoderFp32.mlmodelc"), c.fp32Fetched);
    EXPECT_EQ(fs::exists(folder() / "EncoderFp32.mlmodelc"), c.fp32Fetched);
    EXPECT_TRUE(fs::exists(folder() / "Encoder.mlmodelc"));  // the repository's own required set
    EXPECT_TRUE(fs::exists(folder() / "vocab.json"));
    EXPECT_TRUE(languageLogged("Successfully downloaded Test Language models"));
  }
}

TEST_F(ParakeetLanguageModelsTest, DownloadOfACompleteFolderMakesNoRequest) {
  writeSet(folder());
  EXPECT_EQ(ParakeetLanguageModels<BothEncoders>::download(), folder());
  EXPECT_EQ(requestCount(), 0u);
  EXPECT_EQ(languageMessages(), (std::vector<std::string>{"Preparing Test Language models at: " + folder().string(),
                                                          "Test Language models already present at: " +
                                                              folder().string()}));
}

TEST_F(ParakeetLanguageModelsTest, ForcedDownload) {
  publishSet();
  writeSet(folder());
  writeText(folder() / "stray.txt", "not part of the set");
  EXPECT_EQ(ParakeetLanguageModels<BothEncoders>::download(folder(), true, false, true), folder());
  EXPECT_FALSE(fs::exists(folder() / "stray.txt"));
  EXPECT_TRUE(ParakeetLanguageModels<BothEncoders>::modelsExist(folder()));
  EXPECT_GT(requestCount(), 0u);

  hub_.clearRequests();
  const fs::path documents = scratch_ / "Documents";
  writeText(documents / "notes.txt", "the user's own file");
  EXPECT_EQ(failureOf([&] { ParakeetLanguageModels<BothEncoders>::download(documents, true, false, true); }),
            "Failed to load ASR models: Refusing to remove " + documents.string() +
                " for a fresh download: the models belong in a folder named parakeet-ja");
  EXPECT_EQ(readText(documents / "notes.txt"), "the user's own file");
  EXPECT_EQ(requestCount(), 0u);
}

TEST_F(ParakeetLanguageModelsTest, ModelsTheHubDidNotProduce) {
  struct Case {
    const char* dropped;
    const char* expected;
  };
  const Case cases[] = {
      {"Preprocessor.mlmodelc",
       "Failed to load ASR models: Failed to load Test Language models (preprocessor, encoder, or decoder missing)"},
      {"Encoder.mlmodelc",
       "Failed to load ASR models: Failed to load Test Language models (preprocessor, encoder, or decoder missing)"},
      {"Decoderv2.mlmodelc",
       "Failed to load ASR models: Failed to load Test Language models (preprocessor, encoder, or decoder missing)"},
      {"Jointerv2.mlmodelc", "Failed to load ASR models: Failed to load Test Language joint model"},
  };
  writeSet(folder());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dropped);
    recordHubCalls(c.dropped);
    EXPECT_EQ(failureOf([&] { ParakeetLanguageModels<BothEncoders>::load(folder()); }), c.expected);
  }
}

TEST_F(ParakeetLanguageModelsTest, DownloadAndLoad) {
  publishSet();
  const auto models = ParakeetLanguageModels<BothEncoders>::downloadAndLoad(std::nullopt, false);
  EXPECT_EQ(framesOf(*models.encoder), kFp32Frames);
  hub_.clearRequests();
  ParakeetLanguageModels<BothEncoders>::downloadAndLoad();
  EXPECT_EQ(requestCount(), 0u);
}

}  // namespace
}  // namespace tesselaudio
