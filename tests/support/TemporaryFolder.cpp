#include "tests/support/TemporaryFolder.h"

#include <stdlib.h>

#include <cerrno>
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

}  // namespace testsupport
