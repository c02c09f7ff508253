#include "speech/ASR/Parakeet/InferenceLengthPolicy.h"

#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace tesselaudio {

std::string InferenceLengthPolicy::description() const {
  std::vector<std::string> names;
  if (contains(encoderFull())) names.emplace_back("encoderFull");
  if (contains(preprocessorFull())) names.emplace_back("preprocessorFull");
  if (contains(trimmedTail())) names.emplace_back("trimmedTail");
  return names.empty() ? "actual" : fmt::format("{}", fmt::join(names, "+"));
}

}  // namespace tesselaudio
