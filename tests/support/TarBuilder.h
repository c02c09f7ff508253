#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// Writes gzip-compressed tar archives with libarchive, entry by entry and with names exactly as
// given (absolute names and ".." included), so that tests can make harmless and hostile archives.
class TarBuilder {
 public:
  TarBuilder& file(std::string name, std::string content, int mode = 0644);
  TarBuilder& folder(std::string name);
  TarBuilder& symlink(std::string name, std::string target);
  TarBuilder& hardlink(std::string name, std::string target);

  // Writes the archive to `path`. Throws std::runtime_error when libarchive fails.
  void write(const std::filesystem::path& path) const;

 private:
  enum class Kind { file, folder, symlink, hardlink };
  struct Entry {
    Kind kind;
    std::string name;
    std::string content;  // file content, or link target
    int mode;
  };
  std::vector<Entry> entries_;
};

}  // namespace testsupport
