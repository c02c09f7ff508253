#include "platform/sys/HostEnvironment.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace platform {
namespace {

struct Registry {
  std::mutex mutex;
  std::shared_ptr<const HostEnvironment> environment = std::make_shared<HostEnvironment>();
};

Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

}  // namespace

std::optional<std::string> HostEnvironment::readFile(const std::filesystem::path& path) const {
  // Plain read(2): files under /proc report a size of 0, so read until the end.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

std::optional<HostEnvironment::Uname> HostEnvironment::uname() const {
  struct utsname names {};
  if (::uname(&names) != 0) return std::nullopt;
  return Uname{names.sysname, names.release, names.machine};
}

std::optional<long> HostEnvironment::sysconf(int name) const {
  const long value = ::sysconf(name);
  if (value == -1) return std::nullopt;
  return value;
}

HostEnvironment::OperatingSystemVersion HostEnvironment::operatingSystemVersion() const {
  return {15, 0, 0};
}

std::shared_ptr<const HostEnvironment> HostEnvironment::current() {
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  return r.environment;
}

std::shared_ptr<const HostEnvironment> HostEnvironment::replace(
    std::shared_ptr<const HostEnvironment> environment) {
  if (!environment) environment = std::make_shared<HostEnvironment>();
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  return std::exchange(r.environment, std::move(environment));
}

}  // namespace platform
