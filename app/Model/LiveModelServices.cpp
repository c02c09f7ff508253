#include "app/Model/LiveModelServices.h"

#include "app/Model/Clipboard.h"
#include "app/Model/DesktopServices.h"
#include "app/Model/LanguageModelSettings.h"
#include "app/Model/ModelClock.h"
#include "platform/audio/DeviceAudioInput.h"
#include "platform/lm/LanguageModelConfiguration.h"
#include "platform/lm/SystemLanguageModel.h"

namespace veltovoice {

namespace {

class NoDesktop : public DesktopServices {
 public:
  void showFileSelected(const std::filesystem::path&) override {}
  void openFolder(const std::filesystem::path&) override {}
  void openAddress(const std::string&) override {}
};

class NoClipboard : public Clipboard {
 public:
  void setText(const std::string&) override {}
};

}  // namespace

LiveModelServices::LiveModelServices()
    : clock(ModelClock::system()),
      microphoneAuthorized([] { return platform::DeviceAudioInput::deviceExists(); }),
      makeTranscriber([] { return std::make_unique<devadevev::LiveTranscriber>(); }),
      makeDiarizer([] { return std::make_unique<devadevev::SpeakerDiarizer>(); }),
      desktop(std::make_shared<NoDesktop>()),
      clipboard(std::make_shared<NoClipboard>()),
      chooseFile([](const std::string&, const std::vector<std::string>&) {
        return std::optional<std::filesystem::path>();
      }),
      askConsent([](const ConsentQuestion&) { return false; }),
      transcribeFile([](const std::filesystem::path& file, const std::vector<TimeRange>& ranges,
                        const std::function<void(double)>& onProgress, std::stop_token stop) {
        return devadevev::FileTranscriber::transcribe(file, ranges, onProgress, stop);
      }),
      diarizeFile([](const std::filesystem::path& file, const std::vector<TimeRange>& ranges,
                     const std::filesystem::path& modelsDirectory,
                     const std::function<void(double)>& onProgress, std::stop_token) {
        return devadevev::SpeakerDiarizer::diarize(file, ranges, modelsDirectory, onProgress);
      }),
      languageModel(
          std::make_shared<platform::SystemLanguageModel>(platform::LanguageModelConfiguration{})) {}

LiveModelServices LiveModelServices::configured() {
  LiveModelServices services;
  services.languageModel =
      std::make_shared<platform::SystemLanguageModel>(LanguageModelSettings::configured());
  return services;
}

}  // namespace veltovoice
