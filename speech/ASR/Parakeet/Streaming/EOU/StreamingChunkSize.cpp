#include "speech/ASR/Parakeet/Streaming/EOU/StreamingChunkSize.h"

#include <array>

namespace tesselaudio {
namespace {

struct Geometry {
  std::int64_t durationMs, chunkSamples, melFrames, shiftSamples, validOutputLen, preCacheSize;
  std::string_view modelSubdirectory;
  Repo::Case repo;
};

constexpr std::array<Geometry, 3> kGeometries{{
    {160, 2560, 17, 1280, 2, 16, "160ms", Repo::parakeetEou160},
    {630, 10080, 64, 5120, 4, 9, "320ms", Repo::parakeetEou320},
    {1280, 20480, 129, 20480, 16, 16, "1280ms", Repo::parakeetEou1280},
}};

const Geometry& geometry(StreamingChunkSize::Case value) { return kGeometries[static_cast<std::size_t>(value)]; }

}  // namespace

std::span<const StreamingChunkSize> StreamingChunkSize::allCases() {
  static constexpr std::array<StreamingChunkSize, 3> cases{ms160, ms320, ms1280};
  return cases;
}

std::int64_t StreamingChunkSize::durationMs() const { return geometry(value_).durationMs; }
std::int64_t StreamingChunkSize::chunkSamples() const { return geometry(value_).chunkSamples; }
std::int64_t StreamingChunkSize::melFrames() const { return geometry(value_).melFrames; }
std::int64_t StreamingChunkSize::shiftSamples() const { return geometry(value_).shiftSamples; }
std::int64_t StreamingChunkSize::validOutputLen() const { return geometry(value_).validOutputLen; }
std::int64_t StreamingChunkSize::preCacheSize() const { return geometry(value_).preCacheSize; }
std::string_view StreamingChunkSize::modelSubdirectory() const { return geometry(value_).modelSubdirectory; }
Repo StreamingChunkSize::repo() const { return geometry(value_).repo; }

}  // namespace tesselaudio
