#include "app/Shell/CompactView.h"

#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"
#include "app/Shell/LiveControls.h"
#include "app/Shell/WaveformView.h"
#include "app/Shell/WrappedText.h"

namespace veltovoice {
namespace {

constexpr int kBasePixels = 11;
constexpr int kTitlePixels = 12;
constexpr int kSmallPixels = 10;
constexpr int kLineSpacing = 6;
constexpr int kLineLimit = 2;

QFont sized(QFont font, int pixels, QFont::Weight weight = QFont::Normal) {
  font.setPixelSize(pixels);
  font.setWeight(weight);
  return font;
}

WrappedText* smallMutedText(const QString& name, const QFont& base) {
  auto* text = new WrappedText;
  text->setObjectName(name);
  text->setFont(sized(base, kSmallPixels));
  text->setColor(VeltoToolsDesign::muted());
  return text;
}

}  // namespace

CompactView::CompactView(LiveModel& live, std::function<void()> show, std::function<void()> quit,
                         QWidget* parent)
    : QWidget(parent, Qt::Popup), live_(live), show_(std::move(show)), quitHook_(std::move(quit)) {
  setObjectName(QStringLiteral("compactView"));
  setFont(sized(font(), kBasePixels));
  setAutoFillBackground(true);
  QPalette window = palette();
  window.setColor(QPalette::Window, VeltoToolsDesign::background());
  setPalette(window);
  setFixedWidth(kWidth);

  auto* title = new QLabel(QStringLiteral("VELTO VOICE"));
  title->setObjectName(QStringLiteral("title"));
  title->setFont(sized(font(), kTitlePixels, QFont::Bold));

  controls_ = new LiveControls(live_, false);

  waveform_ = new WaveformView;
  waveform_->setFixedHeight(kWaveformHeight);

  linesBox_ = new QWidget;
  linesBox_->setObjectName(QStringLiteral("latestLines"));
  auto* linesStack = new QVBoxLayout(linesBox_);
  linesStack->setContentsMargins(0, 0, 0, 0);
  linesStack->setSpacing(kLineSpacing);

  status_ = smallMutedText(QStringLiteral("statusText"), font());
  notice_ = smallMutedText(QStringLiteral("noticeText"), font());

  auto* divider = new QFrame;
  divider->setObjectName(QStringLiteral("divider"));
  divider->setFrameShape(QFrame::HLine);
  divider->setFixedHeight(1);
  divider->setStyleSheet(QStringLiteral("background: %1; border: none;")
                             .arg(VeltoToolsDesign::overBackground(VeltoToolsDesign::divider()).name()));

  open_ = new QPushButton(Symbols::icon(QStringLiteral("macwindow")), QStringLiteral("VELTO VOICEを開く"));
  open_->setObjectName(QStringLiteral("openButton"));
  quit_ = new QPushButton(QStringLiteral("VELTO VOICEを終了"));
  quit_->setObjectName(QStringLiteral("quitButton"));

  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  stack->setSpacing(kSpacing);
  stack->addWidget(title, 0, Qt::AlignLeft);
  stack->addWidget(controls_);
  stack->addWidget(waveform_);
  stack->addWidget(linesBox_);
  stack->addWidget(status_);
  stack->addWidget(notice_);
  stack->addWidget(divider);
  stack->addWidget(open_, 0, Qt::AlignLeft);
  stack->addWidget(quit_, 0, Qt::AlignLeft);

  connect(open_, &QPushButton::clicked, this, [this] {
    if (show_) show_();
  });
  connect(quit_, &QPushButton::clicked, this, [this] {
    if (quitHook_) {
      quitHook_();
    } else {
      QCoreApplication::quit();
    }
  });

  connect(&live_, &LiveModel::phaseChanged, this, &CompactView::showPhase);
  connect(&live_, &LiveModel::levelsChanged, this, [this] { waveform_->setLevels(live_.levels()); });
  connect(&live_, &LiveModel::statusChanged, this, &CompactView::showStatus);
  connect(&live_, &LiveModel::noticeChanged, this, &CompactView::showNotice);
  // The latest lines follow the live conversation, the newest one and the live text.
  connect(&live_, &LiveModel::volatileTextChanged, this, &CompactView::showLines);
  connect(&live_, &LiveModel::liveIDChanged, this, &CompactView::showLines);
  connect(&live_, &LiveModel::sessionChanged, this, &CompactView::showLines);
  connect(&live_, &LiveModel::sessionInserted, this, &CompactView::showLines);
  connect(&live_, &LiveModel::sessionRemoved, this, &CompactView::showLines);
  connect(&live_, &LiveModel::sessionsReordered, this, &CompactView::showLines);

  waveform_->setLevels(live_.levels());
  showPhase();
  showLines();
  showStatus();
  showNotice();
}

void CompactView::showPhase() {
  const LiveModel::Phase phase = live_.phase();
  const bool running = phase != LiveModel::Phase::idle;
  waveform_->setActive(phase == LiveModel::Phase::recording);
  waveform_->setVisible(running);
  linesBox_->setVisible(running);
  fitHeight();
}

void CompactView::showLines() {
  const std::vector<std::string> latest = live_.latestLines();
  auto* stack = static_cast<QVBoxLayout*>(linesBox_->layout());
  while (lines_.size() > latest.size()) {
    delete lines_.back();
    lines_.pop_back();
  }
  while (lines_.size() < latest.size()) {
    auto* line = new WrappedText;
    line->setMaximumLines(kLineLimit);
    stack->addWidget(line);
    lines_.push_back(line);
  }
  const bool liveTextShown = !live_.volatileText().empty();
  for (std::size_t i = 0; i < latest.size(); ++i) {
    lines_[i]->setText(QString::fromStdString(latest[i]));
    const bool isLiveText = liveTextShown && i + 1 == latest.size();
    lines_[i]->setColor(isLiveText ? VeltoToolsDesign::muted() : VeltoToolsDesign::primary());
  }
  fitHeight();
}

void CompactView::showStatus() {
  status_->setText(QString::fromStdString(live_.status()));
  status_->setVisible(!live_.status().empty());
  fitHeight();
}

void CompactView::showNotice() {
  const LiveModel::OptionalNotice& notice = live_.notice();
  notice_->setText(notice ? QString::fromStdString(notice->text) : QString());
  notice_->setVisible(notice.has_value());
  fitHeight();
}

void CompactView::fitHeight() {
  if (QLayout* stack = layout()) {
    stack->activate();
    resize(kWidth, stack->totalHeightForWidth(kWidth));
  }
}

}  // namespace veltovoice
