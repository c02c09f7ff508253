#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ranges>
#include <shared_mutex>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/sys/TaskPriority.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/AudioStreamChunkingStrategy.h"
#include "speech/Shared/AudioStreamStartupStrategy.h"

namespace platform {
class PcmBuffer;
class SerialQueue;
struct MediaSampleBuffer;
}  // namespace platform

namespace tesselaudio {

// Cuts a live stream of mono float samples, written in blocks of any size, into chunks of a fixed
// duration whose starts lie a fixed skip apart (so consecutive chunks may overlap), each with its
// start time on the stream's clock. Samples wait in a buffer of fixed capacity; a block that does
// not fit pushes out the oldest samples (under `useMostRecent`, all but the newest chunk's worth),
// and chunks they belonged to are never handed out. Blocks may carry the stream time at their end:
// a gap before a block is filled with silence, a block that comes back in time overwrites the
// newest samples. Chunks go to a bound handler as the writer writes (on the writer's thread, or on
// the stream's own worker for asynchronous handlers), or are pulled.
//
// Safe from any thread: a reader-writer lock guards the buffer; handlers run outside it, so a
// handler may bind, unbind or pull. Destroying the stream waits for asynchronous handler calls
// already queued, so none outlives it.
//
//   AudioStream stream(1.0, 0.5, 0.0, AudioStreamChunkingStrategy::useFixedSkip,
//                      AudioStreamStartupStrategy::waitForFullChunk, 16000);
//   stream.bind([](std::vector<float> chunk, double start) { recognise(chunk, start); });
//   stream.write(samples);            // hands out every chunk that is complete
class AudioStream {
 public:
  // Gets each chunk and its start time in seconds; may throw, which ends the write that called it.
  using Handler = std::function<void(std::vector<float> chunk, double startTime)>;
  // The same for asynchronous delivery; must not throw.
  using AsyncHandler = std::function<void(std::vector<float> chunk, double startTime)>;

  struct Chunk {
    std::vector<float> chunk;
    double chunkStartTime = 0;
  };

  // `chunkSkip` absent: chunkDuration (no overlap). `streamStartTime`: the stream time of the first
  // sample written. `bufferCapacitySeconds` absent: chunkDuration + skip. Sample counts are the
  // durations × sampleRate rounded half away from zero.
  // Throws AudioStreamError: invalidChunkDuration when sampleRate or chunkDuration is not finite and
  // positive or the chunk is below one sample; invalidChunkSkip when the skip is not finite, below
  // one sample or longer than the chunk; bufferTooSmall when the capacity is not finite, holds less
  // than a chunk or does not fit a sample count. std::bad_alloc when the buffer cannot be allocated.
  AudioStream(double chunkDuration, std::optional<double> chunkSkip, double streamStartTime,
              AudioStreamChunkingStrategy chunkingStrategy, AudioStreamStartupStrategy startupStrategy,
              double sampleRate, std::optional<double> bufferCapacitySeconds = std::nullopt);
  ~AudioStream();

  AudioStream(const AudioStream&) = delete;
  AudioStream& operator=(const AudioStream&) = delete;

  double sampleRate() const { return sampleRate_; }
  double chunkDuration() const { return chunkDuration_; }
  double chunkSkip() const { return chunkSkip_; }
  std::int64_t chunkSize() const { return chunkSize_; }
  std::int64_t skipSize() const { return skipSize_; }
  AudioStreamChunkingStrategy chunkingStrategy() const { return chunkingStrategy_; }
  double chunkOverlap() const { return chunkDuration_ - chunkSkip_; }
  std::int64_t overlapSize() const { return chunkSize_ - skipSize_; }
  std::int64_t capacity() const { return capacity_; }

  // True when a chunk can be taken now.
  bool hasNewChunk() const;

  // Binds `handler`, replacing any bound one. Chunks already waiting are handed out by the next
  // non-empty write, not by binding.
  void bind(Handler handler);
  // The same, with the chunk copied into `Collection` (any container of floats built from a range
  // of iterators) before each call.
  template <typename Collection, typename F>
  void bind(F handler) {
    bind(Handler([handler = std::move(handler)](std::vector<float> chunk, double startTime) {
      handler(toCollection<Collection>(std::move(chunk)), startTime);
    }));
  }

  // Binds an asynchronous handler: each chunk is queued to a worker that the stream owns, which
  // calls `handler` once per chunk in order; the writer never waits for it. `priority` is kept but
  // does not change how the worker runs.
  void bind(platform::TaskPriority priority, AsyncHandler handler);
  template <typename Collection, typename F>
  void bind(platform::TaskPriority priority, F handler) {
    bind(priority, AsyncHandler([handler = std::move(handler)](std::vector<float> chunk, double startTime) {
           handler(toCollection<Collection>(std::move(chunk)), startTime);
         }));
  }

  void unbind();
  // The priority of the bound asynchronous handler; none without one.
  std::optional<platform::TaskPriority> boundPriority() const;

  // Buffers `samples` (mono at sampleRate(), not converted) and, with a handler bound, hands it
  // every chunk that is then complete, in order. `atTime` is the stream time just after the last
  // sample; a time stamp that is not finite or lies beyond any sample position a buffer can reach
  // is ignored. An empty block does nothing at all. Throws what the handler throws; the chunk it
  // was given has left the buffer, later chunks stay.
  void write(std::span<const float> samples, std::optional<double> atTime = std::nullopt);
  // Any other range of floats is first copied into an array.
  template <std::ranges::input_range R>
    requires(!std::is_convertible_v<const R&, std::span<const float>>)
  void write(const R& samples, std::optional<double> atTime = std::nullopt) {
    const std::vector<float> copy(std::ranges::begin(samples), std::ranges::end(samples));
    write(std::span<const float>(copy), atTime);
  }
  // Converts the buffer to mono at sampleRate() (channel 0 as is when already in that format), then
  // writes it. Throws AudioConverterError before anything is buffered, or what the handler throws.
  void write(const platform::PcmBuffer& buffer, std::optional<double> atTime = std::nullopt);
  void write(const platform::MediaSampleBuffer& sampleBuffer, std::optional<double> atTime = std::nullopt);

  // Takes the next chunk when one is available.
  std::optional<Chunk> readChunkIfAvailable();

  // Takes the next chunk when one is available and returns what `body(chunk, startTime)` returns
  // (the chunk copied into `Collection`); nothing, without calling `body`, when none is. A `body`
  // returning void gives whether it was called. What `body` throws passes through.
  template <typename Collection = std::vector<float>, typename Body>
  auto withChunkIfAvailable(Body&& body) {
    using Result = std::invoke_result_t<Body&, Collection, double>;
    std::optional<Chunk> taken = readChunkIfAvailable();
    if constexpr (std::is_void_v<Result>) {
      if (!taken) return false;
      body(toCollection<Collection>(std::move(taken->chunk)), taken->chunkStartTime);
      return true;
    } else {
      if (!taken) return std::optional<Result>();
      return std::optional<Result>(body(toCollection<Collection>(std::move(taken->chunk)), taken->chunkStartTime));
    }
  }

 private:
  // The sample counts of a stream, checked.
  struct Sizes {
    double skip;
    std::int64_t chunkSize;
    std::int64_t skipSize;
    std::int64_t capacity;
  };
  static Sizes checkedSizes(double chunkDuration, std::optional<double> chunkSkip, double sampleRate,
                            std::optional<double> bufferCapacitySeconds);
  AudioStream(const Sizes& sizes, double chunkDuration, double streamStartTime,
              AudioStreamChunkingStrategy chunkingStrategy, AudioStreamStartupStrategy startupStrategy,
              double sampleRate);

  template <typename Collection>
  static Collection toCollection(std::vector<float>&& samples) {
    if constexpr (std::is_same_v<Collection, std::vector<float>>) {
      return std::move(samples);
    } else {
      return Collection(samples.begin(), samples.end());
    }
  }

  std::shared_ptr<const Handler> currentHandler() const;
  // Each step below runs with mutex_ held exclusively.
  void place(std::span<const float> block, std::optional<double> atTime);
  std::optional<std::int64_t> timeStampGap(double atTime, std::int64_t count) const;
  void append(std::span<const float> block);
  void appendZeros(std::int64_t zeros, std::int64_t blockCount);
  std::int64_t makeRoom(std::int64_t n, std::int64_t cap, std::int64_t target);
  void dropOldest(std::int64_t n);
  std::int64_t appendLimit() const;
  std::optional<Chunk> takeChunk();

  // Constant after construction.
  const double sampleRate_;
  const double chunkDuration_;
  const double chunkSkip_;
  const std::int64_t chunkSize_;
  const std::int64_t skipSize_;
  const std::int64_t capacity_;
  const AudioStreamChunkingStrategy chunkingStrategy_;
  const AudioConverter converter_;

  // Guarded by mutex_.
  mutable std::shared_mutex mutex_;
  std::int64_t writeIndex_ = 0;  // buffered samples occupy buffer_[0, writeIndex_)
  std::shared_ptr<const Handler> callback_;
  std::optional<platform::TaskPriority> priority_;
  std::int64_t temporaryChunkSize_ = 0;
  double bufferStartTime_ = 0;  // stream time of buffer_[0]
  std::vector<float> buffer_;
  // Made when an asynchronous handler is first bound; destroyed first, draining what is queued.
  std::unique_ptr<platform::SerialQueue> deliveries_;
};

}  // namespace tesselaudio
