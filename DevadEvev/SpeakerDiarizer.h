#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <vector>

#include "DevadEvev/FileTranscriber.h"

namespace platform {
class SerialQueue;
}  // namespace platform

namespace devadevev {

// The application's speaker diarizer, on the streaming Sortformer model (balancedV2_1 chunks, four
// speaker slots, 80 ms frames). Live, for one recording: samples from the audio tap go in through
// append(), a timer on the serial queue "velto-voice-app.diarizer" drains them every 0.5 s, and the
// complete list of speaker turns comes back through a callback on that queue. Batch: diarize()
// diarizes chosen ranges of a stored recording and returns the turns in the file's time.
//
// append() is safe from any thread and never waits for the model; the other operations are for the
// owner's thread. The owner holds the diarizer by std::shared_ptr; the timer holds it weakly, so a
// dropped diarizer stops draining. Operations are virtual so that tests can hand the conversation
// model a diarizer of their own.
//
//   auto diarizer = std::make_shared<SpeakerDiarizer>();
//   diarizer->prepare(modelsDirectory, onTurns, stop);  // may throw: record without speakers
//   diarizer->append(samples, 48000);                   // from the tap, per buffer
//   diarizer->finish();                                 // last onTurns, then returns
class SpeakerDiarizer {
 public:
  // One speaker turn: live, on the time line of all samples appended since preparation; from
  // diarize(), in seconds of the recording file. Times are frame × 0.08 in single precision,
  // widened: frame 36 reads 2.879999876022339.
  struct Turn {
    int speaker = 0;   // the diarizer's speaker slot, 0 to 3, not the conversation's speaker
    double start = 0;  // seconds
    double end = 0;    // seconds
    bool operator==(const Turn&) const = default;
  };

  // A half-open range of seconds of a file, as the file recogniser takes it.
  using Range = FileTranscriber::Range;

  // Receives the complete current list of turns, sorted by start (stable); each call replaces the
  // last.
  using TurnsHandler = std::function<void(const std::vector<Turn>& turns)>;

  // Receives the fraction of the joined audio diarized, in (0, 1].
  using ProgressHandler = std::function<void(double fraction)>;

  // The label of the queue the timer, drains, finish() and cancel() run on.
  static constexpr const char* kQueueLabel = "velto-voice-app.diarizer";

  // Unprepared: no model, no pending samples, no timer, no callback. Starts the queue's thread.
  SpeakerDiarizer();
  // Stops the timer and waits for a drain or publish in progress. REQUIRES: not called on the
  // diarizer's queue (from onTurns).
  virtual ~SpeakerDiarizer();

  SpeakerDiarizer(const SpeakerDiarizer&) = delete;
  SpeakerDiarizer& operator=(const SpeakerDiarizer&) = delete;

  // Loads the model from `modelsDirectory` (downloading it there first when missing), keeps
  // `onTurns` and starts draining every 0.5 s; after each drain that made results final, onTurns
  // gets the complete list of turns on the diarizer's queue. Blocks; `stop` reaches the download.
  // Throws the download or loading error, or CancellationError; nothing is kept or started then,
  // and only cancel() may follow. REQUIRES: called once.
  virtual void prepare(const std::filesystem::path& modelsDirectory, TurnsHandler onTurns,
                       std::stop_token stop);

  // Queues a copy of `samples` (one channel) and takes `sampleRate` Hz as the rate of everything
  // pending. Returns at once: a short lock, no conversion, no model work. Never fails.
  virtual void append(std::span<const float> samples, double sampleRate);

  // Stops the timer, processes what is pending, finalizes the diarization and publishes the final
  // turns (even when nothing new came), then returns. Errors are dropped; never throws.
  // REQUIRES: not called on the diarizer's queue.
  virtual void finish();

  // Stops the timer on the queue and returns at once; nothing is processed or published afterwards.
  virtual void cancel();

  // Diarizes `ranges` of the audio file `file` with a fresh diarizer whose model lives in
  // `modelsDirectory`, and returns the turns in seconds of the file, sorted by start. The ranges
  // are read frame-accurately, converted to 16 kHz and joined in the given order; a turn across
  // the junction of two ranges becomes one turn per range, and the gap between them gets none. A
  // range whose bounds are negative or not finite is skipped. Slot numbers hold for this call only.
  //
  // Blocks while the work runs on a thread of its own, which the caller cannot stop. onProgress is
  // called on that thread after every chunk with a fraction that never falls, and not at all when
  // no audio was read. An empty `ranges` returns an empty list without loading the model or
  // opening the file.
  //
  // Throws the model's download or loading error, platform::AudioError when the file cannot be
  // opened or read, and the diarizer's errors.
  static std::vector<Turn> diarize(const std::filesystem::path& file,
                                   const std::vector<Range>& ranges,
                                   const std::filesystem::path& modelsDirectory,
                                   const ProgressHandler& onProgress);

 protected:
  // Runs one drain now, on the queue, and waits for it: what the timer does every 0.5 s.
  // REQUIRES: not called on the diarizer's queue.
  void drainNow();
  // Whether the drain timer runs, as the queue sees it after what was queued before.
  // REQUIRES: not called on the diarizer's queue.
  bool timerRunning();

 private:
  struct Core;

  // Declared first so that it goes last: its thread finishes a drain still holding the core.
  std::unique_ptr<platform::SerialQueue> queue_;
  std::shared_ptr<Core> core_;
};

namespace detail {

// Where one range's audio landed in the joined audio: `joined` and `length` seconds of the joined
// 16 kHz audio, `actual` the range's start in the file.
struct RangePlacement {
  double joined = 0;
  double actual = 0;
  double length = 0;
  bool operator==(const RangePlacement&) const = default;
};

// The ranges of a file read and converted to 16 kHz mono, joined in order.
struct JoinedAudio {
  std::vector<float> samples;
  std::vector<RangePlacement> placements;
};

// Reads `ranges` of `file` as diarize() does. Throws platform::AudioError.
JoinedAudio readJoinedRanges(const std::filesystem::path& file,
                             const std::vector<FileTranscriber::Range>& ranges);

// Puts a segment of the joined audio, [start, end) seconds, back into file time: one turn per
// range it touches, clipped to the range. A start within 0.001 s before a range's joined start
// counts in that range.
void placeSegment(int speaker, double start, double end,
                  const std::vector<RangePlacement>& placements,
                  std::vector<SpeakerDiarizer::Turn>& into);

}  // namespace detail

}  // namespace devadevev
