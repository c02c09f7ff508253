#pragma once

#include <filesystem>

namespace platform {

// Folders of the XDG base-directory rules that stand in for the user's standard folders.
// Read from the environment on each call; safe from any thread while nobody changes it.
namespace StandardPaths {

// The user's data folder, where Application Support lives on this system: $XDG_DATA_HOME when it
// is an absolute path, else homeDirectory()/.local/share, else (no absolute home) temporaryDirectory().
// Creates nothing.
std::filesystem::path applicationSupportDirectory();

// The user's home folder: $HOME when it is set and not empty, else the home folder the password
// database gives the current user, else an empty path. Creates nothing.
std::filesystem::path homeDirectory();

// The user's temporary folder: $TMPDIR when it is set and not empty, else /tmp. Creates nothing.
std::filesystem::path temporaryDirectory();

}  // namespace StandardPaths
}  // namespace platform
