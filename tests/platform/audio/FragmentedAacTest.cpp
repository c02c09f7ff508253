// The crash-safe form of the AAC writer: what a process killed while writing leaves behind, the
// ordinary file close() makes, and the rewrite of a cut-off file.
#include "platform/audio/FragmentedAac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/audio/AacFileWriter.h"
#include "platform/audio/AudioError.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::DecodedAudio;

constexpr std::size_t kRate = 48000;

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> entriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FragmentedAacTest : public ::testing::Test {
 protected:
  // A sweep, so that a decoded stretch matches the source at one offset only.
  static std::vector<float> source(double seconds) {
    return testsupport::chirp(200, 6000, kRate, static_cast<std::size_t>(seconds * kRate));
  }

  // Expects `decoded` to hold `source` from its first sample on, as an ordinary file plays it.
  static void expectSourceFromTheStart(const DecodedAudio& decoded, const std::vector<float>& source) {
    ASSERT_EQ(decoded.channels.size(), 1u);
    const std::vector<float>& samples = decoded.channels[0];
    ASSERT_GT(samples.size(), kRate / 10);
    EXPECT_EQ(testsupport::leadingOffset(samples, source), 0u);
    const std::size_t count = std::min(samples.size(), source.size());
    EXPECT_GT(testsupport::correlation(samples, 0, source, 0, count), 0.99);
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(FragmentedAacTest, FileCutOffWhileWritingDecodesUpToItsLastWholeFragment) {
  const std::vector<float> signal = source(6.5);
  const fs::path cut = folder_ / "cut.m4a";
  testsupport::writeCutOffRecording(cut, signal);

  EXPECT_TRUE(FragmentedAac::isCrashSafeForm(cut));
  const std::string boxes = testsupport::topLevelBoxTypes(cut);
  EXPECT_TRUE(boxes.starts_with("ftyp moov moof mdat moof mdat moof mdat moof mdat moof mdat")) << boxes;

  // A plain decoder plays the encoder's priming first, then the source.
  const DecodedAudio decoded = testsupport::readAudioFile(cut);
  const std::vector<float>& samples = decoded.channels.at(0);
  const std::size_t lead = testsupport::leadingOffset(samples, signal);
  ASSERT_GE(samples.size(), lead + 5 * kRate) << "more than 1.5 s lost";
  EXPECT_GT(testsupport::correlation(samples, lead, signal, 0, samples.size() - lead), 0.99);
}

TEST_F(FragmentedAacTest, ClosedFileIsAnOrdinaryMp4WithItsExactLength) {
  struct Case {
    const char* name;
    std::size_t frames;
  };
  const Case cases[] = {
      {"several fragments, a short last frame", 3 * kRate + 777},
      {"less than one fragment", kRate / 4},
      {"nothing written", 0},
  };
  const std::vector<float> sweep = source(3.1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder_ / "closed.m4a";
    const std::vector<float> signal(sweep.begin(), sweep.begin() + static_cast<std::ptrdiff_t>(c.frames));
    AacFileWriter writer(path, {48000, 1, 96000, true});
    if (c.frames > 0) writer.write(*testsupport::floatBuffer(48000, {signal}));
    writer.close();

    EXPECT_FALSE(FragmentedAac::isCrashSafeForm(path));
    EXPECT_EQ(testsupport::majorBrand(path), "M4A ");
    EXPECT_EQ(testsupport::topLevelBoxTypes(path), "ftyp moov mdat");
    // A file without audio frames has no stream a decoder takes, written in any form.
    if (c.frames > 0) {
      const DecodedAudio decoded = testsupport::readAudioFile(path);
      EXPECT_EQ(decoded.sampleRate, 48000);
      EXPECT_EQ(decoded.length, static_cast<std::int64_t>(c.frames));
      expectSourceFromTheStart(decoded, signal);
    }
    // Nothing of the rewrite is left beside it.
    EXPECT_EQ(entriesOf(folder_.path()), std::vector<std::string>{"closed.m4a"});
    fs::remove(path);
  }
}

TEST_F(FragmentedAacTest, RewriteKeepsEveryWholeFragmentWhereverTheFileWasCut) {
  const std::vector<float> signal = source(4.3);
  const fs::path whole = folder_ / "whole.m4a";
  testsupport::writeCutOffRecording(whole, signal);
  const std::string bytes = bytesOf(whole);
  std::vector<std::size_t> fragments;  // where each 'moof' box begins
  for (const testsupport::Box& box : testsupport::topLevelBoxes(whole)) {
    if (box.type == "moof") fragments.push_back(box.offset);
  }
  ASSERT_GE(fragments.size(), 4u);
  const std::size_t lastMoof = fragments.back();

  struct Case {
    const char* name;
    std::size_t size;
    double atLeastSeconds;
  };
  const Case cases[] = {
      {"after a whole fragment", bytes.size(), 3.0},
      {"inside the last fragment's audio", bytes.size() - 100, 2.0},
      {"inside the last fragment's index", lastMoof + 20, 2.0},
      {"right before the last fragment", lastMoof, 2.0},
      {"header only", fragments.front(), 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder_ / "cut.m4a";
    writeBytes(path, bytes.substr(0, c.size));

    const double seconds = FragmentedAac::rewriteInOrdinaryForm(path);
    EXPECT_GE(seconds, c.atLeastSeconds);
    EXPECT_FALSE(FragmentedAac::isCrashSafeForm(path));
    EXPECT_EQ(testsupport::topLevelBoxTypes(path), "ftyp moov mdat");
    if (seconds > 0) {
      const DecodedAudio decoded = testsupport::readAudioFile(path);
      EXPECT_EQ(decoded.length, static_cast<std::int64_t>(seconds * kRate + 0.5));
      expectSourceFromTheStart(decoded, signal);
    }
    EXPECT_EQ(entriesOf(folder_.path()), (std::vector<std::string>{"cut.m4a", "whole.m4a"}));
  }
}

TEST_F(FragmentedAacTest, FileThatCannotBeReadIsLeftAsItIs) {
  const fs::path good = folder_ / "good.m4a";
  testsupport::writeCutOffRecording(good, source(2.5));
  const std::string bytes = bytesOf(good);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"index cut short", bytes.substr(0, testsupport::topLevelBoxes(good).at(1).offset + 40)},
      {"our header, then noise", bytes.substr(0, 28) + std::string(5000, '\x5a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder_ / "broken.m4a";
    writeBytes(path, c.bytes);
    EXPECT_TRUE(FragmentedAac::isCrashSafeForm(path));
    try {
      FragmentedAac::rewriteInOrdinaryForm(path);
      ADD_FAILURE() << "rewrote a file without a readable index";
    } catch (const AudioError& e) {
      EXPECT_EQ(e.code(), AudioError::cannotOpen);
      EXPECT_NE(e.description().find(path.string()), std::string::npos) << e.description();
    }
    EXPECT_EQ(bytesOf(path), c.bytes);
    EXPECT_EQ(entriesOf(folder_.path()), (std::vector<std::string>{"broken.m4a", "good.m4a"}));
  }
}

TEST_F(FragmentedAacTest, OnlyOurCrashSafeFilesAreTakenForOne) {
  const fs::path ordinary = folder_ / "ordinary.m4a";
  testsupport::writeAac(ordinary, 48000, {source(0.5)});
  writeBytes(folder_ / "short", std::string("\0\0\0\x1c" "ftyp", 8));
  writeBytes(folder_ / "text.m4a", "just some text, long enough");
  for (const fs::path& path : {ordinary, folder_ / "short", folder_ / "text.m4a", folder_ / "missing.m4a",
                               folder_.path()}) {
    SCOPED_TRACE(path.string());
    EXPECT_FALSE(FragmentedAac::isCrashSafeForm(path));
  }
}

}  // namespace
}  // namespace platform
