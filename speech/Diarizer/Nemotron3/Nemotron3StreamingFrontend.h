#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "speech/Diarizer/Nemotron3/Nemotron3ChunkWindow.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"
#include "speech/Shared/AudioMelSpectrogram.h"

namespace tesselaudio {

// Turns a stream of 16 kHz mono samples into Nemotron 3 chunk windows: computes only the mel
// frames the new audio completes (pre-emphasis carried across calls, the first sample of the
// stream left as it is), and hands out a window once its core and full right context exist, or,
// when the stream is final, whatever is left. The audio and the mel cache are trimmed from the
// front after each use, so memory stays proportional to one window. Owned by one diarizer; not
// for concurrent use. The frames equal those of a whole-buffer computation with pre-emphasis 0.97
// and centre padding.
//
//   Nemotron3StreamingFrontend frontend(config);
//   frontend.audio.insert(frontend.audio.end(), samples.begin(), samples.end());
//   frontend.samplesReceived += samples.size();
//   while (auto window = frontend.nextChunk(false)) { ... }
struct Nemotron3StreamingFrontend {
  Nemotron3Config config;
  // 16 kHz, 128 bands, FFT 512, hop 160, symmetric Hann of 400, no pre-emphasis, additive floor 2^-24.
  AudioMelSpectrogram mel;
  float preemph = 0.97f;
  // Received samples from absolute sample index audioStart on.
  std::vector<float> audio;
  std::int64_t audioStart = 0;
  // Samples received since the last reset; the appender adds to it.
  std::int64_t samplesReceived = 0;
  // Computed mel frames from absolute frame melCacheStart on, frame-major.
  std::vector<float> melCache;
  std::int64_t melCacheStart = 0;
  std::int64_t melFramesComputed = 0;
  // Absolute mel frame where the next core starts.
  std::int64_t nextCoreMel = 0;

  explicit Nemotron3StreamingFrontend(const Nemotron3Config& config);

  // Empties audio and cache (keeping their capacity) and zeroes every counter.
  void reset();

  // Computes the mel frames it can, then returns the next window, or none when its core and
  // full right context (or, when `final`, any core frame at all) are not yet computed.
  // REQUIRES: audio holds the samples from audioStart to samplesReceived.
  std::optional<Nemotron3ChunkWindow> nextChunk(bool final);

 private:
  void computeMel(bool final);
  // Copies absolute samples [from, to) pre-emphasised into `buffer` at `offset`.
  void preEmphasise(std::int64_t from, std::int64_t to, std::vector<float>& buffer, std::size_t offset) const;
  void trimAudio(std::int64_t keepFrom);
  void trimCache(std::int64_t keepFrom);

  detail::Nemotron3WindowGeometry geometry_;
  std::vector<float> scratch_;
};

}  // namespace tesselaudio
