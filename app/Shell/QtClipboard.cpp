#include "app/Shell/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>

namespace veltovoice {

void QtClipboard::setText(const std::string& text) {
  QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

}  // namespace veltovoice
