#pragma once

#include <functional>
#include <optional>

#include <QString>
#include <QUuid>

class QMimeData;

namespace veltovoice {

// The drag payload of a task and its reader. A dragged task travels as its id in upper-case UUID
// text ("8-4-4-4-12" with hyphens) under text/plain; every task drop target accepts text and
// nothing else. GUI thread only.
namespace TaskDrag {

// A new payload for the task `id`. The caller owns it (a QDrag takes it over).
QMimeData* mimeData(const QUuid& id);

// Whether `mime` can be a task drop: it holds text.
bool accepts(const QMimeData* mime);

// Reads a dragged task id. Returns at once whether `mime` holds text, so that the drop is accepted
// before the id is known; on the next turn of the GUI event loop `handler` gets the id when the
// text is a UUID, and nothing happens otherwise. The text is copied at the call, so `mime` may go.
// The handler must check that whatever it captured still exists.
bool load(const QMimeData* mime, std::function<void(const QUuid& id)> handler);

// The task id in `text`: a UUID in its 36-character hyphenated form, either case; nothing for
// anything else (braces, blanks around it, other lengths).
std::optional<QUuid> parse(const QString& text);

}  // namespace TaskDrag
}  // namespace veltovoice
