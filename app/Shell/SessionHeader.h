#pragma once

#include <optional>
#include <string>

#include <QUuid>
#include <QWidget>

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QToolButton;

namespace veltovoice {

class LiveModel;
struct VoiceSession;

// The head of the selected conversation: its title field (renames on Return only, as typed), the
// date line (long date, short time and the length when known), the action area and the buttons
// that copy the transcript and show the conversation's file. The action area shows, in this order
// of precedence: the conversation's job text with a busy indicator; nothing while the conversation
// is being recorded; the "AIでやり直す" menu when it has a recording; else "録音を探す".
//
// The title field is filled from the model when another conversation is shown and when the
// conversation's title changes; an edit left without Return stays in the field until then. The
// menu is filled anew each time it opens, and while open whenever the model or the preferences
// change.
// GUI thread only.
class SessionHeader : public QWidget {
  Q_OBJECT

 public:
  // `live` is borrowed and must outlive the header. Shows the model's selected conversation.
  explicit SessionHeader(LiveModel& live, QWidget* parent = nullptr);

  // The conversation shown, or nothing.
  const std::optional<QUuid>& sessionID() const { return sessionID_; }

  QLineEdit* titleField() const { return title_; }
  QLabel* dateLine() const { return date_; }
  QWidget* jobRow() const { return jobRow_; }
  QLabel* jobText() const { return jobText_; }
  QToolButton* menuButton() const { return menuButton_; }
  QMenu* menu() const { return menu_; }
  QPushButton* findButton() const { return find_; }
  QToolButton* copyButton() const { return copy_; }
  QToolButton* folderButton() const { return folder_; }

  // Follows the model's selection: a change of conversation or of its title refreshes the field;
  // everything else is shown anew. Called by the detail on every change of the model.
  void refresh();

 private:
  void scheduleMenuFill();
  void fillMenu();
  void addAssistantMenu();
  void showActions(const VoiceSession& session);

  LiveModel& live_;
  std::optional<QUuid> sessionID_;
  std::string shownTitle_;
  QLineEdit* title_;
  QLabel* date_;
  QWidget* jobRow_;
  QLabel* jobText_;
  QToolButton* menuButton_;
  QMenu* menu_;
  QMenu* assistantMenu_ = nullptr;
  bool menuFillPending_ = false;
  QPushButton* find_;
  QToolButton* copy_;
  QToolButton* folder_;
};

}  // namespace veltovoice
