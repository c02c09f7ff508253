#include "speech/ASR/Parakeet/ParakeetModelFolder.h"

#include <system_error>
#include <vector>

#include "platform/sys/FileError.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"

namespace tesselaudio::ParakeetModelFolder {

namespace fs = std::filesystem;

fs::path folderPath(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
    normal = normal.parent_path();
  }
  return normal;
}

bool exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

bool isNamedAfter(const fs::path& folder, const std::string& folderName) {
  const fs::path name = fs::path(folderName).lexically_normal();
  const std::vector<fs::path> wanted(name.begin(), name.end());
  fs::path rest = folderPath(folder);
  for (auto it = wanted.rbegin(); it != wanted.rend(); ++it) {
    if (!rest.has_filename() || rest.filename() != *it) return false;
    rest = rest.parent_path();
  }
  return true;
}

void removeForForcedDownload(const fs::path& target, const std::string& folderName) {
  if (!isNamedAfter(target, folderName)) {
    throw AsrModelsError::loadingFailed("Refusing to remove " + target.string() +
                                        " for a fresh download: the models belong in a folder named " +
                                        folderName);
  }
  if (!ParakeetModelFolder::exists(target)) return;
  std::error_code error;
  fs::remove_all(target, error);
  if (error) throw platform::FileError::fromErrno("remove", target, error.value());
}

}  // namespace tesselaudio::ParakeetModelFolder
