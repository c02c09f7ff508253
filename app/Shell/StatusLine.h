#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

namespace veltovoice {

class LiveModel;

// The model's progress text while a recording starts or stops: a small busy indicator and the
// text in the muted colour. Shown only while the text is not empty. GUI thread only.
class StatusLine : public QWidget {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the line.
  explicit StatusLine(LiveModel& live, QWidget* parent = nullptr);

  QLabel* text() const { return text_; }
  QProgressBar* busyIndicator() const { return busy_; }

 private:
  void showStatus();

  LiveModel& live_;
  QProgressBar* busy_;
  QLabel* text_;
};

// A small indeterminate progress bar: the busy indicator of status and job rows.
QProgressBar* makeBusyIndicator();

// Gives `label` the muted text colour.
void setMutedText(QLabel* label);

}  // namespace veltovoice
