#include "app/Shell/QtDesktopServices.h"

#include <filesystem>
#include <optional>

#include <QUrl>
#include <gtest/gtest.h>

#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/FileManagerFake.h"
#include "tests/support/OpenedUrls.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;

// "フォルダで表示": the file manager shows the file selected; without one that answers, the folder
// opens instead, so the user still lands next to the file.
TEST(DesktopRevealTest, FileManagerShowsTheFileOrTheFolderOpens) {
  enum class FileManager { answers, fails, absent };
  struct Case {
    const char* name;
    FileManager fileManager;
    bool folderOpens;
  };
  const Case cases[] = {
      {"a file manager shows the item", FileManager::answers, false},
      {"a file manager that fails", FileManager::fails, true},
      {"no file manager on the bus", FileManager::absent, true},
  };
  testing::widgetApplication();
  const fs::path file = "/tmp/録音 フォルダ/2025-03-05 1407 定例#1.m4a";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<testsupport::FileManagerFake> fileManager;
    if (c.fileManager != FileManager::absent) {
      fileManager.emplace(c.fileManager == FileManager::fails);
      ASSERT_TRUE(fileManager->isRegistered());
    }
    testsupport::OpenedUrls opened(QStringLiteral("file"));

    QtDesktopServices().showFileSelected(file);

    if (fileManager) {
      const auto calls = fileManager->showItemsCalls();
      ASSERT_EQ(calls.size(), 1);
      // One URI, percent-encoded as the interface expects, and no startup id.
      EXPECT_EQ(calls[0].uris, QStringList{QUrl::fromLocalFile(QString::fromStdString(file.string())).toString()});
      EXPECT_EQ(QUrl(calls[0].uris.value(0)).toLocalFile().toStdString(), file.string());
      EXPECT_TRUE(calls[0].startupId.isEmpty());
    }
    if (c.folderOpens) {
      ASSERT_EQ(opened.urls().size(), 1);
      EXPECT_EQ(opened.urls()[0].toLocalFile().toStdString(), file.parent_path().string());
    } else {
      EXPECT_TRUE(opened.urls().isEmpty());
    }
  }
}

}  // namespace
}  // namespace veltovoice
