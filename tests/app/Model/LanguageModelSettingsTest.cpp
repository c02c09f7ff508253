#include "app/Model/LanguageModelSettings.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/Model/LiveModel.h"
#include "app/Model/LiveModelServices.h"
#include "app/Model/SessionStore.h"
#include "platform/lm/SystemLanguageModel.h"
#include "tests/support/AppLogCapture.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LanguageModelFake.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Reason = platform::SystemLanguageModel::UnavailableReason;

const char* const kVariables[] = {"VELTOVOICE_LM_URL", "VELTOVOICE_LM_MODEL", "VELTOVOICE_LM_API_KEY"};

// The application's settings file in a configuration folder of this process (Qt reads the folder
// once per process), and the language-model variables, cleared before and after each test.
class LanguageModelSettingsTest : public ::testing::Test {
 protected:
  LanguageModelSettingsTest() {
    static const testsupport::TemporaryFolder config;
    static const bool pointed = ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1) == 0;
    EXPECT_TRUE(pointed);
    settingsFile_ = LanguageModelSettings::applicationFile().toStdString();
    EXPECT_EQ(fs::path(settingsFile_), config / "VeltoVoice" / "VeltoVoice.conf");
    clearSettings();
    for (const char* variable : kVariables) ::unsetenv(variable);
  }

  ~LanguageModelSettingsTest() override {
    for (const char* variable : kVariables) ::unsetenv(variable);
    clearSettings();
  }

  void writeSettings(const std::string& text) {
    fs::create_directories(settingsFile_.parent_path());
    std::ofstream(settingsFile_, std::ios::trunc) << text;
    // Qt keeps a parsed file until its size or time changes; every write gets a time of its own.
    static auto stamp = fs::file_time_type::clock::now();
    stamp += std::chrono::seconds(1);
    fs::last_write_time(settingsFile_, stamp);
  }

  void clearSettings() {
    std::error_code ignored;
    fs::remove_all(settingsFile_, ignored);
  }

  fs::path settingsFile_;
  testsupport::AppLogCapture log_;
};

TEST_F(LanguageModelSettingsTest, SettingsFileThenEnvironment) {
  struct Case {
    const char* name;
    const char* settings;     // the file's content; nullptr for no file
    const char* environment;  // VELTOVOICE_LM_URL; nullptr for unset
    std::string url;
  };
  const Case cases[] = {
      {"only in the settings file", "[languageModel]\nurl=http://127.0.0.1:8081\n", nullptr,
       "http://127.0.0.1:8081"},
      {"only in the environment", nullptr, "http://127.0.0.1:8082", "http://127.0.0.1:8082"},
      {"both: the environment wins", "[languageModel]\nurl=http://127.0.0.1:8081\n",
       "http://127.0.0.1:8082", "http://127.0.0.1:8082"},
      {"an empty variable leaves the setting", "[languageModel]\nurl=http://127.0.0.1:8081\n", "",
       "http://127.0.0.1:8081"},
      {"neither", "[other]\nurl=http://127.0.0.1:8081\n", nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearSettings();
    if (c.settings) writeSettings(c.settings);
    if (c.environment) {
      ::setenv("VELTOVOICE_LM_URL", c.environment, 1);
    } else {
      ::unsetenv("VELTOVOICE_LM_URL");
    }
    const LiveModelServices services = LiveModelServices::configured();
    ASSERT_TRUE(services.languageModel);
    EXPECT_EQ(services.languageModel->configuration().url, c.url);
    if (c.url.empty()) {
      EXPECT_EQ(services.languageModel->availability().unavailableReason, Reason::appleIntelligenceNotEnabled);
    }
  }
}

TEST_F(LanguageModelSettingsTest, EveryFieldOfTheGroupIsRead) {
  writeSettings(
      "[languageModel]\nurl=http://127.0.0.1:8081/v1\nmodel=qwen\napiKey=secret\ntimeoutSeconds=45.5\n");
  platform::LanguageModelConfiguration expected;
  expected.url = "http://127.0.0.1:8081/v1";
  expected.model = "qwen";
  expected.apiKey = "secret";
  expected.timeoutSeconds = 45.5;
  EXPECT_EQ(LanguageModelSettings::configured(), expected);

  ::setenv("VELTOVOICE_LM_MODEL", "llama", 1);
  ::setenv("VELTOVOICE_LM_API_KEY", "other", 1);
  expected.model = "llama";
  expected.apiKey = "other";
  EXPECT_EQ(LanguageModelSettings::configured(), expected);
  EXPECT_THAT(log_.messages("ERROR"), IsEmpty());
}

TEST_F(LanguageModelSettingsTest, BadSettingsGiveTheDefaultsWithALogLine) {
  struct Case {
    const char* name;
    const char* settings;
    bool unreadable;
    std::string url;
    const char* logged;
  };
  const Case cases[] = {
      {"a timeout that is no number", "[languageModel]\nurl=http://127.0.0.1:8081\ntimeoutSeconds=soon\n",
       false, "http://127.0.0.1:8081", "timeoutSeconds が正の数ではありません: \"soon\"（300秒で続けます）"},
      {"a negative timeout", "[languageModel]\nurl=http://127.0.0.1:8081\ntimeoutSeconds=-5\n", false,
       "http://127.0.0.1:8081", "timeoutSeconds が正の数ではありません: \"-5\""},
      {"an unreadable file", "[languageModel]\nurl=http://127.0.0.1:8081\n", true, "",
       "設定ファイルが読めません"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::AppLogCapture log;
    clearSettings();
    writeSettings(c.settings);
    if (c.unreadable) {
      // A folder in the file's place cannot be read, whoever runs the test.
      fs::remove(settingsFile_);
      fs::create_directory(settingsFile_);
    }
    const platform::LanguageModelConfiguration configuration = LanguageModelSettings::configured();
    EXPECT_EQ(configuration.url, c.url);
    EXPECT_EQ(configuration.timeoutSeconds, 300.0);
    EXPECT_THAT(log.messages("ERROR"), Contains(HasSubstr(c.logged)));
  }
}

// A conversation that the application's own services, configured by the environment as main()
// makes them, send to a loopback stand-in for the model; the model's times that no recording has
// are left out, and the conversation still saves and reloads.
TEST_F(LanguageModelSettingsTest, ApplicationServicesExtractTasksThatSaveAndReload) {
  testsupport::LanguageModelFake fake;
  fake.setScript([](const testsupport::LanguageModelFake::Request&) {
    nlohmann::json items = nlohmann::json::array();
    const std::pair<const char*, const char*> found[] = {
        {"見積書を送る", "1:05"},       {"議事録を共有する", "nan"}, {"会場を予約する", "inf"},
        {"予算を確かめる", "-1:00"},   {"資料を直す", "1e308:00"}, {"日程を決める", "99999999:00"},
    };
    for (const auto& [title, time] : found) {
      items.push_back({{"title", title}, {"assignee", ""}, {"due", ""}, {"time", time}, {"parent", ""}});
    }
    return testsupport::LanguageModelFake::content(nlohmann::json{{"items", items}}.dump());
  });
  ::setenv("VELTOVOICE_LM_URL", fake.url().c_str(), 1);

  testsupport::TemporaryFolder root;
  VoiceSession session;
  session.title = "打ち合わせ";
  session.startedAt = 100;
  session.audioFile = "recording.m4a";
  session.markdownFile = "打ち合わせ.md";
  session.topics = std::vector<TopicTag>{};
  LiveSegment said;
  said.text = "見積書は私が送ります。";
  said.start = 65;
  said.speaker = 0;
  session.segments = {said};
  SessionStore::inFolder(root.path()).save(session);

  int argc = 0;
  QCoreApplication app(argc, nullptr);
  auto model = std::make_unique<LiveModel>(root.path(), LiveModelServices::configured());
  ASSERT_TRUE(testsupport::processEventsUntil(
      [&] { return model->services().languageModel->availability().isAvailable(); }));
  model->extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(model->taskJobs().contains(session.id));
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return !model->taskJobs().contains(session.id); }));
  model->saveAllPending();
  EXPECT_EQ(model->notice(), std::nullopt);
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_THAT(fake.requests()[0].user, HasSubstr("[01:05] 話者A：見積書は私が送ります。"));

  model.reset();
  // The stopped saves end on the event loop.
  QCoreApplication::processEvents();
  std::vector<VoiceSession> reloaded = SessionStore::inFolder(root.path()).loadAll();
  ASSERT_EQ(reloaded.size(), 1u);
  ASSERT_TRUE(reloaded[0].tasks);
  std::vector<std::pair<std::string, std::optional<double>>> tasks;
  for (const TaskItem& task : *reloaded[0].tasks) tasks.emplace_back(task.title, task.sourceStart);
  EXPECT_THAT(tasks, ElementsAre(std::pair<std::string, std::optional<double>>{"見積書を送る", 65.0},
                                 std::pair<std::string, std::optional<double>>{"議事録を共有する", std::nullopt},
                                 std::pair<std::string, std::optional<double>>{"会場を予約する", std::nullopt},
                                 std::pair<std::string, std::optional<double>>{"予算を確かめる", std::nullopt},
                                 std::pair<std::string, std::optional<double>>{"資料を直す", std::nullopt},
                                 std::pair<std::string, std::optional<double>>{"日程を決める", std::nullopt}));
  EXPECT_EQ(reloaded[0].tasksScannedThrough, 65.0);
}

}  // namespace
}  // namespace veltovoice
