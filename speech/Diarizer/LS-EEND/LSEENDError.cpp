#include "speech/Diarizer/LS-EEND/LSEENDError.h"

#include <utility>

#include <fmt/format.h>

namespace tesselaudio {

namespace {

std::string describe(LSEENDError::Case errorCase, const std::optional<std::string>& message) {
  if (message) return *message;
  return fmt::format("The operation couldn\u2019t be completed. ({} error {}.)", LSEENDError::kDomain,
                     static_cast<int>(errorCase));
}

}  // namespace

LSEENDError::LSEENDError(Case errorCase, std::optional<std::string> message)
    : platform::Error("LSEENDError", kDomain, static_cast<int>(errorCase), describe(errorCase, message)),
      message_(std::move(message)) {}

LSEENDError LSEENDError::initializationFailed(const std::string& message) {
  return LSEENDError(Case::initializationFailed, message);
}

LSEENDError LSEENDError::inferenceFailed(const std::string& message) {
  return LSEENDError(Case::inferenceFailed, message);
}

LSEENDError LSEENDError::invalidInputSize(const std::string& message) {
  return LSEENDError(Case::invalidInputSize, message);
}

LSEENDError LSEENDError::notInitialized() { return LSEENDError(Case::notInitialized, std::nullopt); }

}  // namespace tesselaudio
