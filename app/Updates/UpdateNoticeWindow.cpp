#include "app/Updates/UpdateNoticeWindow.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QDialog>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice {

namespace {

constexpr int kMessageWidth = 392;
constexpr int kMessageBoxHeight = 1000;
constexpr int kChromeHeight = 135;
constexpr int kMinimumHeight = 190;

QFont titleFont() { return VeltoToolsDesign::systemFont(15, QFont::DemiBold); }
QFont messageFont() { return VeltoToolsDesign::systemFont(12); }

// The notice's window. QDialog already closes on Escape and reports every way of closing through
// finished(), which is all the notice needs of it.
class UpdateNoticePanel : public QDialog {
 public:
  using QDialog::QDialog;
};

QLabel* wrappingLabel(QWidget* parent, const char* objectName, const QString& text, const QFont& font) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(objectName);
  // Error texts may carry addresses and file names from the feed: never read as markup.
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setFont(font);
  return label;
}

}  // namespace

UpdateNoticeWindow::UpdateNoticeWindow(QObject* parent) : QObject(parent) {}

UpdateNoticeWindow::~UpdateNoticeWindow() {
  completion_ = nullptr;
  delete window_.data();
}

int UpdateNoticeWindow::contentHeight(double measuredHeight) {
  return std::max(static_cast<int>(std::ceil(measuredHeight)) + kChromeHeight, kMinimumHeight);
}

double UpdateNoticeWindow::measuredHeight(const QString& message, const QFont& font) {
  return QFontMetricsF(font)
      .boundingRect(QRectF(0, 0, kMessageWidth, kMessageBoxHeight), Qt::TextWordWrap, message)
      .height();
}

void UpdateNoticeWindow::show(const QString& title, const QString& message, std::function<void()> completed) {
  dismiss();
  completion_ = std::move(completed);

  auto* panel = new UpdateNoticePanel;
  panel->setObjectName("updateNoticeWindow");
  panel->setWindowTitle(QStringLiteral("VELTO VOICE / アップデート"));
  panel->setFixedSize(kWidth, contentHeight(measuredHeight(message, messageFont())));
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, VeltoToolsDesign::background());
  panel->setPalette(palette);
  panel->setAutoFillBackground(true);

  auto* column = new QVBoxLayout(panel);
  column->setContentsMargins(24, 24, 24, 20);
  column->setSpacing(0);
  column->addWidget(wrappingLabel(panel, "updateNoticeTitle", title, titleFont()));
  column->addSpacing(12);
  column->addWidget(wrappingLabel(panel, "updateNoticeMessage", message, messageFont()));
  column->addStretch(1);
  column->addSpacing(20);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* ok = new QPushButton(QStringLiteral("OK"), panel);
  ok->setObjectName("updateNoticeOKButton");
  ok->setFixedWidth(88);
  ok->setDefault(true);
  ok->setAutoDefault(true);
  buttons->addWidget(ok);
  column->addLayout(buttons);

  // "OK" of a notice already closed does nothing.
  connect(ok, &QPushButton::clicked, this, [this, panel] {
    if (panel == window_) dismiss();
  });
  connect(panel, &QDialog::finished, this, [this, panel] { closed(panel); });

  window_ = panel;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    panel->move(screen->availableGeometry().center() - panel->rect().center());
  }
  panel->show();
  panel->raise();
  panel->activateWindow();
}

void UpdateNoticeWindow::dismiss() {
  if (QDialog* panel = window_.data()) panel->reject();
}

void UpdateNoticeWindow::closed(QDialog* dialog) {
  if (dialog != window_) return;
  window_ = nullptr;
  dialog->disconnect(this);
  dialog->deleteLater();
  if (auto completion = std::exchange(completion_, nullptr)) completion();
}

}  // namespace veltovoice
