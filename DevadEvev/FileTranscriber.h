#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <vector>

#include "DevadEvev/LiveTranscriber.h"
#include "platform/audio/Converter.h"

namespace platform {
class PcmBuffer;
}

namespace devadevev {

// Transcribes chosen time ranges of a stored audio file in Japanese and returns the sentences with
// their times in the file. Blocking; call it from a worker thread, never the GUI thread.
//
//   auto sentences = FileTranscriber::transcribe(recording, {{0, duration}},
//                                                [](double p) { post(p); }, stop);
namespace FileTranscriber {

// A half-open range [lowerBound, upperBound) of seconds from the start of the file.
struct Range {
  double lowerBound = 0;
  double upperBound = 0;
  bool operator==(const Range&) const = default;
};

// Receives a fraction of the work done.
using ProgressHandler = std::function<void(double fraction)>;

// Converts one chunk with `converter` into `output`, pulling the chunk from `input`.
using ChunkConversion = std::function<platform::Converter::OutputStatus(
    platform::Converter& converter, platform::PcmBuffer& output,
    const platform::Converter::InputBlock& input)>;

// How the file's audio is brought to the recogniser's format; tests wrap the real parts to make
// them fail on command.
struct Conversion {
  LiveTranscriber::ConverterFactory makeConverter;  // null: platform::Converter::make
  ChunkConversion convert;                          // null: platform::Converter::convert
};

// Recognises `ranges` of the file at `url`, in the given order, reading at most 16,384 frames at a
// time, and returns the final sentences in the order the recogniser settled them, timed in seconds
// from the start of the file. A range is read from floor(rate × lowerBound) to the smaller of the
// file's end and floor(rate × upperBound); ranges with a NaN bound or with upperBound <= lowerBound
// add nothing, a negative lowerBound counts from 0 and an infinite upperBound reads to the end.
//
// onProgress (from the calling thread) gets, after each chunk, a value in [0, 0.95] that never
// falls, and 1.0 once just before a successful return; nothing for an empty `ranges`, which returns
// an empty list without opening the file or the recogniser.
//
// Throws LiveTranscriber::Failure::unsupportedLocale (no Japanese recogniser),
// LiveTranscriber::Failure::noFormat (the recogniser offers no format, the file's stream has no
// usable format, or no converter from it can be made), platform::AudioError when the file cannot
// be opened or read, the recogniser's and the asset installation's errors unchanged, and
// platform::CancellationError when `stop` is requested (checked before each chunk). On any error
// nothing is returned and the recogniser is stopped before the call returns.
std::vector<LiveTranscriber::Sentence> transcribe(const std::filesystem::path& url,
                                                  const std::vector<Range>& ranges,
                                                  const ProgressHandler& onProgress,
                                                  std::stop_token stop = {},
                                                  const Conversion& conversion = {});

}  // namespace FileTranscriber

}  // namespace devadevev
