#pragma once

#include <exception>
#include <string>

#include "platform/sys/Error.h"

namespace platform {

// The update engine's own failures, in domain "VeltoUpdate". Finding no newer release is reported
// as the case `noUpdate` (code 1001), so that callers can tell an up-to-date program from a failed
// check. Descriptions are Japanese, for the user; failureReason() adds a second line where one
// helps. Values.
class UpdateError : public Error {
 public:
  static constexpr const char* kDomain = "VeltoUpdate";

  enum class Code : int {
    invalidInformation = 1,   // the built-in feed address or key is unusable
    insecureAddress = 2,      // a feed or archive address that is not https, or a redirect off its host
    feedUnreadable = 3,       // the feed could not be fetched (HTTP status, transport)
    feedInvalid = 4,          // the feed is not a well-formed list of releases
    downloadFailed = 5,       // the archive could not be fetched or stored
    lengthMismatch = 6,       // the archive's size differs from the feed's
    signatureInvalid = 7,     // the archive's signature does not verify with the public key
    archiveInvalid = 8,       // the archive cannot be read, or lacks the program or the marker
    archiveUnsafe = 9,        // an entry would land outside the new folder
    notUserLocal = 10,        // the running program is no user-local installation
    installationFailed = 11,  // the folders could not be swapped (the old installation is kept)
    noUpdate = 1001,
  };

  static UpdateError invalidInformation(const std::string& detail);
  static UpdateError insecureAddress(const std::string& address);
  static UpdateError feedUnreadable(const std::string& detail, std::exception_ptr underlying = nullptr);
  static UpdateError feedInvalid(const std::string& detail);
  static UpdateError downloadFailed(const std::string& detail, std::exception_ptr underlying = nullptr);
  static UpdateError lengthMismatch(long long expected, long long actual);
  static UpdateError signatureInvalid(const std::string& detail);
  static UpdateError archiveInvalid(const std::string& detail);
  static UpdateError archiveUnsafe(const std::string& entry);
  static UpdateError notUserLocal(const std::string& detail);
  static UpdateError installationFailed(const std::string& detail, std::exception_ptr underlying = nullptr);
  // `displayVersion` is the running program's version, named in the failure reason.
  static UpdateError noUpdate(const std::string& displayVersion);

  Code updateCode() const { return static_cast<Code>(code()); }
  // A second, explanatory line for the user (may be empty).
  const std::string& failureReason() const { return failureReason_; }

 private:
  UpdateError(Code code, std::string description, std::string failureReason,
              std::exception_ptr underlying = nullptr);

  std::string failureReason_;
};

}  // namespace platform
