#pragma once

#include <string>
#include <string_view>

namespace platform {

// What the program knows about itself for updating: its versions, the update feed's address and
// the Base64 Ed25519 key that signs release archives. The build writes it into the program; a
// test (and only a test) names a file of the same form in the environment variable
// VELTOVOICE_APPLICATION_INFO, which may also name a certificate bundle to trust.
//
// Form: one "key=value" per line, keys shortVersion, buildVersion, feedURL, publicKey and
// caBundlePath; unknown keys and lines without "=" are ignored; a missing key reads as empty.
struct ApplicationInformation {
  std::string shortVersion;  // shown to the user ("1.2.0")
  std::string buildVersion;  // compared with the feed's release versions
  std::string feedURL;       // empty unless the build was configured with one
  std::string publicKey;     // Base64; empty unless the build was configured with one
  std::string caBundlePath;  // PEM file trusted for the feed instead of the system's; tests only

  bool operator==(const ApplicationInformation&) const = default;

  // The information of the running program: the override file when the variable names one, else
  // the built-in text. Throws FileError when the named file cannot be read.
  static ApplicationInformation current();

  // The information written in `text` (form above).
  static ApplicationInformation parse(std::string_view text);
};

}  // namespace platform
