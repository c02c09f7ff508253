#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include <QCoroTask>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Editor/PlayerBar.h"
#include "app/Processing/MinutesPanel.h"
#include "app/Processing/TasksPanel.h"
#include "app/Shell/NoticeBanner.h"
#include "app/Shell/SessionDetail.h"
#include "app/Shell/SessionHeader.h"
#include "app/Shell/SessionList.h"
#include "app/Shell/WrappedText.h"
#include "platform/lm/LanguageModelConfiguration.h"
#include "tests/app/Shell/MainWindowFixture.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using testing::kMarch3;

const char* const kNotEnabled =
    "タスクの抜き出しには言語モデルが必要です。OpenAI 互換のサーバーを VELTOVOICE_LM_URL か設定ファイルの languageModel/url で指定してください。";
const char* const kOther = "この環境では言語モデルを使えないため、タスクを抜き出せません。";
const char* const kNotReady = "言語モデルのサーバーが応答しません。サーバーが動いているか確かめて、もう一度試してください。";

class LinuxTextsTest;

// One text: where it is shown, and what it says there.
struct TextCase {
  const char* name;
  std::string (*shown)(LinuxTextsTest&);
  std::string (*expected)(LinuxTextsTest&);
};

void PrintTo(const TextCase& text, std::ostream* out) { *out << text.name; }

class LinuxTextsTest : public testing::MainWindowTest, public ::testing::WithParamInterface<TextCase> {
 public:
  using MainWindowTest::model;
  using MainWindowTest::stored;
  using MainWindowTest::storedWithRecording;
  using MainWindowTest::view;

  void withoutMicrophone() { microphone_ = false; }
  ~LinuxTextsTest() override {
    view_.reset();
    model_.reset();
    if (home_) ::setenv("HOME", home_->c_str(), 1);
  }

  SessionDetail& detail() { return *view().detail(); }
  QString banner() { return detail().banner()->text()->text(); }
  // What the panels say of a conversation with the language model at `url` (empty: none configured).
  std::string tasksPlaceholderAt(const std::string& url) {
    withConversationAndModelAt(url);
    return qobject_cast<TasksPanel*>(detail().tasksPanel())->emptyText()->text().toStdString();
  }
  std::string minutesPlaceholderAt(const std::string& url) {
    withConversationAndModelAt(url);
    return qobject_cast<MinutesPanel*>(detail().minutesPanel())->emptyText()->text().toStdString();
  }
  void withConversationAndModelAt(const std::string& url) {
    platform::LanguageModelConfiguration configuration;
    configuration.url = url;
    languageModel_ = std::make_shared<platform::SystemLanguageModel>(configuration);
    stored("会議", kMarch3);
  }

  // A home whose Voice Memos recordings folder is a plain file, so that it cannot be listed.
  void makeRecordingsFolderUnreadable() {
    if (const char* home = std::getenv("HOME")) home_ = home;
    ::setenv("HOME", homeFolder_.path().c_str(), 1);
    fs::create_directories(recordingsFolder().parent_path());
    std::ofstream(recordingsFolder()) << "a file where the folder should be";
  }
  fs::path recordingsFolder() const {
    return homeFolder_.path() / "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings";
  }

  static QAction* action(QMenu& menu, const QString& text) {
    for (QAction* candidate : menu.actions()) {
      if (candidate->text() == text) return candidate;
    }
    return nullptr;
  }

 private:
  testsupport::TemporaryFolder homeFolder_;
  std::optional<fs::path> home_;
};

// Every notice, label and shortcut text that used to speak of the Mac, read where the window shows it.
const TextCase kTexts[] = {
    {"TasksPanelWithoutServerAddress", [](LinuxTextsTest& t) { return t.tasksPlaceholderAt(""); },
     [](LinuxTextsTest&) { return std::string(kNotEnabled); }},
    {"MinutesPanelWithoutServerAddress", [](LinuxTextsTest& t) { return t.minutesPlaceholderAt(""); },
     [](LinuxTextsTest&) { return std::string(kNotEnabled); }},
    {"TasksPanelWithSilentServer", [](LinuxTextsTest& t) { return t.tasksPlaceholderAt("http://127.0.0.1:9/"); },
     [](LinuxTextsTest&) { return std::string(kNotReady); }},
    {"MinutesPanelWithNonHttpAddress", [](LinuxTextsTest& t) { return t.minutesPlaceholderAt("ftp://127.0.0.1/"); },
     [](LinuxTextsTest&) { return std::string(kOther); }},
    {"BannerWithoutMicrophone",
     [](LinuxTextsTest& t) {
       t.withoutMicrophone();
       t.view();
       QCoro::waitFor(t.model().start());
       return t.banner().toStdString();
     },
     [](LinuxTextsTest&) { return std::string("録音に使えるマイクが見つかりません。マイクをつなぎ、サウンドの設定で入力装置を選んでください。"); }},
    {"BannerVoiceMemosFolderUnreadableAtStartup",
     [](LinuxTextsTest& t) {
       t.makeRecordingsFolderUnreadable();
       t.stored("録音なし", kMarch3, {}, false);
       t.view();
       return t.banner().toStdString();
     },
     [](LinuxTextsTest& t) {
       return "ボイスメモの録音フォルダ（" + t.recordingsFolder().string() +
              "）を読めません。フォルダの場所と読み取りの許可を確かめてから VELTO VOICE を開き直します（0.5 以前の会話だけに必要です）。";
       }},
    {"BannerVoiceMemosFolderUnreadableOnSearch",
     [](LinuxTextsTest& t) {
       t.makeRecordingsFolderUnreadable();
       const VoiceSession session = t.stored("録音なし", kMarch3, {}, false);
       t.view();
       t.model().setNotice(std::nullopt);
       std::unique_ptr<QMenu> menu = t.view().list()->contextMenu(session.id);
       LinuxTextsTest::action(*menu, QStringLiteral("録音を探す"))->trigger();
       QCoreApplication::processEvents();
       return t.banner().toStdString();
     },
     [](LinuxTextsTest& t) {
       return "ボイスメモの録音フォルダ（" + t.recordingsFolder().string() +
              "）を読めません。フォルダの場所と読み取りの許可を確かめてから、会話の「録音を探す」を押します。";
       }},
    {"HeaderFolderButton",
     [](LinuxTextsTest& t) {
       t.storedWithRecording("会議", kMarch3);
       return t.detail().header()->folderButton()->toolTip().toStdString();
     },
     [](LinuxTextsTest&) { return std::string("フォルダで表示"); }},
    {"HeaderMenuButton",
     [](LinuxTextsTest& t) {
       t.storedWithRecording("会議", kMarch3);
       return t.detail().header()->menuButton()->toolTip().toStdString();
     },
     [](LinuxTextsTest&) { return std::string("このコンピューターの中の AI で、文字起こし・議事録・タスクをやり直します"); }},
    {"ListContextMenu",
     [](LinuxTextsTest& t) {
       const VoiceSession session = t.stored("会議", kMarch3);
       std::unique_ptr<QMenu> menu = t.view().list()->contextMenu(session.id);
       return LinuxTextsTest::action(*menu, QStringLiteral("フォルダで表示")) ? std::string("フォルダで表示") : std::string();
     },
     [](LinuxTextsTest&) { return std::string("フォルダで表示"); }},
    {"ListStartButton",
     [](LinuxTextsTest& t) {
       return t.view().list()->findChild<QPushButton*>(QStringLiteral("startButton"))->toolTip().toStdString();
     },
     [](LinuxTextsTest&) { return std::string("Ctrl+R"); }},
    {"HintWithoutConversation",
     [](LinuxTextsTest& t) { return t.detail().hint()->text().toStdString(); },
     [](LinuxTextsTest&) { return std::string("「新規録音を開始」（Ctrl+R）で、録音しながら文字起こしします。"); }},
    {"PlayerPlayButton",
     [](LinuxTextsTest& t) {
       t.storedWithRecording("会議", kMarch3);
       return t.detail().playerBar()->findChild<QPushButton*>(QStringLiteral("playPauseButton"))->toolTip().toStdString();
     },
     [](LinuxTextsTest&) { return std::string("再生（Ctrl+Shift+Space）"); }},
};

TEST_P(LinuxTextsTest, WindowShowsTheText) {
  const std::string shown = GetParam().shown(*this);
  EXPECT_EQ(shown, GetParam().expected(*this));
}

INSTANTIATE_TEST_SUITE_P(Texts, LinuxTextsTest, ::testing::ValuesIn(kTexts),
                       [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltovoice
