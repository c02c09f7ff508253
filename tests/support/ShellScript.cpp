#include "tests/support/ShellScript.h"

#include <fstream>

#include <fmt/format.h>

#include "platform/sys/FileIO.h"
#include "platform/sys/FileError.h"

namespace testsupport {

namespace fs = std::filesystem;

void writeShellScript(const fs::path& path, const std::string& body, bool executable) {
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "#!/bin/sh\n" << body;
  }
  fs::permissions(path,
                  executable ? fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read
                             : fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace);
}

bool processEnded(int pid) {
  std::string stat;
  try {
    stat = platform::readFile(fmt::format("/proc/{}/stat", pid));
  } catch (const platform::FileError&) {
    return true;
  }
  // "pid (name) S ...": the state follows the name, which may itself hold parentheses.
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
         stat[close + 2] == 'X';
}

}  // namespace testsupport
