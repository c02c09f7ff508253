#include "app/Shell/RecordingPanel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/Clock.h"
#include "app/Model/LiveModel.h"
#include "app/Shell/LiveControls.h"
#include "app/Shell/PulsingSymbol.h"
#include "app/Shell/WaveformView.h"

namespace veltovoice {
namespace {

constexpr int kPadding = 14;
constexpr int kStackSpacing = 12;
constexpr int kRowSpacing = 10;
constexpr int kSymbolSize = 16;
constexpr int kWordPixels = 12;
constexpr int kElapsedPixels = 11;
constexpr qreal kCornerRadius = 12;
constexpr double kOutlineOpacity = 0.35;

}  // namespace

RecordingPanel::RecordingPanel(LiveModel& live, QWidget* parent) : QWidget(parent), live_(live) {
  setObjectName(QStringLiteral("recordingPanel"));

  symbol_ = new PulsingSymbol(kSymbolSize, VeltoToolsDesign::accent());
  symbol_->setObjectName(QStringLiteral("stateSymbol"));

  word_ = new QLabel;
  word_->setObjectName(QStringLiteral("stateWord"));
  QFont wordFont = word_->font();
  wordFont.setPixelSize(kWordPixels);
  wordFont.setWeight(QFont::DemiBold);
  word_->setFont(wordFont);

  elapsed_ = new QLabel;
  elapsed_->setObjectName(QStringLiteral("elapsedText"));
  elapsed_->setFont(VeltoToolsDesign::monospacedDigitFont(kElapsedPixels));
  QPalette mutedText = elapsed_->palette();
  mutedText.setColor(QPalette::WindowText, VeltoToolsDesign::overBackground(VeltoToolsDesign::muted()));
  elapsed_->setPalette(mutedText);

  controls_ = new LiveControls(live_, true);

  waveform_ = new WaveformView;
  waveform_->setFixedHeight(kWaveformHeight);

  auto* row = new QHBoxLayout;
  row->setSpacing(kRowSpacing);
  row->addWidget(symbol_, 0, Qt::AlignVCenter);
  row->addWidget(word_, 0, Qt::AlignVCenter);
  row->addWidget(elapsed_, 0, Qt::AlignVCenter);
  row->addStretch(1);
  row->addWidget(controls_, 0, Qt::AlignVCenter);

  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  stack->setSpacing(kStackSpacing);
  stack->addLayout(row);
  stack->addWidget(waveform_);

  connect(&live_, &LiveModel::phaseChanged, this, &RecordingPanel::showPhase);
  connect(&live_, &LiveModel::elapsedChanged, this, &RecordingPanel::showElapsed);
  connect(&live_, &LiveModel::levelsChanged, this, &RecordingPanel::showLevels);
  showPhase();
  showElapsed();
  showLevels();
}

void RecordingPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath shape;
  shape.addRoundedRect(box, kCornerRadius, kCornerRadius);
  painter.fillPath(shape, VeltoToolsDesign::surface());
  QColor outline = VeltoToolsDesign::accent();
  outline.setAlphaF(static_cast<float>(kOutlineOpacity));
  painter.setPen(QPen(outline, 1));
  painter.drawPath(shape);
}

void RecordingPanel::showPhase() {
  const LiveModel::Phase phase = live_.phase();
  const bool paused = phase == LiveModel::Phase::paused;
  const bool recording = phase == LiveModel::Phase::recording;
  symbol_->setSymbolName(paused ? QStringLiteral("pause.circle.fill") : QStringLiteral("record.circle.fill"));
  symbol_->setPulsing(recording);
  word_->setText(paused ? QStringLiteral("一時停止中")
                        : recording ? QStringLiteral("録音中") : QStringLiteral("準備中"));
  waveform_->setActive(recording);
}

void RecordingPanel::showElapsed() { elapsed_->setText(QString::fromStdString(clock(live_.elapsed()))); }

void RecordingPanel::showLevels() { waveform_->setLevels(live_.levels()); }

}  // namespace veltovoice
