#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace testsupport {

// A private X server (Xvfb) on a display number of its own choosing, with a client connection to
// it: real programs run on it as on a desktop without a window manager, and the test types keys
// through the XTEST extension, as a keyboard would, and reads the screen back.
class XvfbDisplay {
 public:
  // An image of a window: rows of 0x00RRGGBB pixels.
  struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    bool operator==(const Image&) const = default;
  };

  // Starts Xvfb and connects. Throws std::runtime_error when either fails.
  XvfbDisplay();
  ~XvfbDisplay();
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  // ":<number>", for DISPLAY.
  const std::string& name() const { return name_; }

  // The largest viewable top-level window, or nothing while none is mapped.
  std::optional<unsigned long> largestWindow();

  // Moves the pointer into `window` and gives it the keyboard, as a click on it would.
  void focus(unsigned long window);

  // Presses the keys of `keysyms` in order, then releases them in reverse.
  void typeChord(const std::vector<unsigned long>& keysyms);

  // What `window` shows now.
  Image capture(unsigned long window);

 private:
  pid_t server_ = -1;
  std::string name_;
  Display* display_ = nullptr;
};

}  // namespace testsupport
