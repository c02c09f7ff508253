#include "tests/support/AudioFixtures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <stdexcept>

#include "platform/audio/AacFileWriter.h"
#include "platform/audio/AudioFile.h"
#include "tests/support/TemporaryFolder.h"

namespace testsupport {

std::vector<float> sine(double frequency, double sampleRate, std::size_t frames, float amplitude) {
  std::vector<float> samples(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    samples[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * i / sampleRate));
  }
  return samples;
}

std::vector<float> chirp(double from, double to, double sampleRate, std::size_t frames, float amplitude) {
  std::vector<float> samples(frames);
  const double seconds = static_cast<double>(frames) / sampleRate;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / sampleRate;
    const double phase = 2 * std::numbers::pi * (from * t + (to - from) * t * t / (2 * seconds));
    samples[i] = amplitude * static_cast<float>(std::sin(phase));
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

void writeCutOffRecording(const std::filesystem::path& path, const std::vector<float>& samples) {
  TemporaryFolder folder;
  platform::AacFileWriter writer(folder / "recording.m4a", {48000, 1, 96000, true});
  for (std::size_t start = 0; start < samples.size(); start += 4096) {
    const std::size_t end = std::min(samples.size(), start + 4096);
    writer.write(*floatBuffer(48000, {std::vector<float>(samples.begin() + start, samples.begin() + end)}));
  }
  std::filesystem::copy_file(folder / "recording.m4a", path, std::filesystem::copy_options::overwrite_existing);
}

std::vector<Box> topLevelBoxes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<Box> boxes;
  const auto fileSize = static_cast<std::uint64_t>(std::filesystem::file_size(path));
  std::uint64_t at = 0;
  while (at + 8 <= fileSize) {
    unsigned char header[16];
    in.seekg(static_cast<std::streamoff>(at));
    if (!in.read(reinterpret_cast<char*>(header), 8)) break;
    std::uint64_t size = (std::uint64_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
    const std::string type(reinterpret_cast<char*>(header) + 4, 4);
    if (size == 1) {
      if (!in.read(reinterpret_cast<char*>(header) + 8, 8)) break;
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | header[i];
    } else if (size == 0) {
      size = fileSize - at;
    }
    if (size < 8) break;
    boxes.push_back(Box{type, at, size});
    at += size;
  }
  return boxes;
}

std::string topLevelBoxTypes(const std::filesystem::path& path) {
  std::string types;
  for (const Box& box : topLevelBoxes(path)) {
    if (box.type != "free") types += (types.empty() ? "" : " ") + box.type;
  }
  return types;
}

std::string majorBrand(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  char head[12];
  if (!in.read(head, sizeof head) || std::string(head + 4, 4) != "ftyp") return "";
  return std::string(head + 8, 4);
}

double correlation(const std::vector<float>& a, std::size_t aBegin, const std::vector<float>& b,
                   std::size_t bBegin, std::size_t count) {
  double meanA = 0, meanB = 0;
  for (std::size_t i = 0; i < count; ++i) {
    meanA += a.at(aBegin + i);
    meanB += b.at(bBegin + i);
  }
  meanA /= static_cast<double>(count);
  meanB /= static_cast<double>(count);
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = a[aBegin + i] - meanA;
    const double y = b[bBegin + i] - meanB;
    ab += x * y;
    aa += x * x;
    bb += y * y;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

std::size_t leadingOffset(const std::vector<float>& decoded, const std::vector<float>& source,
                          std::size_t maxLag) {
  // Half a second from the middle of what both hold: the higher a sweep has gone, the sharper it
  // tells one offset from the next.
  const std::size_t overlap = std::min(decoded.size() > maxLag ? decoded.size() - maxLag : 0, source.size());
  const std::size_t window = std::min<std::size_t>(24000, overlap);
  const std::size_t begin = (overlap - window) / 2;
  std::size_t best = 0;
  double bestScore = -2;
  for (std::size_t lag = 0; lag <= maxLag && window > 0; ++lag) {
    const double score = correlation(decoded, begin + lag, source, begin, window);
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  return best;
}

}  // namespace testsupport
