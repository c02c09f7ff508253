#include "platform/audio/AudioFile.h"

#include <gtest/gtest.h>

#include "platform/audio/AudioError.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::sine;

TEST(AudioFileTest, LengthCountsTheEncodedFramesExactly) {
  testsupport::TemporaryFolder folder;
  const std::size_t frames = 3 * 44100 + 5;
  const auto tone = sine(440, 44100, frames);
  testsupport::writeAac(folder / "index-last.m4a", 44100, {tone});
  testsupport::remuxIndexFirst(folder / "index-last.m4a", folder / "index-first.m4a");
  testsupport::writeAac(folder / "raw.aac", 44100, {tone});

  for (const char* name : {"index-last.m4a", "index-first.m4a"}) {
    SCOPED_TRACE(name);
    AudioFile file(folder / name);
    EXPECT_EQ(file.processingFormat(), AudioFormat::float32(44100, 1));
    EXPECT_EQ(file.length(), static_cast<std::int64_t>(frames));
  }
  // Raw AAC records no frame count: the length is what decoding gives, priming and padding
  // included, and reading to it never runs short.
  const auto raw = testsupport::readAudioFile(folder / "raw.aac");
  EXPECT_EQ(raw.length, static_cast<std::int64_t>(raw.channels[0].size()));
  EXPECT_GE(raw.length, static_cast<std::int64_t>(frames));
  EXPECT_LT(raw.length, static_cast<std::int64_t>(frames) + 3 * 1024);
}

TEST(AudioFileTest, ReadsAdvanceThePositionAndStopAtTheEnd) {
  testsupport::TemporaryFolder folder;
  testsupport::writeAac(folder / "a.m4a", 48000, {sine(440, 48000, 10000)});
  AudioFile file(folder / "a.m4a");
  auto buffer = PcmBuffer::make(file.processingFormat(), 6000);
  file.read(*buffer, 6000);
  EXPECT_EQ(buffer->frameLength(), 6000u);
  EXPECT_EQ(file.framePosition(), 6000);
  file.read(*buffer, 6000);
  EXPECT_EQ(buffer->frameLength(), 4000u);
  EXPECT_EQ(file.framePosition(), 10000);
  file.read(*buffer, 6000);
  EXPECT_EQ(buffer->frameLength(), 0u);

  auto wrong = PcmBuffer::make(AudioFormat::float32(48000, 2), 10);
  try {
    file.read(*wrong, 10);
    ADD_FAILURE() << "read into a buffer of another format";
  } catch (const AudioError& e) {
    EXPECT_EQ(e.code(), AudioError::formatMismatch);
  }
}

TEST(AudioFileTest, TruncatedAacFailsTheReadThatRunsShort) {
  testsupport::TemporaryFolder folder;
  testsupport::writeAac(folder / "whole.m4a", 48000, {sine(440, 48000, 5 * 48000)});
  testsupport::remuxIndexFirst(folder / "whole.m4a", folder / "cut.m4a");
  std::filesystem::resize_file(folder / "cut.m4a", std::filesystem::file_size(folder / "cut.m4a") / 2);

  AudioFile file(folder / "cut.m4a");
  EXPECT_EQ(file.length(), 5 * 48000);
  auto buffer = PcmBuffer::make(file.processingFormat(), 48000);
  file.read(*buffer, 48000);
  EXPECT_EQ(buffer->frameLength(), 48000u);
  try {
    for (int i = 0; i < 4; ++i) file.read(*buffer, 48000);
    ADD_FAILURE() << "a cut file read to its end";
  } catch (const AudioError& e) {
    EXPECT_EQ(e.code(), AudioError::readFailed);
    EXPECT_NE(e.description().find("cut.m4a"), std::string::npos) << e.description();
  }
}

}  // namespace
}  // namespace platform
