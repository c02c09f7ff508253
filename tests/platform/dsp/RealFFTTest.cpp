#include "platform/dsp/RealFFT.h"

#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/InvalidArgumentError.h"

namespace platform::dsp {
namespace {

TEST(RealFFTTest, MatchesTheUnnormalisedDefinition) {
  for (int n : {1, 2, 7, 16, 400, 512}) {
    SCOPED_TRACE(n);
    std::vector<float> x(n);
    for (int t = 0; t < n; ++t) x[t] = std::sin(0.37f * t) + 0.25f * ((t * 7919) % 13 - 6);
    RealFFT fft(n);
    ASSERT_EQ(fft.bins(), n / 2 + 1);
    std::vector<float> re(fft.bins()), im(fft.bins()), power(fft.bins());
    fft.forward(x, re, im);
    fft.powerSpectrum(x, power);
    for (int k = 0; k < fft.bins(); ++k) {
      double wantRe = 0, wantIm = 0;
      for (int t = 0; t < n; ++t) {
        wantRe += x[t] * std::cos(2 * std::numbers::pi * k * t / n);
        wantIm -= x[t] * std::sin(2 * std::numbers::pi * k * t / n);
      }
      const double tolerance = 1e-4 * n;
      EXPECT_NEAR(re[k], wantRe, tolerance) << k;
      EXPECT_NEAR(im[k], wantIm, tolerance) << k;
      EXPECT_NEAR(power[k], wantRe * wantRe + wantIm * wantIm, tolerance * (1 + std::hypot(wantRe, wantIm)) * 2) << k;
    }
  }
}

TEST(RealFFTTest, RejectsEmptyLengths) {
  for (int n : {0, -4}) {
    SCOPED_TRACE(n);
    EXPECT_THROW(RealFFT{n}, InvalidArgumentError);
  }
}

}  // namespace
}  // namespace platform::dsp
