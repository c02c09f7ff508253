#include "platform/audio/AacFileWriter.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

#include <fcntl.h>
#include <unistd.h>

#include "platform/audio/AudioError.h"
#include "platform/audio/FfmpegFormats.h"
#include "platform/audio/FragmentedAac.h"

namespace platform {
namespace {

struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FifoDeleter {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// A descriptor kept only to flush the file's data to disk; FFmpeg writes through its own. A live
// recording cuts a fragment each second and every one reaches the disk; faster writers (a file
// source) sync at most twice a second, so that disk flushes do not set their pace.
class SyncHandle {
 public:
  SyncHandle() = default;
  ~SyncHandle() { reset(); }
  SyncHandle(const SyncHandle&) = delete;
  SyncHandle& operator=(const SyncHandle&) = delete;

  void open(const std::string& path) {
    reset();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    lastSync_ = {};
  }
  // A file that cannot be synced costs durability after a power cut, not data.
  void sync() {
    const auto now = std::chrono::steady_clock::now();
    if (fd_ < 0 || now - lastSync_ < kMinimumInterval) return;
    ::fdatasync(fd_);
    lastSync_ = now;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  static constexpr std::chrono::milliseconds kMinimumInterval{500};

  int fd_ = -1;
  std::chrono::steady_clock::time_point lastSync_{};
};

}  // namespace

struct AacFileWriter::Impl {
  std::string path;
  std::unique_ptr<AVFormatContext, OutputContextDeleter> format;
  std::unique_ptr<AVCodecContext, CodecContextDeleter> codec;
  AVStream* stream = nullptr;  // owned by `format`
  std::unique_ptr<AVAudioFifo, FifoDeleter> fifo;
  std::unique_ptr<AVFrame, FrameDeleter> frame;
  std::unique_ptr<AVPacket, PacketDeleter> packet;
  std::int64_t nextPts = 0;
  bool createdFile = false;
  bool open = false;
  bool crashSafe = false;
  std::int64_t fragmentFrames = 0;       // a fragment is cut once this much audio is waiting
  std::int64_t framesSinceFragment = 0;  // encoded into the fragment being gathered
  SyncHandle sync;

  void open_(const AacFileWriter::Settings& settings);
  void writeHeader(int rate);
  void encodeFromFifo(int frames);
  void send(AVFrame* input);
  void cutFragment();
  void finish();
};

namespace {

[[noreturn]] void throwCreate(const std::string& path, const std::string& what, int status) {
  throw AudioError::createFailed(path, what + ": " + AudioError::ffmpegMessage(status));
}

}  // namespace

void AacFileWriter::Impl::open_(const AacFileWriter::Settings& settings) {
  const int rate = static_cast<int>(std::lround(settings.sampleRate));
  AVFormatContext* rawFormat = nullptr;
  int status = avformat_alloc_output_context2(&rawFormat, nullptr, nullptr, path.c_str());
  if (status < 0 || !rawFormat) throwCreate(path, "no container for the file name", status);
  format.reset(rawFormat);

  const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
  if (!encoder) throw AudioError::createFailed(path, "FFmpeg has no AAC encoder");
  codec.reset(avcodec_alloc_context3(encoder));
  if (!codec) throw AudioError::createFailed(path, "out of memory");
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = rate;
  av_channel_layout_default(&codec->ch_layout, static_cast<int>(settings.channelCount));
  codec->bit_rate = settings.bitRate;
  codec->time_base = AVRational{1, rate};
  if (format->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  status = avcodec_open2(codec.get(), encoder, nullptr);
  if (status < 0) throwCreate(path, "the AAC encoder refused the settings", status);

  stream = avformat_new_stream(format.get(), nullptr);
  if (!stream) throw AudioError::createFailed(path, "out of memory");
  status = avcodec_parameters_from_context(stream->codecpar, codec.get());
  if (status < 0) throwCreate(path, "cannot describe the stream", status);
  stream->time_base = codec->time_base;

  if (!(format->oformat->flags & AVFMT_NOFILE)) {
    status = avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) throwCreate(path, "cannot open the file for writing", status);
  }
  createdFile = true;
  crashSafe = settings.crashSafe;
  fragmentFrames = rate;
  writeHeader(rate);

  const int frameSize = codec->frame_size > 0 ? codec->frame_size : 1024;
  fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, static_cast<int>(settings.channelCount),
                                 frameSize));
  frame.reset(av_frame_alloc());
  packet.reset(av_packet_alloc());
  if (!fifo || !frame || !packet) throw AudioError::createFailed(path, "out of memory");
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = rate;
  frame->nb_samples = frameSize;
  av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
  status = av_frame_get_buffer(frame.get(), 0);
  if (status < 0) throwCreate(path, "cannot allocate a frame", status);
  open = true;
}

void AacFileWriter::Impl::writeHeader(int rate) {
  // The edit list is kept in the movie's time scale; at the sample rate it trims the encoder's
  // priming and padding to the exact sample (the default of 1000 per second rounds to 1 ms).
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "movie_timescale", rate, 0);
  if (crashSafe) {
    // The index grows with each fragment, so none is needed at the end; fragments are cut by
    // cutFragment() only.
    av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
    av_dict_set(&options, "brand", FragmentedAac::kBrand, 0);
    av_dict_set(&format->metadata, "comment",
                FragmentedAac::detail::primingComment(codec->initial_padding).c_str(), 0);
  }
  int status = avformat_write_header(format.get(), &options);
  av_dict_free(&options);
  if (status < 0) throwCreate(path, "cannot write the header", status);
  if (crashSafe) {
    // A file cut off from here on still opens: its header is on disk.
    avio_flush(format->pb);
    if (format->pb->error < 0) throwCreate(path, "cannot write the header", format->pb->error);
    sync.open(path);
    sync.sync();
  }
}

void AacFileWriter::Impl::encodeFromFifo(int frames) {
  int status = av_frame_make_writable(frame.get());
  if (status < 0) throw AudioError::writeError(path, AudioError::ffmpegMessage(status));
  frame->nb_samples = frames;
  if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->data), frames) != frames) {
    throw AudioError::writeError(path, "cannot take samples from the FIFO");
  }
  frame->pts = nextPts;
  nextPts += frames;
  send(frame.get());
}

void AacFileWriter::Impl::send(AVFrame* input) {
  int status = avcodec_send_frame(codec.get(), input);
  if (status < 0) throw AudioError::writeError(path, "encoding: " + AudioError::ffmpegMessage(status));
  for (;;) {
    status = avcodec_receive_packet(codec.get(), packet.get());
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
    if (status < 0) throw AudioError::writeError(path, "encoding: " + AudioError::ffmpegMessage(status));
    av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
    packet->stream_index = stream->index;
    const std::int64_t duration = packet->duration;
    status = av_interleaved_write_frame(format.get(), packet.get());
    if (status < 0) throw AudioError::writeError(path, AudioError::ffmpegMessage(status));
    if (crashSafe) {
      framesSinceFragment += duration;
      if (framesSinceFragment >= fragmentFrames) cutFragment();
    }
  }
}

// Writes the gathered packets as one fragment and puts it on disk.
void AacFileWriter::Impl::cutFragment() {
  framesSinceFragment = 0;
  int status = av_write_frame(format.get(), nullptr);
  if (status < 0) throw AudioError::writeError(path, AudioError::ffmpegMessage(status));
  avio_flush(format->pb);
  if (format->pb->error < 0) {
    throw AudioError::writeError(path, AudioError::ffmpegMessage(format->pb->error));
  }
  sync.sync();
}

void AacFileWriter::Impl::finish() {
  open = false;
  // The last, shorter frame keeps its true length; the encoder records the padding.
  const int left = av_audio_fifo_size(fifo.get());
  if (left > 0) encodeFromFifo(left);
  send(nullptr);
  int status = av_write_trailer(format.get());
  if (status < 0) throw AudioError::writeError(path, AudioError::ffmpegMessage(status));
  if (!crashSafe) return;
  status = avio_closep(&format->pb);
  sync.reset();
  if (status < 0) throw AudioError::writeError(path, AudioError::ffmpegMessage(status));
  try {
    FragmentedAac::rewriteInOrdinaryForm(path);
  } catch (const AudioError& error) {
    if (error.code() == AudioError::writeFailed) throw;
    throw AudioError::writeError(path, error.description());
  }
}

AacFileWriter::AacFileWriter(const std::filesystem::path& path, const Settings& settings)
    : path_(path),
      processingFormat_(AudioFormat::float32(settings.sampleRate, settings.channelCount)),
      impl_(std::make_unique<Impl>()) {
  impl_->path = path.string();
  detail::quietFfmpegLog();
  try {
    impl_->open_(settings);
  } catch (...) {
    // A half-made file is no recording: take it away again.
    const bool created = impl_->createdFile;
    impl_->format.reset();
    if (created) {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
    throw;
  }
}

AacFileWriter::~AacFileWriter() {
  try {
    close();
  } catch (...) {
    // A destructor cannot report; callers that care call close() themselves.
  }
}

bool AacFileWriter::isOpen() const { return impl_->open; }

void AacFileWriter::write(const PcmBuffer& buffer) {
  if (!(buffer.format() == processingFormat_)) {
    throw AudioError::mismatchedFormat(buffer.format().description() + " given, " +
                                       processingFormat_.description() + " expected");
  }
  if (!impl_->open) throw AudioError::writeError(impl_->path, "the file is closed");
  if (buffer.frameLength() == 0) return;
  const int frames = static_cast<int>(buffer.frameLength());
  auto planes = const_cast<float* const*>(buffer.floatChannelData());
  // The AAC encoder refuses NaN and infinities and is left broken by them: write silence instead.
  std::vector<std::vector<float>> finiteCopy;
  std::vector<float*> finitePlanes;
  const auto channels = processingFormat_.channelCount();
  const bool allFinite = std::all_of(planes, planes + channels, [&](const float* plane) {
    return std::all_of(plane, plane + frames, [](float v) { return std::isfinite(v); });
  });
  if (!allFinite) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      auto& copy = finiteCopy.emplace_back(planes[c], planes[c] + frames);
      for (auto& v : copy) v = std::isfinite(v) ? v : 0.0f;
      finitePlanes.push_back(copy.data());
    }
    planes = finitePlanes.data();
  }
  if (av_audio_fifo_write(impl_->fifo.get(), reinterpret_cast<void**>(const_cast<float**>(planes)),
                          frames) != frames) {
    throw AudioError::writeError(impl_->path, "cannot queue samples for the encoder");
  }
  const int frameSize = impl_->codec->frame_size > 0 ? impl_->codec->frame_size : 1024;
  while (av_audio_fifo_size(impl_->fifo.get()) >= frameSize) impl_->encodeFromFifo(frameSize);
}

void AacFileWriter::close() {
  if (!impl_->open) return;
  try {
    impl_->finish();
  } catch (...) {
    impl_->format.reset();
    throw;
  }
  impl_->format.reset();
}

}  // namespace platform
