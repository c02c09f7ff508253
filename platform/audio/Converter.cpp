#include "platform/audio/Converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "platform/audio/FfmpegFormats.h"

namespace platform {
namespace {

struct SwrDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;

// Plane pointers of `buffer` starting at frame `offset`.
std::vector<std::uint8_t*> planesAt(const PcmBuffer& buffer, std::uint32_t offset) {
  const AudioFormat& format = buffer.format();
  const std::size_t frameBytes =
      std::size_t{format.bytesPerSample()} * (format.isInterleaved() ? format.channelCount() : 1);
  std::vector<std::uint8_t*> planes;
  for (const auto& b : buffer.audioBufferList()) {
    planes.push_back(static_cast<std::uint8_t*>(b.data) + frameBytes * offset);
  }
  return planes;
}

// The channel matrix: one channel out averages every channel in; one channel in goes to every
// channel out. Other pairs keep libswresample's own matrix for the standard layouts.
std::vector<double> customMatrix(std::uint32_t in, std::uint32_t out) {
  if (in == out) return {};
  if (out == 1) return std::vector<double>(in, 1.0 / in);
  if (in == 1) return std::vector<double>(out, 1.0);
  return {};
}

SwrPtr openContext(const AudioFormat& in, const AudioFormat& out, Converter::Algorithm algorithm,
                   int quality) {
  AVChannelLayout inLayout;
  AVChannelLayout outLayout;
  av_channel_layout_default(&inLayout, static_cast<int>(in.channelCount()));
  av_channel_layout_default(&outLayout, static_cast<int>(out.channelCount()));
  SwrContext* raw = nullptr;
  int status = swr_alloc_set_opts2(&raw, &outLayout,
                                   static_cast<AVSampleFormat>(detail::avSampleFormat(out)),
                                   static_cast<int>(std::lround(out.sampleRate())), &inLayout,
                                   static_cast<AVSampleFormat>(detail::avSampleFormat(in)),
                                   static_cast<int>(std::lround(in.sampleRate())), 0, nullptr);
  SwrPtr context(raw);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  if (status < 0 || !context) return nullptr;

  const std::vector<double> matrix = customMatrix(in.channelCount(), out.channelCount());
  if (!matrix.empty() &&
      swr_set_matrix(context.get(), matrix.data(), static_cast<int>(in.channelCount())) < 0) {
    return nullptr;
  }
  if (algorithm == Converter::Algorithm::mastering) {
    // SoX precision from 16 bits to 20 bits (its "high quality", -120 dB) at the top quality;
    // the 28-bit setting costs several times the decoding of the file for no audible gain.
    const double precision = 16.0 + 4.0 * std::clamp(quality, 0, 127) / 127.0;
    if (av_opt_set(context.get(), "resampler", "soxr", 0) < 0 ||
        av_opt_set_double(context.get(), "precision", precision, 0) < 0) {
      return nullptr;
    }
  }
  if (swr_init(context.get()) < 0) return nullptr;
  return context;
}

}  // namespace

struct Converter::Impl {
  Algorithm algorithm = Algorithm::normal;
  int quality = 64;
  SwrPtr context;
  bool started = false;  // something was converted since the context was made
  bool ended = false;    // the input reported end-of-stream
  bool flushed = false;  // and the resampler has been flushed into `tail`
  bool drained = false;  // and everything has been put out
  // Converted frames not yet handed out: one byte block per plane, frames [start, end).
  struct Plane {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t capacity = 0;
  };
  std::vector<Plane> tail;
  std::size_t tailStart = 0;  // in frames
  std::size_t tailEnd = 0;
  std::size_t frameBytes = 0;  // per plane

  std::size_t tailFrames() const { return tailEnd - tailStart; }

  // Makes room for `frames` more frames behind the held ones, moving them to the front first.
  void reserveTail(std::size_t planes, std::size_t frames) {
    if (tail.size() != planes) {
      tail.clear();
      tail.resize(planes);
      tailStart = tailEnd = 0;
    }
    const std::size_t held = tailFrames();
    const std::size_t needed = (held + frames) * frameBytes;
    for (Plane& plane : tail) {
      if (needed > plane.capacity) {
        // Left uninitialised: every byte handed out was written by the resampler first.
        auto bytes = std::unique_ptr<std::uint8_t[]>(new std::uint8_t[needed * 2]);
        if (held > 0) std::memcpy(bytes.get(), plane.bytes.get() + tailStart * frameBytes, held * frameBytes);
        plane.bytes = std::move(bytes);
        plane.capacity = needed * 2;
      } else if (tailStart > 0 && held > 0) {
        std::memmove(plane.bytes.get(), plane.bytes.get() + tailStart * frameBytes, held * frameBytes);
      }
    }
    tailStart = 0;
    tailEnd = held;
  }

  // Runs the resampler over `frames` input frames (`in` null: flushes it) and keeps everything it
  // gives in `tail`. The output always has room for all of it, so libswresample never has to hold
  // output back (its SoX engine mishandles that). Returns libswresample's error, or 0.
  int convertIntoTail(const AudioFormat& out, const std::uint8_t* const* in, int frames) {
    const std::size_t planes = out.isInterleaved() ? 1 : out.channelCount();
    frameBytes = std::size_t{out.bytesPerSample()} * (out.isInterleaved() ? out.channelCount() : 1);
    for (;;) {
      const int room = std::max(swr_get_out_samples(context.get(), frames), 0) + 256;
      reserveTail(planes, static_cast<std::size_t>(room));
      std::vector<std::uint8_t*> pointers;
      for (Plane& plane : tail) pointers.push_back(plane.bytes.get() + tailEnd * frameBytes);
      const int n = swr_convert(context.get(), pointers.data(), room,
                                const_cast<const std::uint8_t**>(in), in ? frames : 0);
      if (n < 0) return n;
      tailEnd += static_cast<std::size_t>(n);
      // A flush gives its frames over as many calls as it takes; input is taken whole at once.
      if (in || n == 0) return 0;
    }
  }

  // Moves converted frames into `output` from frame `made`; returns the new frame count.
  std::uint32_t takeFromTail(PcmBuffer& output, std::uint32_t made) {
    const std::size_t frames = std::min<std::size_t>(tailFrames(), output.frameCapacity() - made);
    auto blocks = output.mutableAudioBufferList();
    for (std::size_t p = 0; p < tail.size() && frames > 0; ++p) {
      std::memcpy(static_cast<std::uint8_t*>(blocks[p].data) + made * frameBytes,
                  tail[p].bytes.get() + tailStart * frameBytes, frames * frameBytes);
    }
    tailStart += frames;
    return made + static_cast<std::uint32_t>(frames);
  }
};

Converter::Converter(const AudioFormat& inputFormat, const AudioFormat& outputFormat,
                     std::unique_ptr<Impl> impl)
    : inputFormat_(inputFormat), outputFormat_(outputFormat), impl_(std::move(impl)) {}

Converter::~Converter() = default;

std::unique_ptr<Converter> Converter::make(const AudioFormat& inputFormat,
                                           const AudioFormat& outputFormat) {
  if (detail::avSampleFormat(inputFormat) == AV_SAMPLE_FMT_NONE ||
      detail::avSampleFormat(outputFormat) == AV_SAMPLE_FMT_NONE) {
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  detail::quietFfmpegLog();
  impl->context = openContext(inputFormat, outputFormat, impl->algorithm, impl->quality);
  if (!impl->context) return nullptr;
  return std::unique_ptr<Converter>(new Converter(inputFormat, outputFormat, std::move(impl)));
}

void Converter::setSampleRateConverterAlgorithm(Algorithm algorithm) {
  impl_->algorithm = algorithm;
  if (!impl_->started) impl_->context.reset();
}

void Converter::setSampleRateConverterQuality(int quality) {
  impl_->quality = quality;
  if (!impl_->started) impl_->context.reset();
}

void Converter::reset() {
  impl_->context.reset();
  impl_->started = false;
  impl_->ended = false;
  impl_->flushed = false;
  impl_->drained = false;
  impl_->tail.clear();
  impl_->tailStart = impl_->tailEnd = 0;
}

Converter::OutputStatus Converter::convert(PcmBuffer& output, const InputBlock& input,
                                           std::optional<AudioError>* error) {
  auto fail = [&](const std::string& detail) {
    if (error) *error = AudioError::mismatchedFormat(detail);
    return OutputStatus::error;
  };
  output.setFrameLength(0);
  if (!(output.format() == outputFormat_)) {
    return fail("output buffer " + output.format().description() + ", converter makes " +
                outputFormat_.description());
  }
  if (!impl_->context) {
    impl_->context = openContext(inputFormat_, outputFormat_, impl_->algorithm, impl_->quality);
    if (!impl_->context) return fail("libswresample refused the conversion settings");
  }
  impl_->started = true;
  if (impl_->drained) return OutputStatus::endOfStream;

  const std::uint32_t capacity = output.frameCapacity();
  std::uint32_t made = 0;
  for (;;) {
    made = impl_->takeFromTail(output, made);
    output.setFrameLength(made);
    if (impl_->ended) {
      if (!impl_->flushed) {
        impl_->flushed = true;
        const int status = impl_->convertIntoTail(outputFormat_, nullptr, 0);
        if (status < 0) return fail("conversion failed: " + AudioError::ffmpegMessage(status));
        continue;
      }
      impl_->drained = impl_->tailFrames() == 0;
      return impl_->drained ? OutputStatus::endOfStream : OutputStatus::haveData;
    }
    if (made == capacity && capacity > 0) return OutputStatus::haveData;

    const double ratio = inputFormat_.sampleRate() / outputFormat_.sampleRate();
    const auto wanted = static_cast<std::uint32_t>(std::ceil((capacity - made) * ratio));
    InputStatus status = InputStatus::endOfStream;
    const PcmBuffer* in = input(wanted, status);
    switch (status) {
      case InputStatus::noDataNow:
        return OutputStatus::inputRanDry;
      case InputStatus::endOfStream:
        impl_->ended = true;
        break;
      case InputStatus::haveData: {
        if (!in) return fail("the input callback reported data but gave no buffer");
        if (!(in->format() == inputFormat_)) {
          return fail("input buffer " + in->format().description() + ", converter takes " +
                      inputFormat_.description());
        }
        if (in->frameLength() == 0) break;
        std::vector<std::uint8_t*> planes = planesAt(*in, 0);
        const int n = impl_->convertIntoTail(outputFormat_, planes.data(),
                                             static_cast<int>(in->frameLength()));
        if (n < 0) return fail("conversion failed: " + AudioError::ffmpegMessage(n));
        break;
      }
    }
  }
}

}  // namespace platform
