#include "app/Editor/SegmentRow.h"

#include <algorithm>
#include <utility>

#include <QFontMetrics>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPixmapCache>
#include <QPointer>

#include "app/Editor/SpeakerNamesRow.h"
#include "app/Editor/SpeakerPalette.h"
#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "app/Model/VoiceSession.h"

namespace veltovoice {
namespace {

constexpr int kPaddingX = 4;
constexpr int kPaddingY = 2;
constexpr int kSpacing = 10;
constexpr int kCheckWidth = 18;
constexpr int kCheckHeight = 22;
constexpr int kCheckSymbol = 14;
constexpr int kBarWidth = 3;
constexpr qreal kBarRadius = 1.5;
constexpr int kTimeWidth = 48;
constexpr int kTimeTop = 4;
constexpr int kSpeakerWidth = 76;
constexpr int kSpeakerTop = 3;
constexpr int kEditedSymbol = 10;
constexpr int kEditedTop = 5;
constexpr int kLabelPixels = 10;
constexpr int kRowRadius = 6;
constexpr int kSlotsOffered = 4;

constexpr int kBarLeft = kPaddingX + kCheckWidth + kSpacing;
constexpr int kTimeLeft = kBarLeft + kBarWidth + kSpacing;
constexpr int kSpeakerLeft = kTimeLeft + kTimeWidth + kSpacing;
constexpr int kTextLeft = kSpeakerLeft + kSpeakerWidth + kSpacing;

const QString kCheckHelp = QStringLiteral("クリックで選択。上下にドラッグでまとめて選択、Shift+クリックで範囲を選択");

QFont timeFont() { return VeltoToolsDesign::monospacedDigitFont(kLabelPixels); }

QFont speakerFont() { return VeltoToolsDesign::systemFont(kLabelPixels, QFont::DemiBold); }

int timeLabelHeight() {
  static const int height = QFontMetrics(timeFont()).height();
  return height;
}

int speakerLabelHeight() {
  static const int height = QFontMetrics(speakerFont()).height();
  return height;
}

// Symbols are drawn from SVG; rows paint often, so each tint and size is kept in the pixmap cache.
QPixmap symbol(const QString& name, const QColor& color, int side, qreal ratio) {
  const QString key =
      QStringLiteral("segmentRow|%1|%2|%3|%4").arg(name).arg(color.rgba()).arg(side).arg(ratio);
  QPixmap pixmap;
  if (QPixmapCache::find(key, &pixmap)) return pixmap;
  pixmap = Symbols::icon(name, color).pixmap(QSize(side, side) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  QPixmapCache::insert(key, pixmap);
  return pixmap;
}

// A rounded rectangle on whole pixels: straight bands filled without antialiasing, which is far
// cheaper than filling the whole outline as a path, and only the four corners as antialiased pies.
void fillRoundedRect(QPainter& painter, const QRect& rect, int radius, const QColor& color) {
  const int x = rect.left();
  const int y = rect.top();
  const int w = rect.width();
  const int h = rect.height();
  if (w < 2 * radius || h < 2 * radius) {
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect), radius, radius);
    painter.fillPath(shape, color);
    return;
  }
  painter.fillRect(QRect(x + radius, y, w - 2 * radius, h), color);
  painter.fillRect(QRect(x, y + radius, radius, h - 2 * radius), color);
  painter.fillRect(QRect(x + w - radius, y + radius, radius, h - 2 * radius), color);
  QPainterPath corners;
  const qreal d = 2.0 * radius;
  const struct {
    qreal left, top, centreX, centreY, start;
  } pies[] = {{qreal(x), qreal(y), qreal(x + radius), qreal(y + radius), 90},
              {qreal(x + w) - d, qreal(y), qreal(x + w - radius), qreal(y + radius), 0},
              {qreal(x), qreal(y + h) - d, qreal(x + radius), qreal(y + h - radius), 180},
              {qreal(x + w) - d, qreal(y + h) - d, qreal(x + w - radius), qreal(y + h - radius), 270}};
  for (const auto& pie : pies) {
    corners.moveTo(pie.centreX, pie.centreY);
    corners.arcTo(QRectF(pie.left, pie.top, d, d), pie.start, 90);
    corners.closeSubpath();
  }
  painter.fillPath(corners, color);
}

void drawSymbol(QPainter& painter, const QString& name, const QColor& color, const QRect& rect) {
  const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  painter.drawPixmap(rect.topLeft(), symbol(name, color, rect.width(), ratio));
}

}  // namespace

SegmentRow::SegmentRow(LiveModel& live, const VoiceSession& session, const LiveSegment& segment,
                       bool selected, std::function<void(bool)> onCheck, bool speakerChanged,
                       bool playing, std::optional<int> focusOffset, std::function<void()> onTime,
                       std::function<void()> onFocus, std::function<void()> onBlur,
                       std::function<void(SegmentTextEdit::Move)> onMove,
                       std::function<void()> onMergeBackward)
    : live_(&live),
      sessionID_(session.id),
      segment_(segment),
      text_(QString::fromStdString(segment.text)),
      selected_(selected),
      onCheck_(std::move(onCheck)),
      speakerChanged_(speakerChanged),
      playing_(playing),
      focusOffset_(focusOffset),
      onTime_(std::move(onTime)),
      onFocus_(std::move(onFocus)),
      onBlur_(std::move(onBlur)),
      onMove_(std::move(onMove)),
      onMergeBackward_(std::move(onMergeBackward)) {
  if (!segment.speaker) {
    speakerLabel_ = QStringLiteral("話者？");
  } else if (*segment.speaker < 0) {
    speakerLabel_ = SpeakerNamesRow::placeholder(*segment.speaker);
  } else {
    speakerLabel_ = QString::fromStdString(session.speakerName(*segment.speaker));
  }
  for (int slot = 0; slot < kSlotsOffered; ++slot) {
    slotNames_[static_cast<std::size_t>(slot)] = QString::fromStdString(session.speakerName(slot));
  }
}

SegmentRow SegmentRow::showingText(const QString& text) const {
  SegmentRow copy = *this;
  copy.text_ = text;
  return copy;
}

QString SegmentRow::timeText() const {
  return segment_.start ? QString::fromStdString(clock(*segment_.start)) : QStringLiteral("—");
}

bool SegmentRow::timeEnabled() const { return onTime_ && segment_.start.has_value(); }

QColor SegmentRow::speakerColor() const { return SpeakerPalette::color(segment_.speaker); }

QColor SegmentRow::backgroundColor() const {
  if (selected_) return VeltoToolsDesign::withOpacity(VeltoToolsDesign::accent(), 0.14);
  if (playing_) return VeltoToolsDesign::withOpacity(VeltoToolsDesign::accent(), 0.08);
  return Qt::transparent;
}

QString SegmentRow::toolTip(Region region) const {
  switch (region) {
    case Region::check:
      return kCheckHelp;
    case Region::time:
      return onTime_ ? QStringLiteral("ここから再生") : QString();
    case Region::speaker:
      return segment_.speakerLocked ? QStringLiteral("手で選んだ話者")
                                    : QStringLiteral("推定した話者（押して直せます）");
    case Region::edited:
      return segment_.edited ? QStringLiteral("手で直した文") : QString();
    case Region::text:
    case Region::none:
      break;
  }
  return QString();
}

int SegmentRow::textWidth(int rowWidth) const {
  const int trailing = kPaddingX + (segment_.edited ? kSpacing + kEditedSymbol : 0);
  return rowWidth - kTextLeft - trailing;
}

int SegmentRow::contentHeight(int textHeight) const {
  const int edited = segment_.edited ? kEditedTop + kEditedSymbol : 0;
  return std::max({kCheckHeight, timeLabelHeight() + kTimeTop, speakerLabelHeight() + kSpeakerTop, textHeight,
                   edited});
}

int SegmentRow::heightForWidth(int width) const {
  const int text = SegmentTextEdit::textHeight(text_, SegmentTextEdit::sentenceFont(), textWidth(width));
  return (speakerChanged_ ? kSpeakerGap : 0) + kPaddingY + contentHeight(text) + kPaddingY;
}

QRect SegmentRow::regionRect(Region region, const QRect& rowRect) const {
  const int left = rowRect.left();
  const int top = rowRect.top() + (speakerChanged_ ? kSpeakerGap : 0) + kPaddingY;
  switch (region) {
    case Region::check:
      return QRect(left + kPaddingX, top, kCheckWidth, kCheckHeight);
    case Region::time:
      return QRect(left + kTimeLeft, top, kTimeWidth, timeLabelHeight() + kTimeTop);
    case Region::speaker:
      return QRect(left + kSpeakerLeft, top, kSpeakerWidth, speakerLabelHeight() + kSpeakerTop);
    case Region::text: {
      const int width = textWidth(rowRect.width());
      return QRect(left + kTextLeft, top, std::max(width, 0),
                   SegmentTextEdit::textHeight(text_, SegmentTextEdit::sentenceFont(), width));
    }
    case Region::edited:
      if (!segment_.edited) return QRect();
      return QRect(rowRect.right() + 1 - kPaddingX - kEditedSymbol, top, kEditedSymbol,
                   kEditedTop + kEditedSymbol);
    case Region::none:
      break;
  }
  return QRect();
}

SegmentRow::Region SegmentRow::regionAt(const QPoint& point, const QRect& rowRect) const {
  for (Region region : {Region::check, Region::time, Region::speaker, Region::text, Region::edited}) {
    if (regionRect(region, rowRect).contains(point)) return region;
  }
  return Region::none;
}

void SegmentRow::paint(QPainter& painter, const QRect& rowRect, bool withText) const {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const int gap = speakerChanged_ ? kSpeakerGap : 0;
  // One layout of the text measures the row and draws the text.
  const int width = textWidth(rowRect.width());
  const SegmentTextEdit::Layout text(text_, SegmentTextEdit::sentenceFont(), width);
  const QRect body(rowRect.left(), rowRect.top() + gap, rowRect.width(),
                   kPaddingY + contentHeight(text.height()) + kPaddingY);

  if (const QColor background = backgroundColor(); background.alpha() > 0) {
    fillRoundedRect(painter, body, kRowRadius, background);
  }

  const QRect check = regionRect(Region::check, rowRect);
  const QRect symbolRect(check.left() + (check.width() - kCheckSymbol) / 2,
                         check.top() + (check.height() - kCheckSymbol) / 2, kCheckSymbol, kCheckSymbol);
  if (selected_) {
    drawSymbol(painter, QStringLiteral("checkmark.circle.fill"), VeltoToolsDesign::accent(), symbolRect);
  } else {
    drawSymbol(painter, QStringLiteral("circle"), VeltoToolsDesign::withOpacity(VeltoToolsDesign::muted(), 0.5), symbolRect);
  }

  const int contentTop = body.top() + kPaddingY;
  const int barHeight = body.height() - 2 * kPaddingY;
  QPainterPath bar;
  bar.addRoundedRect(QRectF(rowRect.left() + kBarLeft, contentTop, kBarWidth, barHeight), kBarRadius,
                     kBarRadius);
  painter.fillPath(bar, VeltoToolsDesign::withOpacity(speakerColor(), segment_.speaker ? 0.9 : 0.3));

  const QRect time = regionRect(Region::time, rowRect).adjusted(0, kTimeTop, 0, 0);
  painter.setFont(timeFont());
  painter.setPen(timeEnabled() ? VeltoToolsDesign::withOpacity(VeltoToolsDesign::accent(), 0.8) : VeltoToolsDesign::muted());
  painter.drawText(time, Qt::AlignLeft | Qt::AlignTop, timeText());

  const QRect speaker = regionRect(Region::speaker, rowRect).adjusted(0, kSpeakerTop, 0, 0);
  const QFont labelFont = speakerFont();
  painter.setFont(labelFont);
  painter.setPen(speakerColor());
  painter.drawText(speaker, Qt::AlignLeft | Qt::AlignTop,
                   QFontMetrics(labelFont).elidedText(speakerLabel_, Qt::ElideRight, speaker.width()));

  if (withText) text.draw(painter, QPoint(rowRect.left() + kTextLeft, contentTop), VeltoToolsDesign::primary());

  if (segment_.edited) {
    const QRect edited = regionRect(Region::edited, rowRect);
    drawSymbol(painter, QStringLiteral("pencil"), VeltoToolsDesign::muted(),
               QRect(edited.left(), edited.top() + kEditedTop, kEditedSymbol, kEditedSymbol));
  }
  painter.restore();
}

bool SegmentRow::stillShown() const {
  const VoiceSession* session = live_->session(sessionID_);
  if (!session) return false;
  return std::any_of(session->segments.begin(), session->segments.end(),
                     [this](const LiveSegment& s) { return s.id == segment_.id; });
}

void SegmentRow::click(Region region, Qt::KeyboardModifiers modifiers) const {
  if (region == Region::check) {
    if (onCheck_) onCheck_(modifiers.testFlag(Qt::ShiftModifier));
  } else if (region == Region::time) {
    if (timeEnabled()) onTime_();
  }
}

QMenu* SegmentRow::speakerMenu(QWidget* parent) const {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("speakerMenu"));
  const QPointer<LiveModel> live(live_);
  const QUuid id = segment_.id;
  const auto choose = [live, id](std::optional<int> slot) {
    return [live, id, slot] {
      if (live) live->setSpeaker(id, slot);
    };
  };
  for (int slot = 0; slot < kSlotsOffered; ++slot) {
    QObject::connect(menu->addAction(slotNames_[static_cast<std::size_t>(slot)]), &QAction::triggered,
                     menu, choose(slot));
  }
  QObject::connect(menu->addAction(QStringLiteral("話者なし")), &QAction::triggered, menu,
                   choose(std::nullopt));
  return menu;
}

QMenu* SegmentRow::contextMenu(QWidget* parent) const {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("segmentContextMenu"));
  const QPointer<LiveModel> live(live_);
  const QUuid sessionID = sessionID_;
  const QUuid id = segment_.id;
  QObject::connect(menu->addAction(QStringLiteral("ここから新しい話題")), &QAction::triggered, menu,
                   [live, sessionID, id] {
                     if (live) live->addTopic(sessionID, id);
                   });
  menu->addSeparator();
  // Where the caret would go after the join is not used: no row takes the focus from a menu.
  QObject::connect(menu->addAction(QStringLiteral("前の文とつなげる")), &QAction::triggered, menu,
                   [live, id] {
                     if (live) live->mergeWithPrevious(id);
                   });
  QAction* remove = menu->addAction(QStringLiteral("この文を削除"));
  remove->setProperty("destructive", true);
  QObject::connect(remove, &QAction::triggered, menu, [live, id] {
    if (live) live->deleteSegment(id);
  });
  return menu;
}

void SegmentRow::connectEditor(SegmentTextEdit& editor) const {
  const QFont font = SegmentTextEdit::sentenceFont();
  if (editor.font() != font) editor.setFont(font);
  editor.setModelText(text_);
  const QPointer<LiveModel> live(live_);
  const QUuid id = segment_.id;
  editor.onChange = [live, id](const QString& text) {
    if (live) live->updateText(id, text.toStdString());
  };
  editor.onMove = onMove_;
  editor.onMergeBackward = onMergeBackward_;
  editor.onFocus = onFocus_;
  editor.onBlur = onBlur_;
}

}  // namespace veltovoice
