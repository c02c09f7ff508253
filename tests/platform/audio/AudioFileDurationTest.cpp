// The duration probe of the audio file reader over FFmpeg-made files and files that are no audio.

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "platform/audio/AudioFile.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(AudioFileDurationTest, KnownForAudioUnknownOtherwiseAndNeverZeroForUnknown) {
  struct Case {
    const char* name;
    const char* fileName;
    std::function<void(const fs::path&)> make;
    std::optional<double> seconds;
  };
  auto encoded = [](double rate, double seconds, const char* encoder) {
    return [=](const fs::path& path) {
      const testsupport::Channels channels{
          testsupport::sine(440, rate, static_cast<std::size_t>(rate * seconds))};
      if (encoder) {
        testsupport::writeEncoded(path, rate, channels, encoder);
      } else {
        testsupport::writeAac(path, rate, channels);
      }
    };
  };
  auto bytes = [](std::string content) {
    return [content](const fs::path& path) { std::ofstream(path, std::ios::binary) << content; };
  };
  const Case cases[] = {
      {"aac in mpeg-4", "a.m4a", encoded(16000, 1.5, nullptr), 1.5},
      {"wav", "a.wav", encoded(44100, 0.25, "pcm_s16le"), 0.25},
      {"flac", "a.flac", encoded(48000, 2.0, "flac"), 2.0},
      {"mp3, counted by decoding", "a.mp3", encoded(44100, 1.0, "libmp3lame"), 1.0},
      {"movie without audio", "memo.m4a",
       [](const fs::path& path) {
         testsupport::writeFile(path, testsupport::voiceMemosFile(R"({"attributedString":"x"})"));
       },
       std::nullopt},
      {"text", "notes.m4a", bytes("not audio at all"), std::nullopt},
      {"empty", "empty.wav", bytes(""), std::nullopt},
      {"missing", "missing.m4a", [](const fs::path&) {}, std::nullopt},
      {"folder", "folder.m4a", [](const fs::path& path) { fs::create_directory(path); }, std::nullopt},
  };
  testsupport::TemporaryFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder / c.fileName;
    c.make(path);
    const std::optional<double> seconds = AudioFile::duration(path);
    if (c.seconds) {
      ASSERT_TRUE(seconds);
      // MP3 frames hold 1152 samples; the decoder's padding may add part of one.
      EXPECT_NEAR(*seconds, *c.seconds, 0.03);
    } else {
      EXPECT_EQ(seconds, std::nullopt);
    }
  }
}

}  // namespace
}  // namespace platform
