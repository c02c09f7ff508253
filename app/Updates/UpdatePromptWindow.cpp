#include "app/Updates/UpdatePromptWindow.h"

#include <utility>

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice {

namespace {

constexpr int kWidth = 460;
constexpr int kHeight = 220;

QLabel* wrappingLabel(QWidget* parent, const char* objectName, const QString& text, const QFont& font) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(objectName);
  // The version comes from the feed: never read as markup.
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setFont(font);
  return label;
}

QPushButton* button(QWidget* parent, const char* objectName, const QString& text, int minimumWidth) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(objectName);
  button->setAutoDefault(false);
  button->setDefault(false);
  button->setMinimumWidth(minimumWidth);
  return button;
}

}  // namespace

UpdatePromptWindow::UpdatePromptWindow(QObject* parent) : QObject(parent) {}

UpdatePromptWindow::~UpdatePromptWindow() { delete window_.data(); }

void UpdatePromptWindow::show(const QString& version, std::function<void()> update) {
  close();
  update_ = std::move(update);

  // A tool window on top, shown without activation: the reminder must not pull the user out of
  // whatever they are doing. Showing it on every workspace has no portable form and is left out.
  auto* panel = new QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                                         Qt::WindowCloseButtonHint);
  panel->setObjectName("updatePromptWindow");
  panel->setAttribute(Qt::WA_ShowWithoutActivating);
  panel->setWindowTitle(QStringLiteral("VELTO VOICE のアップデート"));
  panel->setFixedSize(kWidth, kHeight);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, VeltoToolsDesign::background());
  panel->setPalette(palette);
  panel->setAutoFillBackground(true);

  auto* column = new QVBoxLayout(panel);
  column->setContentsMargins(24, 24, 24, 20);
  column->setSpacing(0);
  column->addWidget(wrappingLabel(panel, "updatePromptHeading",
                                  QStringLiteral("新しいバージョン ") + version + QStringLiteral(" が利用できます"),
                                  VeltoToolsDesign::systemFont(15, QFont::DemiBold)));
  column->addSpacing(14);
  column->addWidget(wrappingLabel(
      panel, "updatePromptBody",
      QStringLiteral("ログインなしで更新できます。「更新する」から内容を確認して、インストールに進めます。"
                     "更新後はVELTO VOICEが再起動します。録音中は更新できません。"),
      VeltoToolsDesign::systemFont(12)));
  column->addStretch(1);
  column->addSpacing(20);

  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(12);
  buttons->addStretch(1);
  QPushButton* later = button(panel, "updatePromptLaterButton", QStringLiteral("あとで"), 80);
  QPushButton* install = button(panel, "updatePromptInstallButton", QStringLiteral("更新する"), 94);
  buttons->addWidget(later);
  buttons->addWidget(install);
  column->addLayout(buttons);
  // Buttons of a panel already replaced or closed answer nothing.
  connect(later, &QPushButton::clicked, this, [this, panel] {
    if (panel == window_) postpone();
  });
  connect(install, &QPushButton::clicked, this, [this, panel] {
    if (panel == window_) installUpdate();
  });

  window_ = panel;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    panel->move(screen->availableGeometry().center() - panel->rect().center());
  }
  panel->show();
  panel->raise();
}

void UpdatePromptWindow::close() {
  if (QWidget* panel = window_.data()) {
    panel->hide();
    panel->deleteLater();
  }
  window_ = nullptr;
  update_ = nullptr;
}

void UpdatePromptWindow::postpone() { close(); }

void UpdatePromptWindow::installUpdate() {
  std::function<void()> update = std::exchange(update_, nullptr);
  close();
  if (update) update();
}

}  // namespace veltovoice
