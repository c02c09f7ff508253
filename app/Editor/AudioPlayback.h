#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <QObject>
#include <QTimer>

namespace platform {
class AudioPlayer;
}

namespace veltovoice {

// The application's one audio player: it plays the recording of the selected conversation and
// publishes whether it plays, where, how long the recording is and whether one is open. While it
// plays, a 0.2 s timer copies the player's time into `position` and notices the end of the
// recording. An unreadable recording is not an error: nothing is open then. GUI thread only.
//
// States: empty (no player), paused (player, not playing), playing (player, playing, timer on).
class AudioPlayback : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
  Q_PROPERTY(double position READ position NOTIFY positionChanged)
  Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
  Q_PROPERTY(bool loaded READ loaded NOTIFY loadedChanged)

 public:
  // Opens a recording for playing; throws when it cannot be opened.
  using PlayerFactory =
      std::function<std::unique_ptr<platform::AudioPlayer>(const std::filesystem::path&)>;

  // Plays through the default output device (or the null sink when there is none).
  explicit AudioPlayback(QObject* parent = nullptr);
  // Plays through the players that `makePlayer` opens.
  explicit AudioPlayback(PlayerFactory makePlayer, QObject* parent = nullptr);
  ~AudioPlayback() override;

  bool isPlaying() const { return isPlaying_; }
  // Seconds from the start of the recording.
  double position() const { return position_; }
  // Seconds; 0 when nothing is open.
  double duration() const { return duration_; }
  bool loaded() const { return loaded_; }

  // Opens the recording at `location`, or closes the open one when there is none. The location
  // that is already open is left playing undisturbed; a location whose opening failed is opened
  // again. Whatever was open stops first, so a new recording never starts by itself.
  void load(const std::optional<std::filesystem::path>& location);

  // Moves to `time` seconds, clamped to 0 to duration() (not-a-number gives 0); with `play` also
  // starts playback when it is not running. Ignored while nothing is open.
  void seek(double time, bool play);

  // Starts or resumes playback and the position timer. Ignored while nothing is open, and when the
  // output refuses to start.
  void play();

  // Pauses, keeping the recording open and `position` where it was.
  void pause();

 signals:
  void isPlayingChanged(bool isPlaying);
  void positionChanged(double position);
  void durationChanged(double duration);
  void loadedChanged(bool loaded);

 private:
  void stop();
  void tick();
  void setIsPlaying(bool value);
  void setPosition(double value);
  void setDuration(double value);
  void setLoaded(bool value);

  PlayerFactory makePlayer_;
  std::unique_ptr<platform::AudioPlayer> player_;
  std::optional<std::filesystem::path> location_;
  QTimer timer_;
  bool isPlaying_ = false;
  double position_ = 0;
  double duration_ = 0;
  bool loaded_ = false;
};

}  // namespace veltovoice
