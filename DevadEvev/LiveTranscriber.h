#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/Converter.h"
#include "platform/speech/AnalyzerInput.h"
#include "platform/speech/AttributedString.h"
#include "platform/sys/Channel.h"
#include "platform/sys/Error.h"

namespace platform {
class PcmBuffer;
class SpeechAnalyzer;
}  // namespace platform

namespace devadevev {

class RecordingWriter;

// Captures the microphone during a recording and transcribes it live in Japanese. Every tap buffer
// that passes the pause gate goes, in this order, to the recording writer, to onSamples, to
// onLevel and, converted, to the speech analyzer; results come back as Updates. The owner's
// operations are for one thread (the GUI thread); feed() runs on the engine's tap thread, onUpdate
// and onError on the results thread.
//
// One instance per recording:
//   LiveTranscriber live;
//   live.setRecorder(writer);
//   live.prepare(onUpdate, onProgress, onError, stop);
//   live.startMicrophone();
//   live.setAccepting(true);   // false/true to pause and resume
//   live.finish();             // or cancel() when starting failed
class LiveTranscriber {
 public:
  // One timed sentence of a final result; also what the file recogniser returns.
  struct Sentence {
    std::string text;  // trimmed, never empty
    std::optional<double> start;
    std::optional<double> end;
    bool operator==(const Sentence&) const = default;
  };

  // One recogniser result; times are seconds on the time line of accepted audio.
  struct Update {
    std::string text;  // as recognised, not trimmed
    double start = 0;
    double end = 0;
    bool isFinal = false;
    std::vector<Sentence> sentences;  // cut from a final result; empty for a volatile one
    bool operator==(const Update&) const = default;
  };

  // The recogniser's own failures, each with its Japanese message.
  class Failure : public platform::Error {
   public:
    enum Code : int {
      unsupportedLocale = 1,  // no transcriber for "ja-JP"
      noFormat = 2,           // no audio format for the transcriber
      noInput = 3,            // the microphone reports no rate or no channels
    };
    explicit Failure(Code code, std::string detail = {});
    // What the log adds to the message: for unsupportedLocale the models folder and why no
    // recogniser was found; empty otherwise.
    const std::string& detail() const { return detail_; }
    bool operator==(const Failure& other) const { return code() == other.code(); }

   private:
    std::string detail_;
  };

  using SamplesHandler = std::function<void(std::span<const float> samples, double sampleRate)>;
  using LevelHandler = std::function<void(float level)>;
  using TextHandler = std::function<void(const std::string& text)>;
  using UpdateHandler = std::function<void(const Update& update)>;
  // Makes the converter from the tap format to the analyzer's; null when it cannot.
  using ConverterFactory = std::function<std::unique_ptr<platform::Converter>(
      const platform::AudioFormat& from, const platform::AudioFormat& to)>;

  // On the default capture device.
  LiveTranscriber();
  // On `engine` (a file or generator input for tests and headless runs), converting with
  // `converterFactory` (null: platform::Converter::make).
  explicit LiveTranscriber(std::unique_ptr<platform::AudioEngine> engine,
                           ConverterFactory converterFactory = nullptr);
  // Stops the microphone and the analyzer; pending results are dropped.
  ~LiveTranscriber();

  LiveTranscriber(const LiveTranscriber&) = delete;
  LiveTranscriber& operator=(const LiveTranscriber&) = delete;

  platform::AudioEngine& engine() { return *engine_; }

  // Set between creation and startMicrophone().
  void setRecorder(std::shared_ptr<RecordingWriter> recorder) { recorder_ = std::move(recorder); }
  // `samples` is valid only during the call; the receiver copies what it keeps.
  void setOnSamples(SamplesHandler handler) { onSamples_ = std::move(handler); }
  // Linear RMS of channel 0 of each accepted, non-empty buffer, as computed (NaN passes through).
  void setOnLevel(LevelHandler handler) { onLevel_ = std::move(handler); }
  void setOnInputChange(TextHandler handler) { onInputChange_ = std::move(handler); }

  // Makes the recogniser ready and starts reading its results. Calls onProgress once with
  // "日本語の音声認識モデルを準備しています…" when the speech models must be installed first.
  // Throws Failure::unsupportedLocale, Failure::noFormat, the errors of installing, preparing and
  // starting the analyzer unchanged, and CancellationError. After a throw, call cancel().
  void prepare(UpdateHandler onUpdate, TextHandler onProgress, TextHandler onError,
               std::stop_token stop = {});

  // Installs the tap, starts the engine and watches for device changes.
  // Throws Failure::noInput when the input reports no rate or channels, or the engine's error.
  void startMicrophone();

  // Opens (true) or closes (false) the pause gate. Safe from any thread.
  void setAccepting(bool accepting);

  // The per-buffer work, called by the tap.
  void feed(const platform::PcmBuffer& buffer);

  // Stops the microphone, lets the analyzer finish every pending result and returns after the
  // last onUpdate. Never throws; a second call does nothing.
  void finish();

  // Stops the microphone and the analyzer at once; later results are dropped. Does not wait for
  // the results thread.
  void cancel();

  // Cuts recognised text into sentences after "。", "？", "！", "?" and "!"; each sentence takes the
  // start of its first timed run and the end of its last.
  // The installed recogniser's locale for "ja-JP". Throws Failure::unsupportedLocale, its detail
  // naming the models folder and why, when there is none.
  static std::string japaneseLocale();

  static std::vector<Sentence> sentences(const platform::AttributedString& text);

 private:
  void installTapAndStart();
  void stopMicrophone();
  void onConfigurationChange();
  void endInputStream();
  // The buffer in the analyzer's format, or null when it cannot be converted.
  std::unique_ptr<platform::PcmBuffer> convertForAnalyzer(const platform::PcmBuffer& buffer);

  // Constant after construction.
  const std::unique_ptr<platform::AudioEngine> engine_;
  const ConverterFactory converterFactory_;

  // Owner's thread; set before the microphone starts, read by feed().
  std::shared_ptr<RecordingWriter> recorder_;
  SamplesHandler onSamples_;
  LevelHandler onLevel_;
  TextHandler onInputChange_;
  std::optional<platform::AudioFormat> analyzerFormat_;
  std::optional<platform::Channel<platform::AnalyzerInput>::Sender> continuation_;
  std::unique_ptr<platform::SpeechAnalyzer> analyzer_;
  std::jthread resultsTask_;
  std::vector<std::jthread> cancelledTasks_;  // joined on destruction
  bool tapInstalled_ = false;
  std::optional<platform::AudioEngine::ObserverToken> configObserver_;

  // The pause gate.
  std::mutex acceptingMutex_;
  bool accepting_ = false;  // guarded by acceptingMutex_

  // Tap thread only.
  std::unique_ptr<platform::Converter> converter_;
  double acceptedSeconds_ = 0;      // audio that passed the gate so far
  bool timelineBroken_ = false;     // a passed buffer never reached the analyzer
};

}  // namespace devadevev
