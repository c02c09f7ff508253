#include "DevadEvev/LiveTranscriber.h"

#include <cmath>
#include <exception>
#include <utility>

#include "DevadEvev/RecordingWriter.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/dsp/VectorOps.h"
#include "platform/speech/AssetInventory.h"
#include "platform/speech/SpeechBackend.h"
#include "platform/speech/SpeechAnalyzer.h"
#include "platform/speech/SpeechTranscriber.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"

namespace devadevev {

namespace {

constexpr std::uint32_t kTapFrames = 4096;
constexpr std::uint32_t kOutputHeadroomFrames = 32;

const char* failureText(LiveTranscriber::Failure::Code code) {
  switch (code) {
    case LiveTranscriber::Failure::unsupportedLocale:
      return "日本語の音声認識モデルを読み込めませんでした。モデルの置き場所はヘルプの「ログを開く」で確かめられます。";
    case LiveTranscriber::Failure::noFormat:
      return "音声認識の入力形式を準備できませんでした。";
    case LiveTranscriber::Failure::noInput:
      return "マイク入力を取得できませんでした。";
  }
  return "";
}

std::string describe(const std::exception& error) {
  if (const auto* own = dynamic_cast<const platform::Error*>(&error)) return own->description();
  return error.what();
}

LiveTranscriber::Update makeUpdate(const platform::SpeechTranscriber::Result& result) {
  LiveTranscriber::Update update;
  update.text = result.text.characters();
  update.start = result.rangeStart;
  update.end = result.rangeStart + result.rangeDuration;
  update.isFinal = result.isFinal;
  if (result.isFinal) update.sentences = LiveTranscriber::sentences(result.text);
  return update;
}

// The results task: holds only the result stream and the two callbacks.
void readResults(platform::Channel<platform::SpeechTranscriber::Result>::Receiver results,
                 const LiveTranscriber::UpdateHandler& onUpdate,
                 const LiveTranscriber::TextHandler& onError, std::stop_token stop) {
  try {
    while (auto result = results.receive(stop)) {
      if (stop.stop_requested()) return;
      if (onUpdate) onUpdate(makeUpdate(*result));
    }
  } catch (const platform::CancellationError&) {
  } catch (const std::exception& error) {
    if (!stop.stop_requested() && onError) onError("文字起こしが中断しました: " + describe(error));
  }
}

bool isTerminator(const std::string& character) {
  return character == "。" || character == "？" || character == "！" || character == "?" ||
         character == "!";
}

}  // namespace

LiveTranscriber::Failure::Failure(Code code, std::string detail)
    : platform::Error("LiveTranscriber.Failure", "DevadEvev.LiveTranscriber.Failure", code,
                      failureText(code)),
      detail_(std::move(detail)) {}

std::string LiveTranscriber::japaneseLocale() {
  if (auto locale = platform::SpeechTranscriber::supportedLocale("ja-JP")) return *locale;
  // The notice sends the user to the log for where the models belong.
  const char* why = platform::SpeechBackend::installed() ? "音声認識エンジンに日本語（ja-JP）の認識器がない"
                                                        : "音声認識エンジンが組み込まれていない";
  throw Failure(Failure::unsupportedLocale,
                "モデルの置き場所 " + tesselaudio::MLModelConfigurationUtils::defaultModelsDirectory().string() +
                    "、理由: " + why);
}

LiveTranscriber::LiveTranscriber() : LiveTranscriber(std::make_unique<platform::AudioEngine>()) {}

LiveTranscriber::LiveTranscriber(std::unique_ptr<platform::AudioEngine> engine,
                                 ConverterFactory converterFactory)
    : engine_(std::move(engine)),
      converterFactory_(converterFactory ? std::move(converterFactory)
                                         : ConverterFactory(&platform::Converter::make)) {}

LiveTranscriber::~LiveTranscriber() {
  cancel();
  for (auto& task : cancelledTasks_) task.request_stop();
}

void LiveTranscriber::prepare(UpdateHandler onUpdate, TextHandler onProgress, TextHandler onError,
                              std::stop_token stop) {
  auto transcriber = std::make_shared<platform::SpeechTranscriber>(
      japaneseLocale(), platform::SpeechTranscriber::Options::timeIndexedProgressiveTranscription());

  if (auto request = platform::AssetInventory::assetInstallationRequest(*transcriber)) {
    if (onProgress) onProgress("日本語の音声認識モデルを準備しています…");
    request->downloadAndInstall(stop);
  }

  const auto format = platform::SpeechAnalyzer::bestAvailableAudioFormat(*transcriber);
  if (!format) throw Failure(Failure::noFormat);
  analyzerFormat_ = format;

  auto analyzer = std::make_unique<platform::SpeechAnalyzer>(transcriber);
  analyzer->prepareToAnalyze(*format);

  auto [inputs, inputStream] = platform::Channel<platform::AnalyzerInput>::make();
  continuation_ = std::move(inputs);
  analyzer_ = std::move(analyzer);

  resultsTask_ = std::jthread([results = transcriber->results(), onUpdate = std::move(onUpdate),
                               onError = std::move(onError)](std::stop_token token) mutable {
    readResults(std::move(results), onUpdate, onError, token);
  });
  analyzer_->start(std::move(inputStream));
}

void LiveTranscriber::startMicrophone() {
  installTapAndStart();
  configObserver_ = engine_->addConfigurationChangeObserver([this] { onConfigurationChange(); });
}

void LiveTranscriber::onConfigurationChange() {
  std::string notice;
  try {
    installTapAndStart();
    notice = "マイクが切り替わったため、入力をつなぎ直しました。";
  } catch (const std::exception&) {
    notice = "マイクの入力が止まりました。マイクの接続を確認してください。";
  }
  if (onInputChange_) onInputChange_(notice);
}

void LiveTranscriber::installTapAndStart() {
  auto& node = engine_->inputNode();
  if (tapInstalled_) {
    node.removeTap(0);
    tapInstalled_ = false;
  }
  engine_->stop();
  const auto format = node.outputFormat(0);
  if (!format || !(format->sampleRate() > 0) || format->channelCount() == 0)
    throw Failure(Failure::noInput);
  // Removing the tap (stopMicrophone, destruction) waits for a running block, so `this` outlives it.
  node.installTap(0, kTapFrames, *format, [this](const platform::PcmBuffer& buffer) { feed(buffer); });
  tapInstalled_ = true;
  engine_->prepare();
  engine_->start();
}

void LiveTranscriber::setAccepting(bool accepting) {
  std::scoped_lock lock(acceptingMutex_);
  accepting_ = accepting;
}

void LiveTranscriber::feed(const platform::PcmBuffer& buffer) {
  {
    std::scoped_lock lock(acceptingMutex_);
    if (!accepting_) return;
  }
  if (!continuation_ || !analyzerFormat_) return;

  const auto frames = buffer.frameLength();
  const double bufferStart = acceptedSeconds_;
  acceptedSeconds_ += double(frames) / buffer.format().sampleRate();

  if (recorder_) recorder_->append(buffer);

  if (const auto* channels = buffer.floatChannelData()) {
    const std::span<const float> samples(channels[0], frames);
    if (onSamples_) onSamples_(samples, buffer.format().sampleRate());
    if (onLevel_ && frames != 0)
      onLevel_(std::sqrt(platform::dsp::dot(samples, samples) / float(frames)));
  }

  auto converted = convertForAnalyzer(buffer);
  if (!converted) {
    // Recorded but not recognised: the analyzer must not close the gap it leaves.
    timelineBroken_ = true;
    return;
  }
  if (converted->frameLength() == 0) return;
  platform::AnalyzerInput input{std::move(converted), std::nullopt};
  if (timelineBroken_) {
    input.bufferStartTime = bufferStart;
    timelineBroken_ = false;
  }
  continuation_->send(std::move(input));
}

std::unique_ptr<platform::PcmBuffer> LiveTranscriber::convertForAnalyzer(
    const platform::PcmBuffer& buffer) {
  if (!converter_ || !(converter_->inputFormat() == buffer.format()))
    converter_ = converterFactory_(buffer.format(), *analyzerFormat_);
  if (!converter_) return nullptr;

  const double ratio = analyzerFormat_->sampleRate() / buffer.format().sampleRate();
  const double capacity = std::ceil(ratio * double(buffer.frameLength())) + kOutputHeadroomFrames;
  if (!(capacity < double(UINT32_MAX))) return nullptr;
  auto output = platform::PcmBuffer::make(*analyzerFormat_, std::uint32_t(capacity));
  if (!output) return nullptr;

  bool handedOver = false;
  const auto status = converter_->convert(
      *output, [&](std::uint32_t, platform::Converter::InputStatus& inputStatus)
                   -> const platform::PcmBuffer* {
        if (handedOver) {
          inputStatus = platform::Converter::InputStatus::noDataNow;
          return nullptr;
        }
        handedOver = true;
        inputStatus = platform::Converter::InputStatus::haveData;
        return &buffer;
      });
  if (status == platform::Converter::OutputStatus::error) return nullptr;
  return output;
}

void LiveTranscriber::stopMicrophone() {
  if (configObserver_) {
    engine_->removeConfigurationChangeObserver(*configObserver_);
    configObserver_.reset();
  }
  if (tapInstalled_) {
    engine_->inputNode().removeTap(0);
    tapInstalled_ = false;
  }
  engine_->stop();
}

void LiveTranscriber::endInputStream() {
  if (continuation_) {
    continuation_->finish();
    continuation_.reset();
  }
}

void LiveTranscriber::finish() {
  setAccepting(false);
  stopMicrophone();
  endInputStream();
  if (analyzer_) {
    try {
      analyzer_->finalizeAndFinishThroughEndOfInput();
    } catch (...) {
      // Finishing never fails: what could not be finalized is simply not delivered.
    }
  }
  if (resultsTask_.joinable()) resultsTask_.join();
  analyzer_.reset();
  resultsTask_ = {};
  converter_.reset();
}

void LiveTranscriber::cancel() {
  // Stop delivering first: ending the input stream below may still settle a result.
  resultsTask_.request_stop();
  setAccepting(false);
  stopMicrophone();
  endInputStream();
  if (analyzer_) analyzer_->cancelAndFinishNow();
  if (resultsTask_.joinable()) cancelledTasks_.push_back(std::move(resultsTask_));
  analyzer_.reset();
  resultsTask_ = {};
  converter_.reset();
}

std::vector<LiveTranscriber::Sentence> LiveTranscriber::sentences(
    const platform::AttributedString& text) {
  std::vector<Sentence> result;
  std::string pending;
  std::optional<double> start;
  std::optional<double> end;

  auto flush = [&] {
    auto trimmed = platform::text::trimWhitespaceAndNewlines(pending);
    if (!trimmed.empty()) result.push_back({std::move(trimmed), start, end});
    pending.clear();
    start.reset();
    end.reset();
  };

  for (const auto& run : text.runs) {
    if (run.audioTimeRange) {
      if (!start) start = run.audioTimeRange->start;
      end = run.audioTimeRange->end();
    }
    for (const auto& character : platform::text::graphemes(run.text)) {
      pending += character;
      if (isTerminator(character)) flush();
    }
  }
  flush();
  return result;
}

}  // namespace devadevev
