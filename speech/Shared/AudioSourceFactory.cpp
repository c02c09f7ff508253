#include "speech/Shared/AudioSourceFactory.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/Converter.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileHandle.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/MappedFile.h"
#include "platform/sys/StandardPaths.h"
#include "platform/sys/Uuid.h"
#include "platform/text/DoubleText.h"
#include "speech/Shared/AudioSourceError.h"
#include "speech/Shared/PcmWavLayout.h"

namespace tesselaudio {

using platform::AudioFormat;
using platform::Converter;
using platform::PcmBuffer;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kInputFrames = 16384;
constexpr std::int64_t kMinimumOutputFrames = 1024;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool hasWavExtension(const std::filesystem::path& url) {
  std::string extension = url.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".wav";
}

AudioSourceError failedToAllocateBuffer(const std::string& kind, std::int64_t requestedFrames) {
  std::string lower = kind;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return AudioSourceError::processingFailed(
      fmt::format("Failed to allocate {} buffer ({} frames)", lower, requestedFrames));
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

void removeQuietly(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

}  // namespace

AudioSourceFactory::AudioSourceFactory() : logger_("AudioSourceFactory") {}

std::filesystem::path AudioSourceFactory::makeTemporaryURL() const {
  return platform::StandardPaths::temporaryDirectory() /
         ("tesselaudio-streaming-" + platform::Uuid::random().toString() + ".raw");
}

AudioSourceFactory::Result AudioSourceFactory::makeDiskBackedSource(const std::filesystem::path& url,
                                                                    std::int64_t targetSampleRate) const {
  const auto start = Clock::now();
  std::optional<std::filesystem::path> temporary;
  try {
    if (hasWavExtension(url)) {
      auto bytes = platform::MappedFile::mapIfSafe(url);
      if (auto layout = PcmWavLayout::parse(bytes->bytes(), targetSampleRate)) {
        logger_.debug(fmt::format("Mapped PCM wav in place: {} samples", layout->sampleCount));
        DiskBackedAudioSampleSource source(std::move(bytes),
                                           DiskBackedAudioSampleSource::Encoding::pcm16(layout->dataOffset),
                                           std::nullopt, layout->sampleCount);
        return {std::move(source), secondsSince(start)};
      }
    }
    temporary = makeTemporaryURL();
    Result result = convertToTemporaryFile(url, targetSampleRate, *temporary);
    result.loadDuration = secondsSince(start);
    return result;
  } catch (const AudioSourceError&) {
    // Nobody else holds the file yet, and a caller that sees the failure has no source to clean.
    if (temporary) removeQuietly(*temporary);
    throw;
  } catch (const std::exception& e) {
    const std::string description = e.what();
    logger_.error("Streaming audio source creation failed: " + description);
    if (temporary) removeQuietly(*temporary);
    throw AudioSourceError::processingFailed("Streaming audio source creation failed: " + description,
                                             std::current_exception());
  }
}

AudioSourceFactory::Result AudioSourceFactory::convertToTemporaryFile(
    const std::filesystem::path& url, std::int64_t targetSampleRate,
    const std::filesystem::path& temporary) const {
  platform::AudioFile file(url);
  const AudioFormat input = file.processingFormat();
  const auto output = AudioFormat::make(platform::CommonFormat::pcmFormatFloat32,
                                        static_cast<double>(targetSampleRate), 1, false);

  if (!platform::createEmptyFile(temporary)) {
    throw AudioSourceError::processingFailed(
        fmt::format("Failed to create temporary audio buffer at {}", temporary.string()));
  }
  // Closed on every way out; a close that fails there changes nothing.
  auto handle = platform::FileHandle::forWritingAtPath(temporary);

  auto converter = output ? Converter::make(input, *output) : nullptr;
  if (!converter) {
    throw AudioSourceError::processingFailed(
        fmt::format("Unsupported audio format {}; failed to create converter", input.description()));
  }
  logger_.debug(fmt::format("Streaming conversion {}Hz×{}ch → {}Hz×{}ch",
                            platform::text::shortestDouble(input.sampleRate()), input.channelCount(),
                            platform::text::shortestDouble(output->sampleRate()), output->channelCount()));

  std::int64_t total = 0;
  try {
    total = streamConvert(file, *converter, handle);
  } catch (const std::exception& e) {
    logger_.error(fmt::format("Streaming conversion failed before file mapping: {}", e.what()));
    throw;
  }
  handle.synchronize();
  handle.close();

  std::error_code sizeError;
  const auto size = std::filesystem::file_size(temporary, sizeError);
  if (sizeError) throw platform::FileError::fromErrno("inspect", temporary, sizeError.value());
  logger_.debug(fmt::format("Streaming audio temp file size={} bytes", size));
  logger_.debug(fmt::format("Streaming audio total samples={}", total));

  DiskBackedAudioSampleSource source(platform::MappedFile::mapIfSafe(temporary), temporary);
  if (source.sampleCount() != total) {
    logger_.warning(fmt::format("Mapped sample count mismatch (reported={}, tracked={}); continuing",
                                source.sampleCount(), total));
  }
  return {std::move(source), 0.0};
}

std::int64_t AudioSourceFactory::streamConvert(platform::AudioFile& audioFile, Converter& converter,
                                               platform::FileHandle& handle) const {
  auto input = PcmBuffer::make(audioFile.processingFormat(), kInputFrames);
  if (!input) throw failedToAllocateBuffer("Input", kInputFrames);
  const double wanted = std::ceil(converter.outputFormat().sampleRate() * kInputFrames /
                                  audioFile.processingFormat().sampleRate());
  const auto outputFrames = static_cast<std::int64_t>(std::min(wanted, 9.0e18));
  std::unique_ptr<PcmBuffer> output;
  if (outputFrames <= static_cast<std::int64_t>(UINT32_MAX)) {
    output = PcmBuffer::make(converter.outputFormat(),
                             static_cast<std::uint32_t>(std::max(kMinimumOutputFrames, outputFrames)));
  }
  if (!output) throw failedToAllocateBuffer("Output", outputFrames);

  // The callback runs inside convert() on this thread, so the flag and the pending error need no
  // lock of their own.
  bool inputEnded = false;
  std::exception_ptr pendingReadError;
  const Converter::InputBlock nextInput = [&](std::uint32_t, Converter::InputStatus& status) -> const PcmBuffer* {
    status = Converter::InputStatus::endOfStream;
    if (inputEnded) return nullptr;
    const std::int64_t left = audioFile.length() - audioFile.framePosition();
    const auto frames = static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 0, kInputFrames));
    input->setFrameLength(0);
    if (frames > 0) {
      try {
        audioFile.read(*input, frames);
      } catch (...) {
        pendingReadError = std::current_exception();
        input->setFrameLength(0);
      }
    }
    if (input->frameLength() == 0) {
      inputEnded = true;
      return nullptr;
    }
    status = Converter::InputStatus::haveData;
    return input.get();
  };

  std::int64_t total = 0;
  for (;;) {
    output->setFrameLength(0);
    std::optional<platform::AudioError> error;
    const auto status = converter.convert(*output, nextInput, &error);
    if (error || status == Converter::OutputStatus::error) {
      throw AudioSourceError::processingFailed(
          fmt::format("Audio conversion failed: {}", error ? error->description() : "Unknown error"),
          error ? std::make_exception_ptr(*error) : nullptr);
    }
    if (pendingReadError) {
      throw AudioSourceError::processingFailed(
          fmt::format("Failed while reading audio: {}", describe(pendingReadError)), pendingReadError);
    }
    if (const std::uint32_t frames = output->frameLength(); frames > 0) {
      const float* const* planes = output->floatChannelData();
      if (!planes) throw AudioSourceError::processingFailed("Missing channel data during conversion");
      handle.write(std::as_bytes(std::span<const float>(planes[0], frames)));
      total += frames;
    }
    if (status == Converter::OutputStatus::endOfStream) break;
  }
  return total;
}

}  // namespace tesselaudio
