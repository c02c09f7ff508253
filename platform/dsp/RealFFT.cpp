#include "platform/dsp/RealFFT.h"

#include <cassert>
#include <cstring>
#include <mutex>
#include <string>

#include <fftw3.h>

#include "platform/sys/InvalidArgumentError.h"

namespace platform::dsp {
namespace {

// FFTW's planner is not thread-safe, and engines build their transforms concurrently.
std::mutex& plannerMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

struct FftwFree {
  void operator()(void* p) const { fftwf_free(p); }
};
struct PlanDestroy {
  void operator()(fftwf_plan p) const {
    std::scoped_lock lock(plannerMutex());
    fftwf_destroy_plan(p);
  }
};

}  // namespace

struct RealFFT::Impl {
  std::unique_ptr<float, FftwFree> in;
  std::unique_ptr<fftwf_complex, FftwFree> out;
  std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDestroy> plan;
};

RealFFT::RealFFT(int length) : length_(length), impl_(std::make_unique<Impl>()) {
  if (length < 1) throw InvalidArgumentError("length", "a transform needs at least one sample, got " + std::to_string(length));
  impl_->in.reset(static_cast<float*>(fftwf_malloc(sizeof(float) * length)));
  impl_->out.reset(static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * bins())));
  if (!impl_->in || !impl_->out) throw std::bad_alloc();
  std::scoped_lock lock(plannerMutex());
  impl_->plan.reset(
      fftwf_plan_dft_r2c_1d(length, impl_->in.get(), impl_->out.get(), FFTW_ESTIMATE));
  if (!impl_->plan) throw InvalidArgumentError("length", "FFTW made no plan for " + std::to_string(length));
}

RealFFT::~RealFFT() = default;

void RealFFT::transform(std::span<const float> input) {
  assert(input.size() == static_cast<size_t>(length_));
  std::memcpy(impl_->in.get(), input.data(), sizeof(float) * length_);
  // The new-array execute: the same aligned buffers the plan was made with.
  fftwf_execute_dft_r2c(impl_->plan.get(), impl_->in.get(), impl_->out.get());
}

void RealFFT::forward(std::span<const float> input, std::span<float> real, std::span<float> imag) {
  assert(real.size() >= static_cast<size_t>(bins()) && imag.size() >= static_cast<size_t>(bins()));
  transform(input);
  const fftwf_complex* out = impl_->out.get();
  for (int k = 0; k < bins(); ++k) {
    real[k] = out[k][0];
    imag[k] = out[k][1];
  }
}

void RealFFT::powerSpectrum(std::span<const float> input, std::span<float> power) {
  assert(power.size() >= static_cast<size_t>(bins()));
  transform(input);
  const fftwf_complex* out = impl_->out.get();
  for (int k = 0; k < bins(); ++k) power[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
}

}  // namespace platform::dsp
