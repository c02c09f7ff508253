#include "app/Editor/TopicHeader.h"

#include <algorithm>

#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {
namespace {

constexpr int kPaddingTop = 14;
constexpr int kPaddingBottom = 2;
constexpr int kPaddingLeading = 4;
constexpr int kSpacing = 8;
constexpr int kSymbolSide = 11;
constexpr int kTitlePixels = 14;
constexpr int kTimePixels = 10;
constexpr int kFieldMargin = 2;  // room for the field's own inner margins

QFont titleFont() { return VeltoToolsDesign::systemFont(kTitlePixels, QFont::Bold); }

QFont timeFont() { return VeltoToolsDesign::monospacedDigitFont(kTimePixels); }

int contentHeight() { return QFontMetrics(titleFont()).height() + 2 * kFieldMargin; }

}  // namespace

TopicHeader::TopicHeader(LiveModel& live, const QUuid& sessionID, const QUuid& topicID, QWidget* parent)
    : QWidget(parent), live_(live), sessionID_(sessionID), topicID_(topicID) {
  setObjectName(QStringLiteral("topicHeader"));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  seenTitle_ = modelTitle().value_or(QString());
  title_ = seenTitle_;
  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    if (id == sessionID_) refresh();
  });
}

QLineEdit* TopicHeader::titleField() const { return field_ && field_->isVisible() ? field_ : nullptr; }

void TopicHeader::openEditor() {
  if (!field_) {
    field_ = new QLineEdit(this);
    field_->setObjectName(QStringLiteral("topicTitleField"));
    field_->setFrame(false);
    field_->setFont(titleFont());
    field_->setPlaceholderText(QStringLiteral("話題"));
    field_->setTextMargins(0, 0, 0, 0);
    QPalette colours = field_->palette();
    colours.setColor(QPalette::Base, Qt::transparent);
    colours.setColor(QPalette::Text, VeltoToolsDesign::accent());
    field_->setPalette(colours);
    field_->installEventFilter(this);
    connect(field_, &QLineEdit::textEdited, this, [this](const QString& text) { title_ = text; });
    connect(field_, &QLineEdit::returnPressed, this, &TopicHeader::commit);
  }
  field_->setText(title_);
  field_->setGeometry(titleRect(rect(), timeText()));
  field_->show();
  field_->setFocus(Qt::MouseFocusReason);
  update();
}

int TopicHeader::headerHeight() { return kPaddingTop + contentHeight() + kPaddingBottom; }

QRect TopicHeader::titleRect(const QRect& rect, const QString& timeText) {
  const int left = rect.left() + kPaddingLeading + kSymbolSide + kSpacing;
  const int timeWidth =
      timeText.isEmpty() ? 0 : QFontMetrics(timeFont()).horizontalAdvance(timeText) + kSpacing;
  const int right = rect.right() + 1 - timeWidth;
  return QRect(left, rect.top() + kPaddingTop, std::max(right - left, 0), contentHeight());
}

void TopicHeader::paint(QPainter& painter, const QRect& rect, const QString& title, const QString& timeText) {
  painter.save();
  const QRect titleArea = titleRect(rect, timeText);
  const QRect symbol(rect.left() + kPaddingLeading, titleArea.center().y() - kSymbolSide / 2, kSymbolSide,
                     kSymbolSide);
  Symbols::icon(QStringLiteral("number"), VeltoToolsDesign::accent()).paint(&painter, symbol);

  const QFont font = titleFont();
  painter.setFont(font);
  const QRect text = titleArea.adjusted(kFieldMargin, 0, -kFieldMargin, 0);
  if (title.isEmpty()) {
    painter.setPen(VeltoToolsDesign::muted());
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("話題"));
  } else {
    painter.setPen(VeltoToolsDesign::accent());
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                     QFontMetrics(font).elidedText(title, Qt::ElideRight, text.width()));
  }
  if (!timeText.isEmpty()) {
    painter.setFont(timeFont());
    painter.setPen(VeltoToolsDesign::muted());
    const QRect time(titleArea.right() + 1 + kSpacing, titleArea.top(),
                     rect.right() + 1 - titleArea.right() - 1 - kSpacing, titleArea.height());
    painter.drawText(time, Qt::AlignLeft | Qt::AlignVCenter, timeText);
  }
  painter.restore();
}

QSize TopicHeader::sizeHint() const { return QSize(400, headerHeight()); }

void TopicHeader::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // With the field open, only its surroundings are painted.
  paint(painter, rect(), titleField() ? QStringLiteral(" ") : title_, timeText());
}

void TopicHeader::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && titleRect(rect(), timeText()).contains(event->position().toPoint())) {
    openEditor();
    return;
  }
  QWidget::mousePressEvent(event);
}

void TopicHeader::contextMenuEvent(QContextMenuEvent* event) {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("topicContextMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QAction* remove = menu->addAction(QStringLiteral("この見出しを削除"));
  remove->setProperty("destructive", true);
  connect(remove, &QAction::triggered, this, [this] { live_.deleteTopic(sessionID_, topicID_); });
  menu->popup(event->globalPos());
}

void TopicHeader::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (titleField()) field_->setGeometry(titleRect(rect(), timeText()));
}

bool TopicHeader::eventFilter(QObject* watched, QEvent* event) {
  if (watched == field_ && event->type() == QEvent::FocusOut) {
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    // A context menu or another window takes the focus only for a while.
    if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
      commit();
      closeEditor();
    }
  }
  return QWidget::eventFilter(watched, event);
}

std::optional<QString> TopicHeader::modelTitle() const {
  const VoiceSession* session = live_.session(sessionID_);
  if (!session || !session->topics) return std::nullopt;
  for (const TopicTag& topic : *session->topics) {
    if (topic.id == topicID_) return QString::fromStdString(topic.title);
  }
  return std::nullopt;
}

QString TopicHeader::timeText() const {
  const VoiceSession* session = live_.session(sessionID_);
  if (!session || !session->topics) return QString();
  for (const TopicTag& topic : *session->topics) {
    if (topic.id != topicID_) continue;
    const std::optional<double> start = session->topicStart(topic);
    return start ? QString::fromStdString(clock(*start)) : QString();
  }
  return QString();
}

void TopicHeader::refresh() {
  const std::optional<QString> current = modelTitle();
  if (current && *current != seenTitle_) {
    seenTitle_ = *current;
    // What the user is typing wins over a rename from elsewhere.
    if (!(field_ && field_->hasFocus())) {
      title_ = *current;
      if (field_) field_->setText(title_);
    }
  }
  if (titleField()) field_->setGeometry(titleRect(rect(), timeText()));
  update();
}

void TopicHeader::commit() {
  const std::optional<QString> current = modelTitle();
  if (!current) return;
  const std::string trimmed = platform::text::trimBlanks(title_.toStdString());
  if (trimmed.empty()) {
    title_ = *current;
    if (field_) field_->setText(title_);
    update();
    return;
  }
  if (trimmed != current->toStdString()) live_.renameTopic(sessionID_, topicID_, trimmed);
}

void TopicHeader::closeEditor() {
  if (!titleField()) return;
  field_->hide();
  update();
}

}  // namespace veltovoice
