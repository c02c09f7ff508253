#include "speech/Shared/AudioConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <utility>

#include <fmt/format.h>

#include "platform/audio/AudioFile.h"
#include "platform/audio/Converter.h"
#include "platform/audio/MediaSampleBuffer.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/text/DoubleText.h"
#include "speech/Shared/AudioConverterError.h"

namespace tesselaudio {

using platform::AudioFormat;
using platform::Converter;
using platform::PcmBuffer;

namespace {

constexpr double kDefaultSampleRate = 16000.0;

AudioFormat monoFloat(double sampleRate) {
  auto format = AudioFormat::make(platform::CommonFormat::pcmFormatFloat32, sampleRate, 1, false);
  if (!format) throw AudioConverterError::failedToCreateSourceFormat();
  return *format;
}

std::unique_ptr<Converter> makeConverter(const AudioFormat& from, const AudioFormat& to, bool mastering) {
  auto converter = Converter::make(from, to);
  if (!converter) throw AudioConverterError::failedToCreateConverter();
  if (mastering) {
    converter->setSampleRateConverterAlgorithm(Converter::Algorithm::mastering);
    converter->setSampleRateConverterQuality(127);
  }
  return converter;
}

std::unique_ptr<PcmBuffer> makeBuffer(const AudioFormat& format, std::uint64_t frames) {
  if (frames > UINT32_MAX) throw AudioConverterError::failedToCreateBuffer();
  auto buffer = PcmBuffer::make(format, static_cast<std::uint32_t>(frames));
  if (!buffer) throw AudioConverterError::failedToCreateBuffer();
  return buffer;
}

// Appends channel 0 of `output` (nothing without float planes).
void appendChannelZero(const PcmBuffer& output, std::vector<float>& result) {
  const float* const* planes = output.floatChannelData();
  if (!planes || output.frameLength() == 0) return;
  result.insert(result.end(), planes[0], planes[0] + output.frameLength());
}

// The converter's failure as the error it carries.
[[noreturn]] void throwConversionFailed(const std::optional<platform::AudioError>& error) {
  if (error) throw AudioConverterError::conversionFailed(std::make_exception_ptr(*error));
  throw AudioConverterError::conversionFailed();
}

// An input callback that hands `buffer` over once and then reports the end of the stream.
Converter::InputBlock giveOnce(const PcmBuffer& buffer, bool& given) {
  return [&buffer, &given](std::uint32_t, Converter::InputStatus& status) -> const PcmBuffer* {
    if (given) {
      status = Converter::InputStatus::endOfStream;
      return nullptr;
    }
    given = true;
    status = Converter::InputStatus::haveData;
    return &buffer;
  };
}

}  // namespace

namespace detail {

std::vector<float> extractFloatArray(const PcmBuffer& buffer) {
  std::vector<float> result;
  appendChannelZero(buffer, result);
  return result;
}

std::vector<float> extractMonoFloat32(const PcmBuffer& buffer) {
  if (buffer.frameLength() == 0) return {};
  const AudioFormat& format = buffer.format();
  if (format.channelCount() == 1 && format.commonFormat() == platform::CommonFormat::pcmFormatFloat32 &&
      !format.isInterleaved()) {
    return extractFloatArray(buffer);
  }
  const AudioFormat mono = monoFloat(format.sampleRate());
  auto converter = makeConverter(format, mono, false);
  auto output = makeBuffer(mono, buffer.frameCapacity());
  bool given = false;
  std::optional<platform::AudioError> error;
  if (converter->convert(*output, giveOnce(buffer, given), &error) == Converter::OutputStatus::error) {
    throwConversionFailed(error);
  }
  return extractFloatArray(*output);
}

}  // namespace detail

AudioConverter::AudioConverter(std::optional<AudioFormat> targetFormat, bool debug)
    : logger_("AudioConverter"),
      targetFormat_(targetFormat ? *targetFormat : AudioFormat::float32(kDefaultSampleRate, 1)),
      debug_(debug) {}

AudioConverter::AudioConverter(double sampleRate, bool debug)
    : AudioConverter(AudioFormat::float32(sampleRate, 1), debug) {}

bool AudioConverter::isTargetFormat(const AudioFormat& format) const {
  return format.sampleRate() == targetFormat_.sampleRate() &&
         format.channelCount() == targetFormat_.channelCount() &&
         format.commonFormat() == targetFormat_.commonFormat() &&
         format.isInterleaved() == targetFormat_.isInterleaved();
}

void AudioConverter::logDebug(const std::string& message) const {
  if (debug_) logger_.debug(message);
}

std::vector<float> AudioConverter::resampleBuffer(const PcmBuffer& buffer) const {
  if (isTargetFormat(buffer.format())) return detail::extractFloatArray(buffer);
  return convertBuffer(buffer, targetFormat_, kSliceFrames);
}

std::vector<float> AudioConverter::convertBuffer(const PcmBuffer& buffer, const AudioFormat& to,
                                                 std::uint32_t outputSliceFrames) const {
  if (buffer.format().channelCount() >= 3) return linearResample(buffer, to);
  auto converter = makeConverter(buffer.format(), to, true);
  const auto expected = static_cast<std::int64_t>(
      std::ceil(to.sampleRate() / buffer.format().sampleRate() * buffer.frameLength()));
  const std::int64_t capacity =
      std::max<std::int64_t>(4096, std::min<std::int64_t>(outputSliceFrames, expected + 4096));
  auto output = makeBuffer(to, static_cast<std::uint64_t>(capacity));
  std::vector<float> result;
  result.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, expected)));

  bool given = false;
  const auto input = giveOnce(buffer, given);
  for (;;) {
    std::optional<platform::AudioError> error;
    const auto status = converter->convert(*output, input, &error);
    if (status == Converter::OutputStatus::error) throwConversionFailed(error);
    appendChannelZero(*output, result);
    if (status == Converter::OutputStatus::endOfStream) break;
  }
  logDebug(fmt::format("Audio conversion: {} samples → {} samples, ratio: {}", buffer.frameLength(),
                       result.size(),
                       platform::text::shortestDouble(static_cast<double>(result.size()) /
                                                      static_cast<double>(buffer.frameLength()))));
  return result;
}

std::vector<float> AudioConverter::linearResample(const PcmBuffer& buffer, const AudioFormat& to) const {
  const float* const* planes = buffer.floatChannelData();
  if (!planes) throw AudioConverterError::failedToCreateBuffer();
  const std::uint32_t channels = buffer.format().channelCount();
  const std::size_t frames = buffer.frameLength();
  const float scale = 1.0f / static_cast<float>(channels);
  std::vector<float> mono(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    float sum = 0.0f;
    for (std::uint32_t c = 0; c < channels; ++c) sum += planes[c][i];
    mono[i] = scale * sum;
  }
  const double from = buffer.format().sampleRate();
  if (from == to.sampleRate()) return mono;

  const double ratio = from / to.sampleRate();
  const auto count = static_cast<std::size_t>(static_cast<double>(frames) / ratio);
  std::vector<float> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double position = ratio * static_cast<double>(i);
    const auto k = static_cast<std::size_t>(position);
    const auto fraction = static_cast<float>(position - static_cast<double>(k));
    if (k + 1 < frames) {
      out[i] = (1.0f - fraction) * mono[k] + mono[k + 1] * fraction;
    } else if (k + 1 == frames) {
      out[i] = mono[k];
    } else {
      out[i] = 0.0f;
    }
  }
  logDebug(fmt::format("Manual resampling: {} channels → mono, {}Hz → {}Hz", channels,
                       platform::text::shortestDouble(from),
                       platform::text::shortestDouble(to.sampleRate())));
  return out;
}

std::vector<float> AudioConverter::resample(std::vector<float> samples, double sourceSampleRate) const {
  if (samples.empty()) return samples;
  if (sourceSampleRate == targetFormat_.sampleRate()) return samples;
  return resampleWithAVAudio(samples, sourceSampleRate, targetFormat_.sampleRate(), kSliceFrames);
}

std::vector<float> AudioConverter::resampleWithAVAudio(const std::vector<float>& samples, double from,
                                                       double to, std::uint32_t sliceFrames) const {
  const std::size_t slice = std::min<std::size_t>(samples.size(), sliceFrames);
  std::size_t position = 0;
  return streamResample(from, to, static_cast<std::int64_t>(samples.size()),
                        static_cast<std::uint32_t>(slice),
                        [&]() -> std::optional<std::vector<float>> {
                          if (position >= samples.size()) return std::nullopt;
                          const std::size_t end = std::min(samples.size(), position + slice);
                          std::vector<float> chunk(samples.begin() + position, samples.begin() + end);
                          position = end;
                          return chunk;
                        });
}

std::vector<float> AudioConverter::streamResample(double from, double to, std::int64_t expectedInputFrames,
                                                  std::uint32_t maxChunkFrames,
                                                  const NextChunk& nextChunk) const {
  const auto expected = static_cast<std::int64_t>(std::ceil(to / from * static_cast<double>(expectedInputFrames)));
  std::vector<float> result;
  result.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, expected + 4096)));

  if (from == to) {
    while (auto chunk = nextChunk()) result.insert(result.end(), chunk->begin(), chunk->end());
    return result;
  }

  const AudioFormat source = monoFloat(from);
  const AudioFormat destination = monoFloat(to);
  auto converter = makeConverter(source, destination, true);
  const std::uint32_t inputFrames = std::max<std::uint32_t>(1, maxChunkFrames);
  auto input = makeBuffer(source, inputFrames);
  auto output = makeBuffer(destination,
                           static_cast<std::uint64_t>(std::ceil(to / from * inputFrames)) + 4096);

  // The callback runs on this thread, inside convert(), so the flag and the pending error need no
  // lock of their own.
  bool inputEnded = false;
  std::exception_ptr pendingError;
  const Converter::InputBlock callback = [&](std::uint32_t, Converter::InputStatus& status) -> const PcmBuffer* {
    status = Converter::InputStatus::endOfStream;
    if (inputEnded) return nullptr;
    std::optional<std::vector<float>> chunk;
    try {
      do {
        chunk = nextChunk();
      } while (chunk && chunk->empty());
    } catch (...) {
      pendingError = std::current_exception();
      inputEnded = true;
      return nullptr;
    }
    if (!chunk) {
      inputEnded = true;
      return nullptr;
    }
    if (chunk->size() > inputFrames || !input->floatChannelData()) {
      pendingError = std::make_exception_ptr(AudioConverterError::failedToCreateBuffer());
      inputEnded = true;
      return nullptr;
    }
    std::memcpy(input->floatChannelData()[0], chunk->data(), sizeof(float) * chunk->size());
    input->setFrameLength(static_cast<std::uint32_t>(chunk->size()));
    status = Converter::InputStatus::haveData;
    return input.get();
  };

  for (;;) {
    std::optional<platform::AudioError> error;
    const auto status = converter->convert(*output, callback, &error);
    if (pendingError) std::rethrow_exception(pendingError);
    if (status == Converter::OutputStatus::error) throwConversionFailed(error);
    appendChannelZero(*output, result);
    if (status == Converter::OutputStatus::endOfStream) break;
  }
  logDebug(fmt::format("Audio resample: {} samples → {} samples, ratio: {}", expectedInputFrames,
                       result.size(),
                       platform::text::shortestDouble(
                           static_cast<double>(result.size()) /
                           static_cast<double>(std::max<std::int64_t>(1, expectedInputFrames)))));
  return result;
}

std::vector<float> AudioConverter::resampleAudioFile(const std::filesystem::path& url) const {
  platform::AudioFile file(url);
  const double rate = file.processingFormat().sampleRate();
  const auto chunk = std::max<std::uint32_t>(4096, static_cast<std::uint32_t>(rate));
  auto readBuffer = makeBuffer(file.processingFormat(), chunk);
  // Any failed read fails the whole call: a shorter result reported as success would put every
  // later time of the recording in the wrong place.
  return streamResample(rate, targetFormat_.sampleRate(), file.length(), chunk,
                        [&]() -> std::optional<std::vector<float>> {
                          if (file.framePosition() >= file.length()) return std::nullopt;
                          const auto frames = static_cast<std::uint32_t>(
                              std::min<std::int64_t>(file.length() - file.framePosition(), chunk));
                          file.read(*readBuffer, frames);
                          if (readBuffer->frameLength() == 0) return std::nullopt;
                          return detail::extractMonoFloat32(*readBuffer);
                        });
}

std::unique_ptr<PcmBuffer> AudioConverter::extractAVAudioPCMBuffer(
    const platform::MediaSampleBuffer& sampleBuffer) const {
  if (!sampleBuffer.formatDescription) throw AudioConverterError::sampleBufferFormatMissing();
  auto format = AudioFormat::make(*sampleBuffer.formatDescription);
  if (!format) throw AudioConverterError::failedToCreateSourceFormat();
  const std::int64_t frames = sampleBuffer.numSamples;
  if (frames < 0) throw AudioConverterError::failedToCreateBuffer();
  auto buffer = makeBuffer(*format, static_cast<std::uint64_t>(frames));
  buffer->setFrameLength(static_cast<std::uint32_t>(frames));
  if (frames > 0) {
    const std::int32_t status = sampleBuffer.copyPCMData(frames, *buffer);
    if (status != platform::MediaSampleBuffer::kStatusOK) {
      throw AudioConverterError::sampleBufferCopyFailed(status);
    }
  }
  return buffer;
}

std::vector<float> AudioConverter::resampleSampleBuffer(const platform::MediaSampleBuffer& sampleBuffer) const {
  auto buffer = extractAVAudioPCMBuffer(sampleBuffer);
  return convertBuffer(*buffer, targetFormat_, kSliceFrames);
}

}  // namespace tesselaudio
