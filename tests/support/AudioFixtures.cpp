#include "tests/support/AudioFixtures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
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

std::vector<float> bursts(double sampleRate, double seconds, const std::vector<double>& starts,
                          double burstSeconds) {
  std::vector<float> track(static_cast<std::size_t>(seconds * sampleRate), 0.0f);
  const auto length = static_cast<std::size_t>(burstSeconds * sampleRate);
  for (double start : starts) {
    const auto first = static_cast<std::size_t>(start * sampleRate);
    for (std::size_t i = 0; i < length && first + i < track.size(); ++i) {
      track[first + i] = 0.3f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * i / sampleRate));
    }
  }
  return track;
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

namespace {

// Stores `value` as sample `index` of `channel` in `frame`, in the frame's sample type.
void putSample(AVFrame& frame, int channel, int index, float value) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format);
  const int channels = frame.ch_layout.nb_channels;
  const int slot = planar ? index : index * channels + channel;
  std::uint8_t* data = frame.extended_data[planar ? channel : 0];
  const float clamped = std::clamp(value, -1.0f, 1.0f);
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_FLT: reinterpret_cast<float*>(data)[slot] = value; break;
    case AV_SAMPLE_FMT_S16:
      reinterpret_cast<std::int16_t*>(data)[slot] = static_cast<std::int16_t>(std::lround(clamped * 32767));
      break;
    case AV_SAMPLE_FMT_S32:
      reinterpret_cast<std::int32_t*>(data)[slot] =
          static_cast<std::int32_t>(std::llround(double{clamped} * 2147483647.0));
      break;
    default: throw std::runtime_error("encode: unsupported sample type");
  }
}

}  // namespace

void writeEncoded(const std::filesystem::path& path, double sampleRate, const Channels& channels,
                  const char* encoder, std::int64_t bitRate) {
  auto check = [](int status, const char* what) {
    if (status < 0) throw std::runtime_error(std::string("encode: ") + what);
  };
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  if (!codec) throw std::runtime_error(std::string("encode: no encoder ") + encoder);
  AVFormatContext* output = nullptr;
  check(avformat_alloc_output_context2(&output, nullptr, nullptr, path.c_str()), "container");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->sample_rate = static_cast<int>(sampleRate);
  av_channel_layout_default(&context->ch_layout, static_cast<int>(channels.size()));
  context->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  for (const AVSampleFormat* f = codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == AV_SAMPLE_FMT_FLTP || *f == AV_SAMPLE_FMT_FLT) context->sample_fmt = *f;
  }
  context->bit_rate = bitRate;
  context->time_base = AVRational{1, context->sample_rate};
  if (output->oformat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  check(avcodec_open2(context, codec, nullptr), "open encoder");
  AVStream* stream = avformat_new_stream(output, nullptr);
  check(avcodec_parameters_from_context(stream->codecpar, context), "parameters");
  stream->time_base = context->time_base;
  check(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), "create");
  check(avformat_write_header(output, nullptr), "header");

  AVPacket* packet = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(context, packet) == 0) {
      av_packet_rescale_ts(packet, context->time_base, stream->time_base);
      packet->stream_index = 0;
      check(av_interleaved_write_frame(output, packet), "write");
    }
  };
  const int frameSize = context->frame_size > 0 ? context->frame_size : 4096;
  const auto total = static_cast<int>(channels.at(0).size());
  AVFrame* frame = av_frame_alloc();
  for (int at = 0; at < total; at += frameSize) {
    const int n = std::min(frameSize, total - at);
    frame->nb_samples = n;
    frame->format = context->sample_fmt;
    frame->sample_rate = context->sample_rate;
    check(av_channel_layout_copy(&frame->ch_layout, &context->ch_layout), "layout");
    check(av_frame_get_buffer(frame, 0), "frame");
    for (int c = 0; c < static_cast<int>(channels.size()); ++c) {
      for (int i = 0; i < n; ++i) putSample(*frame, c, i, channels[c][at + i]);
    }
    frame->pts = at;
    check(avcodec_send_frame(context, frame), "send");
    av_frame_unref(frame);
    drain();
  }
  check(avcodec_send_frame(context, nullptr), "flush");
  drain();
  check(av_write_trailer(output), "trailer");
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  avio_closep(&output->pb);
  avformat_free_context(output);
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
