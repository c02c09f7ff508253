#include "speech/Diarizer/Nemotron3/Nemotron3FeatureLoader.h"

#include <algorithm>
#include <utility>

#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"

namespace tesselaudio {

Nemotron3FeatureLoader::Nemotron3FeatureLoader(const Nemotron3Config& config, std::vector<float> featSeq,
                                               std::int64_t featLength, std::int64_t featSeqLength)
    : featSeq(std::move(featSeq)), featLength(featLength), featSeqLength(featSeqLength) {
  const detail::Nemotron3WindowGeometry geometry(config);
  lcMel = geometry.lcMel;
  rcMel = geometry.rcMel;
  coreMel = geometry.coreMel;
  melFeatures = geometry.melFeatures;
  capacityMel = geometry.capacityMel;
}

std::optional<Nemotron3ChunkWindow> Nemotron3FeatureLoader::next() {
  if (startFeat >= featLength) return std::nullopt;
  detail::Nemotron3WindowGeometry geometry;
  geometry.lcMel = lcMel;
  geometry.rcMel = rcMel;
  geometry.coreMel = coreMel;
  geometry.melFeatures = melFeatures;
  geometry.capacityMel = capacityMel;
  std::int64_t coreEnd = 0;
  auto window = detail::cutNemotron3Window(geometry, startFeat, featLength, featSeq, 0, coreEnd);
  window.length = std::max<std::int64_t>(0, std::min(window.length, featSeqLength - startFeat + window.leftOffset));
  startFeat = coreEnd;
  return window;
}

}  // namespace tesselaudio
