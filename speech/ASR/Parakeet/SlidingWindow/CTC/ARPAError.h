#pragma once

#include <filesystem>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failure of loading an ARPA language model: one case, cannotOpen, carrying the file's path; its
// description is "Cannot open ARPA file: <path>". Values.
class ARPAError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.ARPAError";

  enum class Case { cannotOpen };

  static ARPAError cannotOpen(const std::filesystem::path& path);

  Case errorCase() const { return Case::cannotOpen; }

 private:
  explicit ARPAError(const std::filesystem::path& path);
};

}  // namespace tesselaudio
