#include "speech/Diarizer/Offline/Clustering/ConstrainedClusterAssignment.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

using Labels = std::vector<std::int64_t>;

TEST(ConstrainedClusterAssignmentTest, MaximisesTheSummedScorePerWindow) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> scores;
    Labels chunkIndices;
    Labels expected;
  };
  const Case cases[] = {
      // The first embedding alone prefers cluster 0; the pair scores most (1.75) the other way.
      {"pair in one window", {{0.9, 0.8}, {0.95, 0.1}}, {0, 0}, {1, 0}},
      // Apart, both take their own best cluster, even the same one.
      {"windows solved apart", {{0.9, 0.8}, {0.95, 0.1}}, {0, 1}, {0, 0}},
      {"interleaved windows", {{0.9, 0.1}, {0.2, 0.7}, {0.8, 0.3}, {0.6, 0.5}}, {4, 2, 4, 2}, {0, 1, 1, 0}},
      {"no embeddings", {}, {}, {}},
      {"no clusters", {{}, {}}, {0, 0}, {-2, -2}},
      {"missing window index", {{0.9, 0.1}, {0.2, 0.7}}, {0}, {0, -2}},
      {"ragged window", {{0.9, 0.1}, {0.2}, {0.3, 0.8}}, {0, 0, 1}, {-2, -2, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ConstrainedClusterAssignment::assign(c.scores, c.chunkIndices), c.expected);
  }
}

TEST(ConstrainedClusterAssignmentTest, MoreLocalSpeakersThanClustersLeaveOneWithout) {
  const auto labels = ConstrainedClusterAssignment::assign({{0.9, 0.1}, {0.8, 0.7}, {0.2, 0.95}}, {3, 3, 3});
  EXPECT_EQ(std::count(labels.begin(), labels.end(), -2), 1);
  EXPECT_EQ(labels, (Labels{0, -2, 1}));
}

}  // namespace
}  // namespace tesselaudio
