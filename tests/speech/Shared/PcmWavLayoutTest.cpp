#include "speech/Shared/PcmWavLayout.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "speech/Shared/AudioWAV.h"
#include "tests/support/RiffBuilder.h"

namespace tesselaudio {
namespace {

using testsupport::Bytes;
using testsupport::extensibleFormatBody;
using testsupport::formatBody;
using testsupport::RiffChunk;
using testsupport::riffWave;

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;

RiffChunk monoFormat(std::uint32_t rate = 16000) { return {"fmt ", formatBody(kPcm, 1, rate, 16)}; }
RiffChunk data(std::size_t bytes) { return {"data", Bytes(bytes, std::byte{0x11})}; }

Bytes truncated(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

std::optional<PcmWavLayout> parse(const Bytes& bytes, std::int64_t rate = 16000) {
  return PcmWavLayout::parse(bytes, rate);
}

TEST(PcmWavLayoutTest, CanonicalFileIsReadInPlaceOnlyAtItsOwnRate) {
  const std::vector<std::uint8_t> image = AudioWAV::data(std::vector<float>(250, 0.25f), 16000, false);
  const auto bytes = std::as_bytes(std::span(image));
  EXPECT_EQ(PcmWavLayout::parse(bytes, 16000), (PcmWavLayout{44, 250}));
  EXPECT_EQ(PcmWavLayout::parse(bytes, 48000), std::nullopt);
}

TEST(PcmWavLayoutTest, AcceptedLayouts) {
  struct Case {
    const char* name;
    std::vector<RiffChunk> chunks;
    PcmWavLayout expected;
  };
  const Case cases[] = {
      {"another chunk between format and data is skipped",
       {monoFormat(), {"LIST", Bytes(26, std::byte{'x'})}, data(8)}, {12 + 24 + 34 + 8, 4}},
      {"an odd chunk size is followed by a pad byte",
       {monoFormat(), {"junk", Bytes(3, std::byte{'x'})}, data(8)}, {12 + 24 + 12 + 8, 4}},
      {"extensible format of 40 bytes with PCM sub-format",
       {{"fmt ", extensibleFormatBody(kPcm, 1, 16000, 16)}, data(8)}, {12 + 48 + 8, 4}},
      {"data size beyond the file gives the samples present",
       {monoFormat(), {"data", Bytes(600, std::byte{0}), 1000}}, {44, 300}},
      {"odd data size drops the half sample", {monoFormat(), {"data", Bytes(7, std::byte{0})}}, {44, 3}},
      {"empty data chunk", {monoFormat(), data(0)}, {44, 0}},
      {"a later format chunk replaces a refused one",
       {{"fmt ", formatBody(kPcm, 2, 16000, 16)}, monoFormat(), data(4)}, {12 + 24 + 24 + 8, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse(riffWave(c.chunks)), c.expected);
  }
}

TEST(PcmWavLayoutTest, RefusedFiles) {
  Bytes notRiff = riffWave({monoFormat(), data(8)});
  notRiff[3] = std::byte{'X'};
  Bytes notWave = riffWave({monoFormat(), data(8)});
  notWave[8] = std::byte{'A'};
  Bytes shortExtensible = formatBody(0xFFFE, 1, 16000, 16);
  shortExtensible.insert(shortExtensible.end(), {std::byte{0}, std::byte{0}});  // an 18-byte chunk

  struct Case {
    const char* name;
    Bytes bytes;
    std::int64_t rate;
  };
  const Case cases[] = {
      {"11 bytes", truncated(riffWave({monoFormat(), data(8)}), 11), 16000},
      {"no RIFF tag", notRiff, 16000},
      {"no WAVE tag", notWave, 16000},
      {"RIFF and WAVE but no chunk header", truncated(riffWave({monoFormat()}), 19), 16000},
      {"data before format", riffWave({data(8), monoFormat()}), 16000},
      {"no format chunk", riffWave({data(8)}), 16000},
      {"no data chunk", riffWave({monoFormat()}), 16000},
      {"chunk size past the end", riffWave({monoFormat(), {"LIST", Bytes(4), 1000}, data(8)}), 16000},
      {"format chunk cut short", truncated(riffWave({monoFormat(), data(8)}), 12 + 8 + 15), 16000},
      {"stereo", riffWave({{"fmt ", formatBody(kPcm, 2, 16000, 16)}, data(8)}), 16000},
      {"8-bit", riffWave({{"fmt ", formatBody(kPcm, 1, 16000, 8)}, data(8)}), 16000},
      {"float samples", riffWave({{"fmt ", formatBody(kFloat, 1, 16000, 32)}, data(8)}), 16000},
      {"other rate", riffWave({monoFormat(44100), data(8)}), 16000},
      {"extensible with float sub-format",
       riffWave({{"fmt ", extensibleFormatBody(kFloat, 1, 16000, 16)}, data(8)}), 16000},
      {"extensible chunk shorter than 40 bytes", riffWave({{"fmt ", shortExtensible}, data(8)}), 16000},
      {"a later format chunk refuses an accepted one",
       riffWave({monoFormat(), {"fmt ", formatBody(kPcm, 2, 16000, 16)}, data(8)}), 16000},
      {"negative required rate", riffWave({monoFormat(), data(8)}), -16000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PcmWavLayout::parse(c.bytes, c.rate), std::nullopt);
  }
}

}  // namespace
}  // namespace tesselaudio
