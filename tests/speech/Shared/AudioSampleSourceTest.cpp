#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/sys/MappedFile.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "speech/Shared/AudioSource.h"
#include "speech/Shared/DiskBackedAudioSampleSource.h"
#include "speech/Shared/PcmWavLayout.h"
#include "tests/support/RiffBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using Encoding = DiskBackedAudioSampleSource::Encoding;

constexpr float kUntouched = -7.0f;

void writeFile(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// 20 samples k / 32 (k = 0 .. 19): exact as floats and as 16-bit values (k × 1024).
std::vector<float> ramp() {
  std::vector<float> samples;
  for (int k = 0; k < 20; ++k) samples.push_back(static_cast<float>(k) / 32.0f);
  return samples;
}

class AudioSampleSourceTest : public ::testing::Test {
 protected:
  // The same 20 samples behind each kind of source.
  std::vector<std::pair<const char*, std::shared_ptr<AudioSampleSource>>> sources() {
    const std::vector<float> samples = ramp();
    std::vector<std::int16_t> pcm;
    for (float v : samples) pcm.push_back(static_cast<std::int16_t>(v * 32768.0f));
    const auto wav = testsupport::riffWave(
        {{"fmt ", testsupport::formatBody(1, 1, 16000, 16)}, {"data", testsupport::pcm16(pcm)}});
    writeFile(folder_ / "ramp.wav", wav);
    auto wavBytes = platform::MappedFile::mapIfSafe(folder_ / "ramp.wav");
    const auto layout = PcmWavLayout::parse(wavBytes->bytes(), 16000);

    writeFile(folder_ / "ramp.raw", std::as_bytes(std::span(samples)));
    return {
        {"array", std::make_shared<ArrayAudioSampleSource>(samples)},
        {"pcm16", std::make_shared<DiskBackedAudioSampleSource>(wavBytes, Encoding::pcm16(layout->dataOffset),
                                                                std::nullopt, layout->sampleCount)},
        {"float32", std::make_shared<DiskBackedAudioSampleSource>(
                        platform::MappedFile::mapIfSafe(folder_ / "ramp.raw"), folder_ / "ramp.raw")},
    };
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(AudioSampleSourceTest, CopiesKeepTheirBoundsForEverySource) {
  const std::vector<float> samples = ramp();
  struct Case {
    const char* name;
    std::int64_t offset;
    std::int64_t count;
    std::int64_t firstCopied;  // source index of destination[0]
    std::int64_t copied;
  };
  const Case cases[] = {
      {"from the start", 0, 20, 0, 20},
      {"middle", 5, 4, 5, 4},
      {"negative offset reads from the start with the same count", -5, 10, 0, 10},
      {"offset at the end copies nothing", 20, 10, 0, 0},
      {"offset past the end copies nothing", 1000, 10, 0, 0},
      {"three left leave the rest untouched", 17, 10, 17, 3},
      {"count of zero", 3, 0, 0, 0},
      {"negative count", 3, -4, 0, 0},
  };
  for (const auto& [kind, source] : sources()) {
    ASSERT_EQ(source->sampleCount(), 20) << kind;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kind) + ": " + c.name);
      std::vector<float> destination(12, kUntouched);
      source->copySamples(destination.data(), c.offset, std::min<std::int64_t>(c.count, 12));
      for (std::int64_t i = 0; i < 12; ++i) {
        const float expected = i < c.copied ? samples[c.firstCopied + i] : kUntouched;
        EXPECT_EQ(destination[i], expected) << i;
      }
    }
  }
}

TEST_F(AudioSampleSourceTest, EmptySourcesCopyNothing) {
  writeFile(folder_ / "empty.raw", {});
  const std::pair<const char*, std::shared_ptr<AudioSampleSource>> empty[] = {
      {"array", std::make_shared<ArrayAudioSampleSource>(std::vector<float>{})},
      {"float32", std::make_shared<DiskBackedAudioSampleSource>(
                      platform::MappedFile::mapIfSafe(folder_ / "empty.raw"), folder_ / "empty.raw")},
  };
  for (const auto& [kind, source] : empty) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(source->sampleCount(), 0);
    float destination = kUntouched;
    source->copySamples(&destination, 0, 1);
    source->copySamples(&destination, -1, 1);
    EXPECT_EQ(destination, kUntouched);
  }
}

TEST_F(AudioSampleSourceTest, Pcm16ReadsAsTwoToTheMinusFifteenthPerStep) {
  const std::vector<std::int16_t> values = {-32768, 16384, 32767, -1, 0, 1};
  writeFile(folder_ / "edges.wav", testsupport::riffWave({{"fmt ", testsupport::formatBody(1, 1, 16000, 16)},
                                                         {"data", testsupport::pcm16(values)}}));
  DiskBackedAudioSampleSource source(platform::MappedFile::mapIfSafe(folder_ / "edges.wav"),
                                     Encoding::pcm16(44), std::nullopt, 6);
  std::vector<float> read(6);
  source.copySamples(read.data(), 0, 6);
  EXPECT_EQ(read, (std::vector<float>{-1.0f, 0.5f, 32767.0f / 32768.0f, -1.0f / 32768.0f, 0.0f,
                                      1.0f / 32768.0f}));
}

TEST_F(AudioSampleSourceTest, RawFloatSourceCountsWholeFloatsAndOwnsItsFile) {
  const std::byte tenBytes[10] = {};
  writeFile(folder_ / "ten.raw", tenBytes);
  DiskBackedAudioSampleSource source(platform::MappedFile::mapIfSafe(folder_ / "ten.raw"), folder_ / "ten.raw");
  EXPECT_EQ(source.sampleCount(), 2);
  EXPECT_EQ(source.encoding(), Encoding::float32());
  EXPECT_EQ(source.temporaryFileURL(), folder_ / "ten.raw");
}

TEST_F(AudioSampleSourceTest, CopiesShareBytesAndFileAndAnyOfThemCleansUp) {
  const std::vector<float> samples = ramp();
  writeFile(folder_ / "shared.raw", std::as_bytes(std::span(samples)));
  const DiskBackedAudioSampleSource original(platform::MappedFile::mapIfSafe(folder_ / "shared.raw"),
                                             folder_ / "shared.raw");
  const DiskBackedAudioSampleSource copy = original;
  EXPECT_EQ(copy.mappedData(), original.mappedData());

  copy.cleanup();
  EXPECT_FALSE(std::filesystem::exists(folder_ / "shared.raw"));
  // The bytes stay readable through every copy until the last one goes.
  std::vector<float> read(20);
  original.copySamples(read.data(), 0, 20);
  EXPECT_EQ(read, samples);
  // Already gone: both quietly do nothing.
  original.cleanup();
  copy.cleanup();
}

TEST_F(AudioSampleSourceTest, CleanupWithoutTemporaryFileLeavesTheFile) {
  auto all = sources();
  const auto& pcm = dynamic_cast<const DiskBackedAudioSampleSource&>(*all[1].second);
  ASSERT_FALSE(pcm.temporaryFileURL());
  pcm.cleanup();
  pcm.cleanup();
  EXPECT_TRUE(std::filesystem::exists(folder_ / "ramp.wav"));
}

TEST(AudioSourceTest, TwoDistinctCasesUsableAsKeys) {
  std::unordered_map<AudioSource, int> streams{{AudioSource::microphone, 1}, {AudioSource::system, 2}};
  EXPECT_EQ(streams.size(), 2u);
  EXPECT_NE(AudioSource::microphone, AudioSource::system);
}

}  // namespace
}  // namespace tesselaudio
