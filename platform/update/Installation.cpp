#include "platform/update/Installation.h"

#include <unistd.h>

#include <exception>
#include <system_error>

#include <fmt/format.h>

#include "platform/sys/SystemLog.h"
#include "platform/sys/Uuid.h"
#include "platform/update/ArchiveExtractor.h"
#include "platform/update/UpdateError.h"

namespace platform {

namespace {

namespace fs = std::filesystem;

bool isInside(const fs::path& path, const fs::path& folder) {
  const fs::path relative = path.lexically_relative(folder);
  return !relative.empty() && *relative.begin() != ".." && relative != ".";
}

bool isWritable(const fs::path& path) { return ::access(path.c_str(), W_OK) == 0; }

fs::path besideRoot(const fs::path& root, const char* purpose) {
  return root.parent_path() / fmt::format(".{}.{}-{}", root.filename().string(), purpose, Uuid::random().toString().substr(0, 8));
}

void removeQuietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void checkUnpacked(const fs::path& folder) {
  if (!fs::is_regular_file(fs::symlink_status(folder / Installation::kProgram))) {
    throw UpdateError::archiveInvalid(fmt::format("the archive holds no {}", Installation::kProgram));
  }
  if (!fs::is_regular_file(fs::symlink_status(folder / Installation::kMarkerFile))) {
    throw UpdateError::archiveInvalid(fmt::format("the archive holds no {}", Installation::kMarkerFile));
  }
}

}  // namespace

Installation Installation::locate(const fs::path& program, const fs::path& home) {
  std::error_code error;
  const fs::path resolved = fs::canonical(program, error);
  if (error || resolved.parent_path().filename() != "bin") {
    throw UpdateError::notUserLocal(fmt::format("（{} は bin フォルダにありません）", program.string()));
  }
  const fs::path root = resolved.parent_path().parent_path();
  const fs::path homeFolder = fs::canonical(home, error);
  if (error || !isInside(root, homeFolder)) {
    throw UpdateError::notUserLocal(fmt::format("（{} はホームフォルダの外にあります）", root.string()));
  }
  if (!fs::is_regular_file(root / kMarkerFile)) {
    throw UpdateError::notUserLocal(fmt::format("（{} に {} がありません）", root.string(), kMarkerFile));
  }
  if (!isWritable(root) || !isWritable(root.parent_path())) {
    throw UpdateError::notUserLocal(fmt::format("（{} に書き込めません）", root.string()));
  }
  return Installation(root);
}

fs::path Installation::replace(const fs::path& archive, const Rename& rename) const {
  const Rename move = rename ? rename : Rename([](const fs::path& from, const fs::path& to) { fs::rename(from, to); });
  const fs::path fresh = besideRoot(root_, "new");
  try {
    unpack(archive, fresh);
  } catch (...) {
    removeQuietly(fresh);
    throw;
  }
  swapIn(fresh, move);
  return root_ / kProgram;
}

void Installation::unpack(const fs::path& archive, const fs::path& fresh) const {
  std::error_code error;
  if (!fs::create_directory(fresh, error) || error) {
    throw UpdateError::installationFailed(fmt::format("cannot create {}: {}", fresh.string(), error.message()));
  }
  ArchiveExtractor::extract(archive, fresh);
  checkUnpacked(fresh);
}

void Installation::swapIn(const fs::path& fresh, const Rename& move) const {
  const fs::path aside = besideRoot(root_, "old");
  try {
    move(root_, aside);
  } catch (const std::exception& error) {
    removeQuietly(fresh);
    throw UpdateError::installationFailed(error.what(), std::current_exception());
  }
  try {
    move(fresh, root_);
  } catch (const std::exception& error) {
    // Put the old installation back before anything else.
    std::error_code restoreError;
    fs::rename(aside, root_, restoreError);
    removeQuietly(fresh);
    throw UpdateError::installationFailed(error.what(), std::current_exception());
  }
  std::error_code removeError;
  fs::remove_all(aside, removeError);
  if (removeError) {
    SystemLog::write(SystemLog::Level::error, "VeltoVoice", "Update",
                     fmt::format("cannot remove the old installation {}: {}", aside.string(), removeError.message()));
  }
}

}  // namespace platform
