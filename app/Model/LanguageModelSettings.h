#pragma once

#include <QString>

#include "platform/lm/LanguageModelConfiguration.h"

namespace veltovoice {

// Where the language model lives, as the user wrote it in the application's settings file
// (QSettings of organisation and application "VeltoVoice", by default
// $XDG_CONFIG_HOME/VeltoVoice/VeltoVoice.conf):
//
//   [languageModel]
//   url=http://127.0.0.1:8080
//   model=<name>          (optional)
//   apiKey=<bearer key>   (optional)
//   timeoutSeconds=300    (optional; a positive number)
//
// Read once at start; a change of the file takes effect at the next start. Any thread.
namespace LanguageModelSettings {

// The configuration the settings file at `fileName` gives (an INI file). A file that is missing
// gives the defaults; one that cannot be read or parsed, and a timeout that is not a positive
// number, give the defaults for what they spoil, each with an error line in the log. Never throws.
platform::LanguageModelConfiguration read(const QString& fileName);

// The application's settings file.
QString applicationFile();

// The configuration of the application's settings file with each VELTOVOICE_LM_URL,
// VELTOVOICE_LM_MODEL and VELTOVOICE_LM_API_KEY that is set taking the place of its setting.
platform::LanguageModelConfiguration configured();

}  // namespace LanguageModelSettings
}  // namespace veltovoice
