#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace testsupport {

// A fresh, empty folder under $TMPDIR (which CTest points into the build tree), removed with all its
// contents on destruction.
class TemporaryFolder {
 public:
  // Throws std::filesystem::filesystem_error when the folder cannot be made.
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / relative.
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return path_ / relative;
  }

 private:
  std::filesystem::path path_;
};

// Every file and folder below `folder`, as paths relative to it.
std::set<std::string> folderContents(const std::filesystem::path& folder);

// Sets the last change (and access) of `path`, not following a link, `seconds` into the past.
// Throws std::filesystem::filesystem_error when the system refuses.
void makeOlder(const std::filesystem::path& path, int seconds);

}  // namespace testsupport
