#include "tests/support/OutputCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace testsupport {
namespace {

std::runtime_error failure(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

OutputCapture::OutputCapture(int fd) : fd_(fd), saved_(-1) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/output-capture-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int file = mkstemp(name.data());
  if (file < 0) throw failure("mkstemp " + pattern);
  path_ = name.data();
  // Flush what stdio buffered for the old target before the descriptor moves.
  std::fflush(nullptr);
  saved_ = dup(fd_);
  if (dup2(file, fd_) < 0) {
    close(file);
    throw failure("dup2");
  }
  close(file);
}

OutputCapture::~OutputCapture() {
  std::fflush(nullptr);
  if (saved_ >= 0) {
    dup2(saved_, fd_);
    close(saved_);
  } else {
    close(fd_);
  }
  unlink(path_.c_str());
}

std::string OutputCapture::text() const {
  std::fflush(nullptr);
  std::string out;
  int file = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) throw failure("open " + path_);
  char buffer[4096];
  ssize_t n;
  while ((n = read(file, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  close(file);
  return out;
}

}  // namespace testsupport
