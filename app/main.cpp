#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <QApplication>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/AppLog.h"
#include "app/Model/LiveModel.h"
#include "app/Model/LiveModelServices.h"
#include "app/Shell/AppDelegate.h"
#include "app/Shell/SingleInstance.h"

namespace {

struct Outcome {
  int status = 0;
  // The program an installed update left to start in place of this one.
  std::optional<std::filesystem::path> relaunch;
};

Outcome run(int& argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("VeltoVoice"));
  QApplication::setApplicationName(QStringLiteral("VeltoVoice"));
  QApplication::setApplicationDisplayName(QStringLiteral("VELTO VOICE"));
  // The application lives in the status item; closing its window does not end it.
  QApplication::setQuitOnLastWindowClosed(false);
  veltovoice::VeltoToolsDesign::applyTo(app);

  const std::filesystem::path root = veltovoice::LiveModel::defaultRoot();
  veltovoice::SingleInstance instance(root);
  const veltovoice::SingleInstance::Claim claim = instance.claim();
  if (claim == veltovoice::SingleInstance::Claim::reachedRunning) return {};
  if (claim == veltovoice::SingleInstance::Claim::unavailable) {
    veltovoice::AppLog::error("二重起動の確認ができません: " + instance.name().toStdString());
  }

  veltovoice::AppDelegate::Setup setup;
  setup.root = root;
  setup.services = veltovoice::LiveModelServices::configured();
  veltovoice::AppDelegate delegate(std::move(setup));
  QObject::connect(&instance, &veltovoice::SingleInstance::showRequested, &delegate,
                   &veltovoice::AppDelegate::showMainWindow);
  // exit(), not quit(): everything is saved, and no window may hold the end back now.
  QObject::connect(&delegate, &veltovoice::AppDelegate::quitReady, &app,
                   [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
  // Should anything else end the event loop, edits still waiting for their save are written.
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                   [&delegate] { delegate.live().saveAllPending(); });
  delegate.launch();
  const int status = QApplication::exec();
  return {status, delegate.relaunchProgram()};
}

}  // namespace

int main(int argc, char* argv[]) {
  const Outcome outcome = run(argc, argv);
  if (outcome.relaunch) {
    // Everything of this run, its single-instance socket included, is closed by now.
    const std::string program = outcome.relaunch->string();
    std::vector<char*> arguments{const_cast<char*>(program.c_str()), nullptr};
    ::execv(program.c_str(), arguments.data());
    veltovoice::AppLog::error("新しい版を起動できませんでした: " + program);
    veltovoice::AppLog::flush();
  }
  return outcome.status;
}
