#include "platform/audio/AacFileWriter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFile.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::rms;
using testsupport::sine;

TEST(AacFileWriterTest, StereoFileReadsBackWithItsExactLengthAndChannels) {
  testsupport::TemporaryFolder folder;
  // An odd length, so that the last encoder frame is a short one.
  const std::size_t frames = 44100 + 777;
  testsupport::writeAac(folder / "tone.m4a", 44100,
                        {sine(440, 44100, frames, 0.5f), sine(440, 44100, frames, 0.1f)});

  const auto decoded = testsupport::readAudioFile(folder / "tone.m4a");
  EXPECT_EQ(decoded.sampleRate, 44100);
  EXPECT_EQ(decoded.length, static_cast<std::int64_t>(frames));
  ASSERT_EQ(decoded.channels.size(), 2u);
  ASSERT_EQ(decoded.channels[0].size(), frames);
  const double expectedLeft = 0.5 / std::sqrt(2.0);
  const double expectedRight = 0.1 / std::sqrt(2.0);
  EXPECT_NEAR(rms(decoded.channels[0], 4096, frames - 4096), expectedLeft, expectedLeft * 0.05);
  EXPECT_NEAR(rms(decoded.channels[1], 4096, frames - 4096), expectedRight, expectedRight * 0.05);
}

TEST(AacFileWriterTest, CreationFailsClearlyAndLeavesNoFile) {
  testsupport::TemporaryFolder folder;
  std::filesystem::create_directory(folder / "taken.m4a");
  struct Case {
    const char* name;
    std::filesystem::path path;
  };
  const Case cases[] = {
      {"missing folder", folder / "missing" / "a.m4a"},
      {"path is a folder", folder / "taken.m4a"},
      {"unknown container", folder / "a.unknown-extension"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      AacFileWriter writer(c.path, {});
      ADD_FAILURE() << "created";
    } catch (const AudioError& e) {
      EXPECT_EQ(e.code(), AudioError::cannotCreate);
      EXPECT_NE(e.description().find(c.path.string()), std::string::npos) << e.description();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
  EXPECT_FALSE(std::filesystem::exists(folder / "a.unknown-extension"));
  EXPECT_TRUE(std::filesystem::is_directory(folder / "taken.m4a"));
}

TEST(AacFileWriterTest, RefusesOtherFormatsAndWritesAfterClose) {
  testsupport::TemporaryFolder folder;
  AacFileWriter writer(folder / "a.m4a", {48000, 1, 96000});
  auto stereo = testsupport::floatBuffer(48000, {{0.0f}, {0.0f}});
  try {
    writer.write(*stereo);
    ADD_FAILURE() << "wrote a stereo buffer into a mono file";
  } catch (const AudioError& e) {
    EXPECT_EQ(e.code(), AudioError::formatMismatch);
  }
  writer.close();
  writer.close();
  EXPECT_FALSE(writer.isOpen());
  try {
    writer.write(*testsupport::floatBuffer(48000, {{0.0f}}));
    ADD_FAILURE() << "wrote after close";
  } catch (const AudioError& e) {
    EXPECT_EQ(e.code(), AudioError::writeFailed);
  }
}

}  // namespace
}  // namespace platform
