#include "platform/audio/MediaSampleBuffer.h"

#include <cstring>

namespace platform {

std::int32_t MediaSampleBuffer::copyPCMData(std::int64_t frames, PcmBuffer& buffer) const {
  if (!formatDescription) return kErrorRequiredParameterMissing;
  const AudioFormat& format = buffer.format();
  const std::size_t sampleBytes = format.bytesPerSample();
  const std::size_t channels = format.channelCount();
  const bool interleavedSource = !(formatDescription->mFormatFlags &
                                   AudioStreamBasicDescription::kAudioFormatFlagIsNonInterleaved);
  if (formatDescription->mChannelsPerFrame != channels ||
      formatDescription->mBitsPerChannel != sampleBytes * 8 || !interleavedSource) {
    return kErrorInvalidDataFormat;
  }
  if (frames < 0 || frames > buffer.frameCapacity()) return kErrorArrayTooSmall;
  const std::size_t n = static_cast<std::size_t>(frames);
  if (data.size() < n * channels * sampleBytes) return kErrorArrayTooSmall;

  auto blocks = buffer.mutableAudioBufferList();
  if (format.isInterleaved() || channels == 1) {
    std::memcpy(blocks[0].data, data.data(), n * channels * sampleBytes);
    return kStatusOK;
  }
  for (std::size_t c = 0; c < channels; ++c) {
    auto* plane = static_cast<std::byte*>(blocks[c].data);
    for (std::size_t i = 0; i < n; ++i) {
      std::memcpy(plane + i * sampleBytes, data.data() + (i * channels + c) * sampleBytes, sampleBytes);
    }
  }
  return kStatusOK;
}

}  // namespace platform
