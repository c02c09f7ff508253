#include "app/Shell/QtConsentPrompt.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace veltovoice {
namespace {

const LiveModelServices::ConsentQuestion kQuestion = {
    "文字起こしを Claude Code に送ります",
    "清書のため、この会話の文字起こしと参加者・用語メモを Claude Code（ご自身がログインしているサービス）へ送ります。"
    "音声は送りません。よろしいですか？",
    "送って清書する", "キャンセル"};

class QtConsentPromptTest : public ::testing::Test {
 protected:
  // Answers the next alert with `answer` once it shows, keeping what it showed.
  void answerWith(std::function<void(QMessageBox&)> answer) {
    QTimer::singleShot(0, [this, answer] {
      auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(alert, nullptr);
      shownText_ = alert->text().toStdString();
      shownInformativeText_ = alert->informativeText().toStdString();
      for (QAbstractButton* button : alert->buttons()) buttons_.push_back(button->text().toStdString());
      answer(*alert);
    });
  }

  static QAbstractButton* button(QMessageBox& alert, const char* text) {
    for (QAbstractButton* candidate : alert.buttons()) {
      if (candidate->text() == QString::fromUtf8(text)) return candidate;
    }
    return nullptr;
  }

  int argc_ = 0;
  QApplication app_{argc_, nullptr};
  std::string shownText_;
  std::string shownInformativeText_;
  std::vector<std::string> buttons_;
};

TEST_F(QtConsentPromptTest, ShowsTheQuestionAndAnswersYesOnlyForTheAcceptButton) {
  struct Case {
    const char* name;
    std::function<void(QMessageBox&)> answer;
    bool accepted;
  };
  const Case cases[] = {
      {"accept button", [](QMessageBox& alert) { button(alert, "送って清書する")->click(); }, true},
      {"cancel button", [](QMessageBox& alert) { button(alert, "キャンセル")->click(); }, false},
      {"escape",
       [](QMessageBox& alert) {
         QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
         QApplication::sendEvent(&alert, &escape);
       },
       false},
      {"return takes the default", [](QMessageBox& alert) { alert.defaultButton()->click(); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    buttons_.clear();
    answerWith(c.answer);
    EXPECT_EQ(QtConsentPrompt()(kQuestion), c.accepted);
    EXPECT_EQ(shownText_, kQuestion.message);
    EXPECT_EQ(shownInformativeText_, kQuestion.informativeText);
    EXPECT_EQ(buttons_, (std::vector<std::string>{"送って清書する", "キャンセル"}));
  }
}

}  // namespace
}  // namespace veltovoice
