#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

// The application log's lines written since this capture was made. The log reads its folder once
// per process, so the first capture points XDG_DATA_HOME at a folder that lives as long as the
// process; make it before anything writes to the log. Later captures of the same process start at
// the end of what earlier tests wrote, so each test sees only its own lines.
class AppLogCapture {
 public:
  AppLogCapture();

  // The messages (without time, level and version) of the lines written since construction, in
  // order; only those of `level` ("INFO" or "ERROR") when it is not empty.
  std::vector<std::string> messages(const std::string& level = "") const;

 private:
  std::size_t start_ = 0;
};

}  // namespace testsupport
