#pragma once

#include <memory>
#include <optional>

#include <QWidget>

#include "app/Model/VoiceSession.h"

class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QMessageBox;
class QPushButton;
class QVariantAnimation;

namespace veltovoice {

class LiveModel;
class SessionListModel;
class SessionRowDelegate;

// The left column of the main window: "VELTO VOICE", the start button (only while idle), the
// search field and the conversations, newest first, or a text saying there are none or none was
// found. Clicking a row selects its conversation; its context menu copies the transcript, reveals
// the file, looks for a missing recording and deletes the conversation after a confirmation.
// GUI thread only.
class SessionList : public QWidget {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the list.
  explicit SessionList(LiveModel& live, QWidget* parent = nullptr);
  ~SessionList() override;

  QPushButton* startButton() const { return start_; }
  QLineEdit* searchField() const { return search_; }
  QListView* view() const { return view_; }
  SessionListModel* model() const { return model_; }
  SessionRowDelegate* delegate() const { return delegate_; }
  // The text shown instead of rows when there are none.
  QLabel* emptyText() const { return empty_; }
  // Whether the live row's symbol pulses now.
  bool pulsing() const;

  // The context menu of conversation `id`'s row: "文字起こしをコピー", "フォルダで表示", "録音を探す"
  // (only without a recording), a divider and "VELTO VOICEから削除…" (disabled while the conversation
  // is being recorded). Null for an unknown id.
  std::unique_ptr<QMenu> contextMenu(const QUuid& id);

  // Asks whether to delete `session` (a copy, kept while the question is open) in a window-modal
  // message box and returns at once; "削除" deletes it, every other answer keeps it.
  void confirmDeletion(const VoiceSession& session);
  // The conversation whose deletion awaits an answer.
  const std::optional<VoiceSession>& confirmDelete() const { return confirmDelete_; }
  // The open question, or null.
  QMessageBox* confirmation() const { return confirmation_; }

 private:
  void showPhase();
  void showEmptyText();
  void showPulse();
  void openContextMenu(const QPoint& position);
  void answerConfirmation(bool deleteIt);

  LiveModel& live_;
  SessionListModel* model_;
  SessionRowDelegate* delegate_;
  QPushButton* start_;
  QLineEdit* search_;
  QListView* view_;
  QLabel* empty_;
  QVariantAnimation* pulse_;
  std::optional<VoiceSession> confirmDelete_;
  QMessageBox* confirmation_ = nullptr;
};

}  // namespace veltovoice
