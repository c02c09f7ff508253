#include "platform/audio/FileAudioInput.h"

#include "platform/audio/AudioFile.h"

namespace platform {

FileAudioInput::FileAudioInput(const std::filesystem::path& path, Pacing pacing)
    : PacedAudioInput(std::move(pacing)), file_(std::make_unique<AudioFile>(path)) {}

FileAudioInput::~FileAudioInput() { stop(); }

std::optional<AudioFormat> FileAudioInput::format() { return file_->processingFormat(); }

void FileAudioInput::produce(PcmBuffer& buffer, std::uint32_t frames, std::int64_t) {
  file_->read(buffer, frames);
}

}  // namespace platform
