#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace platform {

// Writes AAC audio into a file whose container follows the file name's extension (".m4a": MPEG-4
// audio). It is fed 32-bit float, non-interleaved buffers at the file's rate and channel count; an
// internal FIFO cuts them into the encoder's frames. The encoder's priming is recorded in the file
// (the MPEG-4 edit list), so readers start at the first sample written. One thread at a time.
//
// With Settings::crashSafe the file is written in the crash-safe form of FragmentedAac.h while
// open: what has been encoded stays readable should the process die, losing at most the last
// second or two. close() then rewrites it in the ordinary form, which is all a reader ever sees of
// a file that was closed.
class AacFileWriter {
 public:
  struct Settings {
    double sampleRate = 48000.0;
    std::uint32_t channelCount = 1;
    std::int64_t bitRate = 96000;
    // Fragments of about one second, each flushed to disk; MPEG-4 containers only.
    bool crashSafe = false;
  };

  // Creates (or replaces) the file at `path` and writes its header.
  // Throws AudioError::cannotCreate with the path and the reason when the container, the encoder or
  // the file cannot be set up (for example a missing folder, or a path that is a directory); no
  // file is left behind then.
  // REQUIRES: settings.sampleRate positive and finite, settings.channelCount > 0.
  AacFileWriter(const std::filesystem::path& path, const Settings& settings);

  // Closes the file if close() was not called; a failure there is dropped.
  ~AacFileWriter();

  AacFileWriter(const AacFileWriter&) = delete;
  AacFileWriter& operator=(const AacFileWriter&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // The format write() takes: 32-bit float, non-interleaved, the file's rate and channel count.
  const AudioFormat& processingFormat() const { return processingFormat_; }

  // Encodes the first frameLength frames of `buffer`.
  // Throws AudioError::formatMismatch when `buffer` is not in the processing format,
  // AudioError::writeFailed when encoding or writing fails or the file is closed.
  void write(const PcmBuffer& buffer);

  // Encodes what is left, completes the file and closes it; a crash-safe file is then rewritten in
  // the ordinary form. A second call does nothing.
  // Throws AudioError::writeFailed; the file is closed either way (a crash-safe file whose rewrite
  // failed stays whole in the crash-safe form, for FragmentedAac::rewriteInOrdinaryForm).
  void close();

  bool isOpen() const;

 private:
  struct Impl;

  std::filesystem::path path_;
  AudioFormat processingFormat_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
