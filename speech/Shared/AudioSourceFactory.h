#pragma once

#include <cstdint>
#include <filesystem>

#include "speech/Shared/AppLogger.h"
#include "speech/Shared/DiskBackedAudioSampleSource.h"

namespace platform {
class AudioFile;
class Converter;
class FileHandle;
}  // namespace platform

namespace tesselaudio {

// Opens an audio file of any format the audio layer decodes as a disk-backed sample source: mono
// float samples at the caller's rate, readable at random positions, without the decoded recording
// ever held in memory whole. A mono 16-bit PCM ".wav" file already at the rate is mapped and read in
// place; anything else is decoded and converted chunk by chunk into
//
//   $TMPDIR/tesselaudio-streaming-<UUID>.raw
//
// (no header: consecutive native little-endian 32-bit floats, 4 bytes per sample), which is then
// mapped. The caller deletes that file through the source's cleanup() once it has finished reading.
// A value without shared state: calls may run at once on several threads, each on the caller's
// thread.
//
//   AudioSourceFactory factory;
//   auto [source, loadDuration] = factory.makeDiskBackedSource("meeting.m4a", 16000);
//   std::vector<float> window(240000);
//   source.copySamples(window.data(), 0, 240000);
//   source.cleanup();
class AudioSourceFactory {
 public:
  struct Result {
    DiskBackedAudioSampleSource source;
    double loadDuration;  // seconds from the start of the call to the result being ready
  };

  // Logs under the category "AudioSourceFactory".
  AudioSourceFactory();

  // The source over the file at `url` at `targetSampleRate` Hz.
  // Throws AudioSourceError::processingFailed; a failed call leaves no temporary file behind.
  // REQUIRES: targetSampleRate > 0.
  Result makeDiskBackedSource(const std::filesystem::path& url, std::int64_t targetSampleRate) const;

 private:
  std::filesystem::path makeTemporaryURL() const;
  Result convertToTemporaryFile(const std::filesystem::path& url, std::int64_t targetSampleRate,
                                const std::filesystem::path& temporary) const;
  // Converts the whole file into `handle`; returns the number of samples written.
  std::int64_t streamConvert(platform::AudioFile& audioFile, platform::Converter& converter,
                             platform::FileHandle& handle) const;

  AppLogger logger_;
};

}  // namespace tesselaudio
