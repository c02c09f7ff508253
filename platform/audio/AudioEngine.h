#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/audio/AudioInputNode.h"

namespace platform {

class AudioInput;

// An audio engine with one input node. Its input is the default capture device (Qt Multimedia),
// or a file or generator input given for tests and headless runs. While the engine runs, the
// node's tap receives the input's audio on the input's own thread. Configuration changes (a
// device plugged in or out, another default input) are announced to observers on the GUI thread.
// Control it from one thread (the GUI thread in the application); observers may be added from any.
class AudioEngine {
 public:
  using ObserverToken = std::uint64_t;

  // An engine on the default capture device; device changes are watched when a
  // QCoreApplication exists.
  AudioEngine();
  // An engine on `input`.
  explicit AudioEngine(std::unique_ptr<AudioInput> input);
  ~AudioEngine();

  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  AudioInputNode& inputNode() { return node_; }

  // Replaces the input (another device); stops the engine first. Observers are not told: call
  // notifyConfigurationChange() for that, as a device change does.
  void setInput(std::unique_ptr<AudioInput> input);

  // Nothing to allocate ahead here; kept so that callers read as on other platforms.
  void prepare() {}

  // Starts the input. Throws AudioError (cannotOpen) when the input has no usable format or
  // cannot be opened. Starting a running engine does nothing.
  void start();

  // Stops the input; once it returns, the tap is not called again until the next start().
  void stop();

  bool isRunning() const { return running_; }

  // True when capture may go ahead: a test input is given or a capture device exists.
  bool captureAuthorized() const;

  // Registers `observer` for configuration changes. It runs on the GUI thread when a
  // QCoreApplication exists (queued there, also when announced from it), otherwise at once on
  // the announcing thread. It is not called after its removal returns on the GUI thread.
  ObserverToken addConfigurationChangeObserver(std::function<void()> observer);
  void removeConfigurationChangeObserver(ObserverToken token);

  // Announces a configuration change, as a device change does. Safe from any thread.
  void notifyConfigurationChange();

 private:
  struct Observers;
  struct DeviceWatch;

  AudioInputNode node_;
  std::unique_ptr<AudioInput> input_;
  bool running_ = false;
  std::shared_ptr<Observers> observers_;
  std::unique_ptr<DeviceWatch> deviceWatch_;
};

}  // namespace platform
