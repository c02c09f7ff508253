#include "speech/Shared/AudioWAV.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace tesselaudio {
namespace {

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& b) {
  std::vector<std::int16_t> out;
  for (std::size_t at = 44; at + 1 < b.size(); at += 2) out.push_back(static_cast<std::int16_t>(u16(b, at)));
  return out;
}

TEST(AudioWAVTest, HeaderDescribesSixteenBitMono) {
  const auto bytes = AudioWAV::data({0.5f, -2.0f, 1.0f}, 16000, false);
  ASSERT_EQ(bytes.size(), 50u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(u32(bytes, 4), 42u);
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(u32(bytes, 16), 16u);
  EXPECT_EQ(u16(bytes, 20), 1u);
  EXPECT_EQ(u16(bytes, 22), 1u);
  EXPECT_EQ(u32(bytes, 24), 16000u);
  EXPECT_EQ(u32(bytes, 28), 32000u);
  EXPECT_EQ(u16(bytes, 32), 2u);
  EXPECT_EQ(u16(bytes, 34), 16u);
  EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
  EXPECT_EQ(u32(bytes, 40), 6u);
}

TEST(AudioWAVTest, SamplesAreScaledClampedAndTruncated) {
  struct Case {
    const char* name;
    std::vector<float> in;
    bool normalize;
    std::vector<std::int16_t> expected;
  };
  const Case cases[] = {
      {"as given", {0.5f, -2.0f, 1.0f}, false, {16383, -32767, 32767}},
      {"normalised by the peak 2.0", {0.5f, -2.0f, 1.0f}, true, {8191, -32767, 16383}},
      {"silence stays silent when normalised", {0.0f, 0.0f}, true, {0, 0}},
      {"not a number reads as full scale", {std::nanf("")}, false, {32767}},
      {"truncation toward zero", {-0.00002f, 0.99999f}, false, {0, 32766}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(samplesOf(AudioWAV::data(c.in, 16000, c.normalize)), c.expected);
  }
}

TEST(AudioWAVTest, NoSamplesGiveTheBareHeader) {
  const auto bytes = AudioWAV::data({}, 22050.7, true);
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(u32(bytes, 4), 36u);
  EXPECT_EQ(u32(bytes, 24), 22050u);
  EXPECT_EQ(u32(bytes, 28), 44101u);
  EXPECT_EQ(u32(bytes, 40), 0u);
}

}  // namespace
}  // namespace tesselaudio
