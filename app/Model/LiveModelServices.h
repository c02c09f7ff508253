#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "DevadEvev/FileTranscriber.h"
#include "DevadEvev/LiveTranscriber.h"
#include "DevadEvev/SpeakerDiarizer.h"

namespace platform {
class SystemLanguageModel;
}  // namespace platform

namespace veltovoice {

class Clipboard;
class DesktopServices;
class ModelClock;

// Everything outside the conversation model that it calls, given once at construction so that
// tests can put their own parts in any slot. A default-constructed record holds the defaults noted
// beside each slot; a service this build does not have yet reads as not available. Slots are
// called on the GUI thread unless their comment says otherwise.
struct LiveModelServices {
  // A half-open range of seconds from the start of a recording.
  using TimeRange = devadevev::FileTranscriber::Range;

  // A new live recogniser for one recording (its audio engine and speech backend included).
  using TranscriberFactory = std::function<std::unique_ptr<devadevev::LiveTranscriber>()>;

  // A new speaker diarizer for one recording.
  using DiarizerFactory = std::function<std::unique_ptr<devadevev::SpeakerDiarizer>()>;

  // Asks the user for one file to open, showing `message`; `nameFilters` are Qt name filters
  // ("音声 (*.m4a *.mp3)"). Returns nothing when the user cancels. Modal.
  using FileChooser = std::function<std::optional<std::filesystem::path>(
      const std::string& message, const std::vector<std::string>& nameFilters)>;

  // A yes-or-no question before something leaves the machine.
  struct ConsentQuestion {
    std::string message;
    std::string informativeText;
    std::string acceptButton;  // the first button; choosing it answers yes
    std::string cancelButton;
  };
  // Asks `question` modally; true only when the user chose the accept button.
  using ConsentPrompt = std::function<bool(const ConsentQuestion& question)>;

  // Recognises the given ranges of a stored recording and returns the sentences with their times
  // in the file. Blocking, run on a worker; `onProgress` (0 to 1) is called on that worker. Throws
  // the recogniser's errors, and CancellationError when `stop` is requested.
  using FileRecogniser = std::function<std::vector<devadevev::LiveTranscriber::Sentence>(
      const std::filesystem::path& file, const std::vector<TimeRange>& ranges,
      const std::function<void(double fraction)>& onProgress, std::stop_token stop)>;

  // Diarizes the given ranges of a stored recording with a fresh diarizer whose model lives in
  // `modelsDirectory`; the turns are in the recording's time, their slots valid for this call
  // only. Blocking, run on a worker, like FileRecogniser; `stop` may be ignored.
  using RangeDiarizer = std::function<std::vector<devadevev::SpeakerDiarizer::Turn>(
      const std::filesystem::path& file, const std::vector<TimeRange>& ranges,
      const std::filesystem::path& modelsDirectory,
      const std::function<void(double fraction)>& onProgress, std::stop_token stop)>;

  // Fills every slot with its default.
  LiveModelServices();

  // The services of the application: every default, with the language model that the settings
  // file and then the environment configure (LanguageModelSettings::configured()).
  static LiveModelServices configured();

  // Default: ModelClock::system().
  std::shared_ptr<ModelClock> clock;
  // Whether the microphone may be used. Default: a capture device exists.
  std::function<bool()> microphoneAuthorized;
  // Default: a LiveTranscriber on the default capture device and the installed speech backend.
  TranscriberFactory makeTranscriber;
  // Default: the application's SpeakerDiarizer.
  DiarizerFactory makeDiarizer;
  // Default: a desktop that shows nothing.
  std::shared_ptr<DesktopServices> desktop;
  // Default: a clipboard that drops the text.
  std::shared_ptr<Clipboard> clipboard;
  // Default: no chooser; every question reads as cancelled.
  FileChooser chooseFile;
  // Default: no prompt; every question is answered no.
  ConsentPrompt askConsent;
  // Default: FileTranscriber::transcribe with the installed speech backend.
  FileRecogniser transcribeFile;
  // Default: SpeakerDiarizer::diarize, which runs to its end whatever `stop` says.
  RangeDiarizer diarizeFile;
  // Default: a model with no server configured, which reads as not enabled.
  std::shared_ptr<platform::SystemLanguageModel> languageModel;
};

}  // namespace veltovoice
