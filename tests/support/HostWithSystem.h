#pragma once

#include "platform/sys/HostEnvironment.h"

namespace testsupport {

// The real host reporting another operating-system version, for minimum-system checks.
class HostWithSystem : public platform::HostEnvironment {
 public:
  explicit HostWithSystem(OperatingSystemVersion version) : version_(version) {}
  OperatingSystemVersion operatingSystemVersion() const override { return version_; }

 private:
  OperatingSystemVersion version_;
};

}  // namespace testsupport
