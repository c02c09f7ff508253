#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace platform {

// Reads an audio file of any format FFmpeg decodes, as 32-bit float, non-interleaved frames at the
// file's own rate and channel count, from any frame to the end. The length is exact: where the
// container records the encoded frame count (MPEG-4 with its edit list, WAV, AIFF, CAF, FLAC) it is
// taken from there, with the codec's priming and padding dropped; elsewhere (raw AAC, MP3, ...) the
// frames are counted by decoding once when the file is opened. One thread at a time.
class AudioFile {
 public:
  // Opens `path` for reading.
  // Throws AudioError::cannotOpen with FFmpeg's message when the file cannot be opened or holds no
  // decodable audio stream, and AudioError::unusableFormat when its stream reports no sample rate
  // or no channels.
  explicit AudioFile(const std::filesystem::path& path);
  ~AudioFile();

  AudioFile(const AudioFile&) = delete;
  AudioFile& operator=(const AudioFile&) = delete;

  // The length in seconds of the audio file at `path`, as length() and the sample rate give it:
  // the container's count where it is exact, else the decoded frames. Nothing when the file cannot
  // be opened, holds no audio stream, or the result is not a finite number; an unknown length is
  // never reported as 0.
  static std::optional<double> duration(const std::filesystem::path& path);

  const std::filesystem::path& path() const { return path_; }

  // 32-bit float, non-interleaved, at the file's rate with its channel count.
  const AudioFormat& processingFormat() const { return processingFormat_; }

  // The number of frames in the file.
  std::int64_t length() const { return length_; }

  // The frame the next read starts at.
  std::int64_t framePosition() const { return framePosition_; }

  // Makes `frame`, clamped to [0, length()], the frame the next read starts at, to the sample:
  // frame n is the nth frame after the encoder's priming (as the MPEG-4 edit list gives it). The
  // work happens in that read, which seeks to a point a little before the frame, where the stream's
  // timestamps count samples exactly (MPEG-4, WAV, FLAC, Ogg, ...), decodes and drops the frames
  // before it; elsewhere (MP3, raw AAC) it decodes from the start. Never throws; a damaged or cut
  // file fails that read.
  void setFramePosition(std::int64_t frame);

  // Reads up to `frames` frames (at most the buffer's capacity, at most what is left before
  // length()) into `buffer`, sets its frameLength to the frames read (0 at the end of the file) and
  // advances framePosition() by as much.
  // Throws AudioError::formatMismatch when `buffer` is not in the processing format, and
  // AudioError::readFailed when decoding fails or the stream ends before length() (a truncated
  // file); the position does not move then.
  void read(PcmBuffer& buffer, std::uint32_t frames);

 private:
  struct Impl;

  std::filesystem::path path_;
  std::unique_ptr<Impl> impl_;
  AudioFormat processingFormat_;
  std::int64_t length_ = 0;
  std::int64_t framePosition_ = 0;
};

}  // namespace platform
