#pragma once

#include <cstdint>
#include <functional>

#include "platform/audio/PacedAudioInput.h"

namespace platform {

// An input whose samples come from a function of frame and channel, for a given number of frames.
// A rate of 0 or no channels gives an input without a usable format (a device that reports none).
// For tests and headless runs.
class GeneratorAudioInput : public PacedAudioInput {
 public:
  using Sample = std::function<float(std::int64_t frame, std::uint32_t channel)>;

  GeneratorAudioInput(double sampleRate, std::uint32_t channelCount, std::int64_t totalFrames,
                      Sample sample, Pacing pacing = {});
  ~GeneratorAudioInput() override;

  std::optional<AudioFormat> format() override;

 protected:
  void produce(PcmBuffer& buffer, std::uint32_t frames, std::int64_t framePosition) override;

 private:
  const double sampleRate_;
  const std::uint32_t channelCount_;
  const std::int64_t totalFrames_;
  const Sample sample_;
};

}  // namespace platform
