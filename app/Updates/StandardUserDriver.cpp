#include "app/Updates/StandardUserDriver.h"

#include <algorithm>
#include <utility>

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/sys/Error.h"
#include "platform/update/UpdateError.h"

namespace veltovoice {

namespace {

constexpr int kProgressSteps = 1000;

// Plain text only: versions and error details come from the feed and the archive, and must never
// be read as markup.
QLabel* addLabel(QDialog* window, QVBoxLayout* column, const char* objectName, const QString& text) {
  auto* label = new QLabel(text, window);
  label->setObjectName(objectName);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  column->addWidget(label);
  return label;
}

// An update window with its heading, an optional message and an empty row of buttons at its foot.
QDialog* makeWindow(const char* objectName, const QString& heading, const QString& message) {
  auto* window = new QDialog;
  window->setObjectName(objectName);
  window->setWindowTitle(QStringLiteral("VELTO VOICE アップデート"));
  window->setMinimumWidth(420);
  auto* column = new QVBoxLayout(window);
  column->setContentsMargins(24, 24, 24, 20);
  column->setSpacing(12);

  QLabel* headingLabel = addLabel(window, column, "updateHeading", heading);
  QFont font = headingLabel->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.25);
  headingLabel->setFont(font);
  if (!message.isEmpty()) addLabel(window, column, "updateMessage", message);

  auto* buttons = new QHBoxLayout;
  buttons->setObjectName("updateButtons");
  buttons->addStretch(1);
  column->addStretch(1);
  column->addLayout(buttons);
  return window;
}

QPushButton* addButton(QDialog* window, const char* objectName, const QString& text, bool isDefault = false) {
  auto* button = new QPushButton(text, window);
  button->setObjectName(objectName);
  button->setDefault(isDefault);
  button->setAutoDefault(isDefault);
  window->findChild<QHBoxLayout*>("updateButtons")->addWidget(button);
  return button;
}

void addProgress(QDialog* window) {
  auto* column = qobject_cast<QVBoxLayout*>(window->layout());
  auto* bar = new QProgressBar(window);
  bar->setObjectName("updateProgress");
  bar->setRange(0, 0);
  bar->setTextVisible(false);
  column->insertWidget(1, bar);
  auto* text = new QLabel(window);
  text->setObjectName("updateProgressText");
  text->setTextFormat(Qt::PlainText);
  column->insertWidget(2, text);
}

}  // namespace

StandardUserDriver::StandardUserDriver(QObject* parent) : QObject(parent) {}

StandardUserDriver::~StandardUserDriver() {
  pending_ = nullptr;
  delete window_.data();
}

void StandardUserDriver::showUserInitiatedUpdateCheck(std::function<void()> cancel) {
  QDialog* window = makeWindow("updateCheckingWindow", QStringLiteral("アップデートを確認しています…"), QString());
  addProgress(window);
  answer(addButton(window, "updateCancelButton", QStringLiteral("キャンセル")), cancel);
  open(window, cancel);
}

void StandardUserDriver::showUpdateFound(const platform::UpdateItem& item, const platform::UpdateState&,
                                         std::function<void(platform::UpdateChoice)> reply) {
  const std::string& version = item.displayVersionString.empty() ? item.versionString : item.displayVersionString;
  QDialog* window = makeWindow(
      "updateFoundWindow", QStringLiteral("新しいバージョンの VELTO VOICE があります"),
      QStringLiteral("VELTO VOICE %1 を利用できます。今すぐダウンロードしてインストールしますか？")
          .arg(QString::fromStdString(version)));
  const auto later = [reply] { reply(platform::UpdateChoice::later); };
  answer(addButton(window, "updateLaterButton", QStringLiteral("あとで")), later);
  answer(addButton(window, "updateInstallButton", QStringLiteral("インストール"), true),
         [reply] { reply(platform::UpdateChoice::install); });
  open(window, later);
}

void StandardUserDriver::showDownloadInitiated(std::function<void()> cancel) {
  QDialog* window = makeWindow("updateDownloadWindow", QStringLiteral("アップデートをダウンロードしています…"), QString());
  addProgress(window);
  answer(addButton(window, "updateCancelButton", QStringLiteral("キャンセル")), cancel);
  open(window, cancel);
}

void StandardUserDriver::showDownloadProgress(std::int64_t received, std::int64_t expected) {
  if (!window_ || window_->objectName() != QLatin1String("updateDownloadWindow")) return;
  auto* bar = window_->findChild<QProgressBar*>("updateProgress");
  auto* text = window_->findChild<QLabel*>("updateProgressText");
  const QLocale locale;
  if (expected > 0) {
    // Thousandths, since archives may exceed what a progress bar's int range can count in bytes.
    const double fraction = std::clamp(static_cast<double>(received) / static_cast<double>(expected), 0.0, 1.0);
    bar->setRange(0, kProgressSteps);
    bar->setValue(static_cast<int>(fraction * kProgressSteps));
    text->setText(QStringLiteral("%1 / %2").arg(locale.formattedDataSize(std::max<std::int64_t>(received, 0)),
                                                locale.formattedDataSize(expected)));
  } else {
    bar->setRange(0, 0);
    text->setText(locale.formattedDataSize(std::max<std::int64_t>(received, 0)));
  }
}

void StandardUserDriver::showReadyToInstallAndRelaunch(std::function<void(bool)> reply) {
  QDialog* window = makeWindow("updateReadyWindow", QStringLiteral("アップデートをインストールする準備ができました"),
                               QStringLiteral("インストールすると VELTO VOICE が再起動します。"));
  const auto decline = [reply] { reply(false); };
  answer(addButton(window, "updateCancelButton", QStringLiteral("キャンセル")), decline);
  answer(addButton(window, "updateRelaunchButton", QStringLiteral("インストールして再起動"), true),
         [reply] { reply(true); });
  open(window, decline);
}

void StandardUserDriver::showUpdateNotFound(const platform::UpdateError& error,
                                            std::function<void()> acknowledgement) {
  showAlert("updateNotFoundAlert", QString::fromStdString(error.description()),
            QString::fromStdString(error.failureReason()), std::move(acknowledgement));
}

void StandardUserDriver::showUpdaterError(const platform::Error& error, std::function<void()> acknowledgement) {
  const auto* update = dynamic_cast<const platform::UpdateError*>(&error);
  showAlert("updateErrorAlert", QString::fromStdString(error.description()),
            update != nullptr ? QString::fromStdString(update->failureReason()) : QString(),
            std::move(acknowledgement));
}

void StandardUserDriver::dismissUpdateInstallation() {
  QDialog* window = window_.data();
  if (window == nullptr) return;
  window_ = nullptr;
  pending_ = nullptr;
  window->disconnect(this);
  window->hide();
  window->deleteLater();
}

void StandardUserDriver::showUpdateInFocus() {
  if (!window_) return;
  window_->show();
  window_->raise();
  window_->activateWindow();
}

QDialog* StandardUserDriver::window() const { return window_.data(); }

void StandardUserDriver::open(QDialog* dialog, std::function<void()> onClose) {
  dismissUpdateInstallation();
  window_ = dialog;
  pending_ = std::move(onClose);
  connect(dialog, &QDialog::finished, this, [this, dialog] { closed(dialog); });
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
}

void StandardUserDriver::answer(QPushButton* button, std::function<void()> action) {
  connect(button, &QPushButton::clicked, this, [this, button, action = std::move(action)] {
    auto* dialog = qobject_cast<QDialog*>(button->window());
    if (dialog == nullptr || dialog != window_) return;
    pending_ = action;
    dialog->accept();
  });
}

void StandardUserDriver::closed(QDialog* dialog) {
  if (dialog != window_) return;
  window_ = nullptr;
  dialog->disconnect(this);
  dialog->deleteLater();
  // Taken first: the answer may open the next step's window.
  if (auto action = std::exchange(pending_, nullptr)) action();
}

void StandardUserDriver::showAlert(const char* objectName, const QString& heading, const QString& message,
                                   std::function<void()> acknowledgement) {
  QDialog* window = makeWindow(objectName, heading, message);
  answer(addButton(window, "updateOKButton", QStringLiteral("OK"), true), acknowledgement);
  open(window, acknowledgement);
}

}  // namespace veltovoice
