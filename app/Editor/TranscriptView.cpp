#include "app/Editor/TranscriptView.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

#include <QApplication>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextEdit>
#include <QTimerEvent>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/MemoBox.h"
#include "app/Editor/SegmentRowHost.h"
#include "app/Editor/SpeakerNamesRow.h"
#include "app/Editor/Symbols.h"
#include "app/Editor/TopicHeader.h"
#include "app/Editor/TranscriptRowDelegate.h"
#include "app/Editor/TranscriptRowEditor.h"
#include "app/Editor/TranscriptRowsModel.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {
namespace {

constexpr int kStackSpacing = 12;
constexpr int kBarSpacing = 12;
constexpr int kBarPaddingX = 12;
constexpr int kBarPaddingY = 8;
constexpr int kCornerRadius = 12;
constexpr int kListPadding = 15;
constexpr int kDragThreshold = 3;
constexpr int kAutoScrollMs = 50;
constexpr double kPlayingLead = 0.2;  // a sentence counts as playing this much before it starts
constexpr int kLayoutPasses = 4;

// A horizontal bar on a rounded background.
class RoundedBar : public QWidget {
 public:
  RoundedBar(QColor colour, QWidget* parent = nullptr) : QWidget(parent), colour_(colour) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(shape, colour_);
  }

 private:
  QColor colour_;
};

QLabel* barLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

QPushButton* barButton(const QString& text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

bool isTextInput(QObject* object) {
  return qobject_cast<QPlainTextEdit*>(object) || qobject_cast<QLineEdit*>(object) ||
         qobject_cast<QTextEdit*>(object);
}

// Installed on the application while the selection bar's keys are live: a focused text field keeps
// its own Escape and Ctrl+Backspace, which reach it as key presses.
class TextKeysGuard : public QObject {
 public:
  explicit TextKeysGuard(QObject* parent) : QObject(parent) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::ShortcutOverride || !isTextInput(watched)) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const bool escape = key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier;
    const bool deleteWord = key->key() == Qt::Key_Backspace && key->modifiers() == Qt::ControlModifier;
    if (!escape && !deleteWord) return false;
    event->accept();
    return true;
  }
};

}  // namespace

// The list: lays rows out with estimated heights and measures the ones in view exactly, again
// after every layout and scroll, so that thousands of rows never all have their text laid out.
class TranscriptView::List : public QListView {
 public:
  List(TranscriptView& owner, QWidget* parent) : QListView(parent), owner_(owner) {}

  using QListView::executeDelayedItemsLayout;
  using QListView::scheduleDelayedItemsLayout;

  void doItemsLayout() override {
    laying_ = true;
    QListView::doItemsLayout();
    for (int pass = 0; pass < kLayoutPasses && owner_.measureVisibleRows(); ++pass) QListView::doItemsLayout();
    laying_ = false;
  }

 protected:
  void scrollContentsBy(int dx, int dy) override {
    QListView::scrollContentsBy(dx, dy);
    if (!laying_ && !owner_.scrolling_ && owner_.measureVisibleRows()) scheduleDelayedItemsLayout();
  }

  void resizeEvent(QResizeEvent* event) override {
    QListView::resizeEvent(event);
    if (event->oldSize().width() != event->size().width()) scheduleDelayedItemsLayout();
  }

 private:
  TranscriptView& owner_;
  bool laying_ = false;
};

TranscriptView::TranscriptView(LiveModel& model, AudioPlayback& player, QWidget* parent)
    : QWidget(parent), live_(model), player_(player) {
  setObjectName(QStringLiteral("transcriptView"));
  stack_ = new QVBoxLayout(this);
  stack_->setContentsMargins(0, 0, 0, 0);
  stack_->setSpacing(kStackSpacing);

  memoBox_ = new MemoBox(live_, QUuid(), this);
  stack_->addWidget(memoBox_);
  selectionBar_ = makeSelectionBar();
  stack_->addWidget(selectionBar_);
  undoBanner_ = makeUndoBanner();
  stack_->addWidget(undoBanner_);

  auto* surface = new RoundedBar(VeltoToolsDesign::surface(), this);
  surface->setObjectName(QStringLiteral("transcriptSurface"));
  auto* padding = new QVBoxLayout(surface);
  padding->setContentsMargins(kListPadding, kListPadding, kListPadding, kListPadding);
  list_ = new List(*this, surface);
  list_->setObjectName(QStringLiteral("transcriptList"));
  list_->setFrameShape(QFrame::NoFrame);
  list_->setFocusPolicy(Qt::NoFocus);
  list_->setSelectionMode(QAbstractItemView::NoSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list_->setUniformItemSizes(false);
  list_->setLayoutMode(QListView::SinglePass);
  list_->setAutoFillBackground(false);
  list_->viewport()->setAutoFillBackground(false);
  padding->addWidget(list_);
  stack_->addWidget(surface, 1);

  rows_ = new TranscriptRowsModel(live_, this);
  delegate_ = new TranscriptRowDelegate(*rows_, *list_, [this](int row) { return rowAt(row); }, this);
  list_->setItemDelegate(delegate_);
  list_->setModel(rows_);
  list_->viewport()->installEventFilter(this);
  connect(rows_, &QAbstractItemModel::dataChanged, this,
          [this](const QModelIndex& from, const QModelIndex& to) { rowsChanged(from.row(), to.row()); });

  // Connected after the rows model's own connections, so that the rows are up to date here.
  connect(&live_, &LiveModel::selectedIDChanged, this, [this] { showSession(live_.selectedID()); });
  connect(&live_, &LiveModel::sessionChanged, this, &TranscriptView::sessionChanged);
  connect(&live_, &LiveModel::sessionRemoved, this, [this](const QUuid& id, int) { sessionChanged(id); });
  connect(&live_, &LiveModel::volatileTextChanged, this, &TranscriptView::liveTextChanged);
  connect(&live_, &LiveModel::liveIDChanged, this, [this] {
    followPlayback();
    list_->viewport()->update();
    refreshEditor();
  });
  connect(&live_, &LiveModel::lastSegmentDeletionChanged, this, &TranscriptView::updateBars);
  connect(&live_, &LiveModel::scrollRequestChanged, this, &TranscriptView::scrollRequested);
  connect(&player_, &AudioPlayback::positionChanged, this, &TranscriptView::followPlayback);
  connect(&player_, &AudioPlayback::loadedChanged, this, [this] {
    followPlayback();
    list_->viewport()->update();
    refreshEditor();
  });

  showSession(live_.selectedID());
}

TranscriptView::~TranscriptView() {
  // Editors that lose the focus while they go must not call back into a view half gone.
  dying_ = true;
  delete textKeysGuard_;
  textKeysGuard_ = nullptr;
  List* list = std::exchange(list_, nullptr);
  list->viewport()->removeEventFilter(this);
  delete list;
}

QListView* TranscriptView::list() const { return list_; }

SpeakerNamesRow* TranscriptView::speakerNames() const {
  return speakerNames_ && !speakerNames_->isHidden() ? speakerNames_.data() : nullptr;
}

bool TranscriptView::isLive() const { return rows_->isLive(); }

TranscriptRowEditor* TranscriptView::rowEditor() const {
  if (!list_ || !editorIndex_.isValid()) return nullptr;
  return static_cast<TranscriptRowEditor*>(list_->indexWidget(editorIndex_));
}

SegmentTextEdit* TranscriptView::sentenceEditor() const {
  TranscriptRowEditor* editor = rowEditor();
  return editor ? editor->host()->editor() : nullptr;
}

// ---- Building ------------------------------------------------------------------------------------

QWidget* TranscriptView::makeSelectionBar() {
  auto* bar = new RoundedBar(VeltoToolsDesign::withOpacity(VeltoToolsDesign::accent(), 0.10), this);
  bar->setObjectName(QStringLiteral("selectionBar"));
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(kBarPaddingX, kBarPaddingY, kBarPaddingX, kBarPaddingY);
  row->setSpacing(kBarSpacing);
  selectionLabel_ = barLabel(bar, "selectionCount");
  QFont semibold = selectionLabel_->font();
  semibold.setWeight(QFont::DemiBold);
  selectionLabel_->setFont(semibold);
  row->addWidget(selectionLabel_);

  QPushButton* remove = barButton(QStringLiteral("削除"), "deleteSelection", bar);
  remove->setIcon(Symbols::icon(QStringLiteral("trash")));
  remove->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backspace));
  connect(remove, &QPushButton::clicked, this, [this] {
    if (sessionID_) live_.deleteSegments(*sessionID_, selected_);
    selected_.clear();
    selectionChanged();
  });
  row->addWidget(remove);

  QPushButton* all = barButton(QStringLiteral("すべて選択"), "selectAll", bar);
  connect(all, &QPushButton::clicked, this, [this] {
    const std::vector<QUuid> ids = rows_->segmentIDs();
    selected_ = std::set<QUuid>(ids.begin(), ids.end());
    selectionChanged();
  });
  row->addWidget(all);

  QPushButton* none = barButton(QStringLiteral("選択を解除"), "clearSelection", bar);
  none->setShortcut(QKeySequence(Qt::Key_Escape));
  connect(none, &QPushButton::clicked, this, [this] {
    selected_.clear();
    selectionChanged();
  });
  row->addWidget(none);
  row->addStretch(1);
  bar->hide();
  return bar;
}

QWidget* TranscriptView::makeUndoBanner() {
  auto* banner = new RoundedBar(VeltoToolsDesign::surface(), this);
  banner->setObjectName(QStringLiteral("undoBanner"));
  auto* row = new QHBoxLayout(banner);
  row->setContentsMargins(kBarPaddingX, kBarPaddingY, kBarPaddingX, kBarPaddingY);
  row->setSpacing(kBarSpacing);
  undoLabel_ = barLabel(banner, "deletionCount");
  QPalette muted = undoLabel_->palette();
  muted.setColor(QPalette::WindowText, VeltoToolsDesign::muted());
  undoLabel_->setPalette(muted);
  row->addWidget(undoLabel_);

  QPushButton* undo = barButton(QStringLiteral("元に戻す"), "undoDeletion", banner);
  undo->setIcon(Symbols::icon(QStringLiteral("arrow.uturn.backward")));
  connect(undo, &QPushButton::clicked, this, [this] { live_.undoSegmentDeletion(); });
  row->addWidget(undo);
  row->addStretch(1);

  auto* dismiss = new QToolButton(banner);
  dismiss->setObjectName(QStringLiteral("dismissDeletion"));
  dismiss->setAutoRaise(true);
  dismiss->setFocusPolicy(Qt::NoFocus);
  dismiss->setIcon(Symbols::icon(QStringLiteral("xmark"), VeltoToolsDesign::muted()));
  connect(dismiss, &QToolButton::clicked, this, [this] { live_.setLastSegmentDeletion(std::nullopt); });
  row->addWidget(dismiss);
  banner->hide();
  return banner;
}

void TranscriptView::showSession(const std::optional<QUuid>& id) {
  if (id == sessionID_ && rows_->sessionID() == id) return;
  closeEditor();
  sessionID_ = id;
  selected_.clear();
  press_.reset();
  dragStart_.reset();
  rows_->setSessionID(id);
  shownSentences_ = rows_->sentenceCount();
  memoBox_->setSession(id.value_or(QUuid()));
  rebuildSpeakerNames();
  playingID_ = computePlayingID();
  updateBars();
  followRequest();
}

void TranscriptView::rebuildSpeakerNames() {
  delete speakerNames_.data();
  if (!sessionID_) return;
  auto* names = new SpeakerNamesRow(live_, *sessionID_, this);
  speakerNames_ = names;
  stack_->insertWidget(0, names);
  names->setVisible(!names->shownSlots().empty());
  // After the row's own connection: it has followed the change when this runs.
  connect(&live_, &LiveModel::sessionChanged, names, [names](const QUuid&) {
    names->setVisible(!names->shownSlots().empty());
  });
}

void TranscriptView::updateBars() {
  const bool selecting = !selected_.empty();
  selectionLabel_->setText(QStringLiteral("%1文を選択中").arg(selected_.size()));
  const auto& deletion = live_.lastSegmentDeletion();
  const bool undoable = !selecting && deletion && sessionID_ && deletion->sessionID == *sessionID_;
  if (deletion) undoLabel_->setText(QStringLiteral("%1文を削除しました").arg(deletion->removed.size()));
  selectionBar_->setVisible(selecting);
  undoBanner_->setVisible(undoable);
  // While the bar's keys are live, an open text field keeps its own Escape and Ctrl+Backspace.
  if (selecting && !textKeysGuard_) {
    textKeysGuard_ = new TextKeysGuard(this);
    qApp->installEventFilter(textKeysGuard_);
  } else if (!selecting && textKeysGuard_) {
    delete textKeysGuard_;
    textKeysGuard_ = nullptr;
  }
}

// ---- Rows ----------------------------------------------------------------------------------------

SegmentRow TranscriptView::rowAt(int row) const {
  static const VoiceSession kNoSession;
  const VoiceSession* found = sessionID_ ? live_.session(*sessionID_) : nullptr;
  const VoiceSession& session = found ? *found : kNoSession;
  const LiveSegment& segment = rows_->segment(row);
  const QUuid id = segment.id;
  auto* self = const_cast<TranscriptView*>(this);
  std::function<void()> onTime;
  if (player_.loaded() && !isLive()) {
    const double start = segment.start.value_or(0);
    onTime = [self, start] { self->player_.seek(start, true); };
  }
  std::optional<int> focusOffset;
  if (request_ && request_->id == id) focusOffset = request_->offset;
  return SegmentRow(
      live_, session, segment, selected_.count(id) > 0, [self, id](bool shift) { self->check(id, shift); },
      rows_->speakerChanged(row), playingID_ == id, focusOffset, std::move(onTime),
      [self, id] { self->focused(id); }, [self, id] { self->blur(id); },
      [self, id](SegmentTextEdit::Move direction) { self->move(id, direction); },
      [self, id] { self->mergeBackward(id); });
}

QRect TranscriptView::sentenceRect(int row) const {
  if (row < 0 || row >= rows_->sentenceCount()) return QRect();
  const QRect rect = TranscriptRowDelegate::rowRect(list_->visualRect(rows_->index(row)));
  return TranscriptRowDelegate::sentenceRect(rect, rows_->heading(row).has_value());
}

QRect TranscriptView::headingRect(int row) const {
  if (row < 0 || row >= rows_->sentenceCount() || !rows_->heading(row)) return QRect();
  return TranscriptRowDelegate::headingRect(TranscriptRowDelegate::rowRect(list_->visualRect(rows_->index(row))));
}

// ---- Selection -----------------------------------------------------------------------------------

void TranscriptView::check(const QUuid& id, bool shift) {
  const std::vector<QUuid> ids = rows_->segmentIDs();
  const auto a = lastClicked_ ? std::find(ids.begin(), ids.end(), *lastClicked_) : ids.end();
  const auto b = std::find(ids.begin(), ids.end(), id);
  if (shift && a != ids.end() && b != ids.end()) {
    const auto [from, to] = std::minmax(a, b);
    const bool adding = selected_.count(*lastClicked_) > 0;
    for (auto it = from; it != to + 1; ++it) {
      if (adding) {
        selected_.insert(*it);
      } else {
        selected_.erase(*it);
      }
    }
  } else if (!selected_.erase(id)) {
    selected_.insert(id);
  }
  lastClicked_ = id;
  selectionChanged();
}

void TranscriptView::dragTo(const QUuid& id, int fromY, int toY) {
  if (dragStart_ != id) {
    dragStart_ = id;
    dragBase_ = selected_;
    dragSelects_ = selected_.count(id) == 0;
  }
  const int lo = std::min(fromY, toY);
  const int hi = std::max(fromY, toY);
  const int offset = list_->verticalScrollBar()->value();
  std::set<QUuid> hits;
  const QModelIndex start = list_->indexAt(QPoint(0, lo - offset));
  int row = start.isValid() ? start.row() : (lo - offset < 0 ? 0 : rows_->sentenceCount());
  // A point in the gap below a row belongs to the row's item, not to its frame.
  for (; row < rows_->sentenceCount(); ++row) {
    const QRect frame = TranscriptRowDelegate::rowRect(list_->visualRect(rows_->index(row))).translated(0, offset);
    if (frame.top() > hi) break;
    if (frame.top() + frame.height() >= lo) hits.insert(rows_->segment(row).id);
  }
  std::set<QUuid> selection = dragBase_;
  for (const QUuid& hit : hits) {
    if (dragSelects_) {
      selection.insert(hit);
    } else {
      selection.erase(hit);
    }
  }
  if (selection != selected_) {
    selected_ = std::move(selection);
    selectionChanged();
  }
}

void TranscriptView::endDrag(const QUuid& id) {
  dragStart_.reset();
  lastClicked_ = id;
}

void TranscriptView::selectionChanged() {
  updateBars();
  list_->viewport()->update();
  refreshEditor();
}

// ---- Editing -------------------------------------------------------------------------------------

void TranscriptView::focused(const QUuid& id) {
  editing_ = id;
  if (request_ && request_->id == id) request_.reset();
}

void TranscriptView::blur(const QUuid& id) {
  if (dying_) return;
  if (editing_ == id) editing_.reset();
  const VoiceSession* session = sessionID_ ? live_.session(*sessionID_) : nullptr;
  if (session) {
    const auto found = std::find_if(session->segments.begin(), session->segments.end(),
                                    [&](const LiveSegment& segment) { return segment.id == id; });
    // A sentence the user emptied goes when the caret leaves it.
    if (found != session->segments.end() && platform::text::trimWhitespaceAndNewlines(found->text).empty()) {
      live_.deleteSegment(id);
    }
  }
  closeEditorWhenIdle();
}

void TranscriptView::move(const QUuid& from, SegmentTextEdit::Move direction) {
  const std::optional<int> row = rows_->rowOf(from);
  if (!row) return;
  const int target = *row + (direction == SegmentTextEdit::Move::next ? 1 : -1);
  if (target < 0 || target >= rows_->sentenceCount()) return;
  const int offset = direction == SegmentTextEdit::Move::next ? 0 : std::numeric_limits<int>::max();
  request_ = FocusRequest{rows_->segment(target).id, offset, QUuid::createUuid()};
  followRequest();
}

void TranscriptView::mergeBackward(const QUuid& id) {
  const std::optional<LiveModel::Caret> caret = live_.mergeWithPrevious(id);
  if (!caret) return;
  request_ = FocusRequest{caret->id, caret->offset, QUuid::createUuid()};
  followRequest();
}

void TranscriptView::followRequest() {
  if (!request_) return;
  const std::optional<int> row = rows_->rowOf(request_->id);
  if (!row) return;
  SegmentTextEdit* editor = sentenceEditor();
  if (editorIndex_.isValid() && editorIndex_.row() == *row && editor && editor->hasFocus()) return;
  scrollToRow(*row, QAbstractItemView::EnsureVisible);
  openEditor(*row);
}

void TranscriptView::openEditor(int row) {
  if (editorIndex_.isValid() && editorIndex_.row() != row) {
    const QUuid id = rows_->segment(row).id;
    closeEditor();
    // Leaving the old row may have removed it, and moved this one.
    const std::optional<int> moved = rows_->rowOf(id);
    if (!moved) return;
    row = *moved;
  }
  if (!editorIndex_.isValid()) {
    const QModelIndex index = rows_->index(row);
    list_->openPersistentEditor(index);
    editorIndex_ = index;
  }
  refreshEditor();
}

void TranscriptView::refreshEditor() {
  TranscriptRowEditor* editor = rowEditor();
  if (!editor) return;
  const int row = editorIndex_.row();
  if (row >= rows_->sentenceCount()) {
    closeEditor();
    return;
  }
  editor->host()->setRow(rowAt(row));
  editor->place(TranscriptRowDelegate::rowRect(list_->visualRect(editorIndex_)), rows_->heading(row).has_value());
}

void TranscriptView::closeEditor() {
  if (TranscriptRowEditor* editor = rowEditor()) {
    // Ending the editing first: leaving a row may remove it, and its editor with it.
    QWidget* focus = QApplication::focusWidget();
    if (focus && editor->isAncestorOf(focus)) focus->clearFocus();
  }
  const QPersistentModelIndex index = std::exchange(editorIndex_, QPersistentModelIndex());
  if (index.isValid() && list_) list_->closePersistentEditor(index);
}

void TranscriptView::closeEditorWhenIdle() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        TranscriptRowEditor* editor = rowEditor();
        if (!editor) return;
        QWidget* focus = QApplication::focusWidget();
        if (focus && editor->isAncestorOf(focus)) return;
        if (request_ && editorIndex_.row() < rows_->sentenceCount() &&
            rows_->segment(editorIndex_.row()).id == request_->id) {
          return;
        }
        closeEditor();
      },
      Qt::QueuedConnection);
}

void TranscriptView::editTopic(int row) {
  const auto& heading = rows_->heading(row);
  if (!heading || !sessionID_) return;
  const QUuid topicID = heading->topicID;
  openEditor(row);
  TranscriptRowEditor* editor = rowEditor();
  if (!editor) return;
  editor->editTopic(live_, *sessionID_, topicID);
  if (QLineEdit* field = editor->header()->titleField()) field->installEventFilter(this);
}

// ---- Following the models ------------------------------------------------------------------------

void TranscriptView::sessionChanged(const QUuid& id) {
  if (!sessionID_ || id != *sessionID_) return;
  const int count = rows_->sentenceCount();
  const bool countChanged = count != shownSentences_;
  if (count < shownSentences_ && !selected_.empty()) forgetLeftSentences();
  shownSentences_ = count;
  refreshEditor();
  followRequest();
  followPlayback();
  updateBars();
  if (countChanged && appeared_ && isLive() && !editing_) scrollToEnd();
}

// Sentences that left the list (joined, deleted one by one, taken by a clean-up) leave the selection
// too, so that the bar never counts sentences that are not there.
void TranscriptView::forgetLeftSentences() {
  const std::vector<QUuid> ids = rows_->segmentIDs();
  const std::set<QUuid> present(ids.begin(), ids.end());
  std::set<QUuid> kept;
  std::set_intersection(selected_.begin(), selected_.end(), present.begin(), present.end(),
                        std::inserter(kept, kept.end()));
  if (kept.size() == selected_.size()) return;
  selected_ = std::move(kept);
  selectionChanged();
}

void TranscriptView::liveTextChanged() {
  if (appeared_ && isLive() && !editing_) scrollToEnd();
}

std::optional<QUuid> TranscriptView::computePlayingID() const {
  if (isLive() || !player_.loaded() || !(player_.position() > 0)) return std::nullopt;
  const double until = player_.position() + kPlayingLead;
  for (int row = rows_->sentenceCount(); row-- > 0;) {
    const LiveSegment& segment = rows_->segment(row);
    if (segment.start && *segment.start <= until) return segment.id;
  }
  return std::nullopt;
}

void TranscriptView::followPlayback() {
  const std::optional<QUuid> id = computePlayingID();
  if (id == playingID_) return;
  playingID_ = id;
  list_->viewport()->update();
  refreshEditor();
  if (!id || editing_ || !appeared_) return;
  if (const std::optional<int> row = rows_->rowOf(*id)) scrollToRow(*row, QAbstractItemView::PositionAtCenter);
}

void TranscriptView::scrollRequested() {
  const std::optional<QUuid> id = live_.scrollRequest();
  if (!id || !appeared_) return;
  if (const std::optional<int> row = rows_->rowOf(*id)) scrollToRow(*row, QAbstractItemView::PositionAtTop);
  live_.setScrollRequest(std::nullopt);
}

// ---- Scrolling -----------------------------------------------------------------------------------

bool TranscriptView::measureVisibleRows() {
  if (!list_ || !delegate_ || list_->model() != rows_ || rows_->rowCount() == 0) return false;
  const int height = list_->viewport()->height();
  const QModelIndex first = list_->indexAt(QPoint(0, 0));
  bool changed = false;
  for (int row = first.isValid() ? first.row() : 0; row < rows_->rowCount(); ++row) {
    const QRect item = list_->visualRect(rows_->index(row));
    if (item.top() >= height) break;
    if (item.bottom() < 0) continue;
    if (delegate_->measure(row) != item.height()) changed = true;
  }
  return changed;
}

// A changed row in view that now needs another height is laid out again at once, so that an open
// editor growing by a line pushes the rows below it down.
void TranscriptView::rowsChanged(int first, int last) {
  const int height = list_->viewport()->height();
  for (int row = first; row <= last; ++row) {
    const QRect item = list_->visualRect(rows_->index(row));
    if (item.bottom() < 0) continue;
    if (item.top() >= height) break;
    if (delegate_->measure(row) != item.height()) {
      list_->scheduleDelayedItemsLayout();
      return;
    }
  }
}

void TranscriptView::scrollToRow(int row, QAbstractItemView::ScrollHint hint) {
  const QModelIndex index = rows_->index(row);
  scrollWithMeasuredRows([this, index, hint] { list_->scrollTo(index, hint); });
}

void TranscriptView::scrollToEnd() {
  scrollWithMeasuredRows([this] { list_->scrollToBottom(); });
}

// Scrolls, measures the rows that came into view and lays out again until they keep their heights,
// so that the scroll ends where it should with rows whose heights were estimates before.
void TranscriptView::scrollWithMeasuredRows(const std::function<void()>& scroll) {
  const bool nested = std::exchange(scrolling_, true);
  for (int pass = 0; pass < kLayoutPasses; ++pass) {
    list_->executeDelayedItemsLayout();
    scroll();
    if (!measureVisibleRows()) break;
    list_->doItemsLayout();
  }
  scrolling_ = nested;
}

void TranscriptView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  appeared_ = true;
}

// ---- Mouse and keys ------------------------------------------------------------------------------

bool TranscriptView::eventFilter(QObject* watched, QEvent* event) {
  if (list_ && watched == list_->viewport()) return viewportEvent(event);
  if (event->type() == QEvent::FocusOut && qobject_cast<QLineEdit*>(watched)) {
    // A topic title field closed: the row editor goes once nothing in it has the focus.
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) closeEditorWhenIdle();
  }
  return QWidget::eventFilter(watched, event);
}

bool TranscriptView::viewportEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      return mousePressed(static_cast<QMouseEvent*>(event));
    case QEvent::MouseMove: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (!press_ || !(mouse->buttons() & Qt::LeftButton)) return false;
      mouseMoved(mouse->position().toPoint());
      return true;
    }
    case QEvent::MouseButtonRelease:
      if (!press_) return false;
      mouseReleased();
      return true;
    case QEvent::ContextMenu:
      return contextMenu(static_cast<QContextMenuEvent*>(event));
    case QEvent::ToolTip:
      return toolTip(static_cast<QHelpEvent*>(event));
    default:
      return false;
  }
}

std::optional<int> TranscriptView::sentenceRowAt(const QPoint& point) const {
  const QModelIndex index = list_->indexAt(point);
  if (!index.isValid() || index.row() >= rows_->sentenceCount()) return std::nullopt;
  return index.row();
}

bool TranscriptView::mousePressed(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return false;
  const QPoint point = event->position().toPoint();
  const std::optional<int> row = sentenceRowAt(point);
  if (!row) return true;
  if (const QRect heading = headingRect(*row); heading.contains(point)) {
    const LiveSegment& segment = rows_->segment(*row);
    const QString time = segment.start ? QString::fromStdString(clock(*segment.start)) : QString();
    if (TopicHeader::titleRect(heading, time).contains(point)) editTopic(*row);
    return true;
  }
  const QRect rect = sentenceRect(*row);
  const SegmentRow shown = rowAt(*row);
  const SegmentRow::Region region = shown.regionAt(point, rect);
  if (region == SegmentRow::Region::none || !shown.stillShown()) return true;
  switch (region) {
    case SegmentRow::Region::check:
      press_ = Press{shown.segment().id, point.y() + list_->verticalScrollBar()->value(), point,
                     event->modifiers().testFlag(Qt::ShiftModifier), false};
      break;
    case SegmentRow::Region::time:
      shown.click(region, event->modifiers());
      break;
    case SegmentRow::Region::speaker: {
      QMenu* menu = shown.speakerMenu(list_->viewport());
      menu->setAttribute(Qt::WA_DeleteOnClose);
      menu->popup(list_->viewport()->mapToGlobal(shown.regionRect(region, rect).bottomLeft()));
      break;
    }
    case SegmentRow::Region::text: {
      const QUuid id = shown.segment().id;
      openEditor(*row);
      const std::optional<int> now = rows_->rowOf(id);
      TranscriptRowEditor* editor = rowEditor();
      if (!now || !editor) break;
      // The host opens its editor with the caret under the pointer.
      SegmentRowHost* host = editor->host();
      const QPoint local = host->mapFrom(list_->viewport(), point);
      QMouseEvent forwarded(QEvent::MouseButtonPress, QPointF(local), host->mapToGlobal(QPointF(local)),
                            Qt::LeftButton, Qt::LeftButton, event->modifiers());
      QCoreApplication::sendEvent(host, &forwarded);
      break;
    }
    default:
      break;
  }
  return true;
}

void TranscriptView::mouseMoved(const QPoint& point) {
  lastDragPoint_ = point;
  if (!press_->dragging) {
    if ((point - press_->viewportPoint).manhattanLength() < kDragThreshold) return;
    press_->dragging = true;
    autoScrollTimer_ = startTimer(kAutoScrollMs);
  }
  dragTo(press_->id, press_->contentY, point.y() + list_->verticalScrollBar()->value());
}

void TranscriptView::mouseReleased() {
  const Press ended = *press_;
  press_.reset();
  if (autoScrollTimer_) {
    killTimer(autoScrollTimer_);
    autoScrollTimer_ = 0;
  }
  if (ended.dragging) {
    endDrag(ended.id);
  } else {
    check(ended.id, ended.shift);
  }
}

void TranscriptView::timerEvent(QTimerEvent* event) {
  if (event->timerId() != autoScrollTimer_) {
    QWidget::timerEvent(event);
    return;
  }
  if (!press_ || !press_->dragging) return;
  // Held above or below the list, the drag scrolls it by how far the pointer is outside.
  const int height = list_->viewport()->height();
  int step = 0;
  if (lastDragPoint_.y() < 0) step = lastDragPoint_.y();
  if (lastDragPoint_.y() >= height) step = lastDragPoint_.y() - height + 1;
  if (step == 0) return;
  QScrollBar* bar = list_->verticalScrollBar();
  bar->setValue(bar->value() + step);
  dragTo(press_->id, press_->contentY, lastDragPoint_.y() + bar->value());
}

bool TranscriptView::contextMenu(QContextMenuEvent* event) {
  const std::optional<int> row = sentenceRowAt(event->pos());
  if (!row) return true;
  QMenu* menu = nullptr;
  if (headingRect(*row).contains(event->pos())) {
    const QUuid topicID = rows_->heading(*row)->topicID;
    const QUuid sessionID = sessionID_.value_or(QUuid());
    menu = new QMenu(list_->viewport());
    menu->setObjectName(QStringLiteral("topicContextMenu"));
    QAction* remove = menu->addAction(QStringLiteral("この見出しを削除"));
    remove->setProperty("destructive", true);
    const QPointer<LiveModel> live(&live_);
    connect(remove, &QAction::triggered, menu, [live, sessionID, topicID] {
      if (live) live->deleteTopic(sessionID, topicID);
    });
  } else {
    const SegmentRow shown = rowAt(*row);
    if (!shown.stillShown()) return true;
    menu = shown.contextMenu(list_->viewport());
  }
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
  return true;
}

bool TranscriptView::toolTip(QHelpEvent* event) {
  const std::optional<int> row = sentenceRowAt(event->pos());
  QString text;
  if (row) {
    const SegmentRow shown = rowAt(*row);
    const QRect rect = sentenceRect(*row);
    text = shown.toolTip(shown.regionAt(event->pos(), rect));
  }
  if (text.isEmpty()) {
    QToolTip::hideText();
  } else {
    QToolTip::showText(event->globalPos(), text, list_->viewport());
  }
  return true;
}

}  // namespace veltovoice
