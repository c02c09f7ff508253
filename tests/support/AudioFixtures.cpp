#include "tests/support/AudioFixtures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/audio/AacFileWriter.h"
#include "platform/audio/AudioFile.h"

namespace testsupport {

std::vector<float> sine(double frequency, double sampleRate, std::size_t frames, float amplitude) {
  std::vector<float> samples(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    samples[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * i / sampleRate));
  }
  return samples;
}

std::vector<float> click(std::size_t frames, std::size_t at, float amplitude) {
  std::vector<float> samples(frames, 0.0f);
  samples.at(at) = amplitude;
  return samples;
}

std::unique_ptr<platform::PcmBuffer> floatBuffer(double sampleRate, const Channels& channels) {
  const auto frames = static_cast<std::uint32_t>(channels.at(0).size());
  auto buffer = platform::PcmBuffer::make(
      platform::AudioFormat::float32(sampleRate, static_cast<std::uint32_t>(channels.size())), frames);
  for (std::size_t c = 0; c < channels.size(); ++c) {
    std::memcpy(buffer->floatChannelData()[c], channels[c].data(), sizeof(float) * frames);
  }
  buffer->setFrameLength(frames);
  return buffer;
}

void writeAac(const std::filesystem::path& path, double sampleRate, const Channels& channels,
              std::int64_t bitRate) {
  platform::AacFileWriter writer(
      path, {sampleRate, static_cast<std::uint32_t>(channels.size()), bitRate});
  writer.write(*floatBuffer(sampleRate, channels));
  writer.close();
}

DecodedAudio readAudioFile(const std::filesystem::path& path) {
  platform::AudioFile file(path);
  DecodedAudio decoded;
  decoded.sampleRate = file.processingFormat().sampleRate();
  decoded.length = file.length();
  decoded.channels.resize(file.processingFormat().channelCount());
  auto buffer = platform::PcmBuffer::make(file.processingFormat(), 8192);
  for (;;) {
    file.read(*buffer, buffer->frameCapacity());
    if (buffer->frameLength() == 0) break;
    for (std::size_t c = 0; c < decoded.channels.size(); ++c) {
      const float* plane = buffer->floatChannelData()[c];
      decoded.channels[c].insert(decoded.channels[c].end(), plane, plane + buffer->frameLength());
    }
  }
  return decoded;
}

std::size_t peakIndex(const std::vector<float>& samples) {
  auto it = std::max_element(samples.begin(), samples.end(),
                             [](float a, float b) { return std::fabs(a) < std::fabs(b); });
  return static_cast<std::size_t>(it - samples.begin());
}

double rms(const std::vector<float>& samples, std::size_t begin, std::size_t end) {
  double sum = 0;
  for (std::size_t i = begin; i < end; ++i) sum += double{samples[i]} * samples[i];
  return end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0.0;
}

}  // namespace testsupport
