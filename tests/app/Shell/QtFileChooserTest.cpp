// The desktop file chooser: a real QFileDialog under the offscreen platform, answered by the test.

#include "app/Shell/QtFileChooser.h"

#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QFileDialog>
#include <QTimer>
#include <gtest/gtest.h>

#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;

const char* const kMessage = "音声ファイルを選んでください。原本は変更しません。";
const char* const kFilter = "音声ファイル (*.m4a *.wav *.qta)";

QApplication& application() {
  static int argc = 1;
  static char name[] = "import_link_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Answers the next modal file dialog with `answer` once the event loop shows it.
void answerNextDialog(const std::function<void(QFileDialog&)>& answer) {
  QTimer::singleShot(0, [answer] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    answer(*dialog);
  });
}

TEST(QtFileChooserTest, DialogAsksForOneExistingFileWithTheFilters) {
  application();
  const QtFileChooser chooser;
  const auto dialog = chooser.dialog(kMessage, {kFilter});
  EXPECT_EQ(dialog->windowTitle().toStdString(), kMessage);
  EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(dialog->nameFilters(), QStringList{kFilter});
}

TEST(QtFileChooserTest, ReturnsTheChosenFileOrNothingWhenCancelled) {
  application();
  testsupport::TemporaryFolder folder;
  const fs::path file = folder / "会議 1.m4a";
  std::ofstream(file) << "audio";
  const QtFileChooser chooser;

  answerNextDialog([&](QFileDialog& dialog) {
    dialog.setDirectory(QString::fromStdString(folder.path().string()));
    dialog.selectFile(QString::fromStdString(file.string()));
    static_cast<QDialog&>(dialog).accept();  // QFileDialog hides the override
  });
  EXPECT_EQ(chooser(kMessage, {kFilter}), file);

  answerNextDialog([](QFileDialog& dialog) { dialog.reject(); });
  EXPECT_EQ(chooser(kMessage, {kFilter}), std::nullopt);
}

}  // namespace
}  // namespace veltovoice
