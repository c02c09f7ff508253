#include "platform/audio/AudioPlayer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QTimer>

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/Converter.h"
#include "platform/audio/PcmBuffer.h"

namespace platform {
namespace {

constexpr std::uint32_t kBlockFrames = 4096;

// The file's audio from the current position on, as interleaved frames of the output's format.
class Source {
 public:
  Source(AudioFile& file, const AudioFormat& outputFormat)
      : file_(file),
        outputFormat_(outputFormat),
        bytesPerFrame_(outputFormat.bytesPerSample() * outputFormat.channelCount()),
        decoded_(PcmBuffer::make(file.processingFormat(), kBlockFrames)) {
    if (!(outputFormat_.commonFormat() == CommonFormat::pcmFormatFloat32 &&
          outputFormat_.sampleRate() == file.processingFormat().sampleRate() &&
          outputFormat_.channelCount() == file.processingFormat().channelCount())) {
      const auto planar = AudioFormat::make(outputFormat_.commonFormat(), outputFormat_.sampleRate(),
                                            outputFormat_.channelCount(), false);
      converter_ = Converter::make(file.processingFormat(), *planar);
      if (!converter_) throw AudioError::openFailed(file.path().string(), "no conversion to the output");
      converted_ = PcmBuffer::make(*planar, kBlockFrames);
    }
  }

  const AudioFormat& outputFormat() const { return outputFormat_; }
  std::uint32_t bytesPerFrame() const { return bytesPerFrame_; }

  // Writes up to `frames` frames to `out` (nothing when `out` is null) and returns how many were
  // given; fewer than asked only once the audio has ended.
  std::uint32_t read(char* out, std::uint32_t frames) {
    while (pendingFrames() < frames && !ended_) produceBlock();
    const std::uint32_t given = std::min<std::uint32_t>(frames, pendingFrames());
    const std::size_t bytes = std::size_t{given} * bytesPerFrame_;
    if (out && bytes > 0) std::memcpy(out, pending_.data() + pendingStart_, bytes);
    pendingStart_ += bytes;
    if (pendingStart_ == pending_.size()) {
      pending_.clear();
      pendingStart_ = 0;
    }
    return given;
  }

  // Frames converted but not yet handed out.
  std::uint32_t pendingFrames() const {
    return static_cast<std::uint32_t>((pending_.size() - pendingStart_) / bytesPerFrame_);
  }

  void seek(std::int64_t frame) {
    file_.setFramePosition(frame);
    pending_.clear();
    pendingStart_ = 0;
    if (converter_) converter_->reset();
    ended_ = false;
  }

  // True once the file gave everything it could: its end, or a point where decoding failed.
  bool ended() const { return ended_ && pendingFrames() == 0; }

 private:
  // Decodes one block from the file; false at the end or on a failure, which ends the audio.
  bool decodeBlock() {
    try {
      file_.read(*decoded_, kBlockFrames);
    } catch (const AudioError&) {
      decoded_->setFrameLength(0);
    }
    return decoded_->frameLength() > 0;
  }

  void produceBlock() {
    if (!converter_) {
      if (!decodeBlock()) {
        ended_ = true;
        return;
      }
      appendInterleaved(*decoded_);
      return;
    }
    const auto status = converter_->convert(*converted_, [this](std::uint32_t, Converter::InputStatus& s) {
      if (!decodeBlock()) {
        s = Converter::InputStatus::endOfStream;
        return static_cast<const PcmBuffer*>(nullptr);
      }
      s = Converter::InputStatus::haveData;
      return static_cast<const PcmBuffer*>(decoded_.get());
    });
    appendInterleaved(*converted_);
    if (status != Converter::OutputStatus::haveData) ended_ = true;
  }

  void appendInterleaved(const PcmBuffer& block) {
    const std::uint32_t frames = block.frameLength();
    const std::uint32_t channels = outputFormat_.channelCount();
    const std::uint32_t sampleBytes = outputFormat_.bytesPerSample();
    const std::size_t start = pending_.size();
    pending_.resize(start + std::size_t{frames} * bytesPerFrame_);
    const auto planes = block.audioBufferList();
    for (std::uint32_t c = 0; c < channels; ++c) {
      const auto* plane = static_cast<const char*>(planes[c].data);
      char* to = pending_.data() + start + std::size_t{c} * sampleBytes;
      for (std::uint32_t f = 0; f < frames; ++f) {
        std::memcpy(to + std::size_t{f} * bytesPerFrame_, plane + std::size_t{f} * sampleBytes, sampleBytes);
      }
    }
  }

  AudioFile& file_;
  AudioFormat outputFormat_;
  std::uint32_t bytesPerFrame_;
  std::unique_ptr<PcmBuffer> decoded_;
  std::unique_ptr<Converter> converter_;  // only when the output differs from the file
  std::unique_ptr<PcmBuffer> converted_;
  std::vector<char> pending_;
  std::size_t pendingStart_ = 0;
  bool ended_ = false;
};

// Where the audio goes. Each sink pulls from the source at its own pace once started.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool prepare() = 0;
  // Starts or resumes pulling; false when the output cannot start.
  virtual bool start() = 0;
  virtual void pause() = 0;
  // Stops and drops what the output holds.
  virtual void stop() = 0;
  // Frames pulled from the source that have not been heard yet.
  virtual std::int64_t bufferedFrames() const = 0;
  // True when everything pulled has been heard.
  virtual bool drained() const = 0;
};

// Consumes audio by a clock of its own, `speed` times real time, a few milliseconds at a time.
class NullSink : public Sink {
 public:
  NullSink(Source& source, double speed) : source_(source), speed_(speed > 0 ? speed : 1.0) {
    timer_.setInterval(10);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { consume(); });
  }

  bool prepare() override { return true; }

  bool start() override {
    clock_.start();
    consumed_ = 0;
    timer_.start();
    return true;
  }

  void pause() override {
    consume();
    timer_.stop();
  }

  void stop() override { timer_.stop(); }

  std::int64_t bufferedFrames() const override { return 0; }
  bool drained() const override { return true; }

 private:
  void consume() {
    if (!timer_.isActive()) return;
    const double rate = source_.outputFormat().sampleRate();
    const auto due = static_cast<std::int64_t>(static_cast<double>(clock_.nsecsElapsed()) * 1e-9 * speed_ * rate);
    while (consumed_ < due) {
      const auto want = static_cast<std::uint32_t>(std::min<std::int64_t>(due - consumed_, kBlockFrames));
      const std::uint32_t got = source_.read(nullptr, want);
      consumed_ += got;
      if (got < want) {
        timer_.stop();
        return;
      }
    }
  }

  Source& source_;
  double speed_;
  QTimer timer_;
  QElapsedTimer clock_;
  std::int64_t consumed_ = 0;  // frames since the last start()
};

// Hands the source to QAudioSink in pull mode.
class PullDevice : public QIODevice {
 public:
  explicit PullDevice(Source& source) : source_(source) {}

  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override {
    return QIODevice::bytesAvailable() + (source_.ended() ? 0 : qint64{kBlockFrames} * source_.bytesPerFrame());
  }

 protected:
  qint64 readData(char* data, qint64 maxSize) override {
    const auto frames = static_cast<std::uint32_t>(
        std::min<qint64>(maxSize / source_.bytesPerFrame(), qint64{kBlockFrames} * 16));
    return qint64{source_.read(data, frames)} * source_.bytesPerFrame();
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  Source& source_;
};

// The default output device through Qt Multimedia.
class DeviceSink : public Sink {
 public:
  DeviceSink(Source& source, const QAudioDevice& device, const QAudioFormat& format)
      : device_(device), format_(format), pull_(source) {}

  ~DeviceSink() override { stop(); }

  bool prepare() override {
    if (!sink_) sink_ = std::make_unique<QAudioSink>(device_, format_);
    return true;
  }

  bool start() override {
    prepare();
    if (sink_->state() == QAudio::SuspendedState) {
      sink_->resume();
    } else {
      if (!pull_.isOpen()) pull_.open(QIODevice::ReadOnly);
      sink_->start(&pull_);
    }
    if (sink_->error() != QAudio::NoError || sink_->state() == QAudio::StoppedState) {
      stop();
      return false;
    }
    return true;
  }

  void pause() override {
    if (sink_) sink_->suspend();
  }

  void stop() override {
    if (sink_) sink_->stop();
    sink_.reset();
    pull_.close();
  }

  std::int64_t bufferedFrames() const override {
    if (!sink_ || sink_->state() == QAudio::StoppedState) return 0;
    return std::max<qsizetype>(0, sink_->bufferSize() - sink_->bytesFree()) / format_.bytesPerFrame();
  }

  bool drained() const override { return !sink_ || sink_->state() != QAudio::ActiveState; }

 private:
  QAudioDevice device_;
  QAudioFormat format_;
  PullDevice pull_;
  std::unique_ptr<QAudioSink> sink_;
};

// The output format for `device`: the file's own rate and channels as floats when the device
// takes them, otherwise the device's preferred format.
QAudioFormat deviceFormat(const QAudioDevice& device, const AudioFormat& fileFormat) {
  QAudioFormat format;
  format.setSampleRate(static_cast<int>(fileFormat.sampleRate()));
  format.setChannelCount(static_cast<int>(fileFormat.channelCount()));
  format.setSampleFormat(QAudioFormat::Float);
  if (device.isFormatSupported(format)) return format;
  format = device.preferredFormat();
  if (format.sampleFormat() != QAudioFormat::Int16) format.setSampleFormat(QAudioFormat::Float);
  return format;
}

AudioFormat audioFormat(const QAudioFormat& format) {
  const CommonFormat common = format.sampleFormat() == QAudioFormat::Int16 ? CommonFormat::pcmFormatInt16
                                                                           : CommonFormat::pcmFormatFloat32;
  return *AudioFormat::make(common, format.sampleRate(), static_cast<std::uint32_t>(format.channelCount()), true);
}

}  // namespace

struct AudioPlayer::Impl {
  explicit Impl(const std::filesystem::path& path) : file(path) {}

  AudioFile file;
  std::optional<Source> source;
  std::unique_ptr<Sink> sink;
  bool playing = false;

  double rate() const { return file.processingFormat().sampleRate(); }
  bool finished() const { return source->ended() && sink->drained(); }
};

AudioPlayer::AudioPlayer(const std::filesystem::path& path) : AudioPlayer(path, Options()) {}

AudioPlayer::AudioPlayer(const std::filesystem::path& path, const Options& options)
    : impl_(std::make_unique<Impl>(path)) {
  const AudioFormat& fileFormat = impl_->file.processingFormat();
  std::optional<QAudioDevice> device;
  if (options.output == Options::Output::automatic) {
    const QAudioDevice output = QMediaDevices::defaultAudioOutput();
    if (!output.isNull()) device = output;
  }
  if (device) {
    const QAudioFormat format = deviceFormat(*device, fileFormat);
    impl_->source.emplace(impl_->file, audioFormat(format));
    impl_->sink = std::make_unique<DeviceSink>(*impl_->source, *device, format);
  } else {
    impl_->source.emplace(impl_->file, *AudioFormat::make(CommonFormat::pcmFormatFloat32, fileFormat.sampleRate(),
                                                          fileFormat.channelCount(), true));
    impl_->sink = std::make_unique<NullSink>(*impl_->source, options.nullSinkSpeed);
  }
}

AudioPlayer::~AudioPlayer() {
  if (impl_->sink) impl_->sink->stop();
}

bool AudioPlayer::prepareToPlay() { return impl_->sink->prepare(); }

bool AudioPlayer::play() {
  if (isPlaying()) return true;
  if (impl_->source->ended()) {
    // At the end start over; after a decoding failure try again from where it stopped.
    const std::int64_t at = impl_->file.framePosition();
    impl_->sink->stop();
    impl_->source->seek(at >= impl_->file.length() ? 0 : at);
  }
  if (!impl_->sink->start()) return false;
  impl_->playing = true;
  return true;
}

void AudioPlayer::pause() {
  if (!isPlaying()) {
    impl_->playing = false;
    return;
  }
  impl_->sink->pause();
  impl_->playing = false;
}

void AudioPlayer::stop() {
  const double at = currentTime();
  impl_->sink->stop();
  impl_->playing = false;
  setCurrentTime(at);
}

double AudioPlayer::currentTime() const {
  const double rate = impl_->rate();
  const double outRate = impl_->source->outputFormat().sampleRate();
  const double queued =
      static_cast<double>(impl_->source->pendingFrames() + impl_->sink->bufferedFrames()) / outRate;
  const double at = static_cast<double>(impl_->file.framePosition()) / rate - queued;
  return std::clamp(at, 0.0, duration());
}

void AudioPlayer::setCurrentTime(double seconds) {
  const double t = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, duration());
  const auto frame = std::clamp<std::int64_t>(std::llround(t * impl_->rate()), 0, impl_->file.length());
  const bool running = isPlaying();
  impl_->sink->stop();
  impl_->source->seek(frame);
  if (running && !impl_->sink->start()) impl_->playing = false;
}

double AudioPlayer::duration() const {
  return static_cast<double>(impl_->file.length()) / impl_->rate();
}

bool AudioPlayer::isPlaying() const { return impl_->playing && !impl_->finished(); }

}  // namespace platform
