#include "speech/VAD/VadManager.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/audio/PcmBuffer.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/VAD/VadError.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VadModelBuilder.h"

namespace tesselaudio {
namespace {

using testsupport::ElementType;
using testsupport::VadEchoOptions;

std::vector<float> filled(std::size_t count, float value) { return std::vector<float>(count, value); }

std::vector<float> slice(const std::vector<float>& values, std::size_t begin, std::size_t end) {
  return std::vector<float>(values.begin() + static_cast<std::ptrdiff_t>(begin),
                            values.begin() + static_cast<std::ptrdiff_t>(end));
}

// A ramp 0.001, 0.002, ... so that every position is told apart.
std::vector<float> ramp(std::size_t count) {
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>(i + 1) * 0.001f;
  return values;
}

// The echo stand-in loaded from a temporary folder and a manager on it.
class VadManagerTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  VadManager& manager(const VadEchoOptions& options = {}) {
    manager_ = std::make_unique<VadManager>(VadConfig::default_(), testsupport::loadVadEchoModel(folder_.path(), options));
    return *manager_;
  }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<VadManager> manager_;
};

TEST_F(VadManagerTest, EmptyInputGivesNoResultsAlsoWithoutAModel) {
  EXPECT_TRUE(manager().process(std::vector<float>{}).empty());
  VadManager withoutModel(VadConfig::default_(), std::shared_ptr<const platform::MLModel>());
  EXPECT_FALSE(withoutModel.isAvailable());
  EXPECT_TRUE(withoutModel.process(std::vector<float>{}).empty());
}

TEST_F(VadManagerTest, ProcessingWithoutAModelIsNotInitialized) {
  VadManager withoutModel(VadConfig::default_(), std::shared_ptr<const platform::MLModel>());
  try {
    withoutModel.process(filled(10, 0.5f));
    ADD_FAILURE() << "processed";
  } catch (const VadError& error) {
    EXPECT_EQ(error.errorCode(), VadError::Code::notInitialized);
  }
  EXPECT_THROW(withoutModel.processChunk(filled(4096, 0.5f)), VadError);
}

TEST_F(VadManagerTest, OneResultPerChunkRoundedUp) {
  auto& vad = manager();
  EXPECT_TRUE(vad.isAvailable());
  for (const std::size_t count : {1u, 100u, 4095u, 4096u, 4097u, 8192u, 10000u}) {
    SCOPED_TRACE(count);
    EXPECT_EQ(vad.process(ramp(count)).size(), (count + 4095) / 4096);
  }
}

TEST_F(VadManagerTest, LastChunkIsFilledWithCopiesOfItsLastSample) {
  auto& vad = manager();
  auto samples = filled(4097, 0.1f);
  samples.back() = 0.7f;
  const auto results = vad.process(samples);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FLOAT_EQ(results[1].probability, 0.7f);
  // The model saw the first chunk's last 64 samples, then the one real sample and its copies.
  EXPECT_EQ(slice(results[1].outputState.cellState, 0, 64), filled(64, 0.1f));
  EXPECT_EQ(slice(results[1].outputState.cellState, 64, 128), filled(64, 0.7f));
  EXPECT_EQ(results[1].outputState.context, filled(64, 0.7f));

  const auto hundred = ramp(100);
  const auto short_ = vad.process(hundred);
  ASSERT_EQ(short_.size(), 1u);
  EXPECT_EQ(slice(short_[0].outputState.cellState, 64, 128), slice(hundred, 0, 64));
  EXPECT_EQ(short_[0].outputState.context, filled(64, hundred[99]));
}

TEST_F(VadManagerTest, ProcessChunkUsesTheFirst4096SamplesAndTheInitialStateWhenAbsent) {
  auto& vad = manager();
  const auto samples = ramp(5000);
  const auto absent = vad.processChunk(samples);
  EXPECT_EQ(absent.outputState.context, slice(samples, 4032, 4096));
  EXPECT_FLOAT_EQ(absent.probability, samples[0]);
  const auto initial = vad.processChunk(samples, VadState::initial());
  EXPECT_EQ(absent.outputState, initial.outputState);
  EXPECT_EQ(absent.probability, initial.probability);
  EXPECT_EQ(absent.outputState.hiddenState, filled(128, 1.0f));
}

TEST_F(VadManagerTest, ProbabilityAtTheThresholdIsVoice) {
  auto& vad = manager();
  EXPECT_TRUE(vad.processChunk(filled(4096, 0.85f)).isVoiceActive);
  EXPECT_FALSE(vad.processChunk(filled(4096, 0.8499f)).isVoiceActive);
  EXPECT_GE(vad.processChunk(filled(4096, 0.85f)).processingTime, 0.0);
}

TEST_F(VadManagerTest, FirstChunkStartsFromZerosAndLaterChunksChain) {
  auto& vad = manager();
  const auto samples = ramp(3 * 4096);
  const auto results = vad.process(samples);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(slice(results[0].outputState.cellState, 0, 64), filled(64, 0.0f));
  EXPECT_EQ(results[0].outputState.hiddenState, filled(128, 1.0f));
  for (std::size_t i = 1; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(slice(results[i].outputState.cellState, 0, 64), results[i - 1].outputState.context);
    EXPECT_EQ(slice(results[i].outputState.cellState, 64, 128), slice(samples, i * 4096, i * 4096 + 64));
    EXPECT_EQ(results[i].outputState.hiddenState, filled(128, static_cast<float>(i + 1)));
  }
  // A second call starts from zeros again.
  EXPECT_EQ(vad.process(samples)[0].outputState, results[0].outputState);
}

TEST_F(VadManagerTest, ShortStatesAreZeroFilledWhateverTheBuffersHeldBefore) {
  auto& vad = manager();
  VadState full{filled(128, 7.0f), filled(128, 7.0f), filled(64, 7.0f)};
  vad.processChunk(filled(4096, 0.5f), full);

  const VadState partial{{5, 5, 5}, {}, {9}};
  const auto result = vad.processChunk(filled(4096, 0.5f), partial);
  auto expectedHidden = filled(128, 1.0f);
  std::fill_n(expectedHidden.begin(), 3, 6.0f);
  EXPECT_EQ(result.outputState.hiddenState, expectedHidden);
  auto expectedContext = filled(64, 0.0f);
  expectedContext[0] = 9;
  EXPECT_EQ(slice(result.outputState.cellState, 0, 64), expectedContext);
}

TEST_F(VadManagerTest, FindsTheProbabilityOutputByName) {
  struct Case {
    const char* name;
    VadEchoOptions options;
    float expected;
  };
  VadEchoOptions containment;
  containment.probabilityName = "Model_VAD_OUTPUT_prob";
  VadEchoOptions exactWins;
  exactWins.decoyName = "Model_VAD_OUTPUT_prob";
  VadEchoOptions exactDecoy;
  exactDecoy.probabilityName = "Model_VAD_OUTPUT_prob";
  exactDecoy.decoyName = "vad_output";
  const Case cases[] = {
      {"containment ignores letter case", containment, 0.25f},
      {"exact name before a longer one", exactWins, 0.25f},
      {"exact name even when it holds something else", exactDecoy, -1.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FLOAT_EQ(manager(c.options).processChunk(filled(4096, 0.25f)).probability, c.expected);
  }
}

TEST_F(VadManagerTest, MissingOutputsAreLoggedAndThrown) {
  struct Case {
    const char* name;
    VadEchoOptions options;
    const char* logLine;
    const char* message;
  };
  VadEchoOptions noProbability, noHidden, noCell;
  noProbability.withProbability = false;
  noHidden.withHiddenState = false;
  noCell.withCellState = false;
  const Case cases[] = {
      {"probability", noProbability, "No vad output found", "No VAD output"},
      {"hidden state", noHidden, "No new hidden state output found", "No new hidden state output"},
      {"cell state", noCell, "No new cell state output found", "No new cell state output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    auto& vad = manager(c.options);
    const std::string description = std::string("Model processing failed: Model processing failed: ") + c.message;
    try {
      vad.processChunk(filled(4096, 0.5f));
      ADD_FAILURE() << "processed";
    } catch (const VadError& error) {
      EXPECT_EQ(error.errorCode(), VadError::Code::modelProcessingFailed);
      EXPECT_EQ(error.description(), description);
    }
    std::vector<std::string> lines;
    for (const auto& record : log.records()) {
      if (record.category == "VadManager" && record.level == platform::SystemLog::Level::error) {
        lines.push_back(record.message);
      }
    }
    // The run's own line writes the inner error's description: the prefix stands twice there too.
    EXPECT_EQ(lines, (std::vector<std::string>{c.logLine, description}));
  }
}

TEST_F(VadManagerTest, OutputsOfOtherTypesAreConverted) {
  struct Case {
    const char* name;
    ElementType type;
    float sample;
  };
  const Case cases[] = {
      {"float16", ElementType::float16, 0.5f},
      {"float64", ElementType::float64, 0.3f},
      {"int32", ElementType::int32, 3.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VadEchoOptions options;
    options.outputType = c.type;
    auto& vad = manager(options);
    const auto first = vad.processChunk(filled(4096, c.sample));
    const auto second = vad.processChunk(filled(4096, c.sample), first.outputState);
    EXPECT_NEAR(second.probability, c.sample, 1e-6);
    EXPECT_EQ(second.outputState.hiddenState, filled(128, 2.0f));
    // The first chunk's context, then the second chunk's samples: all the same value.
    ASSERT_EQ(second.outputState.cellState.size(), 128u);
    for (const float value : second.outputState.cellState) EXPECT_NEAR(value, c.sample, 1e-6);
  }
}

TEST_F(VadManagerTest, ShortOutputsAreRefusedNamingTheOutput) {
  VadEchoOptions options;
  options.hiddenLength = 64;
  auto& vad = manager(options);
  try {
    vad.processChunk(filled(4096, 0.5f));
    ADD_FAILURE() << "processed";
  } catch (const VadError& error) {
    EXPECT_EQ(error.errorCode(), VadError::Code::modelProcessingFailed);
    EXPECT_NE(error.description().find("new_hidden_state holds 64 values, 128 needed"), std::string::npos)
        << error.description();
  }
}

TEST_F(VadManagerTest, FileIsConvertedTo16kHzMonoFirst) {
  const auto path = folder_.path() / "speech.m4a";
  const auto left = testsupport::sine(440, 44100, 44100 + 2000);
  testsupport::writeAac(path, 44100, {left, left});
  const auto converted = AudioConverter().resampleAudioFile(path);
  ASSERT_FALSE(converted.empty());

  auto& vad = manager();
  const auto results = vad.process(path);
  EXPECT_EQ(results.size(), (converted.size() + 4095) / 4096);
  EXPECT_EQ(results.back().outputState, vad.process(converted).back().outputState);
}

TEST_F(VadManagerTest, BuffersAreTakenAsTheyAreOrConverted) {
  auto& vad = manager();
  const auto samples = testsupport::sine(300, 16000, 9000);
  const auto target = testsupport::floatBuffer(16000, {samples});
  const auto direct = vad.process(*target);
  ASSERT_EQ(direct.size(), 3u);
  EXPECT_EQ(direct.back().outputState, vad.process(samples).back().outputState);

  const auto high = testsupport::sine(300, 48000, 27000);
  const auto stereo = testsupport::floatBuffer(48000, {high, high});
  const auto converted = AudioConverter().resampleBuffer(*stereo);
  const auto results = vad.process(*stereo);
  EXPECT_EQ(results.size(), (converted.size() + 4095) / 4096);
  EXPECT_EQ(results.back().outputState, vad.process(converted).back().outputState);
}

}  // namespace
}  // namespace tesselaudio
