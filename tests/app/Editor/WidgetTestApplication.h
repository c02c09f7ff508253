#pragma once

#include <ostream>

#include <QApplication>
#include <QString>

#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice::testing {

// The process's QApplication (offscreen under CTest) in the application's style, palette and font,
// made on first use and kept for the process.
inline QApplication& widgetApplication() {
  static int argc = 1;
  static char name[] = "editor_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    auto* made = new QApplication(argc, argv);
    VeltoToolsDesign::applyTo(*made);
    return made;
  }();
  return *app;
}

}  // namespace veltovoice::testing

// Readable QStrings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
