#pragma once

#include <vector>

#include "speech/Shared/AudioSampleSource.h"

namespace tesselaudio {

// A sample source over an array held in memory. A value; safe to read from any thread.
class ArrayAudioSampleSource final : public AudioSampleSource {
 public:
  explicit ArrayAudioSampleSource(std::vector<float> samples) : samples_(std::move(samples)) {}

  const std::vector<float>& samples() const { return samples_; }

  std::int64_t sampleCount() const override { return static_cast<std::int64_t>(samples_.size()); }
  void copySamples(float* destination, std::int64_t offset, std::int64_t count) const override;

 private:
  std::vector<float> samples_;
};

}  // namespace tesselaudio
