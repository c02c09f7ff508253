#include "app/Model/LanguageModelSettings.h"

#include <cmath>

#include <QSettings>
#include <fmt/format.h>

#include "app/Model/AppLog.h"

namespace veltovoice::LanguageModelSettings {
namespace {

const QString kGroup = QStringLiteral("languageModel");

std::string text(const QSettings& settings, const QString& key) {
  return settings.value(key).toString().toStdString();
}

void readTimeout(const QSettings& settings, platform::LanguageModelConfiguration& configuration) {
  const QVariant value = settings.value(QStringLiteral("timeoutSeconds"));
  if (!value.isValid()) return;
  bool ok = false;
  const double seconds = value.toString().trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(seconds) || seconds <= 0) {
    AppLog::error(fmt::format("言語モデルの設定 timeoutSeconds が正の数ではありません: \"{}\"（{:g}秒で続けます）",
                              value.toString().toStdString(), configuration.timeoutSeconds));
    return;
  }
  configuration.timeoutSeconds = seconds;
}

}  // namespace

platform::LanguageModelConfiguration read(const QString& fileName) {
  platform::LanguageModelConfiguration configuration;
  QSettings settings(fileName, QSettings::IniFormat);
  if (settings.status() != QSettings::NoError) {
    const char* why = settings.status() == QSettings::AccessError ? "読めません" : "形式が正しくありません";
    AppLog::error("設定ファイルが" + std::string(why) + "（言語モデルは設定なしで続けます）: " +
                  fileName.toStdString());
    return configuration;
  }
  settings.beginGroup(kGroup);
  configuration.url = text(settings, QStringLiteral("url"));
  configuration.model = text(settings, QStringLiteral("model"));
  configuration.apiKey = text(settings, QStringLiteral("apiKey"));
  readTimeout(settings, configuration);
  return configuration;
}

QString applicationFile() {
  return QSettings(QStringLiteral("VeltoVoice"), QStringLiteral("VeltoVoice")).fileName();
}

platform::LanguageModelConfiguration configured() {
  return platform::LanguageModelConfiguration::fromEnvironment(read(applicationFile()));
}

}  // namespace veltovoice::LanguageModelSettings
