#pragma once

#include <functional>

#include <QObject>
#include <QPointer>
#include <QString>

#include <QDialog>
class QFont;

namespace veltovoice {

// A small window with a title, a message and "OK", in which the update service shows that no
// update was found and the updater's errors. Whichever way the user closes it ("OK", Return,
// Escape, the title bar), or when it is closed for them, the acknowledgement given with the
// notice runs exactly once. GUI thread only.
//
// Object names: the window "updateNoticeWindow", its labels "updateNoticeTitle" and
// "updateNoticeMessage", its button "updateNoticeOKButton".
class UpdateNoticeWindow : public QObject {
  Q_OBJECT

 public:
  static constexpr int kWidth = 440;

  explicit UpdateNoticeWindow(QObject* parent = nullptr);
  ~UpdateNoticeWindow() override;

  UpdateNoticeWindow(const UpdateNoticeWindow&) = delete;
  UpdateNoticeWindow& operator=(const UpdateNoticeWindow&) = delete;

  // Opens the notice, shown in front and active. An open notice is closed first, which runs its
  // own acknowledgement before the new notice is shown.
  void show(const QString& title, const QString& message, std::function<void()> completed);
  // Closes the open notice, if any (running its acknowledgement).
  void dismiss();

  // The open notice's window, or null; owned by this object.
  QDialog* window() const { return window_.data(); }

  // The window's height for a message measuring `measuredHeight` in the message font within the
  // message's width: ceil(measuredHeight) + 135, at least 190.
  static int contentHeight(double measuredHeight);
  // The height of `message` wrapped in `font` within the message's width of 392.
  static double measuredHeight(const QString& message, const QFont& font);

 private:
  void closed(QDialog* dialog);

  QPointer<QDialog> window_;
  std::function<void()> completion_;
};

}  // namespace veltovoice
