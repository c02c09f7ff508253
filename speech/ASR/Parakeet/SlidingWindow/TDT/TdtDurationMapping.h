#pragma once

#include <cstdint>
#include <vector>

// The duration classes of the TDT joint network. Safe from any thread.
namespace tesselaudio::TdtDurationMapping {

// The frames to advance for duration class `durationClass`: durationBins[durationClass], the bins
// used as given. Throws ASRError::processingFailed("Duration bin index out of range: <class>")
// for a class outside [0, durationBins.size()).
int64_t mapDurationBin(int64_t durationClass, const std::vector<int64_t>& durationBins);

}  // namespace tesselaudio::TdtDurationMapping
