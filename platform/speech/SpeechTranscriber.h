#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/speech/AttributedString.h"
#include "platform/sys/Channel.h"

namespace platform {

class SpeechBackend;

// A transcription module for one locale, run by a SpeechAnalyzer. Its results come through
// results(), volatile ones while a phrase is heard (when asked for) and a final one per phrase.
// Made on the owner's thread; results() is read by one consumer thread.
class SpeechTranscriber {
 public:
  struct Options {
    bool reportsVolatileResults = false;  // volatile results while a phrase is heard
    bool audioTimeRange = false;          // runs carry the audio time range they were heard in

    // Volatile and final results, runs with time ranges.
    static Options timeIndexedProgressiveTranscription() { return {true, true}; }
    // Final results only, runs with time ranges.
    static Options finalWithAudioTimeRange() { return {false, true}; }
    bool operator==(const Options&) const = default;
  };

  // One result: a range on the analyzer's time line, its text and whether it is final.
  struct Result {
    double rangeStart = 0;
    double rangeDuration = 0;
    AttributedString text;
    bool isFinal = false;
  };

  // The locale the installed backend transcribes for `locale` (for example "ja-JP"), or nothing
  // when no backend is installed or it has no such locale.
  static std::optional<std::string> supportedLocale(const std::string& equivalentTo);

  // A transcriber on the installed backend (none: the analyzer will refuse it).
  SpeechTranscriber(std::string locale, Options options);
  ~SpeechTranscriber();

  SpeechTranscriber(const SpeechTranscriber&) = delete;
  SpeechTranscriber& operator=(const SpeechTranscriber&) = delete;

  const std::string& locale() const { return locale_; }
  const Options& options() const { return options_; }
  const std::shared_ptr<SpeechBackend>& backend() const { return backend_; }

  // The result stream. It ends after the analyzer finished or was cancelled, and fails with the
  // recogniser's error when recognition breaks down.
  // REQUIRES: called once.
  Channel<Result>::Receiver results();

  // The producer end, for the analyzer that runs this module.
  const Channel<Result>::Sender& resultSender() const { return sender_; }

 private:
  SpeechTranscriber(std::string locale, Options options,
                    std::pair<Channel<Result>::Sender, Channel<Result>::Receiver> channel);

  const std::string locale_;
  const Options options_;
  const std::shared_ptr<SpeechBackend> backend_;
  Channel<Result>::Sender sender_;
  std::optional<Channel<Result>::Receiver> receiver_;
};

}  // namespace platform
