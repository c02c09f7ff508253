#include "DevadEvev/FileTranscriber.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/speech/AssetInventory.h"
#include "platform/speech/SpeechAnalyzer.h"
#include "platform/speech/SpeechTranscriber.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Channel.h"

namespace devadevev::FileTranscriber {

namespace {

using Sentence = LiveTranscriber::Sentence;
using Failure = LiveTranscriber::Failure;
using Inputs = platform::Channel<platform::AnalyzerInput>::Sender;

constexpr std::int64_t kChunkFrames = 16384;
constexpr std::uint32_t kOutputHeadroomFrames = 32;
// Input start times are media times in 1/48,000 s.
constexpr double kMediaTimeScale = 48000;

// The results task: collects the sentences of final results and the end of the latest one.
class ResultsReader {
 public:
  explicit ResultsReader(platform::Channel<platform::SpeechTranscriber::Result>::Receiver results)
      : thread_([this, results = std::move(results)](std::stop_token stop) mutable {
          read(results, stop);
        }) {}

  ResultsReader(const ResultsReader&) = delete;
  ResultsReader& operator=(const ResultsReader&) = delete;

  // Seconds up to which the recogniser has settled results.
  double latestRecognisedTime() const {
    std::scoped_lock lock(mutex_);
    return latest_;
  }

  // Waits for the result stream to end; returns the sentences or throws the stream's error.
  std::vector<Sentence> take() {
    if (thread_.joinable()) thread_.join();
    if (error_) std::rethrow_exception(error_);
    return std::move(sentences_);
  }

  // Stops reading and waits for the task to end.
  void stop() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void read(platform::Channel<platform::SpeechTranscriber::Result>::Receiver& results,
            std::stop_token stop) {
    try {
      while (auto result = results.receive(stop)) {
        if (!result->isFinal) continue;
        const auto cut = LiveTranscriber::sentences(result->text);
        sentences_.insert(sentences_.end(), cut.begin(), cut.end());
        const double end = result->rangeStart + result->rangeDuration;
        if (std::isfinite(end)) {
          std::scoped_lock lock(mutex_);
          latest_ = std::max(latest_, end);
        }
      }
    } catch (const platform::CancellationError&) {
      // Stopped by the call on its way out: nothing is returned anyway.
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  mutable std::mutex mutex_;
  double latest_ = 0;  // guarded by mutex_
  // The task's until it is joined.
  std::vector<Sentence> sentences_;
  std::exception_ptr error_;
  std::jthread thread_;  // last: starts after the members it writes
};

// Stops everything the call started, whichever way it leaves: the input stream is ended, the
// analyzer cancelled and the results task stopped, so nothing runs once transcribe() returns.
// After a successful finish all three are already done and this changes nothing.
struct Teardown {
  Inputs& inputs;
  platform::SpeechAnalyzer& analyzer;
  ResultsReader& results;
  ~Teardown() {
    inputs.finish();
    analyzer.cancelAndFinishNow();
    results.stop();
  }
};

// The ranges worth reading, in order: NaN bounds and empty or reversed ranges dropped, lower
// bounds below 0 raised to 0, an infinite upper bound lowered to the end of the file.
std::vector<Range> usableRanges(const std::vector<Range>& ranges, double fileSeconds) {
  std::vector<Range> usable;
  for (Range range : ranges) {
    if (std::isnan(range.lowerBound) || std::isnan(range.upperBound)) continue;
    range.lowerBound = std::max(range.lowerBound, 0.0);
    if (std::isinf(range.upperBound) && range.upperBound > 0) {
      range.upperBound = std::max(fileSeconds, range.lowerBound);
    }
    if (range.upperBound > range.lowerBound) usable.push_back(range);
  }
  return usable;
}

// The whole frame at `seconds` (fraction cut off), within [0, length].
std::int64_t frameAt(double seconds, double rate, std::int64_t length) {
  const double frame = std::floor(seconds * rate);
  if (!(frame > 0)) return 0;
  if (frame >= static_cast<double>(length)) return length;
  return static_cast<std::int64_t>(frame);
}

// Reading counts for half of the bar, recognition that has caught up with the ranges for 0.45;
// the rest comes with the final 1.0.
class Progress {
 public:
  explicit Progress(const std::vector<Range>& ranges) : ranges_(ranges) {
    for (const auto& range : ranges_) total_ += range.upperBound - range.lowerBound;
  }

  double after(double secondsRead, double recognisedTime) const {
    if (!(total_ > 0)) return 0.45;
    double recognised = 0;
    for (const auto& range : ranges_) {
      recognised += std::max(0.0, std::min(recognisedTime, range.upperBound) - range.lowerBound);
    }
    const double share = std::min(recognised / total_, 1.0) * 0.45;
    return std::min(share + secondsRead / total_ * 0.5, 0.95);
  }

 private:
  const std::vector<Range> ranges_;
  double total_ = 0;
};

// Reads the ranges of one file chunk by chunk, converts each chunk and hands it to the analyzer.
class RangeReader {
 public:
  RangeReader(const std::filesystem::path& url, const platform::AudioFormat& analyzerFormat,
              const Conversion& conversion, const Inputs& inputs, const ResultsReader& results,
              const ProgressHandler& onProgress, std::stop_token stop)
      : file_(open(url)),
        rate_(file_->processingFormat().sampleRate()),
        analyzerFormat_(analyzerFormat),
        converter_(makeConverter(conversion, file_->processingFormat(), analyzerFormat)),
        convert_(conversion.convert),
        inputs_(inputs),
        results_(results),
        onProgress_(onProgress),
        stop_(std::move(stop)) {}

  void readAll(const std::vector<Range>& ranges) {
    const auto usable = usableRanges(ranges, static_cast<double>(file_->length()) / rate_);
    const Progress progress(usable);
    for (const auto& range : usable) {
      readRange(range, progress);
      converter_->reset();
    }
  }

 private:
  static std::unique_ptr<platform::AudioFile> open(const std::filesystem::path& url) {
    try {
      return std::make_unique<platform::AudioFile>(url);
    } catch (const platform::AudioError& error) {
      // A stream without a rate or channels is one no converter can take.
      if (error.code() == platform::AudioError::unusableFormat) throw Failure(Failure::noFormat);
      throw;
    }
  }

  static std::unique_ptr<platform::Converter> makeConverter(const Conversion& conversion,
                                                            const platform::AudioFormat& from,
                                                            const platform::AudioFormat& to) {
    auto converter = conversion.makeConverter ? conversion.makeConverter(from, to)
                                              : platform::Converter::make(from, to);
    if (!converter) throw Failure(Failure::noFormat);
    return converter;
  }

  void readRange(const Range& range, const Progress& progress) {
    const std::int64_t end = frameAt(range.upperBound, rate_, file_->length());
    file_->setFramePosition(frameAt(range.lowerBound, rate_, file_->length()));
    if (file_->framePosition() >= end) return;
    auto chunk = platform::PcmBuffer::make(
        file_->processingFormat(),
        static_cast<std::uint32_t>(std::min(kChunkFrames, end - file_->framePosition())));
    if (!chunk) return;
    // The first input of a range, and the first after a chunk that could not be converted,
    // carries its place in the file; the others follow on without a gap.
    bool placeNext = true;
    while (file_->framePosition() < end) {
      const std::int64_t position = file_->framePosition();
      platform::CancellationError::throwIfRequested(stop_);
      const auto frames = static_cast<std::uint32_t>(std::min(kChunkFrames, end - position));
      file_->read(*chunk, frames);
      if (chunk->frameLength() == 0) return;
      auto output = convertChunk(*chunk);
      if (!output) return;
      if (output->status == platform::Converter::OutputStatus::error) {
        placeNext = true;
      } else if (output->buffer->frameLength() > 0) {
        platform::AnalyzerInput input{std::move(output->buffer), std::nullopt};
        if (placeNext) {
          input.bufferStartTime = std::round(static_cast<double>(position) / rate_ * kMediaTimeScale) /
                                  kMediaTimeScale;
          placeNext = false;
        }
        inputs_.send(std::move(input));
      }
      secondsRead_ += static_cast<double>(chunk->frameLength()) / rate_;
      if (onProgress_) onProgress_(progress.after(secondsRead_, results_.latestRecognisedTime()));
    }
  }

  struct Converted {
    std::unique_ptr<platform::PcmBuffer> buffer;
    platform::Converter::OutputStatus status;
  };

  // The chunk in the analyzer's format with the conversion's status; nothing when no output
  // buffer can be made.
  std::optional<Converted> convertChunk(const platform::PcmBuffer& chunk) {
    const double capacity =
        std::ceil(analyzerFormat_.sampleRate() * chunk.frameLength() / rate_) + kOutputHeadroomFrames;
    if (!(capacity < static_cast<double>(UINT32_MAX))) return std::nullopt;
    auto output = platform::PcmBuffer::make(analyzerFormat_, static_cast<std::uint32_t>(capacity));
    if (!output) return std::nullopt;
    bool handedOver = false;
    const platform::Converter::InputBlock input =
        [&](std::uint32_t, platform::Converter::InputStatus& status) -> const platform::PcmBuffer* {
      if (handedOver) {
        status = platform::Converter::InputStatus::noDataNow;
        return nullptr;
      }
      handedOver = true;
      status = platform::Converter::InputStatus::haveData;
      return &chunk;
    };
    const auto status = convert_ ? convert_(*converter_, *output, input)
                                 : converter_->convert(*output, input);
    return Converted{std::move(output), status};
  }

  const std::unique_ptr<platform::AudioFile> file_;
  const double rate_;
  const platform::AudioFormat analyzerFormat_;
  const std::unique_ptr<platform::Converter> converter_;
  const ChunkConversion convert_;
  const Inputs& inputs_;
  const ResultsReader& results_;
  const ProgressHandler& onProgress_;
  const std::stop_token stop_;
  double secondsRead_ = 0;
};

// The Japanese transcriber for final results with time ranges, its models installed.
std::shared_ptr<platform::SpeechTranscriber> makeTranscriber(const std::stop_token& stop) {
  auto transcriber = std::make_shared<platform::SpeechTranscriber>(
      LiveTranscriber::japaneseLocale(), platform::SpeechTranscriber::Options::finalWithAudioTimeRange());
  if (auto request = platform::AssetInventory::assetInstallationRequest(*transcriber)) {
    request->downloadAndInstall(stop);
  }
  return transcriber;
}

}  // namespace

std::vector<LiveTranscriber::Sentence> transcribe(const std::filesystem::path& url,
                                                  const std::vector<Range>& ranges,
                                                  const ProgressHandler& onProgress,
                                                  std::stop_token stop,
                                                  const Conversion& conversion) {
  if (ranges.empty()) return {};

  auto transcriber = makeTranscriber(stop);
  const auto format = platform::SpeechAnalyzer::bestAvailableAudioFormat(*transcriber);
  if (!format) throw Failure(Failure::noFormat);
  platform::SpeechAnalyzer analyzer(transcriber);
  analyzer.prepareToAnalyze(*format);

  auto [inputs, inputStream] = platform::Channel<platform::AnalyzerInput>::make();
  ResultsReader results(transcriber->results());
  const Teardown teardown{inputs, analyzer, results};
  analyzer.start(std::move(inputStream));

  RangeReader(url, *format, conversion, inputs, results, onProgress, stop).readAll(ranges);

  inputs.finish();
  analyzer.finalizeAndFinishThroughEndOfInput();
  auto sentences = results.take();
  if (onProgress) onProgress(1.0);
  return sentences;
}

}  // namespace devadevev::FileTranscriber
