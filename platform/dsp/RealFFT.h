#pragma once

#include <memory>
#include <span>

namespace platform::dsp {

// The unnormalised forward DFT of real input, X_k = sum_t x_t e^(-2 pi i k t / N) for
// k = 0 .. N/2, on FFTW single precision. Any length N >= 1 works. Making one is safe from any
// thread (plans are made under one process-wide lock, as FFTW's planner requires); one instance
// must be used from one thread at a time, since it transforms in its own scratch buffers.
class RealFFT {
 public:
  // Throws InvalidArgumentError when `length` < 1.
  explicit RealFFT(int length);
  ~RealFFT();
  RealFFT(const RealFFT&) = delete;
  RealFFT& operator=(const RealFFT&) = delete;

  int length() const { return length_; }
  // N/2 + 1.
  int bins() const { return length_ / 2 + 1; }

  // Transforms `input` into the real and imaginary parts of bins 0 .. N/2.
  // REQUIRES: input.size() == length(); real.size() and imag.size() >= bins().
  void forward(std::span<const float> input, std::span<float> real, std::span<float> imag);

  // Writes |X_k|^2 for k = 0 .. N/2 into `power`.
  // REQUIRES: input.size() == length(); power.size() >= bins().
  void powerSpectrum(std::span<const float> input, std::span<float> power);

 private:
  void transform(std::span<const float> input);

  struct Impl;
  int length_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform::dsp
