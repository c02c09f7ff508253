#include "speech/Shared/ProgressEmitter.h"

#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

// Every value of `stream` up to its end.
std::vector<double> drain(const ProgressEmitter::Stream& stream) {
  std::vector<double> values;
  while (auto value = stream->receive()) values.push_back(*value);
  return values;
}

TEST(ProgressEmitterTest, SessionCarriesZeroClampedReportsOneAndTheEnd) {
  ProgressEmitter emitter;
  emitter.report(0.5);  // before any session: dropped
  const auto stream = emitter.ensureSession();
  EXPECT_EQ(emitter.ensureSession(), stream);
  emitter.report(0.25);
  emitter.report(1.7);
  emitter.report(-0.2);
  emitter.report(std::nan(""));
  emitter.finishSession();
  emitter.finishSession();
  emitter.report(0.9);  // after the end: dropped
  EXPECT_EQ(drain(stream), (std::vector<double>{0.0, 0.25, 1.0, 0.0, 0.0, 1.0}));
}

TEST(ProgressEmitterTest, FailedSessionEndsWithTheError) {
  ProgressEmitter emitter;
  const auto stream = emitter.ensureSession();
  emitter.report(0.5);
  emitter.failSession(std::make_exception_ptr(std::runtime_error("decoder broke")));
  EXPECT_EQ(stream->receive(), 0.0);
  EXPECT_EQ(stream->receive(), 0.5);
  EXPECT_THROW(stream->receive(), std::runtime_error);

  // Without a session failing is harmless and leaves the emitter idle.
  ProgressEmitter idle;
  idle.failSession(std::make_exception_ptr(std::runtime_error("x")));
  idle.report(0.3);
  const auto fresh = idle.ensureSession();
  idle.finishSession();
  EXPECT_EQ(drain(fresh), (std::vector<double>{0.0, 1.0}));
}

TEST(ProgressEmitterTest, NextSessionStartsAgainAtZero) {
  ProgressEmitter emitter;
  const auto first = emitter.ensureSession();
  emitter.finishSession();
  const auto second = emitter.ensureSession();
  EXPECT_NE(first, second);
  emitter.report(0.5);
  emitter.finishSession();
  EXPECT_EQ(drain(first), (std::vector<double>{0.0, 1.0}));
  EXPECT_EQ(drain(second), (std::vector<double>{0.0, 0.5, 1.0}));
}

TEST(ProgressEmitterTest, ConcurrentReportersAndAReader) {
  ProgressEmitter emitter;
  const auto stream = emitter.ensureSession();
  std::vector<double> seen;
  std::jthread reader([&] { seen = drain(stream); });
  {
    std::vector<std::jthread> reporters;
    for (int t = 0; t < 4; ++t) {
      reporters.emplace_back([&emitter, t] {
        for (int i = 1; i <= 250; ++i) emitter.report((t * 250 + i) / 2000.0);
      });
    }
  }
  emitter.finishSession();
  reader.join();
  ASSERT_EQ(seen.size(), 1002u);
  EXPECT_EQ(seen.front(), 0.0);
  EXPECT_EQ(seen.back(), 1.0);
  // Each reporter's own values arrive in the order it reported them.
  std::vector<double> last(4, 0.0);
  for (size_t k = 1; k + 1 < seen.size(); ++k) {
    const int t = static_cast<int>((std::lround(seen[k] * 2000.0) - 1) / 250);
    EXPECT_GT(seen[k], last[t]);
    last[t] = seen[k];
  }
}

TEST(ProgressEmitterTest, ClosedConsumerDoesNotBreakTheProducer) {
  ProgressEmitter emitter;
  emitter.ensureSession()->close();
  emitter.report(0.5);
  emitter.finishSession();
  const auto next = emitter.ensureSession();
  emitter.finishSession();
  EXPECT_EQ(drain(next), (std::vector<double>{0.0, 1.0}));
}

}  // namespace
}  // namespace tesselaudio
