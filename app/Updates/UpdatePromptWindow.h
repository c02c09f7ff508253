#pragma once

#include <functional>

#include <QObject>
#include <QPointer>
#include <QString>

#include <QWidget>

namespace veltovoice {

// The reminder that a scheduled check found a new version: a small panel that stays above other
// windows and appears without taking the focus from the application in front, with "あとで" and
// "更新する". GUI thread only.
//
// Object names: the panel "updatePromptWindow", its labels "updatePromptHeading" and
// "updatePromptBody", its buttons "updatePromptLaterButton" and "updatePromptInstallButton".
class UpdatePromptWindow : public QObject {
  Q_OBJECT

 public:
  explicit UpdatePromptWindow(QObject* parent = nullptr);
  ~UpdatePromptWindow() override;

  UpdatePromptWindow(const UpdatePromptWindow&) = delete;
  UpdatePromptWindow& operator=(const UpdatePromptWindow&) = delete;

  // Opens the reminder for `version`, replacing any open one. "更新する" closes it and then calls
  // `update` once; "あとで" closes it without calling it. Closing the panel from its title bar hides
  // it and keeps `update` until the next show() or close().
  void show(const QString& version, std::function<void()> update);
  // Closes the panel when open and drops the action without calling it.
  void close();

  // The panel of the reminder shown last, null when none is open; owned by this object.
  QWidget* window() const { return window_.data(); }

 private:
  void postpone();
  void installUpdate();

  QPointer<QWidget> window_;
  std::function<void()> update_;
};

}  // namespace veltovoice
