#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("VeltoVoice");
  QMainWindow window;
  window.setWindowTitle("VeltoVoice");
  window.resize(1320, 800);
  window.show();
  return QApplication::exec();
}
