#pragma once

#include <string>

namespace veltovoice {

// Where the copy commands put their text. The application gives its Qt implementation (the
// system clipboard); tests give one that keeps the text. GUI thread only; never fails.
class Clipboard {
 public:
  virtual ~Clipboard();

  // Replaces the clipboard's content with `text` (UTF-8).
  virtual void setText(const std::string& text) = 0;
};

}  // namespace veltovoice
