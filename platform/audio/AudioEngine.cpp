#include "platform/audio/AudioEngine.h"

#include <map>
#include <mutex>
#include <vector>

#include <QCoreApplication>
#include <QMediaDevices>
#include <QMetaObject>
#include <QObject>

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInput.h"
#include "platform/audio/DeviceAudioInput.h"

namespace platform {

struct AudioEngine::Observers {
  std::mutex mutex;
  std::map<ObserverToken, std::function<void()>> byToken;  // guarded by mutex
  ObserverToken next = 1;                                   // guarded by mutex

  void runAll() {
    std::vector<std::function<void()>> due;
    {
      std::scoped_lock lock(mutex);
      for (auto& [token, observer] : byToken) due.push_back(observer);
    }
    for (auto& observer : due) observer();
  }
};

// Watches Qt's device list on the GUI thread and announces its changes.
struct AudioEngine::DeviceWatch {
  QMediaDevices devices;
};

AudioEngine::AudioEngine() : AudioEngine(std::make_unique<DeviceAudioInput>()) {
  if (QCoreApplication::instance()) {
    deviceWatch_ = std::make_unique<DeviceWatch>();
    std::weak_ptr<Observers> weak = observers_;
    auto announce = [weak] {
      if (auto observers = weak.lock()) observers->runAll();
    };
    QObject::connect(&deviceWatch_->devices, &QMediaDevices::audioInputsChanged,
                     &deviceWatch_->devices, announce);
  }
}

AudioEngine::AudioEngine(std::unique_ptr<AudioInput> input)
    : observers_(std::make_shared<Observers>()) {
  setInput(std::move(input));
}

AudioEngine::~AudioEngine() {
  stop();
  node_.setInput(nullptr);
}

void AudioEngine::setInput(std::unique_ptr<AudioInput> input) {
  stop();
  node_.setInput(input.get());
  input_ = std::move(input);
}

void AudioEngine::start() {
  if (running_) return;
  if (!input_) throw AudioError::openFailed("input", "the engine has no input");
  input_->start([this](const PcmBuffer& buffer) { node_.receive(buffer); });
  running_ = true;
}

void AudioEngine::stop() {
  if (input_) input_->stop();
  running_ = false;
}

bool AudioEngine::captureAuthorized() const {
  if (input_ && input_->isTestInput()) return true;
  return DeviceAudioInput::deviceExists();
}

AudioEngine::ObserverToken AudioEngine::addConfigurationChangeObserver(
    std::function<void()> observer) {
  std::scoped_lock lock(observers_->mutex);
  const auto token = observers_->next++;
  observers_->byToken.emplace(token, std::move(observer));
  return token;
}

void AudioEngine::removeConfigurationChangeObserver(ObserverToken token) {
  std::scoped_lock lock(observers_->mutex);
  observers_->byToken.erase(token);
}

void AudioEngine::notifyConfigurationChange() {
  std::weak_ptr<Observers> weak = observers_;
  auto announce = [weak] {
    if (auto observers = weak.lock()) observers->runAll();
  };
  if (auto* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(app, announce, Qt::QueuedConnection);
  } else {
    announce();
  }
}

}  // namespace platform
