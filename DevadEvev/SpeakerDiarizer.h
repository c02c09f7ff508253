#pragma once

#include <filesystem>
#include <functional>
#include <span>
#include <stop_token>
#include <vector>

namespace devadevev {

// The application's speaker diarizer for one live recording: samples from the audio tap go in,
// the complete list of speaker turns comes back through a callback every half second. One
// instance per recording, owned by the conversation model. append() is for the tap thread and never
// blocks; the other operations are for the owner's thread. Operations are virtual so that tests can
// hand the model a diarizer of their own.
//
//   auto diarizer = std::make_unique<SpeakerDiarizer>();
//   diarizer->prepare(modelsDirectory, onTurns, stop);  // may throw: record without speakers
//   diarizer->append(samples, 48000);                   // from the tap, per buffer
//   diarizer->finish();                                 // last onTurns, then returns
//
// This build has no diarizer model yet: prepare() throws platform::UnavailableError and the other
// operations do nothing.
class SpeakerDiarizer {
 public:
  // One speaker turn on the time line of all samples appended since preparation.
  struct Turn {
    int speaker = 0;   // the diarizer's speaker slot, 0 to 3
    double start = 0;  // seconds
    double end = 0;    // seconds
    bool operator==(const Turn&) const = default;
  };

  // Receives the complete current list of turns, sorted by start; each call replaces the last.
  using TurnsHandler = std::function<void(const std::vector<Turn>& turns)>;

  // Unprepared: no model, no pending samples, no timer, no callback. Cannot fail.
  SpeakerDiarizer();
  virtual ~SpeakerDiarizer();

  SpeakerDiarizer(const SpeakerDiarizer&) = delete;
  SpeakerDiarizer& operator=(const SpeakerDiarizer&) = delete;

  // Downloads the model into `modelsDirectory` when missing, loads it, keeps `onTurns` and starts
  // publishing every 0.5 s. Blocks. Throws the download or loading error, or CancellationError when
  // `stop` is requested; after a throw only cancel() may be called.
  virtual void prepare(const std::filesystem::path& modelsDirectory, TurnsHandler onTurns,
                       std::stop_token stop);

  // Queues a copy of `samples` (one channel) at `sampleRate` Hz. Returns at once; never fails.
  virtual void append(std::span<const float> samples, double sampleRate);

  // Processes what is pending, finalizes, publishes the final turns, then returns. Never throws.
  virtual void finish();

  // Stops publishing; returns at once. Nothing is processed or published afterwards.
  virtual void cancel();
};

}  // namespace devadevev
