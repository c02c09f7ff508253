#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// Writes "#!/bin/sh\n" + `body` to `path` (making its folder) and makes it executable for its
// owner, or readable only when `executable` is false. Throws std::filesystem::filesystem_error.
void writeShellScript(const std::filesystem::path& path, const std::string& body, bool executable = true);

// Whether process `pid` has ended: it is gone, or only its exit status is left (a zombie).
bool processEnded(int pid);

}  // namespace testsupport
