#include "speech/Shared/AudioMelSpectrogram.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/dsp/RealFFT.h"
#include "platform/dsp/VectorOps.h"
#include "platform/sys/InvalidArgumentError.h"

namespace tesselaudio {
namespace {

using platform::InvalidArgumentError;

// 2 pi rounded to single precision, one unit in the last place below: the constant the trained
// models' features were computed with.
constexpr float kTwoPi = 6.283185f;

// Slaney mel scale: linear below 1000 Hz, logarithmic above.
constexpr float kLinearHzPerMel = 66.666664f;
constexpr float kLogStep = 0.068751775f;
constexpr float kBreakMel = 15.000001f;
constexpr float kBreakHz = 1000.0f;

float hzToMel(float hz) {
  if (hz >= kBreakHz) return kBreakMel + std::log(hz / kBreakHz) / kLogStep;
  return hz / kLinearHzPerMel;
}

float melToHz(float mel) {
  if (mel >= kBreakMel) return kBreakHz * std::exp((mel - kBreakMel) * kLogStep);
  return mel * kLinearHzPerMel;
}

void requireAtLeast(const char* parameter, int value, int minimum) {
  if (value < minimum) {
    throw InvalidArgumentError(parameter, fmt::format("must be at least {}, got {}", minimum, value));
  }
}

AudioMelSpectrogram::FlatResult emptyFlat(int nMels) { return {std::vector<float>(nMels, 0.0f), 0, 1}; }

}  // namespace

std::vector<float> AudioMelSpectrogram::createHannWindow(int length, bool periodic) {
  if (length <= 0) return {};
  // The symmetric formula divides 0 by 0 for one sample; a one-sample window passes it unchanged.
  if (length == 1 && !periodic) return {1.0f};
  const float d = static_cast<float>(periodic ? length : length - 1);
  std::vector<float> window(length);
  for (int i = 0; i < length; ++i) {
    window[i] = 0.5f * (1.0f - std::cos((static_cast<float>(i) * kTwoPi) / d));
  }
  return window;
}

std::vector<std::vector<float>> AudioMelSpectrogram::createMelFilterbank(int nFFT, int nMels,
                                                                         int sampleRate, float fMin,
                                                                         float fMax) {
  const int bins = nFFT / 2 + 1;
  const float melMin = hzToMel(fMin);
  const float melMax = hzToMel(fMax);
  std::vector<float> edges(nMels + 2);
  for (int i = 0; i < nMels + 2; ++i) {
    edges[i] = melToHz(melMin + ((melMax - melMin) * static_cast<float>(i)) /
                                    static_cast<float>(nMels + 1));
  }
  std::vector<float> binHz(bins);
  for (int j = 0; j < bins; ++j) {
    binHz[j] = (static_cast<float>(sampleRate) * static_cast<float>(j)) / static_cast<float>(nFFT);
  }
  std::vector<std::vector<float>> filterbank(nMels, std::vector<float>(bins, 0.0f));
  for (int b = 0; b < nMels; ++b) {
    const float left = edges[b];
    const float centre = edges[b + 1];
    const float right = edges[b + 2];
    const float enorm = 2.0f / (right - left);
    for (int j = 0; j < bins; ++j) {
      const float f = binHz[j];
      if (left <= f && f < centre) {
        filterbank[b][j] = (enorm * (f - left)) / (centre - left);
      } else if (centre <= f && f <= right) {
        filterbank[b][j] = (enorm * (right - f)) / (right - centre);
      }
    }
  }
  return filterbank;
}

AudioMelSpectrogram::AudioMelSpectrogram(int sampleRate, int nMels, int nFFT, int hopLength,
                                         int winLength, float preemph, int padTo, float logFloor,
                                         LogFloorMode logFloorMode, bool windowPeriodic,
                                         std::optional<std::vector<float>> window,
                                         std::optional<std::vector<float>> filterbank) {
  requireAtLeast("sampleRate", sampleRate, 1);
  requireAtLeast("nMels", nMels, 1);
  requireAtLeast("nFFT", nFFT, 1);
  requireAtLeast("hopLength", hopLength, 1);
  requireAtLeast("winLength", winLength, 0);
  if (winLength > nFFT) {
    throw InvalidArgumentError(
        "winLength", fmt::format("must not exceed nFFT {}, got {}", nFFT, winLength));
  }
  const std::int64_t bins = nFFT / 2 + 1;
  const std::int64_t filterbankSize = static_cast<std::int64_t>(nMels) * bins;
  if (filterbankSize > std::numeric_limits<int>::max()) {
    throw InvalidArgumentError("nMels", fmt::format("{} bands of {} bins are too many", nMels, bins));
  }
  if (window && window->size() != static_cast<size_t>(winLength)) {
    throw InvalidArgumentError(
        "window", fmt::format("needs {} values (winLength), got {}", winLength, window->size()));
  }
  if (filterbank && filterbank->size() != static_cast<size_t>(filterbankSize)) {
    throw InvalidArgumentError(
        "filterbank", fmt::format("needs {} values ({} bands of {} bins), got {}", filterbankSize,
                                  nMels, bins, filterbank->size()));
  }

  sampleRate_ = sampleRate;
  nFFT_ = nFFT;
  hopLength_ = hopLength;
  winLength_ = winLength;
  fMin_ = 0.0f;
  fMax_ = static_cast<float>(sampleRate) / 2.0f;
  preemph_ = preemph;
  logFloor_ = logFloor;
  logFloorMode_ = logFloorMode;
  nMels_ = nMels;
  padTo_ = padTo > 1 ? padTo : 1;
  windowPeriodic_ = windowPeriodic;
  hannWindow_ = window ? std::move(*window) : createHannWindow(winLength, windowPeriodic);

  if (filterbank) {
    melFilterbankFlat_ = std::move(*filterbank);
    melFilterbank_.reserve(nMels);
    for (int m = 0; m < nMels; ++m) {
      const auto row = melFilterbankFlat_.begin() + m * bins;
      melFilterbank_.emplace_back(row, row + bins);
    }
  } else {
    melFilterbank_ = createMelFilterbank(nFFT, nMels, sampleRate, fMin_, fMax_);
    melFilterbankFlat_.reserve(filterbankSize);
    for (const auto& row : melFilterbank_) {
      melFilterbankFlat_.insert(melFilterbankFlat_.end(), row.begin(), row.end());
    }
  }

  fft_ = std::make_unique<platform::dsp::RealFFT>(nFFT);
  frame_.assign(nFFT, 0.0f);
  powerSpec_.assign(bins, 0.0f);
  melBuffer_.assign(nMels, 0.0f);
}

AudioMelSpectrogram::~AudioMelSpectrogram() = default;

float AudioMelSpectrogram::logValue(float energy) const {
  switch (logFloorMode_) {
    case LogFloorMode::additive: return std::log(energy + logFloor_);
    case LogFloorMode::clamped: return std::log(energy <= logFloor_ ? logFloor_ : energy);
  }
  return std::log(energy + logFloor_);
}

void AudioMelSpectrogram::computeFrames(std::span<const float> padded, int frames,
                                        std::span<float> out) {
  const std::int64_t size = static_cast<std::int64_t>(padded.size());
  const int off = (nFFT_ - winLength_) / 2;
  const std::span<const float> window(hannWindow_);
  for (int i = 0; i < frames; ++i) {
    std::fill(frame_.begin(), frame_.end(), 0.0f);
    const std::int64_t start = static_cast<std::int64_t>(i) * hopLength_ + off;
    const std::int64_t covered = std::min<std::int64_t>(size - start, winLength_);
    if (covered > 0) {
      platform::dsp::multiply(padded.subspan(start, covered), window.first(covered),
                              std::span<float>(frame_).subspan(off, covered));
    }
    fft_->powerSpectrum(frame_, powerSpec_);
    platform::dsp::matrixVector(melFilterbankFlat_, nMels_, bins(), powerSpec_, melBuffer_);
    float* row = out.data() + static_cast<std::int64_t>(i) * nMels_;
    for (int b = 0; b < nMels_; ++b) row[b] = logValue(melBuffer_[b]);
  }
}

AudioMelSpectrogram::FlatResult AudioMelSpectrogram::computeFlatTransposed(
    std::span<const float> audio, float lastAudioSample, PaddingMode paddingMode,
    std::optional<int> expectedFrameCount) {
  const std::int64_t count = static_cast<std::int64_t>(audio.size());
  std::int64_t frames;
  if (paddingMode == PaddingMode::center) {
    frames = (count + 2 * (nFFT_ / 2) - winLength_) / hopLength_ + 1;
  } else {
    frames = std::max<std::int64_t>(0, (count - nFFT_) / hopLength_ + 1);
  }
  const std::int64_t n = expectedFrameCount ? *expectedFrameCount : frames;
  if (n < 1 || count == 0) return emptyFlat(nMels_);
  const std::int64_t paddedFrames = ((n + padTo_ - 1) / padTo_) * padTo_;

  const std::int64_t lead = paddingMode == PaddingMode::center ? nFFT_ / 2 : 0;
  std::vector<float> padded(count + 2 * lead, 0.0f);
  float* body = padded.data() + lead;
  if (preemph_ != 0.0f) {
    body[0] = audio[0] - lastAudioSample * preemph_;
    platform::dsp::scaleAdd(audio.first(count - 1), -preemph_, audio.subspan(1),
                            std::span<float>(body + 1, count - 1));
  } else {
    std::copy(audio.begin(), audio.end(), body);
  }

  FlatResult result{std::vector<float>(paddedFrames * nMels_, 0.0f), static_cast<int>(n),
                    static_cast<int>(paddedFrames)};
  computeFrames(padded, static_cast<int>(n), result.mel);
  return result;
}

AudioMelSpectrogram::FlatResult AudioMelSpectrogram::computeFlat(std::span<const float> audio,
                                                                 float lastAudioSample) {
  FlatResult frameMajor = computeFlatTransposed(audio, lastAudioSample, PaddingMode::center);
  if (frameMajor.melLength == 0) return frameMajor;
  const std::int64_t frames = frameMajor.numFrames;
  FlatResult result{std::vector<float>(frameMajor.mel.size(), 0.0f), frameMajor.melLength,
                    frameMajor.numFrames};
  for (std::int64_t i = 0; i < frameMajor.melLength; ++i) {
    for (int b = 0; b < nMels_; ++b) result.mel[b * frames + i] = frameMajor.mel[i * nMels_ + b];
  }
  return result;
}

AudioMelSpectrogram::NestedResult AudioMelSpectrogram::compute(std::span<const float> audio) {
  const std::int64_t count = static_cast<std::int64_t>(audio.size());
  const std::int64_t frames = (count - winLength_) / hopLength_ + 1;
  if (count == 0 || frames < 1) return {};

  std::vector<std::vector<float>> bands(nMels_, std::vector<float>(frames, 0.0f));
  for (std::int64_t i = 0; i < frames; ++i) {
    std::fill(frame_.begin(), frame_.end(), 0.0f);
    const std::int64_t start = i * hopLength_;
    const std::int64_t covered = std::min<std::int64_t>(count - start, winLength_);
    if (covered > 0) {
      platform::dsp::multiply(audio.subspan(start, covered),
                              std::span<const float>(hannWindow_).first(covered),
                              std::span<float>(frame_).first(covered));
    }
    fft_->powerSpectrum(frame_, powerSpec_);
    for (int b = 0; b < nMels_; ++b) {
      bands[b][i] = logValue(platform::dsp::dot(melFilterbank_[b], powerSpec_));
    }
  }
  NestedResult result;
  result.mel.push_back(std::move(bands));
  result.melLength = static_cast<int>(frames);
  return result;
}

}  // namespace tesselaudio
