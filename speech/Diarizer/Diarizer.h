#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

#include "speech/Diarizer/DiarizerSpeaker.h"
#include "speech/Diarizer/DiarizerTimeline.h"
#include "speech/Diarizer/DiarizerTimelineUpdate.h"

namespace tesselaudio {

// The common interface of the library's frame-based streaming diarizers: audio of any rate goes
// in (streamed piece by piece, or a whole recording at once), per-speaker segments come out in a
// shared DiarizerTimeline. Held by std::shared_ptr; implementations say from where they may be
// called.
//
// Samples are mono 32-bit floats. A `sourceSampleRate` that is absent means the samples are at
// targetSampleRate() already. An operation that takes a std::stop_token throws
// platform::CancellationError when a stop is requested between two chunks; a default token never
// stops.
class Diarizer {
 public:
  // (samples processed, samples in total, chunks processed) of a whole-recording run.
  using ProgressCallback =
      std::function<void(std::int64_t processed, std::int64_t total, std::int64_t chunks)>;

  virtual ~Diarizer();

  // Models are loaded and the diarizer can process.
  virtual bool isAvailable() const = 0;
  // Model frames processed in this session.
  virtual std::int64_t numFramesProcessed() const = 0;
  // The sample rate the engine works at.
  virtual std::optional<std::int64_t> targetSampleRate() const = 0;
  // Model frames per second.
  virtual std::optional<double> modelFrameHz() const = 0;
  // Speaker slots.
  virtual std::optional<std::int64_t> numSpeakers() const = 0;
  // The timeline that receives the results; the same object for the diarizer's whole life.
  virtual std::shared_ptr<DiarizerTimeline> timeline() const = 0;

  // Buffers audio without running the model.
  virtual void addAudio(std::span<const float> samples,
                        std::optional<double> sourceSampleRate) = 0;
  // Runs every chunk that is complete; returns the timeline's update, or nothing when no chunk
  // was complete.
  virtual std::optional<DiarizerTimelineUpdate> process(std::stop_token stop = {}) = 0;
  // addAudio() and process() in one step.
  virtual std::optional<DiarizerTimelineUpdate> process(std::span<const float> samples,
                                                        std::optional<double> sourceSampleRate,
                                                        std::stop_token stop = {}) = 0;
  // Diarizes a whole recording in one call and returns the timeline holding the result.
  virtual std::shared_ptr<DiarizerTimeline> processComplete(
      std::span<const float> samples, std::optional<double> sourceSampleRate,
      std::optional<bool> keepingEnrolledSpeakers, bool finalizeOnCompletion,
      ProgressCallback progressCallback, std::stop_token stop = {}) = 0;
  // The same for the audio of a file.
  virtual std::shared_ptr<DiarizerTimeline> processComplete(
      const std::filesystem::path& audioFileURL, std::optional<bool> keepingEnrolledSpeakers,
      bool finalizeOnCompletion, ProgressCallback progressCallback, std::stop_token stop = {}) = 0;
  // A fresh session; models stay.
  virtual void reset() = 0;
  // Drops the models and the session.
  virtual void cleanup() = 0;
  // Primes the session with a known voice; returns the speaker now carrying `named`, or null.
  virtual std::shared_ptr<DiarizerSpeaker> enrollSpeaker(
      std::span<const float> withAudio, std::optional<double> sourceSampleRate,
      std::optional<std::string> named, bool overwritingAssignedSpeakerName,
      std::stop_token stop = {}) = 0;
  // Ends the session: the tail of the audio is processed and everything becomes final.
  virtual std::optional<DiarizerTimelineUpdate> finalizeSession(std::stop_token stop = {}) = 0;
};

}  // namespace tesselaudio
