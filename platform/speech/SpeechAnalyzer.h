#pragma once

#include <memory>
#include <optional>
#include <thread>

#include "platform/audio/AudioFormat.h"
#include "platform/speech/AnalyzerInput.h"
#include "platform/sys/Channel.h"

namespace platform {

class SpeechRecognition;
class SpeechTranscriber;

// Runs a transcriber over a stream of analyzer inputs on a thread of its own; the transcriber's
// results stream carries what it recognises. Control it from one thread.
//
//   auto transcriber = std::make_shared<SpeechTranscriber>("ja-JP", options);
//   SpeechAnalyzer analyzer(transcriber);
//   analyzer.prepareToAnalyze(*SpeechAnalyzer::bestAvailableAudioFormat(*transcriber));
//   auto [inputs, inputStream] = Channel<AnalyzerInput>::make();
//   analyzer.start(std::move(inputStream));
//   ... inputs.send({buffer, std::nullopt}); ... inputs.finish();
//   analyzer.finalizeAndFinishThroughEndOfInput();
class SpeechAnalyzer {
 public:
  // The format the transcriber's backend wants, or nothing (also without a backend).
  static std::optional<AudioFormat> bestAvailableAudioFormat(const SpeechTranscriber& transcriber);

  explicit SpeechAnalyzer(std::shared_ptr<SpeechTranscriber> transcriber);
  // Cancels a run that is still going.
  ~SpeechAnalyzer();

  SpeechAnalyzer(const SpeechAnalyzer&) = delete;
  SpeechAnalyzer& operator=(const SpeechAnalyzer&) = delete;

  // Prepares recognition of audio in `format`. Throws SpeechError::noBackend, or the backend's error.
  void prepareToAnalyze(const AudioFormat& format);

  // Starts analysing `inputs` in the background. Throws SpeechError::notPrepared.
  void start(Channel<AnalyzerInput>::Receiver inputs);

  // Waits until every input (the stream must have been finished) is analysed and its results
  // delivered, then ends the result stream. Errors of the recognition go to the result stream.
  void finalizeAndFinishThroughEndOfInput();

  // Stops at once; pending results are dropped and the result stream ends.
  void cancelAndFinishNow();

 private:
  const std::shared_ptr<SpeechTranscriber> transcriber_;
  std::unique_ptr<SpeechRecognition> recognition_;
  std::jthread thread_;
};

}  // namespace platform
