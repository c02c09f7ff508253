#include "voicememos/AudioFile.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace voicememos {
namespace {

class AudioFileTest : public ::testing::Test {
 protected:
  testsupport::TemporaryFolder folder_;
};

TEST_F(AudioFileTest, GivesNoneForWhatIsNoNonEmptyFile) {
  testsupport::writeFile(folder_ / "empty.m4a", {});
  std::filesystem::create_directory(folder_ / "folder.m4a");
  std::filesystem::create_symlink(folder_ / "missing.m4a", folder_ / "dangling.m4a");
  for (const char* name : {"missing.m4a", "empty.m4a", "folder.m4a", "dangling.m4a"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(AudioFile::fromURL(folder_ / name), std::nullopt);
  }
}

TEST_F(AudioFileTest, SummarisesMovieFiles) {
  const auto bytes = testsupport::voiceMemosFile(R"({"attributedString":"x"})");
  const auto path = folder_ / "20250102 093000.m4a";
  testsupport::writeFile(path, bytes);
  const auto file = AudioFile::fromURL(path);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->url, path);
  EXPECT_EQ(file->size, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(file->duration, 2.5);
  EXPECT_TRUE(file->hasTranscript);
  EXPECT_EQ(file->contentType, "public.mpeg-4-audio");
  EXPECT_EQ(file->mimeType(), "audio/mp4");
}

TEST_F(AudioFileTest, SummarisesFilesThatAreNoMovies) {
  struct Case {
    const char* name;
    testsupport::Bytes bytes;
  };
  const Case cases[] = {
      {"noise.m4a", testsupport::raw("RIFF....WAVEfmt ")},
      {"broken.m4a", testsupport::join({testsupport::be32(3), testsupport::raw("junk")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::writeFile(folder_ / c.name, c.bytes);
    const auto file = AudioFile::fromURL(folder_ / c.name);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size, static_cast<std::int64_t>(c.bytes.size()));
    EXPECT_EQ(file->duration, std::nullopt);
    EXPECT_FALSE(file->hasTranscript);
  }
}

TEST_F(AudioFileTest, NamesMimeTypeByExtension) {
  struct Case {
    const char* name;
    std::optional<std::string> mimeType;
  };
  const Case cases[] = {
      {"recording.QTA", "audio/x-quicktime"},
      {"recording.qta", "audio/x-quicktime"},
      {"talk.M4A", "audio/mp4"},
      {"talk.wav", "audio/wav"},
      {"notes.txt", std::nullopt},
      {"noExtension", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::writeFile(folder_ / c.name, testsupport::raw("data"));
    const auto file = AudioFile::fromURL(folder_ / c.name);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->mimeType(), c.mimeType);
  }
}

}  // namespace
}  // namespace voicememos
