#pragma once

#include <compare>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace platform {

// What the process reads from the operating system about the machine and itself: text files
// such as /proc/self/status and /etc/os-release, uname(2) and sysconf(3). The base class reads the
// real system; a test derives from it and overrides what should fail or read otherwise, then puts
// it in place with replace(). Safe from any thread.
class HostEnvironment {
 public:
  struct Uname {
    std::string sysname;
    std::string release;
    std::string machine;
  };

  // An operating-system version as the library's minimum-system checks count it, compared part
  // by part.
  struct OperatingSystemVersion {
    int majorVersion = 0;
    int minorVersion = 0;
    int patchVersion = 0;

    auto operator<=>(const OperatingSystemVersion&) const = default;
  };

  virtual ~HostEnvironment() = default;

  // The whole content of the file at `path`, or nullopt when it cannot be read.
  virtual std::optional<std::string> readFile(const std::filesystem::path& path) const;

  // uname(2), or nullopt when it fails.
  virtual std::optional<Uname> uname() const;

  // sysconf(`name`), or nullopt when the value is unknown (-1).
  virtual std::optional<long> sysconf(int name) const;

  // The version that checks for a minimum operating system compare with. Linux offers everything
  // those checks guard (the newest of them asks for 15), so the real environment reports 15.0.0.
  virtual OperatingSystemVersion operatingSystemVersion() const;

  // The environment in use, by default the real one.
  static std::shared_ptr<const HostEnvironment> current();

  // Puts `environment` in use and returns the one it replaces; nullptr puts the real one back.
  static std::shared_ptr<const HostEnvironment> replace(
      std::shared_ptr<const HostEnvironment> environment);
};

}  // namespace platform
