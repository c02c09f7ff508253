#include "tests/support/AudioFixtures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

extern "C" {
#include <libavformat/avformat.h>
}

#include <stdexcept>

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

double toneMagnitude(const std::vector<float>& samples, double frequency, double sampleRate) {
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
  double previous = 0;
  double beforePrevious = 0;
  for (float sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  return std::sqrt(previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious);
}

void remuxIndexFirst(const std::filesystem::path& from, const std::filesystem::path& to) {
  auto check = [](int status, const char* what) {
    if (status < 0) throw std::runtime_error(std::string("remux: ") + what);
  };
  AVFormatContext* input = nullptr;
  check(avformat_open_input(&input, from.c_str(), nullptr, nullptr), "open");
  check(avformat_find_stream_info(input, nullptr), "stream info");
  AVFormatContext* output = nullptr;
  check(avformat_alloc_output_context2(&output, nullptr, nullptr, to.c_str()), "output");
  AVStream* stream = avformat_new_stream(output, nullptr);
  check(avcodec_parameters_copy(stream->codecpar, input->streams[0]->codecpar), "parameters");
  stream->time_base = input->streams[0]->time_base;
  check(avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE), "create");
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "faststart", 0);
  av_dict_set_int(&options, "movie_timescale", input->streams[0]->codecpar->sample_rate, 0);
  check(avformat_write_header(output, &options), "header");
  av_dict_free(&options);
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(input, packet) >= 0) {
    av_packet_rescale_ts(packet, input->streams[0]->time_base, stream->time_base);
    packet->stream_index = 0;
    check(av_interleaved_write_frame(output, packet), "write");
  }
  av_packet_free(&packet);
  check(av_write_trailer(output), "trailer");
  avio_closep(&output->pb);
  avformat_free_context(output);
  avformat_close_input(&input);
}

double rms(const std::vector<float>& samples, std::size_t begin, std::size_t end) {
  double sum = 0;
  for (std::size_t i = begin; i < end; ++i) sum += double{samples[i]} * samples[i];
  return end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0.0;
}

}  // namespace testsupport
