#include "speech/Diarizer/LS-EEND/StreamingChunkQueue.h"

#include <algorithm>
#include <cassert>

namespace tesselaudio {

StreamingChunkQueue::StreamingChunkQueue(std::int64_t chunkLength, std::int64_t leftContextLength,
                                         std::int64_t rightContextLength, std::int64_t stride)
    : stride_(stride),
      contextFloats_((leftContextLength + rightContextLength) * stride),
      chunkFloats_(chunkLength * stride),
      paddedChunkFloats_(chunkFloats_ + contextFloats_),
      leftContextFloats_(leftContextLength * stride) {
  assert(chunkLength >= 1 && stride >= 1 && leftContextLength >= 0);
  buffer_.reserve(static_cast<size_t>(std::max<std::int64_t>(2 * paddedChunkFloats_, leftContextFloats_)));
  buffer_.resize(static_cast<size_t>(leftContextFloats_), 0.0f);
}

void StreamingChunkQueue::makeRoom(std::int64_t count) {
  if (buffer_.capacity() >= buffer_.size() + static_cast<size_t>(count)) return;
  buffer_.erase(buffer_.begin(), buffer_.begin() + head_);
  head_ = 0;
}

void StreamingChunkQueue::append(std::span<const float> values) {
  makeRoom(static_cast<std::int64_t>(values.size()));
  buffer_.insert(buffer_.end(), values.begin(), values.end());
}

void StreamingChunkQueue::appendZeros(std::int64_t count) {
  if (count <= 0) return;
  makeRoom(count);
  buffer_.resize(buffer_.size() + static_cast<size_t>(count), 0.0f);
}

std::int64_t StreamingChunkQueue::readyChunks() const {
  return std::max<std::int64_t>(0, (unreadFloats() - contextFloats_) / chunkFloats_);
}

std::optional<std::span<const float>> StreamingChunkQueue::popNextChunk() {
  if (unreadFloats() < paddedChunkFloats_) return std::nullopt;
  const auto chunk = std::span<const float>(buffer_).subspan(static_cast<size_t>(head_),
                                                             static_cast<size_t>(paddedChunkFloats_));
  head_ += chunkFloats_;
  return chunk;
}

std::optional<std::span<const float>> StreamingChunkQueue::popAllChunks() {
  if (unreadFloats() < paddedChunkFloats_) return std::nullopt;
  const std::int64_t chunks = (unreadFloats() - contextFloats_) / chunkFloats_;
  const auto slice = std::span<const float>(buffer_).subspan(
      static_cast<size_t>(head_), static_cast<size_t>(chunks * chunkFloats_ + contextFloats_));
  head_ += chunks * chunkFloats_;
  return slice;
}

void StreamingChunkQueue::reset() {
  head_ = 0;
  buffer_.clear();
  buffer_.resize(static_cast<size_t>(leftContextFloats_), 0.0f);
}

bool StreamingChunkQueue::operator==(const StreamingChunkQueue& other) const {
  return stride_ == other.stride_ && contextFloats_ == other.contextFloats_ && chunkFloats_ == other.chunkFloats_ &&
         leftContextFloats_ == other.leftContextFloats_ && head_ == other.head_ && buffer_ == other.buffer_;
}

}  // namespace tesselaudio
