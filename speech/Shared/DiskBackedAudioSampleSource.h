#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/sys/MappedFile.h"
#include "speech/Shared/AudioSampleSource.h"

namespace tesselaudio {

// A sample source over a file's bytes, normally mapped into memory, so that reading a window of an
// hour-long recording never holds the recording: either a mono 16-bit PCM WAV file read in place
// (each read converts to float), or a headerless file of 32-bit floats that AudioSourceFactory
// wrote to the temporary folder. A value: copies share the bytes and the temporary file, and
// cleanup() on any of them deletes the file for all. Safe to read from any thread; cleanup() must
// not race with reads.
class DiskBackedAudioSampleSource final : public AudioSampleSource {
 public:
  // How the samples are stored in the bytes: `pcm16` as signed 16-bit little-endian values from
  // `dataOffset` (sample i at dataOffset + 2i), `float32` as 32-bit little-endian floats from byte 0.
  struct Encoding {
    enum class Kind { pcm16, float32 };

    static Encoding pcm16(std::int64_t dataOffset) { return {Kind::pcm16, dataOffset}; }
    static Encoding float32() { return {Kind::float32, 0}; }

    Kind kind = Kind::float32;
    std::int64_t dataOffset = 0;  // pcm16 only

    bool operator==(const Encoding&) const = default;
  };

  // A raw float file that the source takes charge of: float32, `fileURL` as its temporary file,
  // sampleCount the byte count ÷ 4 (a trailing partial float is ignored).
  // REQUIRES: mappedData not null.
  DiskBackedAudioSampleSource(std::shared_ptr<const platform::MappedFile> mappedData,
                              std::filesystem::path fileURL);

  // All four fields, as for a WAV file read in place.
  // REQUIRES: mappedData not null; the encoding's samples [0, sampleCount) lie inside the bytes.
  DiskBackedAudioSampleSource(std::shared_ptr<const platform::MappedFile> mappedData, Encoding encoding,
                              std::optional<std::filesystem::path> temporaryFileURL,
                              std::int64_t sampleCount);

  const std::shared_ptr<const platform::MappedFile>& mappedData() const { return mappedData_; }
  const Encoding& encoding() const { return encoding_; }
  const std::optional<std::filesystem::path>& temporaryFileURL() const { return temporaryFileURL_; }

  std::int64_t sampleCount() const override { return sampleCount_; }
  // pcm16 values are scaled by 2^-15 (−32,768 reads as −1.0); float32 values are copied as they are.
  void copySamples(float* destination, std::int64_t offset, std::int64_t count) const override;

  // Deletes the temporary file when there is one. Every failure (already gone, no permission) is
  // ignored, and the field stays, so a second call tries again and fails silently. The mapped
  // bytes stay readable until the last copy goes.
  void cleanup() const;

 private:
  std::shared_ptr<const platform::MappedFile> mappedData_;
  Encoding encoding_;
  std::optional<std::filesystem::path> temporaryFileURL_;
  std::int64_t sampleCount_;
};

}  // namespace tesselaudio
