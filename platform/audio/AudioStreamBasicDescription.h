#pragma once

#include <cstdint>

namespace platform {

// The layout of a stream of audio packets, in the fields and flag values of the Core Audio
// description that media sample buffers carry. Only linear PCM ('lpcm') is ever turned into a
// PCM buffer format. A plain value.
struct AudioStreamBasicDescription {
  static constexpr std::uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'
  static constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
  static constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
  static constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
  static constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
  static constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

  double mSampleRate = 0;
  std::uint32_t mFormatID = 0;
  std::uint32_t mFormatFlags = 0;
  std::uint32_t mBytesPerPacket = 0;
  std::uint32_t mFramesPerPacket = 0;
  std::uint32_t mBytesPerFrame = 0;
  std::uint32_t mChannelsPerFrame = 0;
  std::uint32_t mBitsPerChannel = 0;

  // Packed interleaved linear PCM of 32-bit floats (`isFloat`) or 16-bit signed integers.
  static AudioStreamBasicDescription interleavedPCM(double sampleRate, std::uint32_t channels,
                                                    bool isFloat);

  bool operator==(const AudioStreamBasicDescription&) const = default;
};

}  // namespace platform
