#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tesselaudio {

// A growing float buffer read in fixed-size, overlapping chunks: each chunk holds chunkLength
// frames plus leftContextLength + rightContextLength frames of context, and the read position
// advances by chunkLength frames, so consecutive chunks share their context. The buffer starts
// with leftContextLength frames of zeros. Reading never moves data: consumed floats are dropped
// only when an append would outgrow the buffer's capacity. A value; not locked.
class StreamingChunkQueue {
 public:
  // REQUIRES: chunkLength >= 1, stride >= 1, leftContextLength >= 0, and the sizes fit 64 bits.
  StreamingChunkQueue(std::int64_t chunkLength, std::int64_t leftContextLength, std::int64_t rightContextLength,
                      std::int64_t stride);

  // Appends the floats, first dropping the consumed ones when the capacity is too small.
  void append(std::span<const float> values);
  // Appends `count` zeros, the same way.
  void appendZeros(std::int64_t count);

  // The next chunk of paddedChunkFloats() floats, advancing by chunkFloats(); none when fewer are
  // unread. The slice refers to the buffer and stays valid until the next append or reset.
  std::optional<std::span<const float>> popNextChunk();
  // Every whole chunk at once: with k = readyChunks(), k x chunkFloats() + contextFloats() floats,
  // advancing by k x chunkFloats(); none when not even one chunk is ready. Valid as above.
  std::optional<std::span<const float>> popAllChunks();

  // Back to the fresh state: empty (capacity kept) but for the leading zeros.
  void reset();

  std::int64_t stride() const { return stride_; }
  std::int64_t contextFloats() const { return contextFloats_; }
  std::int64_t chunkFloats() const { return chunkFloats_; }
  std::int64_t paddedChunkFloats() const { return paddedChunkFloats_; }
  std::int64_t leftContextFloats() const { return leftContextFloats_; }
  std::int64_t head() const { return head_; }
  std::int64_t unreadFloats() const { return static_cast<std::int64_t>(buffer_.size()) - head_; }
  // max(0, (unreadFloats - contextFloats) / chunkFloats).
  std::int64_t readyChunks() const;
  bool hasChunk() const { return unreadFloats() >= paddedChunkFloats_; }
  // True when the buffer, consumed part included, holds nothing.
  bool isEmpty() const { return buffer_.empty(); }
  // The unread floats.
  std::span<const float> unread() const { return std::span<const float>(buffer_).subspan(static_cast<size_t>(head_)); }

  bool operator==(const StreamingChunkQueue& other) const;

 private:
  void makeRoom(std::int64_t count);

  std::int64_t stride_;
  std::int64_t contextFloats_;
  std::int64_t chunkFloats_;
  std::int64_t paddedChunkFloats_;
  std::int64_t leftContextFloats_;
  std::int64_t head_ = 0;
  std::vector<float> buffer_;
};

}  // namespace tesselaudio
