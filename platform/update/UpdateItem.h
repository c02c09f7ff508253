#pragma once

#include <cstdint>
#include <string>

namespace platform {

// One release of the update feed. A value type.
struct UpdateItem {
  std::string displayVersionString;  // shown to the user ("1.2.0")
  std::string versionString;         // the build, compared with the running one ("42")
  std::string fileURL;               // the archive's https address
  std::int64_t contentLength = 0;    // the archive's size in bytes
  std::string edSignature;           // Base64 Ed25519 signature of the archive's bytes

  bool operator==(const UpdateItem&) const = default;
};

// How the current update came to be shown. A value type.
struct UpdateState {
  bool userInitiated = false;  // the user asked for the check that found it

  bool operator==(const UpdateState&) const = default;
};

}  // namespace platform
