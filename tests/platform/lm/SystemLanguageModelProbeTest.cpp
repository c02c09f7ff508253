#include "platform/lm/SystemLanguageModel.h"

#include <gtest/gtest.h>

#include "tests/support/LanguageModelFake.h"

namespace platform {
namespace {

using testsupport::LanguageModelFake;

// A request for a new probe that comes while a probe is on its way is not lost with that probe's
// answer: the next probe follows at once, not after the long interval.
TEST(SystemLanguageModelProbeTest, RequestDuringAProbeIsKept) {
  LanguageModelFake fake;
  fake.setProbeAnswer(200, true);
  LanguageModelConfiguration configuration = fake.configuration();
  configuration.probeIntervalSeconds = 3600;
  SystemLanguageModel model(configuration);
  ASSERT_TRUE(fake.waitForProbes(1));

  model.probeAgainSoon();
  fake.release();
  EXPECT_TRUE(fake.waitForProbes(2)) << "the request made during the first probe was lost";
}

}  // namespace
}  // namespace platform
