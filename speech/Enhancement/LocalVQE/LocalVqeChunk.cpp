#include "speech/Enhancement/LocalVQE/LocalVqeChunk.h"

#include <array>

namespace tesselaudio {
namespace {

constexpr std::array<LocalVqeChunk, 2> kAllCases = {LocalVqeChunk::realtime16ms,
                                                    LocalVqeChunk::batch256ms};

}  // namespace

std::span<const LocalVqeChunk> LocalVqeChunk::allCases() { return kAllCases; }

std::string_view LocalVqeChunk::rawValue() const {
  return value_ == realtime16ms ? "16ms" : "256ms";
}

}  // namespace tesselaudio
