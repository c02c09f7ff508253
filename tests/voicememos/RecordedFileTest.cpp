// A real AAC recording, written by the platform's encoder, with a transcript spliced into its track
// the way Voice Memos stores one.

#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>

#include <gtest/gtest.h>

#include "platform/audio/AacFileWriter.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "voicememos/AudioFile.h"
#include "voicememos/Transcript.h"

namespace voicememos {
namespace {

using testsupport::Bytes;

std::uint32_t readBe32(const Bytes& bytes, std::size_t at) {
  return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
         (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

void writeBe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  const Bytes encoded = testsupport::be32(value);
  std::memcpy(&bytes[at], encoded.data(), 4);
}

// The offset of the first atom of `type` between `begin` and `end` (32-bit sizes only).
std::optional<std::size_t> findAtom(const Bytes& bytes, std::size_t begin, std::size_t end,
                                    std::string_view type) {
  for (std::size_t at = begin; at + 8 <= end;) {
    const std::uint32_t size = readBe32(bytes, at);
    if (std::memcmp(&bytes[at + 4], type.data(), 4) == 0) return at;
    if (size < 8) return std::nullopt;
    at += size;
  }
  return std::nullopt;
}

void writeTwoSecondsOfTone(const std::filesystem::path& path) {
  platform::AacFileWriter writer(path, {});
  auto buffer = platform::PcmBuffer::make(writer.processingFormat(), 48000);
  ASSERT_TRUE(buffer);
  for (int second = 0; second < 2; ++second) {
    float* samples = buffer->floatChannelData()[0];
    for (int i = 0; i < 48000; ++i) {
      samples[i] = 0.25f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * i / 48000.0));
    }
    buffer->setFrameLength(48000);
    writer.write(*buffer);
  }
  writer.close();
}

TEST(RecordedFileTest, ReadsTranscriptSplicedIntoEncodedFile) {
  testsupport::TemporaryFolder folder;
  const auto path = folder / "20250102 093000.m4a";
  writeTwoSecondsOfTone(path);

  const auto plain = AudioFile::fromURL(path);
  ASSERT_TRUE(plain);
  ASSERT_TRUE(plain->duration);
  EXPECT_NEAR(*plain->duration, 2.0, 0.043);
  EXPECT_FALSE(plain->hasTranscript);
  EXPECT_EQ(Transcript::contentsOf(path), std::nullopt);

  // The encoder writes the movie after the media, so growing the movie moves no media offsets.
  Bytes bytes = testsupport::readFile(path);
  const auto mdat = findAtom(bytes, 0, bytes.size(), "mdat");
  const auto moov = findAtom(bytes, 0, bytes.size(), "moov");
  ASSERT_TRUE(mdat && moov);
  ASSERT_LT(*mdat, *moov);
  const std::size_t moovEnd = *moov + readBe32(bytes, *moov);
  const auto trak = findAtom(bytes, *moov + 8, moovEnd, "trak");
  ASSERT_TRUE(trak);
  const std::size_t trakEnd = *trak + readBe32(bytes, *trak);

  const Bytes userData = testsupport::atom(
      "udta", {testsupport::atom("tsrp", testsupport::raw(
                                             R"({"attributedString":["テスト",{"timeRange":[0.2,1.8]}],)"
                                             R"("locale":{"identifier":"ja_JP"}})"))});
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(trakEnd), userData.begin(), userData.end());
  writeBe32(bytes, *trak, readBe32(bytes, *trak) + static_cast<std::uint32_t>(userData.size()));
  writeBe32(bytes, *moov, readBe32(bytes, *moov) + static_cast<std::uint32_t>(userData.size()));
  testsupport::writeFile(path, bytes);

  const auto file = AudioFile::fromURL(path);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->duration);
  EXPECT_NEAR(*file->duration, 2.0, 0.043);
  EXPECT_TRUE(file->hasTranscript);
  EXPECT_EQ(file->mimeType(), "audio/mp4");

  const auto transcript = Transcript::contentsOf(path);
  ASSERT_TRUE(transcript);
  EXPECT_EQ(transcript->text, "テスト");
  EXPECT_EQ(transcript->locale, "ja_JP");
  ASSERT_EQ(transcript->segments.size(), 1u);
  EXPECT_EQ(transcript->segments[0].timeRange, (Transcript::TimeRange{0.2, 1.8}));
}

}  // namespace
}  // namespace voicememos
