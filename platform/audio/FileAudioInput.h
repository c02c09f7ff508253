#pragma once

#include <filesystem>
#include <memory>

#include "platform/audio/PacedAudioInput.h"

namespace platform {

class AudioFile;

// An input that plays an audio file (any format FFmpeg decodes) at its own rate and channel
// count, paced at real time or faster, once from start to end. For tests and headless runs.
class FileAudioInput : public PacedAudioInput {
 public:
  // Opens `path`. Throws AudioError (cannotOpen) when it holds no decodable audio.
  explicit FileAudioInput(const std::filesystem::path& path, Pacing pacing = {});
  ~FileAudioInput() override;

  std::optional<AudioFormat> format() override;

 protected:
  void produce(PcmBuffer& buffer, std::uint32_t frames, std::int64_t framePosition) override;

 private:
  std::unique_ptr<AudioFile> file_;  // read only on the input's thread once started
};

}  // namespace platform
