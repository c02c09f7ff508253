#pragma once

#include <filesystem>
#include <functional>

namespace platform {

// A user-local installation of the program: a folder under the user's home holding `bin/veltovoice`
// and the marker file `.veltovoice-install` that release archives carry. Only such a folder is ever
// replaced by an update; a build tree (no marker) never is. Not thread-safe; one at a time.
class Installation {
 public:
  static constexpr const char* kMarkerFile = ".veltovoice-install";
  static constexpr const char* kProgram = "bin/veltovoice";

  // Renames a file-system entry (the real one is std::filesystem::rename); replaceable so that a
  // failure in the middle of a swap can be shown.
  using Rename = std::function<void(const std::filesystem::path& from, const std::filesystem::path& to)>;

  // The installation that `program` (the running executable) belongs to: the folder above its
  // `bin/`. Throws UpdateError::notUserLocal unless that folder lies under `home`, is writable, as is
  // the folder holding it, and holds the marker file.
  static Installation locate(const std::filesystem::path& program, const std::filesystem::path& home);

  const std::filesystem::path& root() const { return root_; }

  // Replaces the installation with the contents of the verified archive `archive`: unpacks it into
  // a new folder beside the installation, checks that it holds the program and the marker, renames
  // the old folder aside, renames the new one into place and removes the old one. Returns the new
  // program's path. On any failure the old installation stays (or is put back) complete and the new
  // folder is removed. Throws UpdateError (archiveUnsafe, archiveInvalid, installationFailed).
  std::filesystem::path replace(const std::filesystem::path& archive, const Rename& rename = {}) const;

 private:
  explicit Installation(std::filesystem::path root) : root_(std::move(root)) {}

  void unpack(const std::filesystem::path& archive, const std::filesystem::path& fresh) const;
  void swapIn(const std::filesystem::path& fresh, const Rename& move) const;

  std::filesystem::path root_;
};

}  // namespace platform
