#pragma once

#include <array>
#include <functional>
#include <optional>

#include <QColor>
#include <QRect>
#include <QString>
#include <QUuid>

#include "app/Editor/SegmentTextEdit.h"
#include "app/Model/LiveSegment.h"

class QMenu;
class QPainter;
class QWidget;

namespace veltovoice {

class LiveModel;
struct VoiceSession;

// One sentence of the transcript as one row: check box, speaker bar, start time, speaker menu, the
// text and the mark of a corrected sentence, on a selection or playing background, with a gap above
// a change of speaker. A value, rebuilt whenever the transcript redraws: it paints, measures and
// answers clicks for a host widget or an item delegate, and keeps nothing of the conversation but
// what it shows (so a row outlives changes of the model safely). GUI thread only.
//
// Geometry, left to right, 10 px apart inside 4 px of padding: check box 18×22, bar 3, time 48,
// speaker 76, text (the rest), pencil. The row is exactly as tall as its content plus 2 px above and
// below, and 12 px more above a change of speaker.
class SegmentRow {
 public:
  // The parts of a row that answer the mouse.
  enum class Region { none, check, time, speaker, text, edited };

  static constexpr int kSpeakerGap = 12;

  // `live` is borrowed and must outlive the row. Callbacks may be empty; an empty `onTime` means
  // playing from here is not possible. `session` and `segment` are read now, not kept.
  SegmentRow(LiveModel& live, const VoiceSession& session, const LiveSegment& segment,
             bool selected, std::function<void(bool shift)> onCheck, bool speakerChanged,
             bool playing, std::optional<int> focusOffset, std::function<void()> onTime,
             std::function<void()> onFocus, std::function<void()> onBlur,
             std::function<void(SegmentTextEdit::Move)> onMove,
             std::function<void()> onMergeBackward);

  LiveModel& live() const { return *live_; }
  const QUuid& sessionID() const { return sessionID_; }
  const LiveSegment& segment() const { return segment_; }
  bool selected() const { return selected_; }
  bool speakerChanged() const { return speakerChanged_; }
  bool playing() const { return playing_; }
  const std::optional<int>& focusOffset() const { return focusOffset_; }

  // What the row shows.
  QString text() const { return text_; }
  // The same row showing `text`: what a host paints and measures while its editor holds typing
  // that has not come back from the model yet.
  SegmentRow showingText(const QString& text) const;
  // clock(start), or "—" without a start.
  QString timeText() const;
  // Whether the time plays: onTime exists and the sentence has a start.
  bool timeEnabled() const;
  // The speaker's name, or "話者？" without a speaker.
  QString speakerLabel() const { return speakerLabel_; }
  // The palette colour of the speaker, muted without one.
  QColor speakerColor() const;
  // The background: accent at 14 % when selected, else at 8 % when playing, else transparent.
  QColor backgroundColor() const;
  // The help text of a region; empty where there is none.
  QString toolTip(Region region) const;

  // Height of the row at `width`, the gap above included.
  int heightForWidth(int width) const;
  // Where `region` lies in a row occupying `rowRect`; empty for `edited` on an unedited sentence
  // and for `none`. The text rectangle is where an editor goes.
  QRect regionRect(Region region, const QRect& rowRect) const;
  Region regionAt(const QPoint& point, const QRect& rowRect) const;

  // Paints the row into `rowRect`; without `withText` the text is left out (an editor shows it).
  void paint(QPainter& painter, const QRect& rowRect, bool withText = true) const;

  // Whether the sentence is still in its conversation: clicks on a row whose sentence went are
  // ignored.
  bool stillShown() const;
  // A click on `region`: the check box calls onCheck with whether Shift was held, an enabled time
  // calls onTime. Other regions do nothing here (the host opens menus and editors).
  void click(Region region, Qt::KeyboardModifiers modifiers) const;

  // The speaker menu: the four slots by name and "話者なし"; each sets (and locks) the speaker.
  // The caller owns the menu.
  QMenu* speakerMenu(QWidget* parent) const;
  // The row's context menu: "ここから新しい話題", "前の文とつなげる", "この文を削除".
  QMenu* contextMenu(QWidget* parent) const;

  // Gives `editor` this row's font, text (unless it is being edited) and callbacks: changes go to
  // the model's updateText, the rest to this row's functions.
  void connectEditor(SegmentTextEdit& editor) const;

 private:
  int textWidth(int rowWidth) const;
  int contentHeight(int textHeight) const;

  LiveModel* live_;
  QUuid sessionID_;
  LiveSegment segment_;
  QString text_;
  QString speakerLabel_;
  std::array<QString, 4> slotNames_;
  bool selected_;
  std::function<void(bool)> onCheck_;
  bool speakerChanged_;
  bool playing_;
  std::optional<int> focusOffset_;
  std::function<void()> onTime_;
  std::function<void()> onFocus_;
  std::function<void()> onBlur_;
  std::function<void(SegmentTextEdit::Move)> onMove_;
  std::function<void()> onMergeBackward_;
};

}  // namespace veltovoice
