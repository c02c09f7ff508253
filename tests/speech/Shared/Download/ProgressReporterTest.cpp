#include "speech/Shared/Download/ProgressReporter.h"

#include <algorithm>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Shared/Download/ConcurrentProgress.h"

namespace tesselaudio {
namespace {

// Collects reports; ConcurrentProgress calls it under its lock, so no lock of its own is needed
// for the single-threaded checks here.
struct Reports {
  ProgressHandler handler() {
    return [this](const DownloadProgress& p) { values.push_back(p); };
  }
  std::vector<double> fractions() const {
    std::vector<double> out;
    for (const auto& p : values) out.push_back(p.fractionCompleted);
    return out;
  }
  std::vector<DownloadProgress> values;
};

TEST(ProgressReporterTest, FractionRule) {
  struct Case {
    const char* name;
    double weight;
    std::int64_t totalBytes, totalFiles, bytes, files;
    double expected;
  };
  const Case cases[] = {
      {"noFilesReportsTheWeight", 0.5, 0, 0, 0, 0, 0.5},
      {"unknownSizesCountFiles", 1.0, 0, 4, 999, 1, 0.25},
      {"bytesOverTotal", 0.5, 1000, 2, 250, 0, 0.125},
      {"cappedAtOne", 1.0, 100, 1, 150, 0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DOUBLE_EQ(
        ProgressReporter::fraction(c.weight, c.totalBytes, c.totalFiles, c.bytes, c.files),
        c.expected);
  }
}

TEST(ProgressReporterTest, LiveBytesAddTheBaseAndNameTheFileInFlight) {
  Reports reports;
  const ProgressReporter reporter{reports.handler(), 0.5};
  auto callback = reporter.liveBytesCallback(400, 1000, 2, 3);
  callback(100, 600);
  callback(0, 600);  // no monotonic guard here
  ASSERT_EQ(reports.values.size(), 2u);
  EXPECT_EQ(reports.values[0], (DownloadProgress{0.25, DownloadPhase::downloading(2, 3)}));
  EXPECT_DOUBLE_EQ(reports.values[1].fractionCompleted, 0.2);

  Reports silent;
  ProgressReporter{silent.handler(), 1.0}.liveBytesCallback(0, 0, 0, 2)(500, -1);
  EXPECT_TRUE(silent.values.empty());
}

TEST(ConcurrentProgressTest, NeverLowersTheFraction) {
  Reports reports;
  ConcurrentProgress progress(ProgressReporter{reports.handler(), 1.0}, 1000, 2);
  auto first = progress.liveBytesCallback(0);
  auto second = progress.liveBytesCallback(1);
  first(200, 500);
  second(300, 500);
  second(0, 500);  // the second file restarted
  EXPECT_EQ(reports.fractions(), (std::vector<double>{0.2, 0.5, 0.5}));
  EXPECT_EQ(progress.fileCompleted(0, 500), 1);
  EXPECT_DOUBLE_EQ(reports.values.back().fractionCompleted, 0.5);
  EXPECT_EQ(reports.values.back().phase, DownloadPhase::downloading(1, 2));
}

TEST(ConcurrentProgressTest, PresentFileJumpsByItsShare) {
  Reports reports;
  ConcurrentProgress progress(ProgressReporter{reports.handler(), 0.5}, 1000, 2);
  EXPECT_EQ(progress.fileCompleted(1, 800), 1);
  EXPECT_DOUBLE_EQ(reports.values.back().fractionCompleted, 0.4);
}

TEST(ConcurrentProgressTest, UnknownSizesAdvanceByFilesAndIgnoreBytes) {
  Reports reports;
  ConcurrentProgress progress(ProgressReporter{reports.handler(), 1.0}, 0, 4);
  progress.liveBytesCallback(0)(123, -1);
  EXPECT_TRUE(reports.values.empty());
  progress.fileCompleted(0, -1);
  progress.fileCompleted(1, 0);
  EXPECT_EQ(reports.fractions(), (std::vector<double>{0.25, 0.5}));
}

TEST(ConcurrentProgressTest, NoFilesAndNoHandler) {
  Reports reports;
  ConcurrentProgress empty(ProgressReporter{reports.handler(), 0.5}, 0, 0);
  empty.fileCompleted(0, 0);
  EXPECT_EQ(reports.fractions(), (std::vector<double>{0.5}));

  ConcurrentProgress quiet(ProgressReporter{nullptr, 1.0}, 100, 1);
  EXPECT_FALSE(quiet.liveBytesCallback(0));
  EXPECT_EQ(quiet.fileCompleted(0, 100), 1);
}

}  // namespace
}  // namespace tesselaudio

namespace tesselaudio {
namespace {

TEST(ConcurrentProgressTest, ConcurrentReportsAreSerialisedAndNonDecreasing) {
  std::vector<double> seen;  // written by the handler only, which runs under the object's lock
  ConcurrentProgress progress(
      ProgressReporter{[&](const DownloadProgress& p) { seen.push_back(p.fractionCompleted); }, 1.0},
      8 * 1000, 8);
  std::vector<std::thread> files;
  for (int index = 0; index < 8; ++index) {
    files.emplace_back([&, index] {
      auto callback = progress.liveBytesCallback(index);
      for (int bytes = 0; bytes <= 1000; bytes += 10) callback(bytes % 500, 1000);  // restarts halfway
      progress.fileCompleted(index, 1000);
    });
  }
  for (auto& file : files) file.join();
  ASSERT_EQ(seen.size(), 8u * (101 + 1));
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_DOUBLE_EQ(seen.back(), 1.0);
}

}  // namespace
}  // namespace tesselaudio
