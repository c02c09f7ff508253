#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QToolButton;

namespace veltovoice {

class LiveModel;
class WrappedText;

// The model's notice above the conversation detail: the notice symbol, the text (wrapped onto as
// many lines as it needs; the banner grows, never cuts), "システム設定を開く" when the notice names a
// settings pane and the desktop can open such panes, and a button that dismisses the notice. Shown
// only while there is a notice. GUI thread only.
class NoticeBanner : public QWidget {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the banner.
  explicit NoticeBanner(LiveModel& live, QWidget* parent = nullptr);

  WrappedText* text() const { return text_; }
  QPushButton* settingsButton() const { return settings_; }
  QToolButton* dismissButton() const { return dismiss_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void showNotice();
  void openSettings();

  LiveModel& live_;
  QLabel* symbol_;
  WrappedText* text_;
  QPushButton* settings_;
  QToolButton* dismiss_;
};

}  // namespace veltovoice
