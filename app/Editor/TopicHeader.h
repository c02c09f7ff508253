#pragma once

#include <optional>

#include <QString>
#include <QUuid>
#include <QWidget>

class QLineEdit;
class QPainter;

namespace veltovoice {

class LiveModel;

// The heading of a minutes topic above the sentence where it starts: the "number" symbol, the title
// in bold accent and, when the start sentence has a time, that time. Clicking the title opens a
// frameless field in its place; Return and leaving the field rename the topic with the title
// trimmed of blanks (an empty or unchanged title renames nothing; an empty one comes back). While
// the field has the focus, renames from elsewhere do not replace what the user types. The context
// menu deletes the heading. GUI thread only.
class TopicHeader : public QWidget {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the header.
  TopicHeader(LiveModel& live, const QUuid& sessionID, const QUuid& topicID, QWidget* parent = nullptr);

  // The title shown: the user's copy while editing, else the topic's.
  QString title() const { return title_; }
  // The title field while it is open, else null.
  QLineEdit* titleField() const;
  // Opens the title field and gives it the focus.
  void openEditor();

  // Painter side, for a delegate: the height of a header, where its title lies in `rect`, and the
  // header itself painted into `rect` (an empty title shows the placeholder "話題").
  static int headerHeight();
  static QRect titleRect(const QRect& rect, const QString& timeText);
  static void paint(QPainter& painter, const QRect& rect, const QString& title, const QString& timeText);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::optional<QString> modelTitle() const;
  QString timeText() const;
  void refresh();
  void commit();
  void closeEditor();

  LiveModel& live_;
  const QUuid sessionID_;
  const QUuid topicID_;
  QString title_;       // the field's text: the editing copy
  QString seenTitle_;   // the topic's title when last looked at
  QLineEdit* field_ = nullptr;
};

}  // namespace veltovoice
