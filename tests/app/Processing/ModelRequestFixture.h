#pragma once

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QCoroTask>
#include <gtest/gtest.h>

#include "app/Model/AppLog.h"
#include "platform/lm/SystemLanguageModel.h"
#include "tests/support/LanguageModelFake.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

// What a coroutine ended with: its value, or the exception it threw.
template <typename T>
struct Outcome {
  std::optional<T> value;
  std::exception_ptr error;
};

template <typename T>
QCoro::Task<Outcome<T>> captured(QCoro::Task<T> task) {
  Outcome<T> outcome;
  try {
    outcome.value.emplace(co_await std::move(task));
  } catch (...) {
    outcome.error = std::current_exception();
  }
  co_return outcome;
}

// A GUI-thread event loop, the language-model fake with a model that talks to it, and the
// application log in a temporary data folder.
class ModelRequestFixture : public ::testing::Test {
 protected:
  ModelRequestFixture() : model_(std::make_shared<platform::SystemLanguageModel>(fake_.configuration())) {
    logStart_ = logText().size();
  }

  // Runs `task` on this thread's event loop to its end; returns its value or rethrows its error.
  // (QCoro::waitFor never returns when the task throws.)
  template <typename T>
  T run(QCoro::Task<T> task) {
    auto outcome = QCoro::waitFor(captured(std::move(task)));
    if (outcome.error) std::rethrow_exception(outcome.error);
    return std::move(*outcome.value);
  }

  // The messages of the ERROR lines this test wrote to the application log, in order.
  std::vector<std::string> errorLines() {
    AppLog::flush();
    std::vector<std::string> messages;
    std::istringstream in(logText().substr(logStart_));
    for (std::string line; std::getline(in, line);) {
      // "<time> [ERROR] v<version> <message>"
      const auto level = line.find(" [ERROR] ");
      if (level == std::string::npos) continue;
      const auto message = line.find(' ', level + 9);
      messages.push_back(message == std::string::npos ? std::string() : line.substr(message + 1));
    }
    return messages;
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::LanguageModelFake fake_;
  std::shared_ptr<platform::SystemLanguageModel> model_;

 private:
  // The log folder is read once per process, so every test of a run shares one data folder.
  static std::filesystem::path logFile() {
    static const testsupport::TemporaryFolder data;
    static const bool pointed = setenv("XDG_DATA_HOME", data.path().c_str(), 1) == 0;
    EXPECT_TRUE(pointed);
    return data / "VeltoVoice" / "Logs" / "veltovoice.log";
  }

  static std::string logText() {
    const auto file = logFile();  // before the log's first use
    AppLog::flush();
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::size_t logStart_ = 0;
};

}  // namespace veltovoice::testing
