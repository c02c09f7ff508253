#include "speech/Shared/AudioMelSpectrogram.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/InvalidArgumentError.h"

namespace tesselaudio {
namespace {

using Mode = AudioMelSpectrogram::PaddingMode;
using FloorMode = AudioMelSpectrogram::LogFloorMode;

constexpr float kAdditiveFloor = 0x1p-24f;

struct Params {
  int sampleRate = 16000;
  int nMels = 128;
  int nFFT = 512;
  int hopLength = 160;
  int winLength = 400;
  float preemph = AudioMelSpectrogram::defaultPreemph;
  int padTo = 1;
  float logFloor = kAdditiveFloor;
  FloorMode floorMode = FloorMode::additive;
  bool periodic = false;
};

// The configuration of the feature extractors the diarizers construct.
Params standard() { return {}; }

// The LS-EEND-like configuration: clamped floor, periodic window, no pre-emphasis.
Params lsEendLike() {
  Params p;
  p.sampleRate = 8000;
  p.nMels = 23;
  p.nFFT = 256;
  p.hopLength = 80;
  p.winLength = 200;
  p.preemph = 0.0f;
  p.logFloor = 1e-10f;
  p.floorMode = FloorMode::clamped;
  p.periodic = true;
  return p;
}

AudioMelSpectrogram make(const Params& p, std::optional<std::vector<float>> window = std::nullopt,
                         std::optional<std::vector<float>> filterbank = std::nullopt) {
  return AudioMelSpectrogram(p.sampleRate, p.nMels, p.nFFT, p.hopLength, p.winLength, p.preemph,
                             p.padTo, p.logFloor, p.floorMode, p.periodic, std::move(window),
                             std::move(filterbank));
}

std::vector<float> chirp(int samples, int sampleRate, double fromHz, double toHz) {
  std::vector<float> out(samples);
  const double seconds = static_cast<double>(samples) / sampleRate;
  for (int i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / sampleRate;
    const double phase = 2 * std::numbers::pi * (fromHz * t + (toHz - fromHz) * t * t / (2 * seconds));
    out[i] = static_cast<float>(0.5 * std::sin(phase));
  }
  return out;
}

// A double-precision feature extractor written straight from the formulas: Hann window with the
// constant C, Slaney filterbank, naive DFT.
class Reference {
 public:
  explicit Reference(const Params& p) : p_(p), bins_(p.nFFT / 2 + 1) {
    window_.resize(p.winLength);
    const double c = static_cast<double>(6.283185f);
    const double d = p.periodic ? p.winLength : p.winLength - 1;
    for (int i = 0; i < p.winLength; ++i) window_[i] = 0.5 * (1 - std::cos(i * c / d));
    filterbank_ = filterbank(p);
    cos_.resize(p.nFFT);
    sin_.resize(p.nFFT);
    for (int t = 0; t < p.nFFT; ++t) {
      cos_[t] = std::cos(2 * std::numbers::pi * t / p.nFFT);
      sin_[t] = std::sin(2 * std::numbers::pi * t / p.nFFT);
    }
  }

  static std::vector<std::vector<double>> filterbank(const Params& p) {
    auto mel = [](double f) { return f >= 1000 ? 15.000001 + std::log(f / 1000) / 0.068751775 : f / 66.666664; };
    auto hz = [](double m) { return m >= 15.000001 ? 1000 * std::exp((m - 15.000001) * 0.068751775) : m * 66.666664; };
    const int bins = p.nFFT / 2 + 1;
    const double lo = mel(0), hi = mel(p.sampleRate / 2.0);
    std::vector<std::vector<double>> fb(p.nMels, std::vector<double>(bins, 0.0));
    for (int b = 0; b < p.nMels; ++b) {
      const double left = hz(lo + (hi - lo) * b / (p.nMels + 1));
      const double centre = hz(lo + (hi - lo) * (b + 1) / (p.nMels + 1));
      const double right = hz(lo + (hi - lo) * (b + 2) / (p.nMels + 1));
      for (int j = 0; j < bins; ++j) {
        const double f = static_cast<double>(p.sampleRate) * j / p.nFFT;
        if (f >= left && f < centre) fb[b][j] = 2 / (right - left) * (f - left) / (centre - left);
        else if (f >= centre && f <= right) fb[b][j] = 2 / (right - left) * (right - f) / (right - centre);
      }
    }
    return fb;
  }

  // Band energies of every frame (frame-major), before the logarithm.
  std::vector<std::vector<double>> energies(const std::vector<float>& audio, float last, Mode mode,
                                            int frames) const {
    const int lead = mode == Mode::center ? p_.nFFT / 2 : 0;
    std::vector<double> padded(audio.size() + 2 * lead, 0.0);
    for (size_t k = 0; k < audio.size(); ++k) {
      const double previous = k == 0 ? last : audio[k - 1];
      padded[lead + k] = audio[k] - (p_.preemph != 0 ? p_.preemph * previous : 0.0);
    }
    const int off = (p_.nFFT - p_.winLength) / 2;
    std::vector<std::vector<double>> out;
    for (int i = 0; i < frames; ++i) {
      std::vector<double> frame(p_.nFFT, 0.0);
      for (int j = 0; j < p_.winLength; ++j) {
        const size_t at = static_cast<size_t>(i) * p_.hopLength + off + j;
        if (at < padded.size()) frame[off + j] = padded[at] * window_[j];
      }
      out.push_back(bandEnergies(frame));
    }
    return out;
  }

  std::vector<double> bandEnergies(const std::vector<double>& frame) const {
    std::vector<double> power(bins_);
    for (int k = 0; k < bins_; ++k) {
      double re = 0, im = 0;
      for (int t = 0; t < p_.nFFT; ++t) {
        const int at = static_cast<int>((static_cast<long>(k) * t) % p_.nFFT);
        re += frame[t] * cos_[at];
        im -= frame[t] * sin_[at];
      }
      power[k] = re * re + im * im;
    }
    std::vector<double> bands(p_.nMels, 0.0);
    for (int b = 0; b < p_.nMels; ++b) {
      for (int k = 0; k < bins_; ++k) bands[b] += filterbank_[b][k] * power[k];
    }
    return bands;
  }

  double logValue(double v) const {
    if (p_.floorMode == FloorMode::additive) return std::log(v + p_.logFloor);
    return std::log(std::max(v, static_cast<double>(p_.logFloor)));
  }

  const std::vector<double>& window() const { return window_; }

 private:
  Params p_;
  int bins_;
  std::vector<double> window_;
  std::vector<std::vector<double>> filterbank_;
  std::vector<double> cos_, sin_;
};

// Checks one frame's log values against the reference energies: within 1e-3 wherever the band
// holds at least 1e-4 of the frame's largest band; near-silent bands only need to lie at or above
// the floor.
void expectFrameMatches(const Reference& ref, const std::vector<double>& energies, const float* got,
                        int frame) {
  const double largest = *std::max_element(energies.begin(), energies.end());
  for (size_t b = 0; b < energies.size(); ++b) {
    SCOPED_TRACE("frame " + std::to_string(frame) + " band " + std::to_string(b));
    if (energies[b] >= 1e-4 * largest && largest > 0) {
      EXPECT_NEAR(got[b], ref.logValue(energies[b]), 1e-3);
    } else {
      EXPECT_GE(got[b], ref.logValue(0.0) - 1e-4);
      EXPECT_LE(got[b], ref.logValue(1e-4 * largest) + 1e-3);
    }
  }
}

bool isEmptyResult(const AudioMelSpectrogram::FlatResult& r, int nMels) {
  return r.melLength == 0 && r.numFrames == 1 && r.mel == std::vector<float>(nMels, 0.0f);
}

TEST(AudioMelSpectrogramTest, FrameCounts) {
  struct Case {
    const char* name;
    Mode mode;
    int samples;
    int frames;  // 0: the empty result
  };
  const Case cases[] = {
      {"center one second", Mode::center, 16000, 101},
      {"center counts with winLength, not nFFT", Mode::center, 16048, 102},
      {"center shorter than a hop", Mode::center, 159, 2},
      {"center one sample", Mode::center, 1, 1},
      {"prePadded below nFFT", Mode::prePadded, 352, 0},
      {"prePadded truncates toward zero", Mode::prePadded, 353, 1},
      {"prePadded one window", Mode::prePadded, 512, 1},
      {"prePadded just below two", Mode::prePadded, 671, 1},
      {"prePadded two", Mode::prePadded, 672, 2},
  };
  AudioMelSpectrogram mel = make(standard());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = mel.computeFlatTransposed(chirp(c.samples, 16000, 200, 900), 0.0f, c.mode);
    if (c.frames == 0) {
      EXPECT_TRUE(isEmptyResult(r, 128));
    } else {
      EXPECT_EQ(r.melLength, c.frames);
      EXPECT_EQ(r.numFrames, c.frames);
      EXPECT_EQ(r.mel.size(), static_cast<size_t>(c.frames) * 128);
    }
  }
}

TEST(AudioMelSpectrogramTest, EmptyInputsGiveTheEmptyResult) {
  AudioMelSpectrogram mel = make(standard());
  const std::vector<float> tone = chirp(4000, 16000, 440, 440);
  EXPECT_TRUE(isEmptyResult(mel.computeFlatTransposed({}, 0.0f), 128));
  EXPECT_TRUE(isEmptyResult(mel.computeFlatTransposed({}, 0.0f, Mode::prePadded, 5), 128));
  EXPECT_TRUE(isEmptyResult(mel.computeFlat({}, 0.0f), 128));
  EXPECT_TRUE(isEmptyResult(mel.computeFlatTransposed(tone, 0.0f, Mode::center, 0), 128));
  EXPECT_TRUE(isEmptyResult(mel.computeFlatTransposed(tone, 0.0f, Mode::prePadded, -3), 128));

  const auto nested = mel.compute({});
  EXPECT_TRUE(nested.mel.empty());
  EXPECT_EQ(nested.melLength, 0);
  // 240 samples: (240 - 400) / 160 + 1 = 0 frames; 241 truncates to one partly filled frame.
  EXPECT_EQ(mel.compute(std::vector<float>(240, 0.1f)).melLength, 0);
  EXPECT_EQ(mel.compute(std::vector<float>(241, 0.1f)).melLength, 1);
}

TEST(AudioMelSpectrogramTest, PadToRoundsTheFrameCountUpWithZeroRows) {
  Params p = standard();
  p.padTo = 4;
  AudioMelSpectrogram mel = make(p);
  const auto r = mel.computeFlatTransposed(chirp(8000, 16000, 300, 3000), 0.0f, Mode::center, 10);
  ASSERT_EQ(r.melLength, 10);
  ASSERT_EQ(r.numFrames, 12);
  ASSERT_EQ(r.mel.size(), 12u * 128);
  EXPECT_TRUE(std::all_of(r.mel.begin() + 10 * 128, r.mel.end(), [](float v) { return v == 0.0f; }));
  EXPECT_TRUE(std::none_of(r.mel.begin(), r.mel.begin() + 10 * 128, [](float v) { return v == 0.0f; }));

  for (int padTo : {0, 1, -5}) {
    p.padTo = padTo;
    EXPECT_EQ(make(p).padTo(), 1) << padTo;
  }
}

TEST(AudioMelSpectrogramTest, FramesPastTheAudioReadTheFloor) {
  struct Case {
    const char* name;
    Params params;
    float floorValue;
  };
  const Case cases[] = {
      {"additive 2^-24", standard(), -16.635532f},
      {"clamped 1e-10", lsEendLike(), -23.02585f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Params& p = c.params;
    AudioMelSpectrogram mel = make(p);
    Reference ref(p);
    const std::vector<float> audio = chirp(p.nFFT, p.sampleRate, 300, 2500);
    constexpr int kFrames = 8;
    const auto r = mel.computeFlatTransposed(audio, 0.0f, Mode::prePadded, kFrames);
    ASSERT_EQ(r.melLength, kFrames);
    const auto energies = ref.energies(audio, 0.0f, Mode::prePadded, kFrames);
    const int off = (p.nFFT - p.winLength) / 2;
    for (int i = 0; i < kFrames; ++i) {
      const float* row = r.mel.data() + i * p.nMels;
      if (i * p.hopLength + off >= p.nFFT) {
        for (int b = 0; b < p.nMels; ++b) ASSERT_FLOAT_EQ(row[b], c.floorValue) << "frame " << i;
      } else {
        // Whole or partly covered: the samples it covers, zeros after them.
        expectFrameMatches(ref, energies[i], row, i);
      }
    }
  }
}

TEST(AudioMelSpectrogramTest, ChirpMatchesTheDoubleReference) {
  const Params p = standard();
  AudioMelSpectrogram mel = make(p);
  Reference ref(p);
  const std::vector<float> audio = chirp(8000, p.sampleRate, 100, 7500);

  const auto transposed = mel.computeFlatTransposed(audio, 0.25f);
  ASSERT_EQ(transposed.melLength, 51);
  const auto energies = ref.energies(audio, 0.25f, Mode::center, transposed.melLength);
  for (int i = 0; i < transposed.melLength; ++i) {
    expectFrameMatches(ref, energies[i], transposed.mel.data() + i * p.nMels, i);
  }

  const auto flat = mel.computeFlat(audio, 0.25f);
  ASSERT_EQ(flat.melLength, transposed.melLength);
  ASSERT_EQ(flat.numFrames, transposed.numFrames);
  for (int i = 0; i < flat.numFrames; ++i) {
    for (int b = 0; b < p.nMels; ++b) {
      ASSERT_EQ(flat.mel[b * flat.numFrames + i], transposed.mel[i * p.nMels + b]);
    }
  }
}

TEST(AudioMelSpectrogramTest, NestedComputeWindowsFromTheFrameStart) {
  const Params p = standard();
  AudioMelSpectrogram mel = make(p);
  Reference ref(p);
  const std::vector<float> audio = chirp(2000, p.sampleRate, 500, 5000);

  const auto r = mel.compute(audio);
  const int frames = (2000 - 400) / 160 + 1;
  ASSERT_EQ(r.melLength, frames);
  ASSERT_EQ(r.mel.size(), 1u);
  ASSERT_EQ(r.mel[0].size(), 128u);
  for (int i = 0; i < frames; ++i) {
    std::vector<double> frame(p.nFFT, 0.0);
    for (int j = 0; j < p.winLength; ++j) frame[j] = audio[i * p.hopLength + j] * ref.window()[j];
    std::vector<float> got(p.nMels);
    for (int b = 0; b < p.nMels; ++b) got[b] = r.mel[0][b][i];
    expectFrameMatches(ref, ref.bandEnergies(frame), got.data(), i);
  }
}

TEST(AudioMelSpectrogramTest, CarriedSampleKeepsBlocksEqualToTheWhole) {
  // The streaming diarizer's way: ask for a fixed number of prePadded frames, drop that many hops
  // and carry the last dropped sample into the next block.
  const Params p = standard();
  constexpr int kFramesPerBlock = 6;
  const int blockSamples = p.nFFT + (kFramesPerBlock - 1) * p.hopLength;
  const std::vector<float> audio = chirp(kFramesPerBlock * p.hopLength + blockSamples, p.sampleRate, 250, 6000);
  AudioMelSpectrogram mel = make(p);

  const auto whole = mel.computeFlatTransposed(audio, 0.0f, Mode::prePadded, 2 * kFramesPerBlock);
  const std::span<const float> all(audio);
  const auto first = mel.computeFlatTransposed(all.first(blockSamples), 0.0f, Mode::prePadded, kFramesPerBlock);
  const int dropped = kFramesPerBlock * p.hopLength;
  const auto second = mel.computeFlatTransposed(all.subspan(dropped), audio[dropped - 1],
                                                Mode::prePadded, kFramesPerBlock);
  std::vector<float> joined = first.mel;
  joined.insert(joined.end(), second.mel.begin(), second.mel.end());
  ASSERT_EQ(joined.size(), whole.mel.size());
  for (size_t k = 0; k < joined.size(); ++k) ASSERT_NEAR(joined[k], whole.mel[k], 1e-5) << k;

}

TEST(AudioMelSpectrogramTest, CarriedSampleMattersOnlyWithPreEmphasis) {
  for (const Params& p : {standard(), lsEendLike()}) {
    SCOPED_TRACE(p.preemph);
    AudioMelSpectrogram mel = make(p);
    const std::vector<float> audio = chirp(1000, p.sampleRate, 100, 3000);
    const auto cold = mel.computeFlatTransposed(audio, 0.0f);
    const auto carried = mel.computeFlatTransposed(audio, 0.9f);
    if (p.preemph == 0.0f) {
      EXPECT_EQ(cold.mel, carried.mel);
    } else {
      EXPECT_NE(cold.mel, carried.mel);
      // Only frames whose window covers the first sample change.
      const size_t reach = static_cast<size_t>(p.winLength / 2 / p.hopLength + 1) * p.nMels;
      EXPECT_EQ(std::vector<float>(cold.mel.begin() + reach, cold.mel.end()),
                std::vector<float>(carried.mel.begin() + reach, carried.mel.end()));
    }
  }
}

TEST(AudioMelSpectrogramTest, HannWindows) {
  const auto symmetric = AudioMelSpectrogram::createHannWindow(400, false);
  ASSERT_EQ(symmetric.size(), 400u);
  EXPECT_EQ(symmetric[0], 0.0f);
  EXPECT_NEAR(symmetric[399], 0.0f, 1e-6);

  const auto periodic = AudioMelSpectrogram::createHannWindow(256, true);
  EXPECT_EQ(periodic[0], 0.0f);
  EXPECT_EQ(periodic[128], 1.0f);
  EXPECT_GT(periodic[255], 0.0f);

  EXPECT_EQ(AudioMelSpectrogram::createHannWindow(1, false), std::vector<float>{1.0f});
  EXPECT_EQ(AudioMelSpectrogram::createHannWindow(1, true), std::vector<float>{0.0f});
  EXPECT_TRUE(AudioMelSpectrogram::createHannWindow(0, false).empty());

  Reference ref(standard());
  for (int i = 0; i < 400; ++i) ASSERT_NEAR(symmetric[i], ref.window()[i], 1e-6) << i;
  EXPECT_EQ(make(standard()).getHannWindow(), symmetric);
}

TEST(AudioMelSpectrogramTest, FilterbankIsSlaneyAndAreaNormalised) {
  const Params p = standard();
  const auto fb = AudioMelSpectrogram::createMelFilterbank(512, 128, 16000, 0.0f, 8000.0f);
  const auto ref = Reference::filterbank(p);
  ASSERT_EQ(fb.size(), 128u);
  for (int b = 0; b < 128; ++b) {
    ASSERT_EQ(fb[b].size(), 257u);
    for (int j = 0; j < 257; ++j) ASSERT_NEAR(fb[b][j], ref[b][j], 1e-5) << b << " " << j;
  }
  EXPECT_EQ(make(p).getFilterbank(), fb);
}

TEST(AudioMelSpectrogramTest, SuppliedWindowAndFilterbankAreUsedUnchanged) {
  Params p = lsEendLike();
  p.nFFT = 64;
  p.winLength = 48;
  p.hopLength = 16;
  p.nMels = 3;
  const int bins = p.nFFT / 2 + 1;
  // A rectangular window and one bin per band: each band is one bin's power.
  const std::vector<float> window(p.winLength, 1.0f);
  std::vector<float> filterbank(p.nMels * bins, 0.0f);
  const int picked[] = {2, 8, 20};
  for (int m = 0; m < p.nMels; ++m) filterbank[m * bins + picked[m]] = 1.0f;
  AudioMelSpectrogram mel = make(p, window, filterbank);

  EXPECT_EQ(mel.getHannWindow(), window);
  ASSERT_EQ(mel.getFilterbank().size(), 3u);
  for (int m = 0; m < p.nMels; ++m) {
    EXPECT_EQ(mel.getFilterbank()[m],
              std::vector<float>(filterbank.begin() + m * bins, filterbank.begin() + (m + 1) * bins));
  }

  // A tone on bin 8 of the 64-point transform: the whole rectangular window of amplitude A gives
  // |X_8| = A * 48 / 2 only approximately (48 is not a whole number of periods), so compare with
  // the naive DFT of the same frame instead.
  std::vector<float> audio(p.nFFT);
  for (int t = 0; t < p.nFFT; ++t) audio[t] = std::cos(2 * std::numbers::pi * 8 * t / p.nFFT);
  const auto r = mel.computeFlatTransposed(audio, 0.0f, Mode::prePadded);
  ASSERT_EQ(r.melLength, 1);
  const int off = (p.nFFT - p.winLength) / 2;
  for (int m = 0; m < p.nMels; ++m) {
    double re = 0, im = 0;
    for (int j = 0; j < p.winLength; ++j) {
      const int t = off + j;
      re += audio[t] * std::cos(2 * std::numbers::pi * picked[m] * t / p.nFFT);
      im -= audio[t] * std::sin(2 * std::numbers::pi * picked[m] * t / p.nFFT);
    }
    const double power = re * re + im * im;
    EXPECT_NEAR(r.mel[m], std::log(std::max(power, 1e-10)), 1e-3) << m;
  }
}

TEST(AudioMelSpectrogramTest, RejectsParametersThatWouldCorruptMemory) {
  struct Case {
    const char* name;
    Params params;
    std::optional<size_t> windowSize;
    std::optional<size_t> filterbankSize;
    const char* parameter;
  };
  auto with = [](auto change) {
    Params p = standard();
    change(p);
    return p;
  };
  const Case cases[] = {
      {"window longer than the transform", with([](Params& p) { p.winLength = 513; }), {}, {}, "winLength"},
      {"negative window", with([](Params& p) { p.winLength = -1; }), {}, {}, "winLength"},
      {"zero hop", with([](Params& p) { p.hopLength = 0; }), {}, {}, "hopLength"},
      {"negative hop", with([](Params& p) { p.hopLength = -160; }), {}, {}, "hopLength"},
      {"zero transform", with([](Params& p) { p.nFFT = 0; }), {}, {}, "nFFT"},
      {"negative bands", with([](Params& p) { p.nMels = -2; }), {}, {}, "nMels"},
      {"zero rate", with([](Params& p) { p.sampleRate = 0; }), {}, {}, "sampleRate"},
      {"overflowing filterbank", with([](Params& p) { p.nMels = 1 << 30; }), {}, {}, "nMels"},
      {"short window", standard(), 399, {}, "window"},
      {"long window", standard(), 401, {}, "window"},
      {"short filterbank", standard(), {}, 128 * 257 - 1, "filterbank"},
      {"filterbank of the wrong shape", standard(), {}, 128 * 256, "filterbank"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::vector<float>> window, filterbank;
    if (c.windowSize) window.emplace(*c.windowSize, 1.0f);
    if (c.filterbankSize) filterbank.emplace(*c.filterbankSize, 0.0f);
    try {
      make(c.params, window, filterbank);
      ADD_FAILURE() << "constructed";
    } catch (const platform::InvalidArgumentError& e) {
      EXPECT_EQ(e.parameter(), c.parameter);
      EXPECT_NE(e.description().find(c.parameter), std::string::npos) << e.description();
    }
  }
}

TEST(AudioMelSpectrogramTest, SmallestValidShapesStayInBounds) {
  struct Case {
    const char* name;
    int nFFT, hopLength, winLength;
  };
  const Case cases[] = {
      {"one-point transform", 1, 1, 1},
      {"odd transform, full window", 7, 3, 7},
      {"empty window", 16, 4, 0},
      {"hop longer than the window", 32, 100, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Params p = standard();
    p.nFFT = c.nFFT;
    p.hopLength = c.hopLength;
    p.winLength = c.winLength;
    p.nMels = 4;
    AudioMelSpectrogram mel = make(p);
    const std::vector<float> audio = chirp(300, 16000, 100, 4000);
    for (Mode mode : {Mode::center, Mode::prePadded}) {
      const auto r = mel.computeFlatTransposed(audio, 0.5f, mode, 50);
      EXPECT_EQ(r.mel.size(), 50u * 4);
      EXPECT_TRUE(std::all_of(r.mel.begin(), r.mel.end(), [](float v) { return std::isfinite(v); }));
    }
    EXPECT_LE(mel.compute(audio).melLength, 300);
  }
}

}  // namespace
}  // namespace tesselaudio
