#pragma once

#include <filesystem>
#include <string>

// Folder rules shared by the Parakeet model sets. A set lives in <models root>/<cache folder
// name>; the hub is handed the models root and keeps the files in that folder.
namespace tesselaudio::ParakeetModelFolder {

// `path` without a trailing separator, so that its parent is the folder above it.
std::filesystem::path folderPath(const std::filesystem::path& path);

// Whether anything (file, folder, link) is at `path`. Never throws.
bool exists(const std::filesystem::path& path);

// Whether the last components of `folder` are those of `folderName` ("a/b" names two).
bool isNamedAfter(const std::filesystem::path& folder, const std::string& folderName);

// Removes `target` with everything in it before a forced download. A target not named after
// `folderName` is refused: the hub would store the models beside it, and the folder's own content
// would be lost for nothing.
// Throws AsrModelsError::loadingFailed for such a folder (nothing removed); FileError when the
// removal fails. Nothing at `target` is no error.
void removeForForcedDownload(const std::filesystem::path& target, const std::string& folderName);

}  // namespace tesselaudio::ParakeetModelFolder
