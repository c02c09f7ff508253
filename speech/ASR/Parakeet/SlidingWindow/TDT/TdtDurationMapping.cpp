#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDurationMapping.h"

#include <string>

#include "speech/ASR/Parakeet/ASRError.h"

namespace tesselaudio::TdtDurationMapping {

int64_t mapDurationBin(int64_t durationClass, const std::vector<int64_t>& durationBins) {
  if (durationClass < 0 || durationClass >= static_cast<int64_t>(durationBins.size())) {
    throw ASRError::processingFailed("Duration bin index out of range: " +
                                     std::to_string(durationClass));
  }
  return durationBins[static_cast<size_t>(durationClass)];
}

}  // namespace tesselaudio::TdtDurationMapping
