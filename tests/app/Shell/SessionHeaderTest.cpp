#include "app/Shell/SessionHeader.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QToolButton>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Editor/PlayerBar.h"
#include "app/Processing/CLIAssistant.h"
#include "app/Shell/SessionDetail.h"
#include "tests/app/Shell/MainWindowFixture.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LanguageModelFake.h"
#include "tests/support/ShellScript.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::kMarch3;

// The header of the main window's detail, with HOME and the preferences in folders of the test's
// own, so that the assistants found and chosen are the test's.
class SessionHeaderTest : public testing::MainWindowTest {
 protected:
  SessionHeaderTest() {
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
  }

  SessionHeader& header() { return *view().detail()->header(); }

  // The menu as it opens: its items' texts, "-" for a divider.
  std::vector<std::string> openMenu() {
    emit header().menu()->aboutToShow();
    std::vector<std::string> texts;
    for (QAction* action : header().menu()->actions()) {
      texts.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    }
    return texts;
  }

  QAction* item(const char* name) {
    for (QAction* action : header().menu()->actions()) {
      if (action->objectName() == name) return action;
    }
    return nullptr;
  }

  QMenu* assistantMenu() {
    for (QAction* action : header().menu()->actions()) {
      if (action->menu()) return action->menu();
    }
    return nullptr;
  }

  // The assistant items' texts and whether each is enabled.
  std::vector<std::pair<std::string, bool>> assistantItems() {
    std::vector<std::pair<std::string, bool>> items;
    for (QAction* action : assistantMenu()->actions()) items.emplace_back(action->text().toStdString(), action->isEnabled());
    return items;
  }

  void install(CLIAssistant assistant) {
    testsupport::writeShellScript(home_.path() / ".local/bin" / assistant.rawValue(), "exit 0\n");
  }

  static void choose(const std::string& rawValue) {
    QSettings settings("VeltoVoice", "VeltoVoice");
    settings.setValue("cleanupAssistant", QString::fromStdString(rawValue));
    settings.sync();
  }

  // Whether the machine has the assistant in a system folder of the search, where the test's
  // own "not installed" cannot hold.
  static bool systemHas(CLIAssistant assistant) {
    for (const char* folder : {"/opt/homebrew/bin/", "/usr/local/bin/"}) {
      if (fs::exists(folder + assistant.rawValue())) return true;
    }
    return false;
  }

  testsupport::TemporaryFolder home_;
  testsupport::TemporaryFolder config_;
};

// ---- Title and date ----------------------------------------------------------------------------

TEST_F(SessionHeaderTest, ReturnRenamesWithTheTextAsTyped) {
  const VoiceSession session = storedWithRecording("会議", kMarch3);
  for (const std::string& typed : std::vector<std::string>{"  予算の会議 ", ""}) {
    SCOPED_TRACE(typed);
    header().titleField()->setText(QString::fromStdString(typed));
    QTest::keyClick(header().titleField(), Qt::Key_Return);
    EXPECT_EQ(model().session(session.id)->title, typed);
    EXPECT_EQ(header().titleField()->text().toStdString(), typed);
  }
}

TEST_F(SessionHeaderTest, EditWithoutReturnStaysUntilTheConversationOrItsTitleChanges) {
  const VoiceSession first = storedWithRecording("一つ目", kMarch3);
  const VoiceSession second = storedWithRecording("二つ目", kMarch3 + 60);
  model().setSelectedID(first.id);
  header().titleField()->setText("書きかけ");
  header().titleField()->clearFocus();
  EXPECT_EQ(header().titleField()->text(), "書きかけ") << "leaving the field keeps the edit";
  EXPECT_EQ(model().session(first.id)->title, "一つ目");

  model().updateMemo(first.id, "メモ");
  EXPECT_EQ(header().titleField()->text(), "書きかけ") << "other changes leave the field alone";

  model().setSelectedID(second.id);
  EXPECT_EQ(header().titleField()->text(), "二つ目");
  model().setSelectedID(first.id);
  EXPECT_EQ(header().titleField()->text(), "一つ目");
  EXPECT_EQ(model().session(first.id)->title, "一つ目");

  header().titleField()->setText("書きかけ");
  model().renameSession(first.id, "別の場所で変えた題");
  EXPECT_EQ(header().titleField()->text(), "別の場所で変えた題");
}

TEST_F(SessionHeaderTest, DateLineShowsTheLengthOnlyWhenKnown) {
  const VoiceSession withLength = storedWithRecording("長さあり", kMarch3);
  const VoiceSession without = storedWithRecording("長さなし", kMarch3 + 3600);
  model().editSession(withLength.id, [](VoiceSession& s) { s.duration = 3725.9; });
  struct Case {
    const char* name;
    QUuid id;
    const char* line;
  };
  const Case cases[] = {
      {"with a length", withLength.id, "2025年3月3日 9:05 · 1:02:05"},
      {"without a length", without.id, "2025年3月3日 10:05"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model().setSelectedID(c.id);
    EXPECT_EQ(header().dateLine()->text(), c.line);
  }
}

// ---- Actions -----------------------------------------------------------------------------------

TEST_F(SessionHeaderTest, JobTextReplacesTheMenuAndTheButtonsStay) {
  const VoiceSession session = storedWithRecording("会議", kMarch3);
  view();
  model().setJob(session.id, "議事録をまとめています… 1/2");
  EXPECT_TRUE(header().jobRow()->isVisible());
  EXPECT_EQ(header().jobText()->text(), "議事録をまとめています… 1/2");
  EXPECT_FALSE(header().menuButton()->isVisible());
  EXPECT_FALSE(header().findButton()->isVisible());
  EXPECT_TRUE(header().copyButton()->isVisible());
  EXPECT_TRUE(header().folderButton()->isVisible());

  header().copyButton()->click();
  EXPECT_TRUE(clipboard_->text);
  EXPECT_EQ(header().copyButton()->toolTip(), "文字起こしをコピー");
  header().folderButton()->click();
  EXPECT_EQ(desktop_->calls.size(), 1u);
  EXPECT_EQ(header().folderButton()->toolTip(), "フォルダで表示");

  model().setJob(session.id, std::nullopt);
  EXPECT_FALSE(header().jobRow()->isVisible());
  EXPECT_TRUE(header().menuButton()->isVisible());
  EXPECT_EQ(header().menuButton()->text(), "AIでやり直す");
  EXPECT_EQ(header().menuButton()->toolTip(), "このコンピューターの中の AI で、文字起こし・議事録・タスクをやり直します");
}

TEST_F(SessionHeaderTest, FindRecordingLinksTheVoiceMemosRecordingAndThePlayerLoadsIt) {
  const VoiceSession session = stored("録音なし", kMarch3, {}, false);
  view();
  ASSERT_TRUE(header().findButton()->isVisible());
  EXPECT_EQ(header().findButton()->text(), "録音を探す");
  EXPECT_FALSE(player().loaded());
  // Voice Memos names its recordings by their local start time.
  const fs::path memos = home_.path() / "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings";
  fs::create_directories(memos);
  testsupport::writeAac(memos / "20250303 090502.m4a", 16000, {testsupport::sine(440, 16000, 16000, 0.2f)}, 32000);

  header().findButton()->click();
  // The link waits on the model's clock until the file's size settles.
  ASSERT_TRUE(testsupport::processEventsUntil([&] {
    clock_->advance(1);
    return model().session(session.id)->audioFile.has_value();
  }));
  EXPECT_EQ(model().selectedID(), session.id);
  EXPECT_TRUE(player().loaded());
  EXPECT_EQ(opened_.back(), audioPath(*model().session(session.id)));
  EXPECT_TRUE(header().menuButton()->isVisible());
  EXPECT_FALSE(header().findButton()->isVisible());
  EXPECT_TRUE(view().detail()->playerBar()->isVisible());
}

// ---- The "AIでやり直す" menu ------------------------------------------------------------------

TEST_F(SessionHeaderTest, MenuListsItsItemsInOrderWithTheChosenAssistant) {
  for (CLIAssistant assistant : CLIAssistant::allCases()) {
    if (systemHas(assistant)) GTEST_SKIP() << "the machine has " << assistant.rawValue();
  }
  storedWithRecording("会議", kMarch3);
  install(CLIAssistant::gemini);
  struct Case {
    const char* name;
    std::optional<std::string> stored;
    const char* first;
    bool enabled;
    std::vector<std::pair<std::string, bool>> assistants;
  };
  const Case cases[] = {
      {"none chosen", std::nullopt, "AI清書（AI未選択）", false,
       {{"Claude Code（未インストール）", false}, {"ChatGPT（Codex）（未インストール）", false}, {"Gemini CLI", true}}},
      {"unknown value", "cursor", "AI清書（AI未選択）", false,
       {{"Claude Code（未インストール）", false}, {"ChatGPT（Codex）（未インストール）", false}, {"Gemini CLI", true}}},
      {"chosen but not installed", "codex", "AI清書（ChatGPT（Codex））", false,
       {{"Claude Code（未インストール）", false}, {"✓ ChatGPT（Codex）（未インストール）", false}, {"Gemini CLI", true}}},
      {"chosen and installed", "gemini", "AI清書（Gemini CLI）", true,
       {{"Claude Code（未インストール）", false}, {"ChatGPT（Codex）（未インストール）", false}, {"✓ Gemini CLI", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored) choose(*c.stored);
    EXPECT_THAT(openMenu(), ElementsAre(c.first, "清書に使うAI", "-", "録音から文字起こしをやり直して統合",
                                        "文字起こしがない部分だけ追加", "-", "議事録を取り直す", "タスクを抜き出し直す"));
    EXPECT_EQ(item("cleanTranscript")->isEnabled(), c.enabled);
    EXPECT_THAT(assistantItems(), ElementsAreArray(c.assistants));
    EXPECT_TRUE(item("redoTranscript")->isEnabled());
    EXPECT_TRUE(item("fillTranscript")->isEnabled());
    EXPECT_TRUE(item("makeMinutes")->isEnabled());
    EXPECT_TRUE(item("reextractTasks")->isEnabled());
  }
}

TEST_F(SessionHeaderTest, ChoosingAnInstalledAssistantStoresItAndEnablesCleanUpAtOnce) {
  if (systemHas(CLIAssistant::claude)) GTEST_SKIP() << "the machine has claude";
  storedWithRecording("会議", kMarch3);
  install(CLIAssistant::codex);
  int refreshes = 0;
  QObject::connect(&model(), &LiveModel::preferencesChanged, [&] { ++refreshes; });
  openMenu();
  ASSERT_FALSE(item("cleanTranscript")->isEnabled());

  assistantMenu()->actions()[1]->trigger();
  EXPECT_EQ(QSettings("VeltoVoice", "VeltoVoice").value("cleanupAssistant").toString(), "codex");
  EXPECT_EQ(CLIAssistant::selected(), CLIAssistant::codex);
  EXPECT_EQ(refreshes, 1) << "every view is told to refresh";

  openMenu();
  EXPECT_EQ(item("cleanTranscript")->text(), "AI清書（ChatGPT（Codex））");
  EXPECT_TRUE(item("cleanTranscript")->isEnabled());
  EXPECT_EQ(assistantItems()[1], std::make_pair(std::string("✓ ChatGPT（Codex）"), true));
  EXPECT_EQ(assistantItems()[0], std::make_pair(std::string("Claude Code（未インストール）"), false));
}

TEST_F(SessionHeaderTest, RestoreItemOnlyWhileABackupExists) {
  const VoiceSession session = storedWithRecording("会議", kMarch3);
  view();
  model().editSession(session.id, [](VoiceSession& s) { s.segmentsBackup = std::vector<LiveSegment>{testing::sentence("前の文")}; });
  const std::vector<std::string> withBackup = openMenu();
  ASSERT_GE(withBackup.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(withBackup.end() - 2, withBackup.end()),
              ElementsAre("-", "文字起こしをやり直す前（清書・統合の前）に戻す"));

  item("restoreBackup")->trigger();
  EXPECT_EQ(model().notice()->text, "やり直す前の文字起こしに戻しました。");
  EXPECT_THAT(model().session(session.id)->segments.front().text, "前の文");
  EXPECT_EQ(openMenu().back(), "タスクを抜き出し直す");
  EXPECT_EQ(item("restoreBackup"), nullptr);
}

TEST_F(SessionHeaderTest, MinutesItemIsDisabledWhileAMinutesJobRuns) {
  testsupport::LanguageModelFake fake;
  fake.setScript([](const testsupport::LanguageModelFake::Request&) {
    testsupport::LanguageModelFake::Answer answer = testsupport::LanguageModelFake::content(R"({"topics":[]})");
    answer.held = true;
    return answer;
  });
  languageModel_ = std::make_shared<platform::SystemLanguageModel>(fake.configuration());
  languageModel_->refreshAvailability();
  const VoiceSession session = storedWithRecording("会議", kMarch3);
  model().editSession(session.id, [](VoiceSession& s) { s.segments = {testing::sentence("一文目")}; });
  view();

  openMenu();
  item("makeMinutes")->trigger();
  ASSERT_TRUE(model().minutesJobs().contains(session.id));
  EXPECT_TRUE(header().jobRow()->isVisible()) << header().jobText()->text().toStdString();

  // Between the job's texts the menu comes back, its minutes item still disabled.
  model().setJob(session.id, std::nullopt);
  ASSERT_TRUE(header().menuButton()->isVisible());
  openMenu();
  EXPECT_FALSE(item("makeMinutes")->isEnabled());
  EXPECT_TRUE(item("reextractTasks")->isEnabled());

  fake.release();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return !model().minutesJobs().contains(session.id); }));
  openMenu();
  EXPECT_TRUE(item("makeMinutes")->isEnabled());
}

TEST_F(SessionHeaderTest, TaskItemAsksForExtractionAgain) {
  storedWithRecording("会議", kMarch3);
  view();
  openMenu();
  // Without a language model the extraction only says why it cannot run.
  item("reextractTasks")->trigger();
  ASSERT_TRUE(model().notice());
  EXPECT_EQ(model().notice()->text,
            "タスクの抜き出しには言語モデルが必要です。OpenAI 互換のサーバーを VELTOVOICE_LM_URL か設定ファイルの languageModel/url で指定してください。");
}

}  // namespace
}  // namespace veltovoice
