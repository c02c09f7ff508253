#include "app/Shell/NoticeBanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/DesktopServices.h"
#include "app/Model/LiveModel.h"
#include "app/Shell/WrappedText.h"

namespace veltovoice {
namespace {

constexpr int kSpacing = 10;
constexpr int kPadding = 12;
constexpr int kSymbolSize = 16;
constexpr qreal kCornerRadius = 12;

}  // namespace

NoticeBanner::NoticeBanner(LiveModel& live, QWidget* parent) : QWidget(parent), live_(live) {
  setObjectName(QStringLiteral("noticeBanner"));

  symbol_ = new QLabel;
  symbol_->setObjectName(QStringLiteral("noticeSymbol"));
  symbol_->setPixmap(Symbols::icon(QStringLiteral("exclamationmark.circle"), VeltoToolsDesign::accent())
                         .pixmap(kSymbolSize, kSymbolSize));

  text_ = new WrappedText;
  text_->setObjectName(QStringLiteral("noticeText"));
  text_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

  settings_ = new QPushButton(QStringLiteral("システム設定を開く"));
  settings_->setObjectName(QStringLiteral("openSettings"));

  dismiss_ = new QToolButton;
  dismiss_->setObjectName(QStringLiteral("dismissNotice"));
  dismiss_->setAutoRaise(true);
  dismiss_->setIcon(Symbols::icon(QStringLiteral("xmark"), VeltoToolsDesign::muted()));

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  row->setSpacing(kSpacing);
  row->addWidget(symbol_, 0, Qt::AlignVCenter);
  row->addWidget(text_, 1, Qt::AlignVCenter);
  row->addWidget(settings_, 0, Qt::AlignVCenter);
  row->addWidget(dismiss_, 0, Qt::AlignVCenter);

  connect(settings_, &QPushButton::clicked, this, &NoticeBanner::openSettings);
  // The model logs a notice only when one is set; clearing it writes nothing.
  connect(dismiss_, &QToolButton::clicked, this, [this] { live_.setNotice(std::nullopt); });
  connect(&live_, &LiveModel::noticeChanged, this, &NoticeBanner::showNotice);
  showNotice();
}

void NoticeBanner::showNotice() {
  const auto& notice = live_.notice();
  setVisible(notice.has_value());
  if (!notice) return;
  text_->setText(QString::fromStdString(notice->text));
  settings_->setVisible(notice->action.has_value() && live_.services().desktop->canOpenSettingsPanes());
}

void NoticeBanner::openSettings() {
  // The notice stays: the user may come back to it after granting access.
  if (live_.notice() && live_.notice()->action) live_.perform(*live_.notice()->action);
}

void NoticeBanner::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  painter.fillPath(shape, VeltoToolsDesign::surface());
}

}  // namespace veltovoice
