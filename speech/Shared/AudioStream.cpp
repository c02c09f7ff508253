#include "speech/Shared/AudioStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/MediaSampleBuffer.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sys/SerialQueue.h"
#include "speech/Shared/AudioStreamError.h"

namespace tesselaudio {
namespace {

// Sample positions and counts stay within ±2^60, so sums of a few of them never overflow.
constexpr double kLargestSamplePosition = 1152921504606846976.0;  // 2^60

// `value` rounded half away from zero, or none when it is not finite or beyond the largest sample
// position.
std::optional<std::int64_t> samplePosition(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double rounded = std::round(value);
  if (std::fabs(rounded) > kLargestSamplePosition) return std::nullopt;
  return static_cast<std::int64_t>(rounded);
}

bool finiteAndPositive(double value) { return std::isfinite(value) && value > 0; }

}  // namespace

AudioStream::Sizes AudioStream::checkedSizes(double chunkDuration, std::optional<double> chunkSkip,
                                             double sampleRate, std::optional<double> bufferCapacitySeconds) {
  if (!finiteAndPositive(sampleRate) || !finiteAndPositive(chunkDuration)) {
    throw AudioStreamError::invalidChunkDuration();
  }
  const double skip = chunkSkip.value_or(chunkDuration);
  const auto chunkSize = samplePosition(chunkDuration * sampleRate);
  if (!chunkSize || *chunkSize < 1) throw AudioStreamError::invalidChunkDuration();
  const auto skipSize = samplePosition(skip * sampleRate);
  if (!skipSize || *skipSize < 1 || *skipSize > *chunkSize) throw AudioStreamError::invalidChunkSkip();
  const auto capacity = samplePosition(sampleRate * bufferCapacitySeconds.value_or(chunkDuration + skip));
  if (!capacity || *capacity < *chunkSize) throw AudioStreamError::bufferTooSmall();
  return {skip, *chunkSize, *skipSize, *capacity};
}

AudioStream::AudioStream(double chunkDuration, std::optional<double> chunkSkip, double streamStartTime,
                         AudioStreamChunkingStrategy chunkingStrategy,
                         AudioStreamStartupStrategy startupStrategy, double sampleRate,
                         std::optional<double> bufferCapacitySeconds)
    : AudioStream(checkedSizes(chunkDuration, chunkSkip, sampleRate, bufferCapacitySeconds), chunkDuration,
                  streamStartTime, chunkingStrategy, startupStrategy, sampleRate) {}

AudioStream::AudioStream(const Sizes& sizes, double chunkDuration, double streamStartTime,
                         AudioStreamChunkingStrategy chunkingStrategy,
                         AudioStreamStartupStrategy startupStrategy, double sampleRate)
    : sampleRate_(sampleRate),
      chunkDuration_(chunkDuration),
      chunkSkip_(sizes.skip),
      chunkSize_(sizes.chunkSize),
      skipSize_(sizes.skipSize),
      capacity_(sizes.capacity),
      chunkingStrategy_(chunkingStrategy),
      converter_(platform::AudioFormat::float32(sampleRate, 1), false),
      buffer_(static_cast<std::size_t>(sizes.capacity), 0.0f) {
  switch (startupStrategy) {
    case AudioStreamStartupStrategy::startSilent:
      // The overlap is already there: the zeros the buffer was made with.
      writeIndex_ = chunkSize_ - skipSize_;
      temporaryChunkSize_ = chunkSize_;
      bufferStartTime_ = streamStartTime - (chunkDuration - sizes.skip);
      break;
    case AudioStreamStartupStrategy::rampUpChunkSize:
      temporaryChunkSize_ = skipSize_;
      bufferStartTime_ = streamStartTime;
      break;
    case AudioStreamStartupStrategy::waitForFullChunk:
      temporaryChunkSize_ = chunkSize_;
      bufferStartTime_ = streamStartTime;
      break;
  }
}

AudioStream::~AudioStream() {
  // Joins the worker after the calls already queued, while the stream is still whole.
  deliveries_.reset();
}

bool AudioStream::hasNewChunk() const {
  std::shared_lock lock(mutex_);
  return writeIndex_ >= temporaryChunkSize_;
}

void AudioStream::bind(Handler handler) {
  auto stored = std::make_shared<const Handler>(std::move(handler));
  std::unique_lock lock(mutex_);
  callback_ = std::move(stored);
  priority_.reset();
}

void AudioStream::bind(platform::TaskPriority priority, AsyncHandler handler) {
  std::unique_lock lock(mutex_);
  if (!deliveries_) deliveries_ = std::make_unique<platform::SerialQueue>("TesselAudio.AudioStream.deliveries");
  platform::SerialQueue* queue = deliveries_.get();
  // The queue lives as long as the stream, and writes happen only while the stream does.
  callback_ = std::make_shared<const Handler>(
      [queue, handler = std::make_shared<const AsyncHandler>(std::move(handler))](std::vector<float> chunk,
                                                                                  double startTime) {
        queue->async([handler, chunk = std::move(chunk), startTime]() mutable {
          (*handler)(std::move(chunk), startTime);
        });
      });
  priority_ = priority;
}

void AudioStream::unbind() {
  std::unique_lock lock(mutex_);
  callback_.reset();
  priority_.reset();
}

std::optional<platform::TaskPriority> AudioStream::boundPriority() const {
  std::shared_lock lock(mutex_);
  return priority_;
}

std::shared_ptr<const AudioStream::Handler> AudioStream::currentHandler() const {
  std::shared_lock lock(mutex_);
  return callback_;
}

void AudioStream::write(std::span<const float> samples, std::optional<double> atTime) {
  if (samples.empty()) return;
  {
    std::unique_lock lock(mutex_);
    place(samples, atTime);
  }
  // Handlers run outside the lock, so that they may bind, unbind or pull.
  for (auto handler = currentHandler(); handler; handler = currentHandler()) {
    if (!hasNewChunk()) return;
    std::optional<Chunk> chunk = takeChunk();
    if (!chunk) return;  // another thread took it meanwhile
    (*handler)(std::move(chunk->chunk), chunk->chunkStartTime);
  }
}

void AudioStream::write(const platform::PcmBuffer& buffer, std::optional<double> atTime) {
  const std::vector<float> samples = converter_.resampleBuffer(buffer);
  write(std::span<const float>(samples), atTime);
}

void AudioStream::write(const platform::MediaSampleBuffer& sampleBuffer, std::optional<double> atTime) {
  const std::vector<float> samples = converter_.resampleSampleBuffer(sampleBuffer);
  write(std::span<const float>(samples), atTime);
}

std::optional<AudioStream::Chunk> AudioStream::readChunkIfAvailable() {
  if (!hasNewChunk()) return std::nullopt;
  return takeChunk();
}

void AudioStream::place(std::span<const float> block, std::optional<double> atTime) {
  const auto count = static_cast<std::int64_t>(block.size());
  if (atTime) {
    if (const auto gap = timeStampGap(*atTime, count)) {
      if (*gap > 0) {
        appendZeros(*gap, count);
      } else if (*gap < 0) {
        // The block comes back in time: it overwrites the newest samples, and reaches before the
        // buffer's start when it is longer than they are.
        writeIndex_ += *gap;
        if (writeIndex_ < 0) {
          bufferStartTime_ += static_cast<double>(writeIndex_) / sampleRate_;
          writeIndex_ = 0;
        }
      }
    }
  }
  append(block);
}

std::optional<std::int64_t> AudioStream::timeStampGap(double atTime, std::int64_t count) const {
  const auto givenEnd = samplePosition(sampleRate_ * atTime);
  const auto bufferStart = samplePosition(bufferStartTime_ * sampleRate_);
  if (!givenEnd || !bufferStart || count > static_cast<std::int64_t>(kLargestSamplePosition)) {
    return std::nullopt;
  }
  return *givenEnd - (*bufferStart + writeIndex_ + count);
}

std::int64_t AudioStream::appendLimit() const {
  return chunkingStrategy_ == AudioStreamChunkingStrategy::useMostRecent ? temporaryChunkSize_ : capacity_;
}

void AudioStream::append(std::span<const float> block) {
  const auto count = static_cast<std::int64_t>(block.size());
  const std::int64_t kept = makeRoom(count, capacity_, appendLimit());
  if (kept <= 0) return;
  std::memcpy(buffer_.data() + writeIndex_, block.data() + (count - kept), sizeof(float) * static_cast<std::size_t>(kept));
  writeIndex_ += kept;
}

void AudioStream::appendZeros(std::int64_t zeros, std::int64_t blockCount) {
  // Room is made against the block that follows, so that the block itself is never pushed out by
  // the silence in front of it.
  const std::int64_t kept = makeRoom(zeros, capacity_ - blockCount, appendLimit() - blockCount);
  if (kept <= 0) return;
  std::fill_n(buffer_.begin() + writeIndex_, kept, 0.0f);
  writeIndex_ += kept;
}

std::int64_t AudioStream::makeRoom(std::int64_t n, std::int64_t cap, std::int64_t target) {
  std::int64_t end = writeIndex_ + n;
  if (end > cap) {
    // May leave writeIndex_ below 0: it then counts new samples that will not be kept.
    dropOldest(end - target);
    end = target;
  }
  if (end < 1) {
    writeIndex_ = end;
    return 0;
  }
  if (writeIndex_ >= 0) return n;
  const std::int64_t kept = n + writeIndex_;
  writeIndex_ = 0;
  return kept;
}

void AudioStream::dropOldest(std::int64_t n) {
  if (n < writeIndex_) {
    std::memmove(buffer_.data(), buffer_.data() + n, sizeof(float) * static_cast<std::size_t>(writeIndex_ - n));
  }
  writeIndex_ -= n;
  bufferStartTime_ += static_cast<double>(n) / sampleRate_;
}

std::optional<AudioStream::Chunk> AudioStream::takeChunk() {
  std::unique_lock lock(mutex_);
  // Checked again here: another writer or puller may have taken the chunk since the check.
  if (writeIndex_ < temporaryChunkSize_) return std::nullopt;
  const std::int64_t size = temporaryChunkSize_;
  const bool mostRecent = chunkingStrategy_ == AudioStreamChunkingStrategy::useMostRecent;
  const std::int64_t first = mostRecent ? writeIndex_ - size : 0;
  Chunk chunk{std::vector<float>(buffer_.begin() + first, buffer_.begin() + first + size),
              bufferStartTime_ + static_cast<double>(first) / sampleRate_};
  if (size < chunkSize_) {
    temporaryChunkSize_ = std::min(chunkSize_, size + skipSize_);
  } else if (mostRecent) {
    dropOldest(writeIndex_ - overlapSize());
  } else {
    dropOldest(skipSize_);
  }
  return chunk;
}

}  // namespace tesselaudio
