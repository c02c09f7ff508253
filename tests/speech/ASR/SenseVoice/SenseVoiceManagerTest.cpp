#include "speech/ASR/SenseVoice/SenseVoiceManager.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/Error.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/SenseVoice/SenseVoiceModels.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SenseVoiceModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

using testsupport::SenseVoiceStandIns;
using Shapes = SenseVoiceStandIns::SpeechShapes;
namespace Ids = testsupport::SenseVoicePieceIds;

using Strings = std::vector<std::string>;

// `frames` feature frames of quiet audio (the stand-ins' script does not depend on the samples).
std::vector<float> framesOfAudio(int frames) { return std::vector<float>(static_cast<std::size_t>(frames) * 160, 0.01f); }

SenseVoiceStandIns with(void (*change)(SenseVoiceStandIns&)) {
  SenseVoiceStandIns options;
  change(options);
  return options;
}

// A recogniser over the stand-ins written into a temporary folder, with the log captured.
class SenseVoiceManagerTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  std::unique_ptr<SenseVoiceManager> recogniser(const SenseVoiceStandIns& options = {},
                                                std::int32_t language = Ids::ja) {
    const auto set = folder_.path() / ("set" + std::to_string(sets_++));
    testsupport::writeSenseVoiceFolder(set, options);
    return std::make_unique<SenseVoiceManager>(SenseVoiceModels::load(set, SenseVoiceEncoderPrecision::fp16),
                                               language, 15);
  }

  Strings warnings() const {
    Strings out;
    for (const auto& record : log_.records()) {
      if (record.category == "SenseVoiceManager") out.push_back(record.message);
    }
    return out;
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
  int sets_ = 0;
};

TEST_F(SenseVoiceManagerTest, TagsAreTakenOutOfTheCollapsedText) {
  const auto senseVoice = recogniser();
  struct Case {
    int frames;
    const char* text;
    Strings tags;
  };
  // Speech frames 12 12 0 12 13 13 9 13: repeats collapse, a blank between equal ids keeps both.
  const Case cases[] = {
      {2, "こんにちは", {"ja", "HAPPY", "Speech", "withitn"}},
      {4, "こんにちは こんにちは", {"ja", "HAPPY", "Speech", "withitn"}},
      {6, "こんにちは こんにちは世界", {"ja", "HAPPY", "Speech", "withitn"}},
      {100, "こんにちは こんにちは世界世界", {"ja", "HAPPY", "Speech", "withitn", "BGM"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames");
    const auto result = senseVoice->transcribeDetailed(framesOfAudio(c.frames));
    EXPECT_EQ(result.text, c.text);
    EXPECT_EQ(result.tags, c.tags);
    EXPECT_EQ(result.language, "ja");
    EXPECT_EQ(senseVoice->transcribe(framesOfAudio(c.frames)), c.text);
  }
}

TEST_F(SenseVoiceManagerTest, QueryRowsGiveTheScores) {
  const auto result = recogniser()->transcribeDetailed(framesOfAudio(10));
  ASSERT_EQ(result.scores.language.size(), 5u);
  EXPECT_EQ(result.scores.language[0].tag, "ja");
  EXPECT_NEAR(result.scores.language[0].probability, 0.40461f, 1e-4f);  // e / (e + 4)
  ASSERT_EQ(result.scores.emotion.size(), 2u);
  EXPECT_EQ(result.scores.emotion[0].tag, "HAPPY");
  EXPECT_NEAR(result.scores.emotion[0].probability, 0.8808f, 1e-4f);
  EXPECT_EQ(result.scores.emotion[1].tag, "SAD");
  EXPECT_NEAR(result.scores.emotion[1].probability, 0.1192f, 1e-4f);
  ASSERT_EQ(result.scores.event.size(), 2u);
  EXPECT_EQ(result.scores.event[0].tag, "Speech");
  EXPECT_EQ(result.emotion(), result.scores.emotion[0]);
  EXPECT_EQ(result.event(), result.scores.event[0]);
}

TEST_F(SenseVoiceManagerTest, LanguageIdIsPassedToTheEncoder) {
  for (const int id : {Ids::zh, Ids::en, Ids::ja, Ids::yue, Ids::x}) {
    SCOPED_TRACE(id);
    const auto result = recogniser({}, id)->transcribeDetailed(framesOfAudio(1));
    const std::string tag = testsupport::senseVoicePieces()[static_cast<std::size_t>(id)];
    EXPECT_EQ("<|" + result.scores.language.at(0).tag + "|>", tag);
    EXPECT_EQ("<|" + result.tags.at(0) + "|>", tag);
  }
}

TEST_F(SenseVoiceManagerTest, LanguageIsTheFirstLanguageTagElseTheFirstTag) {
  struct Case {
    const char* name;
    std::vector<int> speechIds;
    std::optional<std::string> language;
  };
  const Case cases[] = {
      {"NoLanguageTag", {Ids::konnichiwa}, "HAPPY"},
      {"LanguageTagAfterOthers", {Ids::konnichiwa, Ids::en}, "en"},
      {"LowerCaseTagThatIsNoLanguageName", {Ids::x}, "HAPPY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SenseVoiceStandIns options;
    options.speechIds = c.speechIds;
    // Language 0 is the blank: the first query row decodes to nothing.
    const auto result = recogniser(options, 0)->transcribeDetailed(framesOfAudio(5));
    EXPECT_EQ(result.language, c.language);
    EXPECT_EQ(result.tags.at(0), "HAPPY");
  }
}

TEST_F(SenseVoiceManagerTest, TagsOnlyGiveEmptyTextAndALanguage) {
  struct Case {
    const char* name;
    std::vector<int> speechIds;
    std::size_t samples;
  };
  const Case cases[] = {{"NoSamples", {}, 0}, {"ShorterThanAFrame", {}, 159}, {"BlankSpeech", {0, 0, 0}, 480}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SenseVoiceStandIns options;
    options.speechIds = c.speechIds;
    const auto result = recogniser(options)->transcribeDetailed(std::vector<float>(c.samples, 0.5f));
    EXPECT_EQ(result.text, "");
    EXPECT_EQ(result.tags, (Strings{"ja", "HAPPY", "Speech", "withitn"}));
    EXPECT_EQ(result.language, "ja");
  }
}

TEST_F(SenseVoiceManagerTest, OnlyWholeTagsAreTakenOut) {
  struct Case {
    const char* name;
    std::vector<int> speechIds;
    const char* text;
    Strings laterTags;
  };
  const Case cases[] = {
      {"UnmatchedOpening", {Ids::unmatchedOpen, Ids::konnichiwa}, "<| こんにちは", {}},
      {"UnmatchedOpeningBeforeATag", {Ids::unmatchedOpen, Ids::bgm, Ids::sekai}, "<|世界", {"BGM"}},
      {"EmptyTagBetweenWords", {Ids::konnichiwa, Ids::emptyTag, Ids::sekai}, "こんにちは世界", {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SenseVoiceStandIns options;
    options.speechIds = c.speechIds;
    const auto result = recogniser(options)->transcribeDetailed(framesOfAudio(10));
    EXPECT_EQ(result.text, c.text);
    Strings tags = {"ja", "HAPPY", "Speech", "withitn"};
    tags.insert(tags.end(), c.laterTags.begin(), c.laterTags.end());
    EXPECT_EQ(result.tags, tags);
  }
}

TEST_F(SenseVoiceManagerTest, FewerThanThreeLogitsRowsGiveNoScores) {
  SenseVoiceStandIns twoRows;
  twoRows.logitsRows = 2;
  const auto result = recogniser(twoRows)->transcribeDetailed(framesOfAudio(10));
  EXPECT_EQ(result.scores, SenseVoiceTagScores::empty());
  EXPECT_FALSE(result.emotion());
  EXPECT_FALSE(result.event());
  EXPECT_EQ(result.tags, (Strings{"ja", "HAPPY"}));
  EXPECT_EQ(result.language, "ja");
}

TEST_F(SenseVoiceManagerTest, EmotionAndEventAreAbsentExactlyWhenTheirListsAreEmpty) {
  SenseVoiceStandIns noEvents;
  noEvents.pieces = testsupport::senseVoicePieces();
  noEvents.pieces[Ids::speech] = "\u2581speech";
  noEvents.pieces[Ids::bgm] = "\u2581bgm";
  const auto result = recogniser(noEvents)->transcribeDetailed(framesOfAudio(1));
  EXPECT_TRUE(result.scores.event.empty());
  EXPECT_FALSE(result.event());
  ASSERT_FALSE(result.scores.emotion.empty());
  EXPECT_EQ(result.emotion(), result.scores.emotion.front());
}

TEST_F(SenseVoiceManagerTest, HalfFloatLogitsGiveTheSameTranscription) {
  SenseVoiceStandIns half;
  half.logitsType = testsupport::ElementType::float16;
  const auto audio = framesOfAudio(12);
  const auto expected = recogniser()->transcribeDetailed(audio);
  const auto result = recogniser(half)->transcribeDetailed(audio);
  EXPECT_EQ(result.text, expected.text);
  EXPECT_EQ(result.tags, expected.tags);
  EXPECT_EQ(result.scores.emotion.at(0).tag, "HAPPY");
  EXPECT_NEAR(result.scores.emotion.at(0).probability, 0.8808f, 1e-3f);
}

TEST_F(SenseVoiceManagerTest, EnumeratedEncoderGetsOnlyItsFrameCounts) {
  const auto senseVoice = recogniser();
  EXPECT_EQ(senseVoice->encoderFrameCounts(), (std::vector<int>{300, 900}));
  // The runtime refuses any other frame count, so a result shows the bucket was declared.
  for (const int frames : {8, 250, 300, 301, 900}) {
    SCOPED_TRACE(std::to_string(frames) + " frames");
    EXPECT_EQ(senseVoice->transcribe(framesOfAudio(frames)), "こんにちは こんにちは世界世界");
  }
  EXPECT_TRUE(warnings().empty());

  EXPECT_EQ(senseVoice->transcribe(framesOfAudio(1000)), "こんにちは こんにちは世界世界");
  EXPECT_EQ(warnings(), Strings{"Audio exceeds max length; truncating 1000 → 900 frames"});
}

TEST_F(SenseVoiceManagerTest, OtherEncodersUseTheirShapeOrTheDefaultBuckets) {
  struct Case {
    const char* name;
    Shapes shapes;
    std::vector<int> counts;
  };
  const Case cases[] = {
      {"Range", Shapes::range, {128, 256, 512, 1024, 1800}},
      {"Unconstrained", Shapes::unconstrained, {128, 256, 512, 1024, 1800}},
      {"OneFixedShape", Shapes::fixed300, {300}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SenseVoiceStandIns options;
    options.speechShapes = c.shapes;
    const auto senseVoice = recogniser(options);
    EXPECT_EQ(senseVoice->encoderFrameCounts(), c.counts);
    for (const int frames : {3, 129, 300}) {
      EXPECT_FALSE(senseVoice->transcribe(framesOfAudio(frames)).empty()) << frames << " frames";
    }
  }
  EXPECT_TRUE(warnings().empty());
  SenseVoiceStandIns fixed;
  fixed.speechShapes = Shapes::fixed300;
  recogniser(fixed)->transcribe(framesOfAudio(301));
  EXPECT_EQ(warnings(), Strings{"Audio exceeds max length; truncating 301 → 300 frames"});
}

TEST_F(SenseVoiceManagerTest, MissingOrShortOutputsAreNamed) {
  struct Case {
    const char* name;
    SenseVoiceStandIns options;
    const char* description;
  };
  const Case cases[] = {
      {"NoFeatures", with([](auto& o) { o.featuresName = "feats"; }),
       "ASR processing failed: SenseVoice preprocessor produced no `features`"},
      {"NoLogits", with([](auto& o) { o.logitsName = "logits"; }),
       "ASR processing failed: SenseVoice encoder produced no `ctc_logits`"},
      {"NarrowFeatures", with([](auto& o) { o.featureWidth = 100; }),
       "ASR processing failed: SenseVoice preprocessor produced `features` of shape [1, 3, 100]; "
       "3 frames of 560 values needed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto senseVoice = recogniser(c.options);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { senseVoice->transcribeDetailed(framesOfAudio(3)); }),
              c.description);
  }
}

TEST_F(SenseVoiceManagerTest, OutputsOfTheWrongRankAreRefused) {
  SenseVoiceStandIns flatLogits;
  flatLogits.flatLogits = true;
  EXPECT_EQ(testsupport::thrownDescription<ASRError>(
                [&] { recogniser(flatLogits)->transcribeDetailed(framesOfAudio(3)); }),
            "ASR processing failed: SenseVoice encoder produced `ctc_logits` of shape [19456]; [1, frames, V] needed");

  // A preprocessor that hands the waveform back as one flat "features".
  const auto set = folder_.path() / "flat-features";
  testsupport::writeSenseVoiceFolder(set);
  testsupport::ModelBuilder flatFeatures("SenseVoicePreprocessor");
  flatFeatures.input("waveform", testsupport::ElementType::float32, {1, -1})
      .output("features", testsupport::ElementType::float32, {-1})
      .initializer("flat", testsupport::TensorValue::int64s({-1}))
      .node("Reshape", {"waveform", "flat"}, {"features"});
  flatFeatures.installBundle(set / "SenseVoicePreprocessor.mlmodelc");
  SenseVoiceManager senseVoice(SenseVoiceModels::load(set, SenseVoiceEncoderPrecision::fp16));
  EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { senseVoice.transcribeDetailed(framesOfAudio(3)); }),
            "ASR processing failed: SenseVoice preprocessor produced `features` of shape [480]; [1, T, 560] needed");
}

TEST_F(SenseVoiceManagerTest, CallsFromSeveralThreadsRunOneAtATime) {
  const int frames[] = {2, 250, 900, 1000, 6, 301, 1, 899};
  std::vector<SenseVoiceTranscription> expected;
  const auto sequential = recogniser();
  for (const int count : frames) expected.push_back(sequential->transcribeDetailed(framesOfAudio(count)));

  // A fresh recogniser, whose input memory grows while the calls overlap.
  const auto senseVoice = recogniser();
  std::vector<SenseVoiceTranscription> results(std::size(frames));
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < std::size(frames); ++i) {
      threads.emplace_back([&, i] { results[i] = senseVoice->transcribeDetailed(framesOfAudio(frames[i])); });
    }
  }
  EXPECT_EQ(results, expected);
}

TEST_F(SenseVoiceManagerTest, AudioFileIsConvertedFirst) {
  const auto senseVoice = recogniser();
  const auto file = folder_.path() / "speech.m4a";
  testsupport::writeAac(file, 16000, {testsupport::sine(440, 16000, 16000, 0.2f)});
  const auto samples = AudioConverter().resampleAudioFile(file);

  EXPECT_EQ(senseVoice->transcribe(file), "こんにちは こんにちは世界世界");
  EXPECT_EQ(senseVoice->transcribe(file), senseVoice->transcribe(samples));
  EXPECT_THROW(senseVoice->transcribe(folder_.path() / "missing.m4a"), platform::Error);
}

}  // namespace
}  // namespace tesselaudio
