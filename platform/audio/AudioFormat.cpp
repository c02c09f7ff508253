#include "platform/audio/AudioFormat.h"

#include <cassert>
#include <cmath>

#include <fmt/format.h>

#include "platform/audio/AudioStreamBasicDescription.h"

namespace platform {
namespace {

const char* sampleTypeName(CommonFormat format) {
  switch (format) {
    case CommonFormat::otherFormat: return "Other";
    case CommonFormat::pcmFormatFloat32: return "Float32";
    case CommonFormat::pcmFormatFloat64: return "Float64";
    case CommonFormat::pcmFormatInt16: return "Int16";
    case CommonFormat::pcmFormatInt32: return "Int32";
  }
  return "Other";
}

}  // namespace

AudioFormat::AudioFormat(CommonFormat commonFormat, double sampleRate, std::uint32_t channelCount,
                         bool interleaved)
    : commonFormat_(commonFormat),
      sampleRate_(sampleRate),
      channelCount_(channelCount),
      interleaved_(interleaved) {}

std::optional<AudioFormat> AudioFormat::make(CommonFormat commonFormat, double sampleRate,
                                             std::uint32_t channelCount, bool interleaved) {
  if (commonFormat == CommonFormat::otherFormat) return std::nullopt;
  if (!std::isfinite(sampleRate) || sampleRate <= 0 || channelCount == 0) return std::nullopt;
  return AudioFormat(commonFormat, sampleRate, channelCount, interleaved);
}

std::optional<AudioFormat> AudioFormat::make(const AudioStreamBasicDescription& description) {
  using D = AudioStreamBasicDescription;
  if (description.mFormatID != D::kAudioFormatLinearPCM) return std::nullopt;
  if (description.mFormatFlags & D::kAudioFormatFlagIsBigEndian) return std::nullopt;
  const bool isFloat = description.mFormatFlags & D::kAudioFormatFlagIsFloat;
  const bool isSigned = description.mFormatFlags & D::kAudioFormatFlagIsSignedInteger;
  CommonFormat common = CommonFormat::otherFormat;
  if (isFloat && description.mBitsPerChannel == 32) common = CommonFormat::pcmFormatFloat32;
  if (isFloat && description.mBitsPerChannel == 64) common = CommonFormat::pcmFormatFloat64;
  if (!isFloat && isSigned && description.mBitsPerChannel == 16) common = CommonFormat::pcmFormatInt16;
  if (!isFloat && isSigned && description.mBitsPerChannel == 32) common = CommonFormat::pcmFormatInt32;
  const bool interleaved = !(description.mFormatFlags & D::kAudioFormatFlagIsNonInterleaved);
  return make(common, description.mSampleRate, description.mChannelsPerFrame, interleaved);
}

AudioFormat AudioFormat::float32(double sampleRate, std::uint32_t channelCount) {
  auto format = make(CommonFormat::pcmFormatFloat32, sampleRate, channelCount, false);
  assert(format);
  return *format;
}

std::uint32_t AudioFormat::bytesPerSample() const {
  switch (commonFormat_) {
    case CommonFormat::pcmFormatFloat32: return 4;
    case CommonFormat::pcmFormatFloat64: return 8;
    case CommonFormat::pcmFormatInt16: return 2;
    case CommonFormat::pcmFormatInt32: return 4;
    case CommonFormat::otherFormat: return 0;
  }
  return 0;
}

std::string AudioFormat::description() const {
  return fmt::format("<AudioFormat {} Hz, {} ch, {}, {}>", sampleRate_, channelCount_,
                     sampleTypeName(commonFormat_), isInterleaved() ? "interleaved" : "deinterleaved");
}

bool AudioFormat::operator==(const AudioFormat& other) const {
  return commonFormat_ == other.commonFormat_ && sampleRate_ == other.sampleRate_ &&
         channelCount_ == other.channelCount_ && isInterleaved() == other.isInterleaved();
}

}  // namespace platform
