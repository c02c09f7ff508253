#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace platform::dsp {
class RealFFT;
}

namespace tesselaudio {

// Log-mel features of mono float audio: pre-emphasis, optional centre padding, framing with a
// Hann window, an unnormalised DFT, the power spectrum, a Slaney-scale mel filterbank and a
// natural logarithm with a floor. Not safe for concurrent use: every call reuses the object's
// scratch buffers, so each owner calls its instance from one thread at a time.
//
// The object keeps no audio between calls. A caller feeding a stream block by block passes the
// sample preceding each block as `lastAudioSample`, which keeps pre-emphasis continuous.
//
//   AudioMelSpectrogram mel(16000, 128, 512, 160, 400, AudioMelSpectrogram::defaultPreemph, 1,
//                           0x1p-24f, AudioMelSpectrogram::LogFloorMode::additive, false);
//   auto [values, frames, paddedFrames] = mel.computeFlatTransposed(samples, 0.0f);
class AudioMelSpectrogram {
 public:
  enum class PaddingMode : std::uint8_t {
    center,     // nFFT/2 zeros are added on both sides before framing
    prePadded,  // the caller padded already
  };
  enum class LogFloorMode : std::uint8_t {
    additive,  // ln(energy + logFloor)
    clamped,   // ln(max(energy, logFloor))
  };

  static constexpr float defaultPreemph = 0.97f;

  // `mel` holds numFrames x nMels values (frame-major) or nMels x numFrames (mel-major);
  // `melLength` frames carry features, the padding frames after them hold 0.0.
  struct FlatResult {
    std::vector<float> mel;
    int melLength = 0;
    int numFrames = 0;
  };

  // `mel` holds one element: nMels bands of melLength values each.
  struct NestedResult {
    std::vector<std::vector<std::vector<float>>> mel;
    int melLength = 0;
  };

  // The Hann window w[i] = 0.5 (1 - cos(i C / D)), C = 6.283185f, D = length for a periodic
  // window and length - 1 for a symmetric one. A symmetric window of length 1 is [1].
  // REQUIRES: length >= 0.
  static std::vector<float> createHannWindow(int length, bool periodic);

  // A Slaney-scale, area-normalised triangular filterbank: nMels rows of nFFT/2 + 1 weights.
  // REQUIRES: nFFT >= 1, nMels >= 0, sampleRate >= 1.
  static std::vector<std::vector<float>> createMelFilterbank(int nFFT, int nMels, int sampleRate,
                                                             float fMin, float fMax);

  // fMin is 0 and fMax half the sample rate. `window`, when given, is used unchanged; `filterbank`,
  // when given, is nMels rows of nFFT/2 + 1 weights one after the other. A `padTo` below 2 is
  // stored as 1.
  // Throws platform::InvalidArgumentError naming the parameter when sampleRate, nMels, nFFT or
  // hopLength is below 1, winLength is negative or above nFFT, the window or filterbank has the
  // wrong number of values, or the filterbank would be too large to address.
  AudioMelSpectrogram(int sampleRate, int nMels, int nFFT, int hopLength, int winLength,
                      float preemph, int padTo, float logFloor, LogFloorMode logFloorMode,
                      bool windowPeriodic, std::optional<std::vector<float>> window = std::nullopt,
                      std::optional<std::vector<float>> filterbank = std::nullopt);
  ~AudioMelSpectrogram();
  AudioMelSpectrogram(const AudioMelSpectrogram&) = delete;
  AudioMelSpectrogram& operator=(const AudioMelSpectrogram&) = delete;

  // Frame-major features. Frames: `expectedFrameCount` when given, else for `center`
  // (count + 2 (nFFT/2) - winLength) / hopLength + 1, for `prePadded` max(0, (count - nFFT) /
  // hopLength + 1). Frames reaching past the audio use the samples they cover; frames wholly past
  // it read ln(logFloor). Empty audio or fewer than one frame gives (nMels zeros, 0, 1).
  FlatResult computeFlatTransposed(std::span<const float> audio, float lastAudioSample,
                                   PaddingMode paddingMode,
                                   std::optional<int> expectedFrameCount = std::nullopt);
  FlatResult computeFlatTransposed(std::span<const float> audio, float lastAudioSample) {
    return computeFlatTransposed(audio, lastAudioSample, PaddingMode::center);
  }

  // As computeFlatTransposed in `center` mode, mel-major.
  FlatResult computeFlat(std::span<const float> audio, float lastAudioSample);

  // Without pre-emphasis or padding, the window at the start of each nFFT buffer:
  // (count - winLength) / hopLength + 1 frames, band-major. Fewer than one frame gives ({}, 0).
  NestedResult compute(std::span<const float> audio);

  std::vector<std::vector<float>> getFilterbank() const { return melFilterbank_; }
  std::vector<float> getHannWindow() const { return hannWindow_; }

  int sampleRate() const { return sampleRate_; }
  int nFFT() const { return nFFT_; }
  int hopLength() const { return hopLength_; }
  int winLength() const { return winLength_; }
  int nMels() const { return nMels_; }
  int padTo() const { return padTo_; }
  float fMin() const { return fMin_; }
  float fMax() const { return fMax_; }
  float preemph() const { return preemph_; }
  float logFloor() const { return logFloor_; }
  LogFloorMode logFloorMode() const { return logFloorMode_; }
  bool windowPeriodic() const { return windowPeriodic_; }

 private:
  int bins() const { return nFFT_ / 2 + 1; }
  float logValue(float energy) const;
  // Features of every frame, frame-major, into `out` (rows of nMels).
  void computeFrames(std::span<const float> padded, int frames, std::span<float> out);

  // Constant after construction.
  int sampleRate_;
  int nFFT_;
  int hopLength_;
  int winLength_;
  float fMin_;
  float fMax_;
  float preemph_;
  float logFloor_;
  LogFloorMode logFloorMode_;
  int nMels_;
  int padTo_;
  bool windowPeriodic_;
  std::vector<float> hannWindow_;
  std::vector<std::vector<float>> melFilterbank_;
  std::vector<float> melFilterbankFlat_;
  std::unique_ptr<platform::dsp::RealFFT> fft_;

  // Scratch, overwritten by every frame.
  std::vector<float> frame_;
  std::vector<float> powerSpec_;
  std::vector<float> melBuffer_;
};

}  // namespace tesselaudio
