#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech/SpeechBackend.h"

namespace testsupport {

// A speech backend for tests that "recognises" a script. It wants 16 kHz mono float audio, finds
// utterances by energy (above -40 dBFS for at least 100 ms, ended by 300 ms below), and gives
// utterance k the text of line k of the script: volatile results with a growing prefix every 0.5 s
// of input while it lasts, and at its end (or when the input ends) one final result whose runs are
// the characters with times spread over the utterance. It keeps the analyzer's time line: an
// input without a start follows the previous one, an input with a start begins there.
class ScriptedSpeechBackend : public platform::SpeechBackend {
 public:
  static constexpr double kSampleRate = 16000.0;

  enum class Directive {
    none,
    missingAssets,   // models must be installed first (once)
    failingPrepare,  // prepare throws
    noAudioFormat,   // no format is offered
    failingResults,  // the result stream fails after `failAfter` results
  };

  explicit ScriptedSpeechBackend(std::vector<std::string> script,
                                 Directive directive = Directive::none, int failAfter = 0);

  // Makes a backend with `script` the installed one and removes it again on destruction.
  struct Installation {
    explicit Installation(std::shared_ptr<ScriptedSpeechBackend> backend);
    ~Installation();
    std::shared_ptr<ScriptedSpeechBackend> backend;
  };

  int installCount() const { return installs_; }

  // One analyzer input as a recognition received it.
  struct ReceivedInput {
    std::uint32_t frames = 0;
    std::optional<double> bufferStartTime;
  };
  // Every input received by recognitions of this backend so far, in order.
  std::vector<ReceivedInput> receivedInputs() const;
  // Recognitions whose run() has begun and not yet returned.
  int runningRecognitions() const { return *running_; }

  // The log of inputs, shared with the recognitions, which may outlive a call that forgot to stop
  // them.
  struct Received {
    std::mutex mutex;
    std::vector<ReceivedInput> inputs;  // guarded by mutex
  };

  std::optional<std::string> supportedLocale(const std::string& locale) override;
  bool assetsInstalled(const std::string& locale) override;
  void downloadAndInstall(const std::string& locale, std::stop_token stop) override;
  std::optional<platform::AudioFormat> bestAvailableAudioFormat(
      const std::string& locale, const platform::SpeechTranscriber::Options& options) override;
  std::unique_ptr<platform::SpeechRecognition> prepare(
      const std::string& locale, const platform::SpeechTranscriber::Options& options,
      const platform::AudioFormat& format) override;

 private:
  const std::vector<std::string> script_;
  const Directive directive_;
  const int failAfter_;
  std::atomic<int> installs_ = 0;
  const std::shared_ptr<Received> received_ = std::make_shared<Received>();
  const std::shared_ptr<std::atomic<int>> running_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace testsupport
