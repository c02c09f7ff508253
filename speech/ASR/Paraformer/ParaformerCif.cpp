#include "speech/ASR/Paraformer/ParaformerCif.h"

#include <cassert>
#include <cstddef>

#include "speech/ASR/Paraformer/ParaformerConfig.h"

namespace tesselaudio::ParaformerCif {
namespace {

void addScaled(std::vector<float>& into, float scale, const std::vector<float>& row) {
  for (std::size_t d = 0; d < into.size(); ++d) into[d] += scale * row[d];
}

}  // namespace

Fired integrateAndFireWithFireFrames(const std::vector<std::vector<float>>& encRows,
                                     const std::vector<float>& alphas) {
  assert(alphas.size() >= encRows.size());
  const std::size_t frames = encRows.size();
  const std::size_t width = frames == 0 ? ParaformerConfig::encoderDim : encRows.front().size();
  const std::vector<float> tailRow(width, 0.0f);

  Fired fired;
  std::vector<float> accumulator(width, 0.0f);
  float weight = 0.0f;
  for (std::size_t i = 0; i <= frames; ++i) {
    const bool tail = i == frames;
    const float alpha = tail ? ParaformerConfig::cifTailThreshold : alphas[i];
    const std::vector<float>& row = tail ? tailRow : encRows[i];
    assert(row.size() == width);
    weight += alpha;
    if (weight < ParaformerConfig::cifThreshold) {
      addScaled(accumulator, alpha, row);
      continue;
    }
    const float rest = weight - ParaformerConfig::cifThreshold;
    addScaled(accumulator, alpha - rest, row);
    fired.embeds.push_back(std::move(accumulator));
    fired.fireFrames.push_back(static_cast<int>(i));
    accumulator.assign(width, 0.0f);
    addScaled(accumulator, rest, row);
    weight = rest;
  }
  return fired;
}

}  // namespace tesselaudio::ParaformerCif
