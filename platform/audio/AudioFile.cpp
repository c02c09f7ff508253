#include "platform/audio/AudioFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "platform/audio/AudioError.h"
#include "platform/audio/FfmpegFormats.h"

namespace platform {
namespace {

struct InputContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwrDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};

using Planes = std::vector<std::vector<float>>;

// Containers whose headers count the encoded frames exactly (MPEG-4 through its sample table and
// edit list); for the rest the duration may be an estimate from the bit rate.
bool countsFramesExactly(const AVFormatContext& format) {
  const std::string_view name = format.iformat->name;
  for (std::string_view exact : {"mov,mp4,m4a,3gp,3g2,mj2", "wav", "w64", "aiff", "caf", "flac"}) {
    if (name == exact) return true;
  }
  return false;
}

// One demuxer and decoder over the file's best audio stream, handing out decoded frames as float
// planes.
class Decoder {
 public:
  explicit Decoder(const std::string& path) : path_(path) {
    detail::quietFfmpegLog();
    AVFormatContext* raw = nullptr;
    int status = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (status < 0) throw AudioError::openFailed(path, AudioError::ffmpegMessage(status));
    format_.reset(raw);
    status = avformat_find_stream_info(format_.get(), nullptr);
    if (status < 0) throw AudioError::openFailed(path, AudioError::ffmpegMessage(status));
    const AVCodec* codec = nullptr;
    status = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (status < 0 || !codec) {
      // FFmpeg passes over audio streams without a rate or channels when it picks one.
      for (unsigned i = 0; i < format_->nb_streams; ++i) {
        const AVCodecParameters& parameters = *format_->streams[i]->codecpar;
        if (parameters.codec_type == AVMEDIA_TYPE_AUDIO &&
            (parameters.sample_rate <= 0 || parameters.ch_layout.nb_channels <= 0)) {
          throw AudioError::formatUnusable(path, "the audio stream has no sample rate or no channels");
        }
      }
      throw AudioError::openFailed(path, "no decodable audio stream");
    }
    streamIndex_ = status;
    stream_ = format_->streams[streamIndex_];
    if (stream_->codecpar->sample_rate <= 0 || stream_->codecpar->ch_layout.nb_channels <= 0) {
      throw AudioError::formatUnusable(path, "the audio stream has no sample rate or no channels");
    }
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_) throw AudioError::openFailed(path, "out of memory");
    status = avcodec_parameters_to_context(codec_.get(), stream_->codecpar);
    if (status < 0) throw AudioError::openFailed(path, AudioError::ffmpegMessage(status));
    codec_->pkt_timebase = stream_->time_base;
    status = avcodec_open2(codec_.get(), codec, nullptr);
    if (status < 0) throw AudioError::openFailed(path, AudioError::ffmpegMessage(status));
    if (codec_->sample_rate <= 0 || codec_->ch_layout.nb_channels <= 0) {
      throw AudioError::formatUnusable(path, "the audio stream has no sample rate or no channels");
    }
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) throw AudioError::openFailed(path, "out of memory");
  }

  const AVFormatContext& format() const { return *format_; }
  const AVStream& stream() const { return *stream_; }
  int sampleRate() const { return codec_->sample_rate; }
  int channels() const { return codec_->ch_layout.nb_channels; }

  // Whether frame timestamps count samples exactly, so that a seek can be placed by them.
  bool hasExactTimestamps() const {
    return !(format_->iformat->flags & AVFMT_NOTIMESTAMPS) && stream_->time_base.num == 1 &&
           stream_->time_base.den == sampleRate();
  }

  // Frames the decoder needs before a seek target to give it exactly (an AAC frame depends on
  // the one before it; Opus asks for its own pre-roll).
  std::int64_t prerollFrames() const {
    return std::max<std::int64_t>({4096, 2 * std::int64_t{codec_->frame_size},
                                   std::int64_t{stream_->codecpar->seek_preroll}});
  }

  // Moves the demuxer to the last packet at or before `timestamp` (in samples) and empties the
  // decoder. Returns false when the container cannot seek there.
  bool seek(std::int64_t timestamp) {
    if (avformat_seek_file(format_.get(), streamIndex_, INT64_MIN, timestamp, timestamp, 0) < 0) {
      return false;
    }
    avcodec_flush_buffers(codec_.get());
    return true;
  }

  // Appends the next decoded frame to `into`; returns its frame count, 0 at the end of the stream.
  // `timestamp`, when given, receives the frame's start in samples, if the stream tells it.
  // Throws AudioError::readFailed on a damaged stream.
  int decodeNext(Planes& into, std::optional<std::int64_t>* timestamp = nullptr) {
    for (;;) {
      int status = avcodec_receive_frame(codec_.get(), frame_.get());
      if (status == 0) {
        const int frames = frame_->nb_samples;
        if (timestamp) {
          const std::int64_t t = frame_->best_effort_timestamp;
          *timestamp = t == AV_NOPTS_VALUE ? std::nullopt : std::optional<std::int64_t>(t);
        }
        append(into);
        av_frame_unref(frame_.get());
        if (frames > 0) return frames;
        continue;
      }
      if (status == AVERROR_EOF) return 0;
      if (status != AVERROR(EAGAIN)) fail(status);
      sendNextPacket();
    }
  }

 private:
  [[noreturn]] void fail(int status) {
    throw AudioError::readError(path_, AudioError::ffmpegMessage(status));
  }

  void sendNextPacket() {
    for (;;) {
      int status = av_read_frame(format_.get(), packet_.get());
      if (status == AVERROR_EOF) {
        status = avcodec_send_packet(codec_.get(), nullptr);
        if (status < 0 && status != AVERROR_EOF) fail(status);
        return;
      }
      if (status < 0) fail(status);
      if (packet_->stream_index != streamIndex_) {
        av_packet_unref(packet_.get());
        continue;
      }
      status = avcodec_send_packet(codec_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (status < 0) fail(status);
      return;
    }
  }

  void append(Planes& into) {
    const int frames = frame_->nb_samples;
    if (frame_->ch_layout.nb_channels != channels() || frame_->sample_rate != sampleRate()) {
      throw AudioError::readError(path_, "the stream changes its rate or channel count");
    }
    into.resize(static_cast<std::size_t>(channels()));
    const std::size_t start = into[0].size();
    for (auto& plane : into) plane.resize(start + static_cast<std::size_t>(frames));
    if (frame_->format == AV_SAMPLE_FMT_FLTP) {
      for (int c = 0; c < channels(); ++c) {
        std::memcpy(into[c].data() + start, frame_->extended_data[c], sizeof(float) * frames);
      }
      return;
    }
    // Any other sample type goes through a converter that changes nothing but the type.
    if (!swr_ || frame_->format != swrInputFormat_) {
      SwrContext* raw = nullptr;
      int status = swr_alloc_set_opts2(&raw, &frame_->ch_layout, AV_SAMPLE_FMT_FLTP, sampleRate(),
                                       &frame_->ch_layout,
                                       static_cast<AVSampleFormat>(frame_->format), sampleRate(), 0,
                                       nullptr);
      swr_.reset(raw);
      if (status < 0 || swr_init(swr_.get()) < 0) {
        throw AudioError::readError(path_, "cannot convert the decoded sample type");
      }
      swrInputFormat_ = frame_->format;
    }
    std::vector<std::uint8_t*> out;
    for (auto& plane : into) out.push_back(reinterpret_cast<std::uint8_t*>(plane.data() + start));
    const int made = swr_convert(swr_.get(), out.data(), frames,
                                 const_cast<const std::uint8_t**>(frame_->extended_data), frames);
    if (made != frames) throw AudioError::readError(path_, "cannot convert the decoded sample type");
  }

  std::string path_;
  std::unique_ptr<AVFormatContext, InputContextDeleter> format_;
  std::unique_ptr<AVCodecContext, CodecContextDeleter> codec_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  std::unique_ptr<AVFrame, FrameDeleter> frame_;
  std::unique_ptr<SwrContext, SwrDeleter> swr_;
  int swrInputFormat_ = -1;
  AVStream* stream_ = nullptr;  // owned by format_
  int streamIndex_ = -1;
};

std::int64_t containerLength(const Decoder& decoder) {
  const AVStream& stream = decoder.stream();
  if (!countsFramesExactly(decoder.format()) || stream.duration == AV_NOPTS_VALUE ||
      decoder.format().duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
    return -1;
  }
  return av_rescale_q(stream.duration, stream.time_base, AVRational{1, decoder.sampleRate()});
}

std::int64_t countDecodedFrames(const std::string& path) {
  Decoder counter(path);
  Planes scratch;
  std::int64_t total = 0;
  while (const int frames = counter.decodeNext(scratch)) {
    total += frames;
    for (auto& plane : scratch) plane.clear();
  }
  return total;
}

}  // namespace

// The decoder and the frames it decoded ahead of the reader, with what it takes to move to any
// frame: seek by timestamp where the stream counts samples exactly, else decode from the start.
struct AudioFile::Impl {
  explicit Impl(std::string p) : path(std::move(p)), decoder(std::make_unique<Decoder>(path)) {}

  std::string path;
  std::unique_ptr<Decoder> decoder;
  Planes pending;              // decoded frames not handed out yet
  std::size_t pendingStart = 0;
  std::int64_t pendingPosition = 0;  // the file frame of pending[.][pendingStart]
  bool ended = false;
  // The timestamp of frame 0 (after priming), learnt from the first frame decoded from the start.
  bool originLearnt = false;
  std::optional<std::int64_t> origin;

  std::size_t available() const { return pending.empty() ? 0 : pending[0].size() - pendingStart; }

  void dropPending() {
    for (auto& plane : pending) plane.clear();
    pendingStart = 0;
  }

  // Decodes one more frame behind the pending ones; false at the end of the stream.
  bool decodeMore() {
    if (pendingStart > 0) {
      for (auto& plane : pending) plane.erase(plane.begin(), plane.begin() + pendingStart);
      pendingStart = 0;
    }
    const bool fromStart = !originLearnt;
    std::optional<std::int64_t> timestamp;
    const int frames = decoder->decodeNext(pending, fromStart ? &timestamp : nullptr);
    if (fromStart) {
      originLearnt = true;
      origin = timestamp;
    }
    if (frames == 0) ended = true;
    return frames > 0;
  }

  // Opens the file afresh at frame 0.
  void rewind() {
    decoder = std::make_unique<Decoder>(path);
    pending.clear();
    pendingStart = 0;
    pendingPosition = 0;
    ended = false;
    originLearnt = false;
  }

  // Decodes forward, dropping everything before `target`; stops early at the end of the stream.
  void decodeForwardTo(std::int64_t target) {
    while (pendingPosition + static_cast<std::int64_t>(available()) <= target && !ended) {
      pendingPosition += static_cast<std::int64_t>(available());
      dropPending();
      decodeMore();
    }
    const auto skip = std::min<std::int64_t>(target - pendingPosition,
                                             static_cast<std::int64_t>(available()));
    pendingStart += static_cast<std::size_t>(skip);
    pendingPosition += skip;
  }

  // Seeks to a packet a pre-roll before `target`, then decodes up to it. False when the stream
  // cannot be placed by timestamps; the decoder is then in an unknown place.
  bool seekBefore(std::int64_t target) {
    const std::int64_t from = target - decoder->prerollFrames();
    if (from <= 0 || !decoder->hasExactTimestamps()) return false;
    if (!originLearnt) {
      rewind();
      decodeMore();
    }
    if (!origin) return false;
    if (!decoder->seek(*origin + from)) return false;
    pending.clear();
    pendingStart = 0;
    ended = false;
    std::optional<std::int64_t> timestamp;
    if (decoder->decodeNext(pending, &timestamp) == 0) {
      // Nothing left to decode there (a cut file): the read that follows reports it.
      ended = true;
      pendingPosition = target;
      return true;
    }
    if (!timestamp || *timestamp - *origin > target) return false;
    pendingPosition = *timestamp - *origin;
    decodeForwardTo(target);
    return true;
  }

  // Makes `target` the next frame handed out.
  void moveTo(std::int64_t target) {
    const auto end = pendingPosition + static_cast<std::int64_t>(available());
    if (target >= pendingPosition && target < end) {
      pendingStart += static_cast<std::size_t>(target - pendingPosition);
      pendingPosition = target;
      return;
    }
    // A short hop forward costs less to decode than a seek with its pre-roll.
    if (target >= end && target - end <= 2 * decoder->prerollFrames()) {
      decodeForwardTo(target);
      return;
    }
    if (seekBefore(target)) return;
    rewind();
    decodeForwardTo(target);
  }
};

AudioFile::AudioFile(const std::filesystem::path& path)
    : path_(path),
      impl_(std::make_unique<Impl>(path.string())),
      processingFormat_(AudioFormat::float32(impl_->decoder->sampleRate(),
                                             static_cast<std::uint32_t>(impl_->decoder->channels()))) {
  length_ = containerLength(*impl_->decoder);
  if (length_ < 0) length_ = countDecodedFrames(path.string());
}

AudioFile::~AudioFile() = default;

std::optional<double> AudioFile::duration(const std::filesystem::path& path) {
  try {
    const AudioFile file(path);
    const double rate = file.processingFormat().sampleRate();
    if (!(rate > 0)) return std::nullopt;
    const double seconds = static_cast<double>(file.length()) / rate;
    if (!std::isfinite(seconds)) return std::nullopt;
    return seconds;
  } catch (const Error&) {
    return std::nullopt;
  }
}

void AudioFile::setFramePosition(std::int64_t frame) {
  framePosition_ = std::clamp<std::int64_t>(frame, 0, length_);
}

void AudioFile::read(PcmBuffer& buffer, std::uint32_t frames) {
  if (!(buffer.format() == processingFormat_)) {
    throw AudioError::mismatchedFormat(buffer.format().description() + " given, " +
                                       processingFormat_.description() + " expected");
  }
  const std::int64_t left = length_ - framePosition_;
  const auto wanted = static_cast<std::size_t>(
      std::min<std::int64_t>({std::int64_t{frames}, std::int64_t{buffer.frameCapacity()}, left}));
  buffer.setFrameLength(0);
  if (wanted == 0) return;
  if (impl_->pendingPosition != framePosition_) impl_->moveTo(framePosition_);
  while (impl_->available() < wanted && !impl_->ended) impl_->decodeMore();
  if (impl_->available() < wanted) {
    throw AudioError::readError(path_.string(), "the audio stream ends before the file's length");
  }
  float* const* planes = buffer.floatChannelData();
  for (std::size_t c = 0; c < impl_->pending.size(); ++c) {
    std::memcpy(planes[c], impl_->pending[c].data() + impl_->pendingStart, sizeof(float) * wanted);
  }
  impl_->pendingStart += wanted;
  impl_->pendingPosition += static_cast<std::int64_t>(wanted);
  buffer.setFrameLength(static_cast<std::uint32_t>(wanted));
  framePosition_ += static_cast<std::int64_t>(wanted);
}

}  // namespace platform
