#pragma once

#include <exception>
#include <filesystem>
#include <optional>

namespace veltovoice {

// A recording copied into the Audio folder.
struct CopiedRecording {
  std::optional<double> duration;  // read from the copy; none when the file cannot say
  std::exception_ptr failure;      // the folder or the copy failed; the target is as it was
};

// Copies `source` over `target` through a temporary file beside it, so that a failed copy leaves
// whatever `target` held in place, then reads the copy's duration. Makes the target's folder when
// missing. Blocking; any thread.
CopiedRecording copyRecording(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace veltovoice
