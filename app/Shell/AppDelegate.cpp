#include "app/Shell/AppDelegate.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include <QAction>
#include <QCoroSignal>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSysInfo>

#include "app/Model/AppLog.h"
#include "app/Shell/CompactView.h"
#include "app/Shell/MainView.h"
#include "app/Shell/MainWindow.h"
#include "app/Shell/QtClipboard.h"
#include "app/Shell/QtConsentPrompt.h"
#include "app/Shell/QtDesktopServices.h"
#include "app/Shell/QtFileChooser.h"
#include "app/Shell/RecordingCommands.h"
#include "app/Shell/StatusItem.h"
#include "app/Shell/StatusTrayIcon.h"
#include "app/Shell/TerminationSignals.h"
#include "app/Shell/UpdateCommands.h"
#include "app/Updates/Updates.h"

namespace veltovoice {
namespace {

std::unique_ptr<AudioPlayback> makePlayback(const AudioPlayback::PlayerFactory& makePlayer) {
  if (makePlayer) return std::make_unique<AudioPlayback>(makePlayer);
  return std::make_unique<AudioPlayback>();
}

}  // namespace

AppDelegate::AppDelegate(Setup setup, QObject* parent)
    : QObject(parent),
      setup_(std::move(setup)),
      player_(makePlayback(setup_.makePlayer)),
      updates_(std::make_unique<Updates>()) {}

AppDelegate::~AppDelegate() {
  // The views borrow the model, the player and the service: they go first.
  signals_.reset();
  window_.reset();
  delete updateCommands_;
  updates_->setTrayIcon(nullptr);
  trayIcon_.reset();
  statusItem_.reset();
  popover_.reset();
  updates_.reset();
}

LiveModel& AppDelegate::live() {
  if (!live_) {
    LiveModelServices services = setup_.services;
    QPointer<AppDelegate> self(this);
    services.desktop = setup_.desktop ? setup_.desktop : std::make_shared<QtDesktopServices>();
    services.clipboard = setup_.clipboard ? setup_.clipboard : std::make_shared<QtClipboard>();
    services.chooseFile = setup_.chooseFile
        ? setup_.chooseFile
        : LiveModelServices::FileChooser([self](const std::string& message,
                                                const std::vector<std::string>& filters) {
            return QtFileChooser(self ? self->window_.get() : nullptr)(message, filters);
          });
    services.askConsent = setup_.askConsent
        ? setup_.askConsent
        : LiveModelServices::ConsentPrompt([self](const LiveModelServices::ConsentQuestion& question) {
            return QtConsentPrompt(self ? self->window_.get() : nullptr)(question);
          });
    live_ = std::make_unique<LiveModel>(setup_.root, std::move(services));
  }
  return *live_;
}

QString AppDelegate::startLine() {
  QString system = QSysInfo::prettyProductName();
  const QString version = QSysInfo::productVersion();
  // Some systems name themselves without their version.
  if (version != QLatin1String("unknown") && !system.contains(version)) system += u' ' + version;
  return QStringLiteral("起動 ") + system;
}

void AppDelegate::launch() {
  if (launched_) return;
  launched_ = true;
  LiveModel& model = live();
  makeCommands();

  QPointer<AppDelegate> self(this);
  popover_ = std::make_unique<CompactView>(
      model,
      [self] {
        if (!self) return;
        self->statusItem_->closePopover();
        self->showMainWindow();
      },
      [self] {
        if (self) self->requestQuit(QuitRequest::ask);
      });
  // The recording shortcuts reach the model also while the popover has the keyboard.
  popover_->addActions({recording_->start(), recording_->pause(), recording_->stop(), quit_});
  statusItem_ = std::make_unique<StatusItem>(model, *popover_);
  trayIcon_ = std::make_unique<StatusTrayIcon>(*statusItem_);

  signals_ = std::make_unique<TerminationSignals>();
  connect(signals_.get(), &TerminationSignals::terminationRequested, this,
          [this] { requestQuit(QuitRequest::unattended); });
  if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(gui, &QGuiApplication::commitDataRequest, this,
            [this] { requestQuit(QuitRequest::unattended); });
  }

  AppLog::info(startLine().toStdString());
  const char* demo = std::getenv("VELTOVOICE_DEMO");
  if (demo && std::strcmp(demo, "1") == 0) model.loadDemo();
  showMainWindow();
  startUpdates();
}

void AppDelegate::startUpdates() {
  QPointer<AppDelegate> self(this);
  updates_->setCanInstall([self] { return !self || self->canInstall(); });
  updates_->setPrepareUI([self] {
    if (self) self->showMainWindow();
  });
  platform::UpdaterEnvironment environment;
  // A new program takes over only after this one has ended by the one road, recording saved.
  environment.relaunch = [self](const std::filesystem::path& program) {
    if (!self) return;
    self->relaunch_ = program;
    self->requestQuit(QuitRequest::unattended);
  };
  updates_->setUpdaterEnvironment(std::move(environment));
  updates_->setTrayIcon(trayIcon_->icon());
  updates_->start();
}

void AppDelegate::makeCommands() {
  if (recording_) return;
  LiveModel& model = live();
  QPointer<AppDelegate> self(this);
  recording_ = new RecordingCommands(model, [self] {
    if (self) self->showMainWindow();
  }, this);

  import_ = new QAction(QStringLiteral("音声ファイルを取り込む…"), this);
  import_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  connect(import_, &QAction::triggered, this, [this] { live().importAudio(); });

  next_ = new QAction(QStringLiteral("次の会話"), this);
  next_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Tab));
  connect(next_, &QAction::triggered, this, [this] { live().select(1); });
  previous_ = new QAction(QStringLiteral("前の会話"), this);
  // With Shift held the keyboard reports Backtab; both spellings reach the item.
  previous_->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab),
                           QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab)});
  connect(previous_, &QAction::triggered, this, [this] { live().select(-1); });

  revealLog_ = new QAction(QStringLiteral("ログを開く"), this);
  connect(revealLog_, &QAction::triggered, this, [this] { AppLog::reveal(*live().services().desktop); });

  updateCommands_ = new UpdateCommands(*updates_, this);

  quit_ = new QAction(QStringLiteral("VELTO VOICEを終了"), this);
  quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit_->setMenuRole(QAction::QuitRole);
  connect(quit_, &QAction::triggered, this, [this] { requestQuit(QuitRequest::ask); });
}

void AppDelegate::buildMenus() {
  QMenuBar* bar = window_->menuBar();
  QMenu* application = bar->addMenu(QStringLiteral("VELTO VOICE"));
  updateCommands_->addTo(*application);
  application->addSeparator();
  application->addAction(quit_);

  QMenu* file = bar->addMenu(QStringLiteral("ファイル"));
  file->addAction(import_);

  QMenu* view = bar->addMenu(QStringLiteral("表示"));
  view->addAction(next_);
  view->addAction(previous_);

  QMenu* recording = bar->addMenu(QStringLiteral("録音"));
  recording_->addTo(*recording);

  QMenu* help = bar->addMenu(QStringLiteral("ヘルプ"));
  help->addAction(revealLog_);
}

void AppDelegate::showMainWindow() {
  if (!window_) {
    LiveModel& model = live();
    makeCommands();
    window_ = std::make_unique<MainWindow>(new MainView(model, player()));
    buildMenus();
  }
  window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
  window_->show();
  window_->raise();
  window_->activateWindow();
}

bool AppDelegate::canInstall() { return live().phase() == LiveModel::Phase::idle; }

std::unique_ptr<QMessageBox> AppDelegate::quitQuestion() const {
  auto question = std::make_unique<QMessageBox>(window_ && window_->isVisible() ? window_.get() : nullptr);
  question->setIcon(QMessageBox::Warning);
  question->setText(QStringLiteral("録音中です"));
  question->setInformativeText(
      QStringLiteral("終了すると録音と文字起こしが止まります。先に「終了」で録音を保存してください。"));
  QPushButton* cancel = question->addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
  question->addButton(QStringLiteral("VELTO VOICEを終了"), QMessageBox::AcceptRole);
  question->setDefaultButton(cancel);
  question->setEscapeButton(cancel);
  return question;
}

bool AppDelegate::confirmQuit() {
  const std::unique_ptr<QMessageBox> question = quitQuestion();
  question_ = question.get();
  question->exec();
  QAbstractButton* chosen = question->clickedButton();
  return chosen && question->buttonRole(chosen) == QMessageBox::AcceptRole;
}

void AppDelegate::requestQuit(QuitRequest request) {
  if (quitting_ || question_) {
    // A signal while the question is open ends the application without waiting for an answer.
    if (!quitting_ && request == QuitRequest::unattended) {
      quitting_ = true;
      question_->reject();
      finishAndQuit();
    }
    return;
  }
  if (request == QuitRequest::ask && live().phase() != LiveModel::Phase::idle) {
    const bool quit = confirmQuit();
    if (quitting_ || !quit) return;
  }
  quitting_ = true;
  finishAndQuit();
}

QCoro::Task<> AppDelegate::finishAndQuit() {
  QPointer<AppDelegate> self(this);
  QPointer<LiveModel> model(&live());
  using Phase = LiveModel::Phase;
  // A start settles into recording (or back to idle), a stop into idle; a running or paused
  // recording is stopped, so that its file gets its index and the conversation its length.
  while (model && model->phase() != Phase::idle) {
    const Phase phase = model->phase();
    if (phase == Phase::recording || phase == Phase::paused) {
      co_await model->stop();
    } else {
      co_await qCoro(model.data(), &LiveModel::phaseChanged);
    }
  }
  if (!self) co_return;
  if (model) model->saveAllPending();
  if (window_) window_->saveGeometryNow();
  AppLog::flush();
  emit quitReady();
}

}  // namespace veltovoice
