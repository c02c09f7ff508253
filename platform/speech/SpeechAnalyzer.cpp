#include "platform/speech/SpeechAnalyzer.h"

#include <exception>

#include "platform/speech/SpeechBackend.h"
#include "platform/speech/SpeechError.h"
#include "platform/speech/SpeechRecognition.h"
#include "platform/speech/SpeechTranscriber.h"
#include "platform/sys/CancellationError.h"

namespace platform {

std::optional<AudioFormat> SpeechAnalyzer::bestAvailableAudioFormat(
    const SpeechTranscriber& transcriber) {
  if (!transcriber.backend()) return std::nullopt;
  return transcriber.backend()->bestAvailableAudioFormat(transcriber.locale(),
                                                         transcriber.options());
}

SpeechAnalyzer::SpeechAnalyzer(std::shared_ptr<SpeechTranscriber> transcriber)
    : transcriber_(std::move(transcriber)) {}

SpeechAnalyzer::~SpeechAnalyzer() { cancelAndFinishNow(); }

void SpeechAnalyzer::prepareToAnalyze(const AudioFormat& format) {
  if (!transcriber_->backend()) throw SpeechError::missingBackend();
  recognition_ = transcriber_->backend()->prepare(transcriber_->locale(), transcriber_->options(),
                                                  format);
}

void SpeechAnalyzer::start(Channel<AnalyzerInput>::Receiver inputs) {
  if (!recognition_) throw SpeechError::analyzerNotPrepared();
  auto* recognition = recognition_.get();
  const auto results = transcriber_->resultSender();
  thread_ = std::jthread([recognition, results, inputs = std::move(inputs)](
                             std::stop_token stop) mutable {
    try {
      recognition->run(inputs, results, stop);
      results.finish();
    } catch (const CancellationError&) {
      results.finish();
    } catch (...) {
      results.fail(std::current_exception());
    }
  });
}

void SpeechAnalyzer::finalizeAndFinishThroughEndOfInput() {
  if (thread_.joinable()) thread_.join();
  transcriber_->resultSender().finish();
}

void SpeechAnalyzer::cancelAndFinishNow() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  transcriber_->resultSender().finish();
}

}  // namespace platform
