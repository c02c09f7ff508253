#include "tests/support/ScriptedSpeechBackend.h"

#include <cmath>
#include <utility>

#include "platform/audio/PcmBuffer.h"
#include "platform/speech/SpeechRecognition.h"
#include "platform/sys/Error.h"
#include "platform/text/Graphemes.h"

namespace testsupport {

namespace {

constexpr std::size_t kFrameSamples = 160;  // 10 ms analysis frames
constexpr double kFrameSeconds = kFrameSamples / ScriptedSpeechBackend::kSampleRate;
constexpr double kVoicedRms = 0.01;          // -40 dBFS
constexpr int kOnsetFrames = 10;             // 100 ms
constexpr int kEndSilenceFrames = 30;        // 300 ms
constexpr double kVolatileEverySeconds = 0.5;

platform::Error scriptedError(const std::string& what) {
  return platform::Error("ScriptedSpeechError", "tests.speech", 1, what);
}

class ScriptedRecognition : public platform::SpeechRecognition {
 public:
  ScriptedRecognition(std::vector<std::string> script, bool volatileResults,
                      std::optional<int> failAfter, std::shared_ptr<ScriptedSpeechBackend::Received> received,
                      std::shared_ptr<std::atomic<int>> running)
      : script_(std::move(script)),
        volatileResults_(volatileResults),
        failAfter_(failAfter),
        received_(std::move(received)),
        running_(std::move(running)) {}

  void run(platform::Channel<platform::AnalyzerInput>::Receiver& inputs,
           const platform::Channel<platform::SpeechTranscriber::Result>::Sender& results,
           std::stop_token stop) override {
    ++*running_;
    struct Leaving {
      std::atomic<int>& running;
      ~Leaving() { --running; }
    } leaving{*running_};
    results_ = &results;
    while (auto input = inputs.receive(stop)) {
      {
        std::scoped_lock lock(received_->mutex);
        received_->inputs.push_back({input->buffer->frameLength(), input->bufferStartTime});
      }
      take(*input);
    }
    if (inUtterance_) endUtterance();
  }

 private:
  void take(const platform::AnalyzerInput& input) {
    if (input.bufferStartTime) {
      frame_.clear();
      nextFrameStart_ = *input.bufferStartTime;
    }
    const auto* planes = input.buffer->floatChannelData();
    for (std::uint32_t i = 0; i < input.buffer->frameLength(); ++i) {
      frame_.push_back(planes[0][i]);
      if (frame_.size() == kFrameSamples) analyseFrame();
    }
  }

  void analyseFrame() {
    double sum = 0;
    for (float v : frame_) sum += double(v) * v;
    const bool voiced = std::sqrt(sum / kFrameSamples) > kVoicedRms;
    const double start = nextFrameStart_;
    const double end = start + kFrameSeconds;
    frame_.clear();
    nextFrameStart_ = end;

    if (!inUtterance_) {
      if (!voiced) {
        voicedRun_ = 0;
        return;
      }
      if (voicedRun_++ == 0) candidateStart_ = start;
      if (voicedRun_ >= kOnsetFrames) {
        inUtterance_ = true;
        utteranceStart_ = candidateStart_;
        lastVoicedEnd_ = end;
        silentRun_ = 0;
        nextVolatileAt_ = end + kVolatileEverySeconds;
        volatileCount_ = 0;
      }
      return;
    }
    if (voiced) {
      lastVoicedEnd_ = end;
      silentRun_ = 0;
    } else if (++silentRun_ >= kEndSilenceFrames) {
      endUtterance();
      return;
    }
    if (volatileResults_ && end >= nextVolatileAt_) {
      nextVolatileAt_ += kVolatileEverySeconds;
      const auto prefix = platform::text::graphemePrefix(line(), std::size_t(++volatileCount_));
      send({utteranceStart_, end - utteranceStart_, {{{prefix, std::nullopt}}}, false});
    }
  }

  void endUtterance() {
    inUtterance_ = false;
    voicedRun_ = 0;
    const auto characters = platform::text::graphemes(line());
    const double span = lastVoicedEnd_ - utteranceStart_;
    platform::AttributedString text;
    for (std::size_t i = 0; i < characters.size(); ++i) {
      const double step = span / double(characters.size());
      text.runs.push_back({characters[i], platform::AttributedString::TimeRange{
                                              utteranceStart_ + double(i) * step, step}});
    }
    ++utterance_;
    send({utteranceStart_, span, std::move(text), true});
  }

  std::string line() const { return utterance_ < script_.size() ? script_[utterance_] : ""; }

  void send(platform::SpeechTranscriber::Result result) {
    if (failAfter_ && sent_ >= *failAfter_) throw scriptedError("scripted recogniser failure");
    results_->send(std::move(result));
    ++sent_;
  }

  const std::vector<std::string> script_;
  const bool volatileResults_;
  const std::optional<int> failAfter_;
  const std::shared_ptr<ScriptedSpeechBackend::Received> received_;
  const std::shared_ptr<std::atomic<int>> running_;
  const platform::Channel<platform::SpeechTranscriber::Result>::Sender* results_ = nullptr;

  std::vector<float> frame_;
  double nextFrameStart_ = 0;
  int voicedRun_ = 0;
  int silentRun_ = 0;
  double candidateStart_ = 0;
  bool inUtterance_ = false;
  double utteranceStart_ = 0;
  double lastVoicedEnd_ = 0;
  double nextVolatileAt_ = 0;
  int volatileCount_ = 0;
  std::size_t utterance_ = 0;
  int sent_ = 0;
};

}  // namespace

ScriptedSpeechBackend::ScriptedSpeechBackend(std::vector<std::string> script,
                                             Directive directive, int failAfter)
    : script_(std::move(script)), directive_(directive), failAfter_(failAfter) {}

ScriptedSpeechBackend::Installation::Installation(std::shared_ptr<ScriptedSpeechBackend> b)
    : backend(std::move(b)) {
  platform::SpeechBackend::install(backend);
}

ScriptedSpeechBackend::Installation::~Installation() { platform::SpeechBackend::install(nullptr); }

std::optional<std::string> ScriptedSpeechBackend::supportedLocale(const std::string& locale) {
  if (locale == "ja-JP" || locale == "ja_JP" || locale == "ja") return "ja_JP";
  return std::nullopt;
}

bool ScriptedSpeechBackend::assetsInstalled(const std::string&) {
  return directive_ != Directive::missingAssets || installs_ > 0;
}

void ScriptedSpeechBackend::downloadAndInstall(const std::string&, std::stop_token) { ++installs_; }

std::optional<platform::AudioFormat> ScriptedSpeechBackend::bestAvailableAudioFormat(
    const std::string&, const platform::SpeechTranscriber::Options&) {
  if (directive_ == Directive::noAudioFormat) return std::nullopt;
  return platform::AudioFormat::float32(kSampleRate, 1);
}

std::unique_ptr<platform::SpeechRecognition> ScriptedSpeechBackend::prepare(
    const std::string&, const platform::SpeechTranscriber::Options& options,
    const platform::AudioFormat& format) {
  if (directive_ == Directive::failingPrepare) throw scriptedError("scripted prepare failure");
  if (!(format == platform::AudioFormat::float32(kSampleRate, 1)))
    throw scriptedError("scripted recogniser takes 16 kHz mono float audio");
  return std::make_unique<ScriptedRecognition>(
      script_, options.reportsVolatileResults,
      directive_ == Directive::failingResults ? std::optional<int>(failAfter_) : std::nullopt,
      received_, running_);
}

std::vector<ScriptedSpeechBackend::ReceivedInput> ScriptedSpeechBackend::receivedInputs() const {
  std::scoped_lock lock(received_->mutex);
  return received_->inputs;
}

}  // namespace testsupport
