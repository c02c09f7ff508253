#include "app/Editor/AudioPlayback.h"

#include <exception>

#include "platform/audio/AudioPlayer.h"

namespace veltovoice {
namespace {

constexpr int kTickMs = 200;

std::unique_ptr<platform::AudioPlayer> openOnDefaultOutput(const std::filesystem::path& path) {
  return std::make_unique<platform::AudioPlayer>(path);
}

}  // namespace

AudioPlayback::AudioPlayback(QObject* parent) : AudioPlayback(openOnDefaultOutput, parent) {}

AudioPlayback::AudioPlayback(PlayerFactory makePlayer, QObject* parent)
    : QObject(parent), makePlayer_(std::move(makePlayer)) {
  timer_.setInterval(kTickMs);
  connect(&timer_, &QTimer::timeout, this, &AudioPlayback::tick);
}

AudioPlayback::~AudioPlayback() = default;

void AudioPlayback::load(const std::optional<std::filesystem::path>& location) {
  if (location == location_ && (!location || player_)) return;
  stop();
  location_ = location;
  if (location) {
    try {
      player_ = makePlayer_(*location);
    } catch (const std::exception&) {
      // A missing or unreadable recording simply leaves nothing to play.
      player_.reset();
    }
  }
  if (player_) player_->prepareToPlay();
  setDuration(player_ ? player_->duration() : 0.0);
  setPosition(0);
  setLoaded(player_ != nullptr);
}

void AudioPlayback::seek(double time, bool play) {
  if (!player_) return;
  double t = time >= 0 ? time : 0.0;  // also not-a-number
  if (duration_ < t) t = duration_;
  setPosition(t);
  player_->setCurrentTime(t);
  if (play && !isPlaying_) this->play();
}

void AudioPlayback::play() {
  if (!player_) return;
  if (!player_->play()) return;
  setIsPlaying(true);
  timer_.start();
}

void AudioPlayback::pause() {
  if (!player_) return;
  player_->pause();
  setIsPlaying(false);
  timer_.stop();
}

void AudioPlayback::stop() {
  timer_.stop();
  if (player_) player_->stop();
  player_.reset();
  setIsPlaying(false);
  setPosition(0);
  setDuration(0);
  setLoaded(false);
}

void AudioPlayback::tick() {
  if (!player_) return;
  setPosition(player_->currentTime());
  if (!player_->isPlaying()) {
    setIsPlaying(false);
    timer_.stop();
  }
}

void AudioPlayback::setIsPlaying(bool value) {
  if (isPlaying_ == value) return;
  isPlaying_ = value;
  emit isPlayingChanged(value);
}

void AudioPlayback::setPosition(double value) {
  if (position_ == value) return;
  position_ = value;
  emit positionChanged(value);
}

void AudioPlayback::setDuration(double value) {
  if (duration_ == value) return;
  duration_ = value;
  emit durationChanged(value);
}

void AudioPlayback::setLoaded(bool value) {
  if (loaded_ == value) return;
  loaded_ = value;
  emit loadedChanged(value);
}

}  // namespace veltovoice
