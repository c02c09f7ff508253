#include "platform/audio/DeviceAudioInput.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QIODevice>
#include <QMediaDevices>
#include <QMetaObject>
#include <QThread>

#include "platform/audio/AudioError.h"

namespace platform {

namespace {

QAudioFormat requestedFormat(const QAudioDevice& device) {
  auto format = device.preferredFormat();
  format.setSampleFormat(QAudioFormat::Float);
  if (!device.isFormatSupported(format)) format.setSampleFormat(QAudioFormat::Int16);
  return format;
}

// Turns interleaved Float32 or Int16 bytes into non-interleaved float planes.
void deinterleave(const char* data, std::uint32_t frames, QAudioFormat::SampleFormat sampleFormat,
                  PcmBuffer& out) {
  const auto channels = out.format().channelCount();
  auto* planes = out.floatChannelData();
  for (std::uint32_t i = 0; i < frames; ++i) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      if (sampleFormat == QAudioFormat::Float) {
        float v;
        std::memcpy(&v, data + (i * channels + c) * 4, 4);
        planes[c][i] = v;
      } else {
        std::int16_t v;
        std::memcpy(&v, data + (i * channels + c) * 2, 2);
        planes[c][i] = float(v) / 32768.0f;
      }
    }
  }
  out.setFrameLength(frames);
}

}  // namespace

struct DeviceAudioInput::Impl {
  QThread thread;
  // Both live on `thread` while it runs.
  std::unique_ptr<QObject> worker;
  QAudioSource* source = nullptr;
  QByteArray carry;  // bytes of an incomplete frame

  // Runs `work` on the capture thread and waits for it.
  void runOnCaptureThread(const std::function<void()>& work) {
    QMetaObject::invokeMethod(worker.get(), work, Qt::BlockingQueuedConnection);
  }

  // On the capture thread: opens the device and reads it whenever data is ready.
  bool open(const QAudioDevice& device, const QAudioFormat& qtFormat, const AudioFormat& format,
            const Deliver& deliver) {
    source = new QAudioSource(device, qtFormat, worker.get());
    QIODevice* io = source->start();
    if (!io) return false;
    auto buffer = std::shared_ptr<PcmBuffer>(PcmBuffer::make(format, 16384));
    QObject::connect(io, &QIODevice::readyRead, source, [this, io, buffer, deliver, qtFormat] {
      carry.append(io->readAll());
      const auto bytesPerFrame = qtFormat.bytesPerFrame();
      if (bytesPerFrame <= 0 || !buffer) return;
      while (carry.size() >= bytesPerFrame) {
        const auto frames = std::uint32_t(
            std::min<qsizetype>(carry.size() / bytesPerFrame, buffer->frameCapacity()));
        deinterleave(carry.constData(), frames, qtFormat.sampleFormat(), *buffer);
        carry.remove(0, qsizetype(frames) * bytesPerFrame);
        deliver(*buffer);
      }
    });
    return true;
  }

  // On the capture thread: closes the device and hands the worker back to `home`.
  void close(QThread* home) {
    if (source) {
      source->stop();
      delete source;
      source = nullptr;
    }
    carry.clear();
    worker->moveToThread(home);
  }
};

DeviceAudioInput::DeviceAudioInput() : impl_(std::make_unique<Impl>()) {}

DeviceAudioInput::~DeviceAudioInput() { stop(); }

bool DeviceAudioInput::deviceExists() { return !QMediaDevices::defaultAudioInput().isNull(); }

std::optional<AudioFormat> DeviceAudioInput::format() {
  const auto device = QMediaDevices::defaultAudioInput();
  if (device.isNull()) return std::nullopt;
  const auto preferred = device.preferredFormat();
  return AudioFormat::make(CommonFormat::pcmFormatFloat32, preferred.sampleRate(),
                           std::uint32_t(std::max(0, preferred.channelCount())), false);
}

void DeviceAudioInput::start(Deliver deliver) {
  stop();
  const auto device = QMediaDevices::defaultAudioInput();
  const auto ours = format();
  if (device.isNull() || !ours) throw AudioError::openFailed("default input", "no capture device");
  const auto qtFormat = requestedFormat(device);
  impl_->worker = std::make_unique<QObject>();
  impl_->worker->moveToThread(&impl_->thread);
  impl_->thread.start();
  bool opened = false;
  impl_->runOnCaptureThread([&] { opened = impl_->open(device, qtFormat, *ours, deliver); });
  if (!opened) {
    stop();
    throw AudioError::openFailed(device.description().toStdString(), "the device did not start");
  }
}

void DeviceAudioInput::stop() {
  if (!impl_->thread.isRunning()) return;
  QThread* home = QThread::currentThread();
  impl_->runOnCaptureThread([&] { impl_->close(home); });
  impl_->thread.quit();
  impl_->thread.wait();
  impl_->worker.reset();
}

}  // namespace platform
