#include "app/Editor/VeltoToolsFooter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/DesktopServices.h"

namespace veltovoice {
namespace {

constexpr int kMaximumWidth = 300;

QFont sizedFont(const QFont& base, int pixels) {
  QFont font = base;
  font.setPixelSize(pixels);
  return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::ButtonText, color);
  widget->setPalette(palette);
}

}  // namespace

VeltoToolsFooter::VeltoToolsFooter(DesktopServices& desktop, QWidget* parent)
    : QWidget(parent), desktop_(desktop) {
  setObjectName(QStringLiteral("footer"));

  line_ = new QLabel(QStringLiteral("VeltoTools — 話す・聞く・書く、をもっと軽く。会議の記録から議事録とタスクまで、手元のマシンだけで仕上げる道具たち。"));
  line_->setObjectName(QStringLiteral("footerLine"));
  line_->setFont(sizedFont(font(), 10));
  line_->setWordWrap(true);
  line_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  setTextColor(line_, VeltoToolsDesign::overBackground(VeltoToolsDesign::muted()));

  // Text first, the arrow after it: a right-to-left button puts its icon on the trailing side.
  link_ = new QPushButton(QStringLiteral("VeltoTools のサイト"));
  link_->setObjectName(QStringLiteral("footerLink"));
  link_->setFlat(true);
  link_->setCursor(Qt::PointingHandCursor);
  link_->setLayoutDirection(Qt::RightToLeft);
  link_->setFont(sizedFont(font(), 11));
  link_->setIcon(Symbols::icon(QStringLiteral("arrow.up.right"), VeltoToolsDesign::accent()));
  link_->setIconSize(QSize(9, 9));
  link_->setToolTip(VeltoToolsDesign::website());
  link_->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; text-align: right; }"));
  setTextColor(link_, VeltoToolsDesign::accent());
  connect(link_, &QPushButton::clicked, this,
          [this] { desktop_.openAddress(VeltoToolsDesign::website().toStdString()); });

  auto* column = new QWidget;
  column->setMaximumWidth(kMaximumWidth);
  auto* columnLayout = new QVBoxLayout(column);
  columnLayout->setContentsMargins(0, 0, 0, 0);
  columnLayout->setSpacing(6);
  columnLayout->addWidget(line_);
  columnLayout->addWidget(link_, 0, Qt::AlignRight);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 4, 0, 4);
  layout->setSpacing(20);
  // The column takes the width first, up to its maximum; the spacer only what is left over.
  layout->addSpacerItem(new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));
  layout->addWidget(column, 1, Qt::AlignVCenter);
}

}  // namespace veltovoice
