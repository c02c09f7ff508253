#include "platform/audio/AudioStreamBasicDescription.h"

namespace platform {

AudioStreamBasicDescription AudioStreamBasicDescription::interleavedPCM(double sampleRate,
                                                                        std::uint32_t channels,
                                                                        bool isFloat) {
  const std::uint32_t bytes = isFloat ? 4 : 2;
  AudioStreamBasicDescription description;
  description.mSampleRate = sampleRate;
  description.mFormatID = kAudioFormatLinearPCM;
  description.mFormatFlags =
      (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked;
  description.mBytesPerPacket = bytes * channels;
  description.mFramesPerPacket = 1;
  description.mBytesPerFrame = bytes * channels;
  description.mChannelsPerFrame = channels;
  description.mBitsPerChannel = bytes * 8;
  return description;
}

}  // namespace platform
