#include "platform/audio/FragmentedAac.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <fmt/format.h>

#include "platform/audio/AudioError.h"
#include "platform/audio/FfmpegFormats.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"

namespace platform::FragmentedAac {
namespace {

struct InputContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

using Input = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

constexpr const char* kPrimingFormat = "priming %d";

// The demuxer over the file and the index of its audio stream.
struct Source {
  Input format;
  AVStream* stream = nullptr;  // owned by `format`
  int primingFrames = 0;
};

Source openSource(const std::string& path) {
  AVFormatContext* raw = nullptr;
  const int status = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (status < 0) throw AudioError::openFailed(path, AudioError::ffmpegMessage(status));
  Source source;
  source.format.reset(raw);
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const AVCodecParameters& parameters = *raw->streams[i]->codecpar;
    if (parameters.codec_type == AVMEDIA_TYPE_AUDIO && parameters.codec_id != AV_CODEC_ID_NONE &&
        parameters.sample_rate > 0) {
      source.stream = raw->streams[i];
      break;
    }
  }
  if (!source.stream) throw AudioError::openFailed(path, "no audio stream");
  if (const AVDictionaryEntry* comment = av_dict_get(raw->metadata, "comment", nullptr, 0)) {
    int frames = 0;
    if (std::sscanf(comment->value, kPrimingFormat, &frames) == 1 && frames > 0) {
      source.primingFrames = frames;
    }
  }
  return source;
}

[[noreturn]] void throwWrite(const std::string& path, const std::string& what, int status) {
  throw AudioError::writeError(path, what + ": " + AudioError::ffmpegMessage(status));
}

// Copies the packets of `source` into a new ordinary file at `temporary`, whose container follows
// `path`'s extension; returns the seconds of audio written.
double writeOrdinary(Source& source, const std::string& path, const std::string& temporary) {
  const AVOutputFormat* container = av_guess_format(nullptr, path.c_str(), nullptr);
  if (!container) throw AudioError::writeError(path, "no container for the file name");
  AVFormatContext* raw = nullptr;
  int status = avformat_alloc_output_context2(&raw, container, nullptr, temporary.c_str());
  if (status < 0 || !raw) throwWrite(path, "cannot set up the container", status);
  Output output(raw);
  AVStream* stream = avformat_new_stream(raw, nullptr);
  if (!stream) throw AudioError::writeError(path, "out of memory");
  status = avcodec_parameters_copy(stream->codecpar, source.stream->codecpar);
  if (status < 0) throwWrite(path, "cannot describe the stream", status);
  stream->codecpar->codec_tag = 0;
  stream->time_base = source.stream->time_base;
  status = avio_open(&raw->pb, temporary.c_str(), AVIO_FLAG_WRITE);
  if (status < 0) throwWrite(temporary, "cannot open the file for writing", status);

  const int rate = source.stream->codecpar->sample_rate;
  // As the writer does: the edit list in the sample rate's time scale trims to the exact sample.
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "movie_timescale", rate, 0);
  av_dict_set(&options, "movflags", "+faststart", 0);
  status = avformat_write_header(raw, &options);
  av_dict_free(&options);
  if (status < 0) throwWrite(path, "cannot write the header", status);

  const AVRational from = source.stream->time_base;
  // The fragments start at 0 with the priming; the ordinary file starts it before 0, so that the
  // edit list trims it.
  const std::int64_t shift = av_rescale_q(source.primingFrames, AVRational{1, rate}, from);
  std::int64_t end = 0;
  auto write = [&](AVPacket& packet) {
    packet.pts -= shift;
    packet.dts -= shift;
    end = std::max(end, packet.pts + packet.duration);
    av_packet_rescale_ts(&packet, from, stream->time_base);
    packet.stream_index = stream->index;
    packet.pos = -1;
    const int written = av_interleaved_write_frame(raw, &packet);
    if (written < 0) throwWrite(path, "cannot write the audio", written);
  };
  // The demuxer gives fragment samples without durations: each lasts until the next one starts,
  // and the last one until the end of the track, which holds the true length of the last frame.
  std::unique_ptr<AVPacket, PacketDeleter> pending(av_packet_alloc());
  std::unique_ptr<AVPacket, PacketDeleter> next(av_packet_alloc());
  if (!pending || !next) throw AudioError::writeError(path, "out of memory");
  bool havePending = false;
  // A read error is the end: a fragment cut short by a crash, or the end of the file.
  while (av_read_frame(source.format.get(), next.get()) >= 0) {
    if (next->stream_index != source.stream->index) {
      av_packet_unref(next.get());
      continue;
    }
    const bool whole = !(next->flags & AV_PKT_FLAG_CORRUPT) && next->size > 0;
    if (havePending && next->dts != AV_NOPTS_VALUE && next->dts > pending->dts) {
      pending->duration = next->dts - pending->dts;
    }
    if (!whole) {
      av_packet_unref(next.get());
      break;
    }
    if (havePending) write(*pending);
    std::swap(pending, next);
    havePending = true;
    // Until its follower says otherwise, a sample runs to the end of the track.
    const std::int64_t trackEnd = source.stream->duration;
    pending->duration = trackEnd != AV_NOPTS_VALUE && trackEnd > pending->dts
                            ? trackEnd - pending->dts
                            : std::max(source.stream->codecpar->frame_size, 1);
  }
  if (havePending) write(*pending);
  status = av_write_trailer(raw);
  if (status < 0) throwWrite(path, "cannot complete the file", status);
  status = avio_closep(&raw->pb);
  if (status < 0) throwWrite(temporary, "cannot close the file", status);
  return static_cast<double>(end) * av_q2d(from);
}

}  // namespace

bool isCrashSafeForm(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<char, 12> head{};
  if (!in.read(head.data(), head.size())) return false;
  return std::memcmp(head.data() + 4, "ftyp", 4) == 0 && std::memcmp(head.data() + 8, kBrand, 4) == 0;
}

double rewriteInOrdinaryForm(const std::filesystem::path& path) {
  ::platform::detail::quietFfmpegLog();
  Source source = openSource(path.string());
  double seconds = 0;
  try {
    replaceFileAtomically(path, [&](const std::filesystem::path& temporary) {
      seconds = writeOrdinary(source, path.string(), temporary.string());
    });
  } catch (const FileError& error) {
    throw AudioError::writeError(path.string(), error.description());
  }
  return seconds;
}

namespace detail {
std::string primingComment(int primingFrames) { return fmt::format("priming {}", primingFrames); }
}  // namespace detail

}  // namespace platform::FragmentedAac
