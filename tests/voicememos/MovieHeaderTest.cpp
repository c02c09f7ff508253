#include "voicememos/MovieHeader.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform/sys/FileError.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "voicememos/Transcript.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

using testsupport::atom;
using testsupport::be32;
using testsupport::be64;
using testsupport::Bytes;
using testsupport::join;
using testsupport::raw;

const Bytes kDocument = raw(R"({"attributedString":"hello"})");

Bytes tsrp(std::string_view text) { return atom("tsrp", raw(text)); }

Bytes movie(std::initializer_list<Bytes> children) { return atom("moov", children); }

class MovieHeaderTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const Bytes& bytes, const char* name = "file.m4a") {
    const auto path = folder_ / name;
    testsupport::writeFile(path, bytes);
    return path;
  }

  // The transcript bytes of a file, as text; none for no movie or no transcript.
  std::optional<std::string> transcriptOf(const Bytes& bytes) {
    const auto header = MovieHeader::contentsOf(write(bytes));
    if (!header) return std::nullopt;
    const auto data = header->transcriptData();
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
  }

  // Appends `tail` after a hole of `holeBytes`, so that a huge 'mdat' costs no disk space.
  std::filesystem::path writeSparse(const Bytes& head, std::uint64_t holeBytes, const Bytes& tail) {
    const auto path = write(head, "sparse.m4a");
    std::filesystem::resize_file(path, head.size() + holeBytes);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    out.close();
    EXPECT_TRUE(out.good());
    return path;
  }

  static VoiceMemosError::Kind kindThrownBy(const std::filesystem::path& path) {
    try {
      MovieHeader::contentsOf(path);
    } catch (const VoiceMemosError& error) {
      return error.kind();
    }
    ADD_FAILURE() << "no VoiceMemosError";
    return VoiceMemosError::Kind::queryFailed;
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(MovieHeaderTest, FindsMovieAfterHugeMediaBySeeking) {
  constexpr std::uint64_t kGiB = 1ull << 30;
  const Bytes mdatHeader = join({be32(1), raw("mdat"), be64(16 + kGiB)});
  const Bytes moov = movie({atom("trak", {atom("udta", {tsrp("far")})})});
  const auto path = writeSparse(join({atom("ftyp", raw("M4A ")), mdatHeader}), kGiB, moov);

  const auto header = MovieHeader::contentsOf(path);
  ASSERT_TRUE(header);
  const auto data = header->transcriptData();
  ASSERT_TRUE(data);
  EXPECT_EQ(std::string(data->begin(), data->end()), "far");
}

TEST_F(MovieHeaderTest, ScansTopLevelAtoms) {
  const Bytes moov = movie({atom("trak", {atom("udta", {tsrp("x")})})});
  struct Case {
    const char* name;
    Bytes file;
    bool found;
  };
  const Case cases[] = {
      {"moovFirst", moov, true},
      {"largeSizeSkipped", join({testsupport::largeAtom("free", Bytes(40, 7)), moov}), true},
      {"moovRunningToEnd", join({atom("ftyp", raw("M4A ")), be32(0), raw("moov"),
                                 atom("trak", {atom("udta", {tsrp("x")})})}),
       true},
      {"emptyFile", {}, false},
      {"lastAtomOfSizeZeroIsNotMoov",
       join({atom("ftyp", raw("M4A ")), be32(0), raw("free"), Bytes(100, 1), moov}), false},
      {"noMoov", join({atom("ftyp", raw("M4A ")), atom("mdat", Bytes(10, 0))}), false},
      {"oneTrailingByte", join({atom("ftyp", raw("M4A ")), Bytes(1, 0xff)}), false},
      {"sevenTrailingBytes", join({atom("ftyp", raw("M4A ")), Bytes(7, 0xff)}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(transcriptOf(c.file).has_value(), c.found);
  }
}

TEST_F(MovieHeaderTest, RejectsBrokenTopLevelAtoms) {
  const Bytes moov = movie({});
  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      {"sizeTwo", join({be32(2), raw("free"), moov})},
      {"sizeSeven", join({be32(7), raw("free"), moov})},
      {"largeSizeFifteen", join({be32(1), raw("free"), be64(15), moov})},
      {"largeSizeCutShort", join({atom("ftyp", raw("M4A ")), be32(1), raw("free"), be32(0)})},
      {"beyondFile", join({be32(4096), raw("mdat"), Bytes(16, 0)})},
      {"largeSizeNearTwoTo64", join({be32(1), raw("mdat"), be64(~0ull - 3), moov})},
      {"moovBeyondFile", join({be32(100), raw("moov"), Bytes(8, 0)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kindThrownBy(write(c.file)), VoiceMemosError::Kind::malformedAudioFile);
  }
}

TEST_F(MovieHeaderTest, LoadsMovieUpToSixtyFourMiB) {
  const std::uint64_t limit = MovieHeader::kMaxMovieBytes;
  const auto atLimit = writeSparse(join({be32(static_cast<std::uint32_t>(8 + limit)), raw("moov")}),
                                   limit, {});
  const auto header = MovieHeader::contentsOf(atLimit);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->bytes.size(), limit);
  EXPECT_FALSE(header->transcriptData());

  const auto above = writeSparse(
      join({be32(static_cast<std::uint32_t>(8 + limit + 1)), raw("moov")}), limit + 1, {});
  EXPECT_EQ(kindThrownBy(above), VoiceMemosError::Kind::malformedAudioFile);
}

TEST_F(MovieHeaderTest, PassesFileSystemErrorsOn) {
  EXPECT_THROW(MovieHeader::contentsOf(folder_ / "missing.m4a"), platform::FileError);
  EXPECT_THROW(MovieHeader::contentsOf(folder_.path()), platform::FileError);
}

TEST_F(MovieHeaderTest, FindsTranscriptWhereVoiceMemosKeepsIt) {
  const Bytes value = raw("meta doc");
  struct Case {
    const char* name;
    Bytes file;
    std::optional<std::string> transcript;
  };
  const Case cases[] = {
      {"trackUserData", movie({atom("trak", {atom("udta", {tsrp("track")})})}), "track"},
      {"mediaUserData", movie({atom("trak", {atom("mdia", {atom("udta", {tsrp("media")})})})}),
       "media"},
      {"trackUserDataWinsOverMedia",
       movie({atom("trak", {atom("mdia", {atom("udta", {tsrp("media")})}),
                            atom("udta", {tsrp("track")})})}),
       "track"},
      {"userDataWinsOverMetadata",
       movie({atom("trak", {testsupport::metaItem("mdta", "com.apple.VoiceMemos.tsrp", value, false),
                            atom("udta", {tsrp("track")})})}),
       "track"},
      {"quickTimeMeta",
       movie({atom("trak", {testsupport::metaItem("mdta", "com.apple.VoiceMemos.tsrp", value, false)})}),
       "meta doc"},
      {"isoMeta",
       movie({atom("trak", {testsupport::metaItem("mdta", "com.apple.VoiceMemos.tsrp", value, true)})}),
       "meta doc"},
      {"otherNamespace",
       movie({atom("trak", {testsupport::metaItem("udta", "com.apple.VoiceMemos.tsrp", value, false)})}),
       std::nullopt},
      {"otherKey", movie({atom("trak", {testsupport::metaItem("mdta", "com.apple.other", value, false)})}),
       std::nullopt},
      {"secondTrack",
       movie({atom("trak", {atom("udta", {atom("name", raw("a"))})}),
              atom("trak", {atom("udta", {tsrp("second")})})}),
       "second"},
      {"firstTrackWins",
       movie({atom("trak", {atom("udta", {tsrp("first")})}),
              atom("trak", {atom("udta", {tsrp("second")})})}),
       "first"},
      {"movieUserDataIgnored", movie({atom("udta", {tsrp("outside")}), atom("trak", {})}),
       std::nullopt},
      {"emptyTranscriptAtom", movie({atom("trak", {atom("udta", {tsrp("")})})}), ""},
      {"walkStopsAtBrokenAtom",
       movie({join({be32(3), raw("junk")}), atom("trak", {atom("udta", {tsrp("hidden")})})}),
       std::nullopt},
      {"atomsBeforeBrokenOneCount",
       movie({atom("trak", {atom("udta", {tsrp("kept")})}), join({be32(9999), raw("trak")})}),
       "kept"},
      {"largeSizeInside",
       movie({atom("trak", {testsupport::largeAtom("udta", tsrp("large"))})}), "large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(transcriptOf(c.file), c.transcript);
  }
}

TEST_F(MovieHeaderTest, RefusesBrokenMetadataItems) {
  const Bytes goodKey = join({be32(8 + 25), raw("mdta"), raw("com.apple.VoiceMemos.tsrp")});
  const Bytes items = atom("ilst", {atom(std::string_view("\0\0\0\1", 4),
                                         {atom("data", join({be32(1), be32(0), raw("v")}))})});
  struct Case {
    const char* name;
    Bytes keysPayload;
    Bytes itemList;
  };
  const Case cases[] = {
      {"noEntries", join({be32(0), be32(0), goodKey}), items},
      {"tooShortForCount", Bytes(7, 0), items},
      {"keySizeBelowEight", join({be32(0), be32(1), be32(7), raw("mdta")}), items},
      {"keySizePastPayload", join({be32(0), be32(1), be32(500), raw("mdta"), raw("com")}), items},
      {"countPastEntries", join({be32(0), be32(2), be32(8 + 3), raw("mdta"), raw("abc")}), items},
      {"noItemList", join({be32(0), be32(1), goodKey}), {}},
      {"noItemOfThatNumber", join({be32(0), be32(1), goodKey}),
       atom("ilst", {atom(std::string_view("\0\0\0\2", 4), {atom("data", Bytes(9, 0))})})},
      {"dataTooShort", join({be32(0), be32(1), goodKey}),
       atom("ilst", {atom(std::string_view("\0\0\0\1", 4), {atom("data", Bytes(7, 0))})})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file =
        movie({atom("trak", {atom("meta", {atom("keys", c.keysPayload), c.itemList})})});
    EXPECT_EQ(transcriptOf(file), std::nullopt);
  }
}

TEST_F(MovieHeaderTest, ReadsDurationFromMovieHeaderAtom) {
  struct Case {
    const char* name;
    Bytes moov;
    std::optional<double> duration;
  };
  const Case cases[] = {
      {"version0", movie({testsupport::mvhd(1000, 2500, 0)}), 2.5},
      {"version1", movie({testsupport::mvhd(48000, 48000ull << 20, 1)}), 1048576.0},
      {"timeScaleZero", movie({testsupport::mvhd(0, 2500, 0)}), std::nullopt},
      {"noMovieHeader", movie({atom("trak", {})}), std::nullopt},
      {"emptyMovieHeader", movie({atom("mvhd", Bytes{})}), std::nullopt},
      {"cutBeforeDuration", movie({atom("mvhd", join({be32(0), be32(0), be32(0), be32(600)}))}),
       std::nullopt},
      {"version1CutBeforeDuration",
       movie({atom("mvhd", join({be32(0x01000000), be64(0), be64(0), be32(600), be32(0)}))}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto header = MovieHeader::contentsOf(write(c.moov));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->duration(), c.duration);
  }
}

// Truncated and randomly damaged files end in a value or a VoiceMemosError, never in a crash, a
// read past a buffer (the sanitizer build watches) or any other error.
TEST_F(MovieHeaderTest, SurvivesDamagedFiles) {
  const Bytes good = join(
      {atom("ftyp", raw("M4A ")), atom("mdat", Bytes(32, 0)),
       movie({testsupport::mvhd(1000, 2500, 1),
              atom("trak", {atom("mdia", {atom("udta", {tsrp(R"({"attributedString":"x"})")})}),
                            testsupport::metaItem("mdta", "com.apple.VoiceMemos.tsrp",
                                                  raw(R"(["a",{}])"), true)})})});
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto survives = [&](const Bytes& bytes) {
    try {
      const auto header = MovieHeader::contentsOf(write(bytes));
      if (header) {
        header->duration();
        if (const auto data = header->transcriptData()) Transcript::fromData(*data);
      }
    } catch (const VoiceMemosError&) {
    }
  };
  for (std::size_t length = 0; length <= good.size(); ++length) {
    survives(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)));
  }
  for (int round = 0; round < 2000; ++round) {
    Bytes damaged = good;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    }
    survives(damaged);
  }
  for (int round = 0; round < 200; ++round) {
    Bytes noise(random() % 300);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    survives(noise);
  }
}

}  // namespace
}  // namespace voicememos
