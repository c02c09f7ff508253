#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/SystemLog.h"
#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "speech/Diarizer/Sortformer/SortformerDiarizer.h"
#include "speech/Diarizer/Sortformer/SortformerModels.h"
#include "speech/Shared/AudioMelSpectrogram.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio::testing {

inline testsupport::SortformerModelSizes sizesOf(const SortformerConfig& config) {
  return {config.chunkLen,    config.chunkLeftContext, config.chunkRightContext,
          config.fifoLen,     config.spkcacheLen,      config.subsamplingFactor,
          config.melFeatures, config.preEncoderDims,   config.numSpeakers};
}

// A model set around `builder`, written as a bundle into `folder` and loaded.
inline SortformerModels loadModels(const SortformerConfig& config,
                                   const testsupport::ModelBuilder& builder,
                                   const std::filesystem::path& folder) {
  return SortformerModels(config, std::make_shared<const platform::MLModel>(builder.writeBundle(folder)), 0);
}

inline SortformerModels bandOracleModels(const SortformerConfig& config,
                                         const std::filesystem::path& folder,
                                         const testsupport::SortformerBandOracle& oracle = {}) {
  return loadModels(config, testsupport::sortformerBandOracleModel(sizesOf(config), oracle), folder);
}

// 16 kHz speech of each slot of `slots` in turn, `samplesEach` samples each.
inline std::vector<float> speechInTurns(const std::vector<int>& slots, std::size_t samplesEach) {
  std::vector<float> audio;
  unsigned seed = 1;
  for (const int slot : slots) {
    const auto part = testsupport::sortformerBandAudio(slot, samplesEach, seed++);
    audio.insert(audio.end(), part.begin(), part.end());
  }
  return audio;
}

// The diarizer's mel front end run once over a whole stream: nFFT ÷ 2 zeros, the audio, and when
// `flushed` the decaying pad of the end of a session; `frames` frames, frame-major.
inline std::vector<float> oneShotMel(const std::vector<float>& audio, bool flushed, int frames) {
  std::vector<float> padded(256, 0.0f);
  padded.insert(padded.end(), audio.begin(), audio.end());
  if (flushed) {
    const float last = padded.back();
    float factor = 0.97f;
    for (int k = 0; k < 256; ++k, factor *= 0.97f) padded.push_back(factor * last);
  }
  AudioMelSpectrogram mel(16000, 128, 512, 160, 400, 0.97f, 1, 0x1p-24f,
                          AudioMelSpectrogram::LogFloorMode::additive, false);
  return mel.computeFlatTransposed(padded, 0.0f, AudioMelSpectrogram::PaddingMode::prePadded, frames).mel;
}

// What the model set's shared input buffers hold after the last step: the chunk's valid mel
// frames.
inline std::vector<float> lastChunkMel(const SortformerModels& models) {
  const auto length = (*models.chunkLengthArray)[0].int32Value();
  const auto* values = static_cast<const float*>(models.chunkArray->dataPointer());
  return {values, values + static_cast<std::ptrdiff_t>(length) * 128};
}

inline std::int64_t lastChunkLength(const SortformerModels& models) {
  return (*models.chunkLengthArray)[0].int32Value();
}

// Largest difference between `actual` and mel frames [first, first + actual frames) of `expected`.
inline float maxMelDifference(const std::vector<float>& actual, const std::vector<float>& expected,
                              std::int64_t first) {
  float worst = 0;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    const auto j = static_cast<std::size_t>(first * 128) + i;
    if (j >= expected.size()) return INFINITY;
    worst = std::max(worst, std::abs(actual[i] - expected[j]));
  }
  return worst;
}

// Every segment of every speaker, finalized and tentative, ordered by start.
inline std::vector<DiarizerSegment> allSegments(const DiarizerTimeline& timeline) {
  std::vector<DiarizerSegment> segments;
  for (const auto& [slot, speaker] : timeline.speakers()) {
    for (const auto& s : speaker->finalizedSegments()) segments.push_back(s);
    for (const auto& s : speaker->tentativeSegments()) segments.push_back(s);
  }
  std::sort(segments.begin(), segments.end());
  return segments;
}

// One expected segment; boundaries may be off by `tolerance` frames.
struct Turn {
  std::int64_t slot;
  std::int64_t start;
  std::int64_t end;
};

inline void expectTurns(const std::vector<DiarizerSegment>& actual, const std::vector<Turn>& expected,
                        std::int64_t tolerance) {
  std::string text;
  for (const auto& s : actual) text += fmt::format("[{}, {}) slot {}; ", s.startFrame, s.endFrame, s.speakerIndex);
  SCOPED_TRACE(text);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].speakerIndex, expected[i].slot) << "segment " << i;
    EXPECT_NEAR(static_cast<double>(actual[i].startFrame), static_cast<double>(expected[i].start),
                static_cast<double>(tolerance)) << "segment " << i;
    EXPECT_NEAR(static_cast<double>(actual[i].endFrame), static_cast<double>(expected[i].end),
                static_cast<double>(tolerance)) << "segment " << i;
  }
}

// The diarizer's own log lines at `level`, in order. Warnings reach the system log as errors.
inline std::vector<std::string> pipelineLines(const testsupport::SystemLogCapture& log,
                                              platform::SystemLog::Level level) {
  std::vector<std::string> lines;
  for (const auto& record : log.records()) {
    if (record.category == "SortformerDiarizerPipeline" && record.level == level) lines.push_back(record.message);
  }
  return lines;
}

// A balancedV2_1 diarizer initialised with the band oracle; the test keeps a copy of the model set
// to read the inputs of the last step from its shared buffers.
class SortformerDiarizerFixture : public ::testing::Test {
 protected:
  SortformerConfig config_ = SortformerConfig::balancedV2_1();
  testsupport::TemporaryFolder folder_;
  SortformerModels models_ = bandOracleModels(config_, folder_.path());
  std::shared_ptr<SortformerDiarizer> diarizer_ = ready(models_);

  std::shared_ptr<SortformerDiarizer> ready(const SortformerModels& models) {
    auto diarizer = std::make_shared<SortformerDiarizer>(config_);
    diarizer->initialize(models);
    return diarizer;
  }
};

}  // namespace tesselaudio::testing
