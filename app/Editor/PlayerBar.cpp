#include "app/Editor/PlayerBar.h"

#include <algorithm>
#include <cmath>

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"

namespace veltovoice {
namespace {

constexpr double kSkipSeconds = 15;
constexpr double kShortestRange = 0.01;  // keeps the slider's range valid for an empty recording
constexpr qreal kCornerRadius = 12;

// Alt+Space opens the window menu on most Linux desktops; Ctrl+Shift+Space is no default binding
// of GNOME, KDE, ibus or fcitx5.
QKeySequence playPauseShortcut() { return QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Space); }

int milliseconds(double seconds) { return static_cast<int>(std::lround(seconds * 1000.0)); }

QToolButton* skipButton(const QString& name, const QString& symbol, const QString& help) {
  auto* button = new QToolButton;
  button->setObjectName(name);
  button->setAutoRaise(true);
  button->setIcon(Symbols::icon(symbol));
  button->setIconSize(QSize(18, 18));
  button->setToolTip(help);
  button->setAccessibleName(help);
  return button;
}

}  // namespace

PlayerBar::PlayerBar(AudioPlayback& player, QWidget* parent) : QWidget(parent), player_(player) {
  setObjectName(QStringLiteral("playerBar"));

  skipBack_ = skipButton(QStringLiteral("skipBackButton"), QStringLiteral("gobackward.15"),
                         QStringLiteral("15秒戻る"));
  skipForward_ = skipButton(QStringLiteral("skipForwardButton"), QStringLiteral("goforward.15"),
                            QStringLiteral("15秒進む"));

  playPause_ = new QPushButton;
  playPause_->setObjectName(QStringLiteral("playPauseButton"));
  playPause_->setIconSize(QSize(18, 14));
  // A shortcut of the bar rather than of the button: a button's own shortcut clicks it only after
  // its press animation.
  shortcut_ = new QShortcut(playPauseShortcut(), this);

  slider_ = new QSlider(Qt::Horizontal);
  slider_->setObjectName(QStringLiteral("positionSlider"));
  slider_->setAccessibleName(QStringLiteral("再生位置"));
  slider_->setMinimum(0);

  time_ = new QLabel;
  time_->setObjectName(QStringLiteral("timeLabel"));
  time_->setFont(VeltoToolsDesign::monospacedDigitFont(12));
  QPalette timePalette = time_->palette();
  timePalette.setColor(QPalette::WindowText, VeltoToolsDesign::overBackground(VeltoToolsDesign::muted()));
  time_->setPalette(timePalette);

  controls_ = new QWidget;
  auto* stack = new QHBoxLayout(controls_);
  stack->setContentsMargins(0, 0, 0, 0);
  stack->setSpacing(12);
  stack->addWidget(skipBack_);
  stack->addWidget(playPause_);
  stack->addWidget(skipForward_);
  stack->addWidget(slider_, 1);
  stack->addWidget(time_);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(14, 10, 14, 10);
  layout->addWidget(controls_);

  connect(skipBack_, &QToolButton::clicked, this,
          [this] { player_.seek(player_.position() - kSkipSeconds, false); });
  connect(skipForward_, &QToolButton::clicked, this,
          [this] { player_.seek(player_.position() + kSkipSeconds, false); });
  connect(playPause_, &QPushButton::clicked, this, &PlayerBar::playPause);
  connect(shortcut_, &QShortcut::activated, this, &PlayerBar::playPause);
  // Only the user's moves arrive here: the bar's own updates block the slider's signals.
  connect(slider_, &QSlider::valueChanged, this,
          [this](int value) { player_.seek(value / 1000.0, false); });

  connect(&player_, &AudioPlayback::isPlayingChanged, this, &PlayerBar::showPlaying);
  connect(&player_, &AudioPlayback::positionChanged, this, &PlayerBar::showPosition);
  connect(&player_, &AudioPlayback::durationChanged, this, &PlayerBar::showDuration);
  connect(&player_, &AudioPlayback::loadedChanged, this, &PlayerBar::showLoaded);

  showPlaying();
  showDuration();
  showPosition();
  showLoaded();
}

void PlayerBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
  painter.fillPath(shape, VeltoToolsDesign::surface());
}

void PlayerBar::playPause() {
  if (!player_.isPlaying()) {
    player_.play();
  } else {
    player_.pause();
  }
}

void PlayerBar::showPlaying() {
  const bool playing = player_.isPlaying();
  playPause_->setIcon(Symbols::icon(playing ? QStringLiteral("pause.fill") : QStringLiteral("play.fill")));
  const QString key = playPauseShortcut().toString(QKeySequence::NativeText);
  playPause_->setToolTip((playing ? QStringLiteral("一時停止（%1）") : QStringLiteral("再生（%1）")).arg(key));
  playPause_->setProperty("symbolName", playing ? QStringLiteral("pause.fill") : QStringLiteral("play.fill"));
}

void PlayerBar::showPosition() {
  // A drag in progress wins over the timer's updates.
  if (!slider_->isSliderDown()) {
    const QSignalBlocker quiet(slider_);
    slider_->setValue(milliseconds(player_.position()));
  }
  showTime();
}

void PlayerBar::showDuration() {
  {
    const QSignalBlocker quiet(slider_);
    slider_->setMaximum(milliseconds(std::max(player_.duration(), kShortestRange)));
    slider_->setValue(milliseconds(player_.position()));
  }
  showTime();
}

void PlayerBar::showLoaded() {
  controls_->setEnabled(player_.loaded());
  shortcut_->setEnabled(player_.loaded());
}

void PlayerBar::showTime() {
  time_->setText(QString::fromStdString(clock(player_.position()) + " / " + clock(player_.duration())));
}

}  // namespace veltovoice
