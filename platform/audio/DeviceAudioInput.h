#pragma once

#include <memory>

#include "platform/audio/AudioInput.h"

namespace platform {

// The default capture device through Qt Multimedia. It asks for 32-bit float samples at the
// device's preferred rate and channel count, takes 16-bit integers when that is what the device
// gives, and reads on a QThread of its own with an event loop. Each start() opens the device that
// is the default at that moment.
class DeviceAudioInput : public AudioInput {
 public:
  DeviceAudioInput();
  ~DeviceAudioInput() override;

  // True when the system has a default capture device.
  static bool deviceExists();

  std::optional<AudioFormat> format() override;
  void start(Deliver deliver) override;
  void stop() override;
  bool isTestInput() const override { return false; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
