#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

namespace platform {
class PcmBuffer;
class SerialQueue;
}  // namespace platform

namespace devadevev {

// Writes the recording file of a live recording: one channel, converted to 48,000 Hz when needed,
// encoded as AAC at 96,000 bit/s. The audio tap thread hands buffers to append(), which only copies
// the first channel and queues it; conversion and encoding run on the writer's own serial queue
// "velto-voice-app.writer". append() is for the tap thread, finish() for the owner; url() and
// framesWritten() are safe from any thread.
//
// While recording, the file is in the crash-safe form (platform/audio/FragmentedAac.h): should the
// process die, the audio up to the last second or two stays readable. finish() rewrites it as an
// ordinary ".m4a" with its index ahead of the audio.
class RecordingWriter {
 public:
  static constexpr double kSampleRate = 48000.0;
  static constexpr std::int64_t kBitRate = 96000;

  // Creates the file at `url` (container from the extension; ".m4a" is MPEG-4 audio) and opens it.
  // Throws platform::AudioError (cannotCreate) when the file cannot be created with these settings,
  // for example when its folder does not exist or the path is a folder.
  explicit RecordingWriter(const std::filesystem::path& url);

  // Releases the file; buffers still queued are dropped. Call finish() first to keep them.
  ~RecordingWriter();

  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  const std::filesystem::path& url() const { return url_; }

  // Queues a copy of the first channel of `buffer` for writing and returns at once. Buffers
  // without 32-bit float planes or without frames are ignored, as is everything after finish().
  void append(const platform::PcmBuffer& buffer);

  // Writes everything queued before the call, completes and closes the file (rewriting it in the
  // ordinary form, atomically), and returns the length written in seconds (frames at 48,000 Hz ÷ 48,000). Samples the rate converter still
  // holds are not written. A second call closes nothing and returns the same length.
  double finish();

  // Frames at 48,000 Hz written to the file so far; a recent count while recording.
  std::int64_t framesWritten() const;

 private:
  struct State;

  std::filesystem::path url_;
  std::shared_ptr<State> state_;  // touched only on queue_, apart from its atomic frame count
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace devadevev
