#include "tests/support/XvfbDisplay.h"

#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace testsupport {

namespace {

// Reads the display number Xvfb writes to `fd` once it accepts clients.
std::string readDisplayNumber(int fd) {
  std::string text;
  char buffer[32];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count > 0) {
      text.append(buffer, static_cast<std::size_t>(count));
      if (text.find('\n') != std::string::npos) break;
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Xlib's own handler ends the process; a window that went away between two calls is not a fault.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

XvfbDisplay::XvfbDisplay() {
  XSetErrorHandler(ignoreErrors);
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
  server_ = ::fork();
  if (server_ < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  if (server_ == 0) {
    ::dup2(pipe[1], 3);  // clears close-on-exec on the copy
    // The abstract socket is what keeps two servers starting at once off one display number: a
    // socket file alone is replaced by the second server.
    ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipe[1]);
  const std::string number = readDisplayNumber(pipe[0]);
  ::close(pipe[0]);
  if (number.empty()) throw std::runtime_error("Xvfb did not start");
  name_ = ":" + number;
  display_ = XOpenDisplay(name_.c_str());
  if (!display_) throw std::runtime_error("cannot connect to Xvfb at " + name_);
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display_, &event, &error, &major, &minor)) {
    throw std::runtime_error("Xvfb has no XTEST extension");
  }
}

XvfbDisplay::~XvfbDisplay() {
  if (display_) XCloseDisplay(display_);
  if (server_ > 0) {
    ::kill(server_, SIGTERM);
    int status = 0;
    while (::waitpid(server_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

std::optional<unsigned long> XvfbDisplay::largestWindow() {
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return std::nullopt;
  std::optional<unsigned long> found;
  long largest = 0;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, children[i], &attributes)) continue;
    if (attributes.map_state != IsViewable || attributes.c_class != InputOutput) continue;
    const long area = static_cast<long>(attributes.width) * attributes.height;
    if (area > largest) {
      largest = area;
      found = children[i];
    }
  }
  if (children) XFree(children);
  return found;
}

void XvfbDisplay::focus(unsigned long window) {
  XWindowAttributes attributes;
  XGetWindowAttributes(display_, window, &attributes);
  XWarpPointer(display_, None, window, 0, 0, 0, 0, attributes.width / 2, attributes.height / 2);
  XSetInputFocus(display_, window, RevertToParent, CurrentTime);
  XSync(display_, False);
}

void XvfbDisplay::typeChord(const std::vector<unsigned long>& keysyms) {
  std::vector<unsigned int> codes;
  for (const unsigned long keysym : keysyms) codes.push_back(XKeysymToKeycode(display_, keysym));
  for (const unsigned int code : codes) XTestFakeKeyEvent(display_, code, True, CurrentTime);
  for (auto code = codes.rbegin(); code != codes.rend(); ++code) XTestFakeKeyEvent(display_, *code, False, CurrentTime);
  XSync(display_, False);
}

XvfbDisplay::Image XvfbDisplay::capture(unsigned long window) {
  // Read from the screen: without a window manager a window may reach past its edge, and reading
  // outside the screen is refused.
  const Window root = DefaultRootWindow(display_);
  XWindowAttributes attributes;
  XWindowAttributes screen;
  if (!XGetWindowAttributes(display_, window, &attributes) || !XGetWindowAttributes(display_, root, &screen)) return {};
  int left = 0, top = 0;
  Window child = 0;
  XTranslateCoordinates(display_, window, root, 0, 0, &left, &top, &child);
  const int x0 = std::max(left, 0), y0 = std::max(top, 0);
  const int x1 = std::min(left + attributes.width, screen.width), y1 = std::min(top + attributes.height, screen.height);
  if (x1 <= x0 || y1 <= y0) return {};
  XImage* image = XGetImage(display_, root, x0, y0, static_cast<unsigned int>(x1 - x0),
                            static_cast<unsigned int>(y1 - y0), AllPlanes, ZPixmap);
  if (!image) return {};
  Image result;
  result.width = x1 - x0;
  result.height = y1 - y0;
  result.pixels.reserve(static_cast<std::size_t>(result.width) * static_cast<std::size_t>(result.height));
  for (int y = 0; y < result.height; ++y) {
    for (int x = 0; x < result.width; ++x) {
      result.pixels.push_back(static_cast<std::uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF));
    }
  }
  XDestroyImage(image);
  return result;
}

}  // namespace testsupport
