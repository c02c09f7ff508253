#include "app/Editor/MemoBox.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"

namespace veltovoice {
namespace {

constexpr int kStackSpacing = 6;
constexpr int kLabelSpacing = 6;
constexpr int kChevronSide = 9;
constexpr int kTitlePixels = 12;
constexpr int kEditorPixels = 11;
constexpr int kEditorPadding = 6;
constexpr int kEditorHeight = 76;
constexpr qreal kSurfaceRadius = 8;

// The toggle's label: chevron, title and, while folded, the preview elided to what is left.
class MemoToggle : public QAbstractButton {
 public:
  MemoToggle() {
    setObjectName(QStringLiteral("memoToggle"));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("参加者・用語メモ"));
  }

  void show(bool open, const QString& preview) {
    open_ = open;
    preview_ = preview;
    update();
  }

  QSize sizeHint() const override {
    const QFontMetrics metrics(titleFont());
    return QSize(kChevronSide + kLabelSpacing + metrics.horizontalAdvance(text()),
                 std::max(metrics.height(), QFontMetrics(previewFont()).height()));
  }

  // The preview as it is painted: elided to the width left of the title.
  QString shownPreview() const {
    if (preview_.isEmpty()) return QString();
    const int left = previewLeft();
    return QFontMetrics(previewFont()).elidedText(preview_, Qt::ElideRight, std::max(width() - left, 0));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const int middle = height() / 2;
    const QColor ink = palette().color(QPalette::ButtonText);
    Symbols::icon(open_ ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"), ink)
        .paint(&painter, QRect(0, middle - kChevronSide / 2, kChevronSide, kChevronSide));
    painter.setFont(titleFont());
    painter.setPen(ink);
    const int titleLeft = kChevronSide + kLabelSpacing;
    painter.drawText(QRect(titleLeft, 0, width() - titleLeft, height()), Qt::AlignLeft | Qt::AlignVCenter,
                     text());
    if (!preview_.isEmpty()) {
      painter.setFont(previewFont());
      painter.setPen(VeltoToolsDesign::muted());
      const int left = previewLeft();
      painter.drawText(QRect(left, 0, width() - left, height()), Qt::AlignLeft | Qt::AlignVCenter,
                       shownPreview());
    }
  }

 private:
  static QFont titleFont() { return VeltoToolsDesign::systemFont(kTitlePixels, QFont::Medium); }
  static QFont previewFont() { return VeltoToolsDesign::systemFont(kTitlePixels); }

  int previewLeft() const {
    return kChevronSide + kLabelSpacing + QFontMetrics(titleFont()).horizontalAdvance(text()) + kLabelSpacing;
  }

  bool open_ = false;
  QString preview_;
};

// The raised, rounded surface under the editor.
class Surface : public QWidget {
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), kSurfaceRadius, kSurfaceRadius);
    painter.fillPath(shape, VeltoToolsDesign::surface());
  }
};

}  // namespace

MemoBox::MemoBox(LiveModel& live, const QUuid& sessionID, QWidget* parent)
    : QWidget(parent), live_(live), sessionID_(sessionID) {
  setObjectName(QStringLiteral("memoBox"));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

  auto* toggle = new MemoToggle;
  toggle->setText(QStringLiteral("参加者・用語メモ"));
  toggle_ = toggle;
  connect(toggle_, &QAbstractButton::clicked, this, [this] { setOpen(!open_); });

  surface_ = new Surface;
  surface_->setFixedHeight(kEditorHeight + 2 * kEditorPadding);
  auto* padding = new QVBoxLayout(surface_);
  padding->setContentsMargins(kEditorPadding, kEditorPadding, kEditorPadding, kEditorPadding);
  editor_ = new QPlainTextEdit;
  editor_->setObjectName(QStringLiteral("memoEditor"));
  editor_->setFrameShape(QFrame::NoFrame);
  editor_->setFont(VeltoToolsDesign::systemFont(kEditorPixels));
  editor_->setFixedHeight(kEditorHeight);
  editor_->setPlaceholderText(placeholder());
  QPalette colours = editor_->palette();
  colours.setColor(QPalette::Base, Qt::transparent);
  editor_->setPalette(colours);
  editor_->viewport()->setAutoFillBackground(false);
  padding->addWidget(editor_);
  surface_->hide();

  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(kStackSpacing);
  // The toggle spans the box, so that the preview has room to be elided into.
  stack->addWidget(toggle_);
  stack->addWidget(surface_);

  connect(editor_, &QPlainTextEdit::textChanged, this, &MemoBox::textEdited);
  connect(&live_, &LiveModel::sessionChanged, this, [this](const QUuid& id) {
    if (id == sessionID_) static_cast<MemoToggle*>(toggle_)->show(open_, preview());
  });
  reload();
}

void MemoBox::setSession(const QUuid& sessionID) {
  if (sessionID == sessionID_) return;
  sessionID_ = sessionID;
  reload();
}

void MemoBox::setOpen(bool open) {
  if (open == open_) return;
  open_ = open;
  surface_->setVisible(open_);
  static_cast<MemoToggle*>(toggle_)->show(open_, preview());
  updateGeometry();
}

QString MemoBox::preview() const {
  if (open_) return QString();
  QString memo = storedMemo();
  memo.replace(QLatin1Char('\n'), QChar(0x3000));
  return memo;
}

QString MemoBox::placeholder() {
  return QStringLiteral(
      "参加者：ひかり物産 名古屋支店の森さん、青葉システムの高橋さん・小川さん\n"
      "用語：稟議（リンギ）、月次締め、検収書");
}

QString MemoBox::storedMemo() const {
  const VoiceSession* session = live_.session(sessionID_);
  return session && session->memo ? QString::fromStdString(*session->memo) : QString();
}

void MemoBox::reload() {
  // The new text equals the stored memo, so textEdited() writes nothing.
  editor_->setPlainText(storedMemo());
  static_cast<MemoToggle*>(toggle_)->show(open_, preview());
}

void MemoBox::textEdited() {
  const QString text = editor_->toPlainText();
  if (text == storedMemo()) return;
  live_.updateMemo(sessionID_, text.toStdString());
}

}  // namespace veltovoice
