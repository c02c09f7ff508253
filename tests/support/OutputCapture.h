#pragma once

#include <string>

namespace testsupport {

// Points a file descriptor of the process (standard error, standard output) at a fresh file under
// $TMPDIR for its lifetime, so that a test can read back exactly the bytes written to it. The
// descriptor gets its old target back on destruction. One capture per descriptor at a time.
class OutputCapture {
 public:
  // Throws std::runtime_error when the file cannot be made or the descriptor not redirected.
  explicit OutputCapture(int fd);
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Everything written to the descriptor since the capture began.
  std::string text() const;

 private:
  int fd_;
  int saved_;
  std::string path_;
};

}  // namespace testsupport
