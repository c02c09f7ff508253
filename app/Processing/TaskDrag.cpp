#include "app/Processing/TaskDrag.h"

#include <utility>

#include <QCoreApplication>
#include <QMimeData>
#include <QRegularExpression>

namespace veltovoice::TaskDrag {

QMimeData* mimeData(const QUuid& id) {
  auto* mime = new QMimeData;
  mime->setText(id.toString(QUuid::WithoutBraces).toUpper());
  return mime;
}

bool accepts(const QMimeData* mime) { return mime != nullptr && mime->hasText(); }

bool load(const QMimeData* mime, std::function<void(const QUuid& id)> handler) {
  if (!accepts(mime)) return false;
  // The drop is answered now; the id is handed over once the drop event has returned.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [text = mime->text(), handler = std::move(handler)] {
        if (const std::optional<QUuid> id = parse(text)) handler(*id);
      },
      Qt::QueuedConnection);
  return true;
}

std::optional<QUuid> parse(const QString& text) {
  static const QRegularExpression form(QStringLiteral(
      "\\A[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\z"));
  if (!form.match(text).hasMatch()) return std::nullopt;
  return QUuid::fromString(text);
}

}  // namespace veltovoice::TaskDrag
