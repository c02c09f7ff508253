#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

namespace platform {

// Plays one audio file: FFmpeg decodes it a block at a time while it plays (opening reads only the
// headers), and the blocks go to the default output device through Qt Multimedia. Without an output
// device the audio goes to a null sink that consumes it by its own clock, so playback still runs
// and ends as it would on a device. Lives on one thread, which must run a Qt event loop while the
// player plays.
//
//   AudioPlayer player(path);           // throws AudioError for an unreadable file
//   player.prepareToPlay();
//   player.setCurrentTime(12.5);
//   if (!player.play()) { /* no output could be started */ }
class AudioPlayer {
 public:
  struct Options {
    enum class Output {
      automatic,  // the default output device, or the null sink when there is none
      nullSink,   // always the null sink
    };
    Output output = Output::automatic;
    // How fast the null sink's clock runs against real time: 1 plays in real time, 50 plays a
    // second of audio in 20 ms. Ignored by a device.
    double nullSinkSpeed = 1.0;
  };

  // Opens `path` and reads its headers; the audio is decoded only while it plays.
  // Throws AudioError::cannotOpen (or another AudioError) when the file is missing, unreadable or
  // holds no decodable audio.
  explicit AudioPlayer(const std::filesystem::path& path);
  AudioPlayer(const std::filesystem::path& path, const Options& options);
  ~AudioPlayer();

  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

  // Sets up the output ahead of play(). Returns false when the output cannot be set up.
  bool prepareToPlay();

  // Starts or resumes playback at currentTime(); from the end of the file it starts again at 0.
  // Returns false, changing nothing, when the output cannot start.
  bool play();

  // Halts playback; currentTime() stays where it was.
  void pause();

  // Halts playback and releases the output; currentTime() stays where it was.
  void stop();

  // Seconds from the start of the file to the sample being heard, in 0 to duration(); duration()
  // once playback ran to the end.
  double currentTime() const;

  // Moves playback to `seconds`, clamped to 0 to duration() (a time that is not a number gives 0),
  // to the sample. While playing, playback goes on from there.
  void setCurrentTime(double seconds);

  // The length of the file in seconds.
  double duration() const;

  // True from a successful play() until pause(), stop(), or the end of the audio: the end of the
  // file, or a point where it can no longer be decoded (a file cut short while it plays).
  bool isPlaying() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
