#include "platform/audio/Converter.h"

#include <algorithm>
#include <cmath>
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
    // SoX precision runs from 16 bits (quick) to 28 bits (very high quality).
    const double precision = 16.0 + 12.0 * std::clamp(quality, 0, 127) / 127.0;
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
  bool drained = false;  // and everything held has been put out
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
  impl_->drained = false;
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

  SwrContext* swr = impl_->context.get();
  const std::uint32_t capacity = output.frameCapacity();
  std::uint32_t made = 0;
  // Pulling with a non-null input of zero frames collects what is held without flushing it.
  static std::uint8_t none = 0;
  std::vector<const std::uint8_t*> noInput(std::max<std::uint32_t>(inputFormat_.channelCount(), 1),
                                           &none);

  auto pull = [&](const std::uint8_t* const* in, int frames) {
    std::vector<std::uint8_t*> out = planesAt(output, made);
    int n = swr_convert(swr, out.data(), static_cast<int>(capacity - made),
                        const_cast<const std::uint8_t**>(in), frames);
    if (n > 0) made += static_cast<std::uint32_t>(n);
    return n;
  };

  for (;;) {
    if (made < capacity) {
      const int n = pull(impl_->ended ? nullptr : noInput.data(), 0);
      if (n < 0) return fail("conversion failed: " + AudioError::ffmpegMessage(n));
    }
    if (made == capacity && capacity > 0) {
      output.setFrameLength(made);
      return OutputStatus::haveData;
    }
    if (impl_->ended) {
      impl_->drained = true;
      output.setFrameLength(made);
      return OutputStatus::endOfStream;
    }
    const double ratio = inputFormat_.sampleRate() / outputFormat_.sampleRate();
    const auto wanted = static_cast<std::uint32_t>(std::ceil((capacity - made) * ratio));
    InputStatus status = InputStatus::endOfStream;
    const PcmBuffer* in = input(wanted, status);
    switch (status) {
      case InputStatus::noDataNow:
        output.setFrameLength(made);
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
        const int n = pull(planes.data(), static_cast<int>(in->frameLength()));
        if (n < 0) return fail("conversion failed: " + AudioError::ffmpegMessage(n));
        break;
      }
    }
  }
}

}  // namespace platform
