#include "platform/audio/GeneratorAudioInput.h"

#include <algorithm>

namespace platform {

GeneratorAudioInput::GeneratorAudioInput(double sampleRate, std::uint32_t channelCount,
                                         std::int64_t totalFrames, Sample sample, Pacing pacing)
    : PacedAudioInput(std::move(pacing)),
      sampleRate_(sampleRate),
      channelCount_(channelCount),
      totalFrames_(totalFrames),
      sample_(std::move(sample)) {}

GeneratorAudioInput::~GeneratorAudioInput() { stop(); }

std::optional<AudioFormat> GeneratorAudioInput::format() {
  return AudioFormat::make(CommonFormat::pcmFormatFloat32, sampleRate_, channelCount_, false);
}

void GeneratorAudioInput::produce(PcmBuffer& buffer, std::uint32_t frames,
                                  std::int64_t framePosition) {
  const auto left = std::max<std::int64_t>(0, totalFrames_ - framePosition);
  const auto n = std::uint32_t(std::min<std::int64_t>({left, frames, buffer.frameCapacity()}));
  auto* planes = buffer.floatChannelData();
  for (std::uint32_t c = 0; c < channelCount_; ++c)
    for (std::uint32_t i = 0; i < n; ++i) planes[c][i] = sample_(framePosition + i, c);
  buffer.setFrameLength(n);
}

}  // namespace platform
