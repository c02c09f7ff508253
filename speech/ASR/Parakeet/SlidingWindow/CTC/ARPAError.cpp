#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPAError.h"

#include <optional>

namespace tesselaudio {

ARPAError::ARPAError(const std::filesystem::path& path)
    : platform::Error("ARPAError", kDomain, static_cast<int>(Case::cannotOpen), "Cannot open ARPA file: " + path.string(),
                      path, nullptr) {}

ARPAError ARPAError::cannotOpen(const std::filesystem::path& path) { return ARPAError(path); }

}  // namespace tesselaudio
