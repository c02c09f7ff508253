#pragma once

#include "app/Model/Clipboard.h"

namespace veltovoice {

// The system clipboard through QGuiApplication::clipboard(). GUI thread only.
// REQUIRES: a QGuiApplication exists.
class QtClipboard : public Clipboard {
 public:
  void setText(const std::string& text) override;
};

}  // namespace veltovoice
