#include <QApplication>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/AppLog.h"
#include "app/Model/LiveModel.h"
#include "app/Shell/AppDelegate.h"
#include "app/Shell/SingleInstance.h"

int main(int argc, char* argv[]) {
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
  if (claim == veltovoice::SingleInstance::Claim::reachedRunning) return 0;
  if (claim == veltovoice::SingleInstance::Claim::unavailable) {
    veltovoice::AppLog::error("二重起動の確認ができません: " + instance.name().toStdString());
  }

  veltovoice::AppDelegate::Setup setup;
  setup.root = root;
  veltovoice::AppDelegate delegate(std::move(setup));
  QObject::connect(&instance, &veltovoice::SingleInstance::showRequested, &delegate,
                   &veltovoice::AppDelegate::showMainWindow);
  // exit(), not quit(): everything is saved, and no window may hold the end back now.
  QObject::connect(&delegate, &veltovoice::AppDelegate::quitReady, &app, [] { QCoreApplication::exit(0); },
                   Qt::QueuedConnection);
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                   [&delegate] { delegate.live().saveAllPending(); });
  delegate.launch();
  return QApplication::exec();
}
