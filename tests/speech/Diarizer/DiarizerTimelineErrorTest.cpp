#include "speech/Diarizer/DiarizerTimelineError.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(DiarizerTimelineErrorTest, DescribesTheCountsOfEachCase) {
  struct Case {
    DiarizerTimelineError error;
    DiarizerTimelineError::Code code;
    const char* description;
  };
  const Case cases[] = {
      {DiarizerTimelineError::misalignedFinalizedPredictions(10, 4),
       DiarizerTimelineError::Code::misalignedFinalizedPredictions,
       "The number of finalized predictions (10) isn't a multiple of the speaker count (4)."},
      {DiarizerTimelineError::misalignedTentativePredictions(10, 4),
       DiarizerTimelineError::Code::misalignedTentativePredictions,
       "The number of tentative predictions (10) isn't a multiple of the speaker count (4)."},
      {DiarizerTimelineError::mismatchedSnapshotSlots(2, 4),
       DiarizerTimelineError::Code::mismatchedSnapshotSlots,
       "The snapshot's slot count (2) doesn't match the speaker count (4)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.errorCode(), c.code);
    EXPECT_EQ(c.error.typeName(), "DiarizerTimelineError");
  }
}

}  // namespace
}  // namespace tesselaudio
