#include "speech/Diarizer/Sortformer/SortformerFeatureLoader.h"

#include <algorithm>
#include <utility>

#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "speech/Shared/AudioMelSpectrogram.h"

namespace tesselaudio {

SortformerFeatureLoader::SortformerFeatureLoader(const SortformerConfig& config,
                                                 std::span<const float> audio)
    : lc_(config.chunkLeftContext * config.subsamplingFactor),
      rc_(config.chunkRightContext * config.subsamplingFactor),
      chunkLen_(config.chunkLen * config.subsamplingFactor),
      melFeatures_(config.melFeatures) {
  // The models were trained on this front end, so it stays fixed whatever the configuration says.
  AudioMelSpectrogram extractor(16000, 128, 512, 160, 400, 0.97f, 1, 0x1p-24f,
                                AudioMelSpectrogram::LogFloorMode::additive, false);
  auto features = extractor.computeFlatTransposed(audio, 0.0f,
                                                  AudioMelSpectrogram::PaddingMode::center);
  featSeq_ = std::move(features.mel);
  featLength_ = features.melLength;
  featSeqLength_ = features.numFrames;
  numChunks_ = chunkLen_ > 0 ? (featLength_ + chunkLen_ - 1) / chunkLen_ : 0;
}

std::optional<SortformerFeatureLoader::Chunk> SortformerFeatureLoader::next() {
  const std::int64_t end = std::min(featLength_, startFeat_ + chunkLen_);
  endFeat_ = end;
  if (startFeat_ >= end) return std::nullopt;

  Chunk chunk;
  chunk.leftOffset = std::min(lc_, startFeat_);
  chunk.rightOffset = std::min(rc_, featLength_ - end);
  const std::int64_t first = startFeat_ - chunk.leftOffset;
  const std::int64_t sliceFrames = end + chunk.rightOffset - first;
  // Clamped so that a configuration claiming other than 128 mel bins cannot read past the features.
  const auto size = static_cast<std::int64_t>(featSeq_.size());
  const std::int64_t begin = std::min(first * melFeatures_, size);
  const std::int64_t stop = std::min((first + sliceFrames) * melFeatures_, size);
  chunk.chunkFeatures.assign(featSeq_.begin() + begin, featSeq_.begin() + std::max(begin, stop));
  chunk.chunkLength = std::max<std::int64_t>(0, std::min(sliceFrames, featSeqLength_ - first));
  startFeat_ = end;
  return chunk;
}

}  // namespace tesselaudio
