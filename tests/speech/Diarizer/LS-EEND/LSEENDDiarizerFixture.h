#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "speech/Diarizer/LS-EEND/LSEENDDiarizer.h"
#include "speech/Diarizer/LS-EEND/LSEENDModel.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/LSEENDModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio::lseendtest {

// The stand-in's chunk: 10 frames of 20 ms = 3200 samples at 16 kHz.
inline constexpr std::int64_t kSamplesPerChunk = 3200;
inline constexpr std::int64_t kSpeakers = 4;
// α and θ on the normalised features under which a tone at a speaker's band reads as that speaker.
inline constexpr testsupport::LSEENDToneOracle kTones{2.0f, 6.0f};

inline std::vector<float> silence(double seconds) {
  return std::vector<float>(static_cast<std::size_t>(seconds * 16000), 0.0f);
}

// A tone at the speaker's band, faded in and out over 20 ms: an abrupt edge is a click that every
// band hears for a frame.
inline std::vector<float> tone(int speaker, double seconds, float amplitude = 0.3f) {
  auto samples = testsupport::sine(testsupport::lseendSpeakerFrequency(speaker), 16000,
                                   static_cast<std::size_t>(seconds * 16000), amplitude);
  const std::size_t ramp = std::min<std::size_t>(320, samples.size() / 2);
  for (std::size_t i = 0; i < ramp; ++i) {
    const float gain = 0.5f - 0.5f * std::cos(3.14159265f * static_cast<float>(i) / static_cast<float>(ramp));
    samples[i] *= gain;
    samples[samples.size() - 1 - i] *= gain;
  }
  return samples;
}

inline std::vector<float> joined(std::initializer_list<std::vector<float>> pieces) {
  std::vector<float> all;
  for (const auto& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

// The world of one test: a folder holding stand-in models, loaded with the real loader.
class LSEENDDiarizerFixture {
 protected:
  std::shared_ptr<const LSEENDModel> model(const testsupport::LSEENDToneOracle& oracle = kTones) {
    const auto name = "m" + std::to_string(models_++);
    const auto bundle = testsupport::lseendToneModel({}, oracle).writeBundle(folder_.path() / name);
    return std::make_shared<LSEENDModel>(bundle, platform::MLComputeUnits::cpuOnly);
  }

  std::shared_ptr<LSEENDDiarizer> diarizer(const testsupport::LSEENDToneOracle& oracle = kTones,
                                           std::optional<DiarizerTimelineConfig> config = std::nullopt) {
    return std::make_shared<LSEENDDiarizer>(model(oracle), config);
  }

  testsupport::TemporaryFolder folder_;
  int models_ = 0;
};

}  // namespace tesselaudio::lseendtest
