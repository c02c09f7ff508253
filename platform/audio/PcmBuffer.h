#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/audio/AudioFormat.h"

namespace platform {

// A block of PCM audio in one format: room for `frameCapacity` frames, of which the first
// `frameLength` hold audio. Non-interleaved formats keep one plane per channel, interleaved ones a
// single block. Not thread-safe; hand a buffer over, do not share it.
class PcmBuffer {
 public:
  // One block of sample bytes: a plane of a non-interleaved buffer, or the whole interleaved block.
  struct AudioBuffer {
    std::uint32_t numberChannels;
    std::uint32_t dataByteSize;
    void* data;
  };

  // Returns a zero-filled buffer with frameLength 0, or null when it cannot be made (the format
  // has no sample size, or the size is beyond what memory allows).
  static std::unique_ptr<PcmBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

  PcmBuffer(const PcmBuffer&) = delete;
  PcmBuffer& operator=(const PcmBuffer&) = delete;

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }

  // REQUIRES: frames <= frameCapacity(); a larger value is clamped to the capacity.
  void setFrameLength(std::uint32_t frames);

  // One float plane per channel for 32-bit float non-interleaved buffers; null otherwise.
  float* const* floatChannelData() { return floatPlanes_.empty() ? nullptr : floatPlanes_.data(); }
  const float* const* floatChannelData() const {
    return floatPlanes_.empty() ? nullptr : floatPlanes_.data();
  }

  // The raw blocks, each of the full capacity, for filling the buffer from bytes of any format.
  std::span<AudioBuffer> mutableAudioBufferList() { return buffers_; }
  std::span<const AudioBuffer> audioBufferList() const { return buffers_; }

 private:
  PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

  AudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  std::vector<std::unique_ptr<std::byte[]>> storage_;
  std::vector<AudioBuffer> buffers_;
  std::vector<float*> floatPlanes_;
};

}  // namespace platform
