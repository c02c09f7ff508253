#include "tests/support/TemporaryFolder.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <system_error>

namespace testsupport {

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::filesystem::filesystem_error("cannot make a temporary folder", pattern,
                                            std::error_code(errno, std::generic_category()));
  }
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::set<std::string> folderContents(const std::filesystem::path& folder) {
  std::set<std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    out.insert(std::filesystem::relative(entry.path(), folder).string());
  }
  return out;
}

void makeOlder(const std::filesystem::path& path, int seconds) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::filesystem::filesystem_error("cannot set the file's times", path,
                                            std::error_code(errno, std::generic_category()));
  }
}

}  // namespace testsupport
