#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QListWidget>
#include <QLocale>
#include <QMainWindow>
#include <QStandardPaths>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/SessionStore.h"
#include "app/Model/UserLocale.h"

namespace {

// $XDG_DATA_HOME/VeltoVoice, by default ~/.local/share/VeltoVoice.
std::filesystem::path applicationFolder() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  return std::filesystem::path(QDir(data).filePath("VeltoVoice").toStdString());
}

// One row per stored conversation, newest first: title and start date.
QListWidget* conversationList(const std::vector<veltovoice::VoiceSession>& sessions) {
  auto* list = new QListWidget;
  for (const veltovoice::VoiceSession& session : sessions) {
    const auto startMs = static_cast<qint64>(
        veltovoice::unixSecondsFromRecordTime(session.startedAt) * 1000.0);
    const QString started =
        QLocale().toString(QDateTime::fromMSecsSinceEpoch(startMs), QLocale::ShortFormat);
    list->addItem(QString::fromStdString(session.title) + "\n" + started);
  }
  return list;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("VeltoVoice");
  veltovoice::VeltoToolsDesign::applyTo(app);
  const auto store = veltovoice::SessionStore::inFolder(applicationFolder());

  QMainWindow window;
  window.setWindowTitle("VeltoVoice");
  window.resize(1320, 800);
  window.setCentralWidget(conversationList(store.loadAll()));
  window.show();
  return QApplication::exec();
}
