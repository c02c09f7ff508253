#pragma once

#include <optional>
#include <vector>

#include <QUuid>
#include <QWidget>

#include "app/Model/TopicTag.h"
#include "platform/lm/SystemLanguageModel.h"

class QAbstractButton;
class QAction;
class QToolButton;
class QVBoxLayout;

namespace veltovoice {

class AudioPlayback;
class LiveModel;
class WrappedText;

// The minutes of one conversation, in the right-hand column of the main window above the tasks:
// a header ("議事録", a spinner while the minutes job runs, the redo button and a menu that makes
// or copies the minutes), then one block per topic (heading with its start time, points, decisions
// with their "決定" badge), or, without topics, a text that says why there are none or a button
// that makes them. Clicking a heading asks the transcript to show the topic's first sentence.
// Everything shown comes from the model; every action calls it. It follows the model's signals
// and rebuilds the blocks only when what they show changed. GUI thread only.
class MinutesPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 320;

  // `model` is borrowed and must outlive the panel; the player is not used by the minutes and is
  // taken so that both panels are made alike. Shows the model's selected conversation, following
  // the selection, until setSessionID() names one.
  MinutesPanel(LiveModel& model, AudioPlayback& player, QWidget* parent = nullptr);
  ~MinutesPanel() override;

  // Shows the conversation `id` from now on, whatever is selected (an id the model does not know
  // shows no minutes).
  void setSessionID(const QUuid& id);
  const QUuid& sessionID() const { return sessionID_; }

  // Reads the model again. The panel does this on every model signal; the language model's
  // availability has none, so whoever learns of its change calls this.
  void refresh();

  // The parts, for tests.
  QWidget* busyIndicator() const { return busy_; }
  QAbstractButton* redoButton() const { return redo_; }
  QToolButton* menuButton() const { return menuButton_; }
  // The menu's first entry: "議事録を作り直す" with topics, else "議事録を作る".
  QAction* makeAction() const { return make_; }
  QAction* copyAction() const { return copy_; }
  // The topic blocks in their order; each holds the heading button ("topicHeading") with the title
  // ("topicTitle") and start time ("topicTime"), the points ("topicPoint"), the decisions
  // ("decisionBadge", "decisionText") and, while summaries are made, "まとめています…"
  // ("topicPending").
  const std::vector<QWidget*>& topicBlocks() const { return blocks_; }
  // The empty state's text (hidden when none applies or the button is shown) and its button.
  WrappedText* emptyText() const { return emptyText_; }
  QAbstractButton* makeButton() const { return makeButton_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void jobsChanged();
  void showSession(const QUuid& id);
  // What the panel shows, read from the model; the blocks are rebuilt only when it changes.
  struct Look {
    std::vector<TopicTag> topics;
    std::vector<std::optional<double>> starts;
    bool jobRunning = false;
    bool recording = false;
    bool hasSentences = false;
    bool hasTasks = false;
    platform::SystemLanguageModel::Availability availability;
    bool operator==(const Look&) const = default;
  };

  QWidget* makeHeader();
  Look read() const;
  void showHeader(const Look& look);
  void showBlocks(const Look& look);
  void showEmptyState(const Look& look);
  QWidget* makeBlock(const TopicTag& topic, const std::optional<double>& start, bool jobRunning);

  LiveModel& live_;
  QUuid sessionID_;
  bool refreshQueued_ = false;
  bool followsSelection_ = true;
  std::optional<Look> shown_;

  QWidget* busy_;
  QAbstractButton* redo_;
  QToolButton* menuButton_;
  QAction* make_;
  QAction* copy_;
  QVBoxLayout* list_;
  std::vector<QWidget*> blocks_;
  QWidget* emptyState_;
  WrappedText* emptyText_;
  QAbstractButton* makeButton_;
};

}  // namespace veltovoice
