#include "platform/sys/StandardPaths.h"

#include <string>

#include "platform/sys/Environment.h"

namespace platform::StandardPaths {

std::filesystem::path applicationSupportDirectory() {
  // The base-directory rules ignore a relative XDG_DATA_HOME.
  const auto xdg = Environment::value("XDG_DATA_HOME");
  if (xdg && !xdg->empty() && xdg->front() == '/') return *xdg;
  return std::filesystem::path(Environment::value("HOME").value_or("")) / ".local" / "share";
}

std::filesystem::path temporaryDirectory() {
  const auto tmp = Environment::value("TMPDIR");
  if (tmp && !tmp->empty()) return *tmp;
  return "/tmp";
}

}  // namespace platform::StandardPaths
