#include "platform/sys/StandardPaths.h"

#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "platform/sys/Environment.h"

namespace platform::StandardPaths {

std::filesystem::path applicationSupportDirectory() {
  // The base-directory rules ignore a relative XDG_DATA_HOME.
  const auto xdg = Environment::value("XDG_DATA_HOME");
  if (xdg && !xdg->empty() && xdg->front() == '/') return *xdg;
  // Without a usable home, a relative ".local/share" would land in whatever folder the process runs in.
  const auto home = homeDirectory();
  if (home.is_absolute()) return home / ".local" / "share";
  return temporaryDirectory();
}

std::filesystem::path homeDirectory() {
  const auto home = Environment::value("HOME");
  if (home && !home->empty()) return *home;
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

std::filesystem::path temporaryDirectory() {
  const auto tmp = Environment::value("TMPDIR");
  if (tmp && !tmp->empty()) return *tmp;
  return "/tmp";
}

}  // namespace platform::StandardPaths
