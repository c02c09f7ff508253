#include "speech/Shared/AudioSourceFactory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys/SystemLog.h"
#include "speech/Shared/AudioSourceError.h"
#include "speech/Shared/AudioWAV.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/RiffBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Level = platform::SystemLog::Level;

void writeBytes(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeWav(const std::filesystem::path& path, const std::vector<float>& samples, double rate) {
  const auto image = AudioWAV::data(samples, rate, false);
  writeBytes(path, std::as_bytes(std::span(image)));
}

std::vector<float> readAll(const AudioSampleSource& source) {
  std::vector<float> samples(static_cast<std::size_t>(source.sampleCount()));
  source.copySamples(samples.data(), 0, source.sampleCount());
  return samples;
}

// Points $TMPDIR at a folder of the test's own, so that the test sees exactly the temporary files
// the factory makes and leaves.
class AudioSourceFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tmp = std::getenv("TMPDIR")) savedTmpdir_ = tmp;
    std::filesystem::create_directory(temporary());
    setenv("TMPDIR", temporary().c_str(), 1);
  }
  void TearDown() override {
    if (savedTmpdir_) setenv("TMPDIR", savedTmpdir_->c_str(), 1);
    else unsetenv("TMPDIR");
  }

  std::filesystem::path temporary() const { return folder_ / "tmp"; }

  std::vector<std::filesystem::path> temporaryFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(temporary())) files.push_back(entry.path());
    return files;
  }

  // The factory's log lines at `level`.
  std::vector<std::string> lines(Level level) const {
    std::vector<std::string> found;
    for (const auto& record : log_.records()) {
      if (record.category == "AudioSourceFactory" && record.level == level) found.push_back(record.message);
    }
    return found;
  }

  // The error of a call that must fail.
  AudioSourceError failure(const std::filesystem::path& url, std::int64_t rate = 16000) {
    try {
      factory_.makeDiskBackedSource(url, rate);
    } catch (const AudioSourceError& e) {
      return e;
    }
    ADD_FAILURE() << "no error for " << url;
    return AudioSourceError::processingFailed("none");
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
  AudioSourceFactory factory_;
  std::optional<std::string> savedTmpdir_;
};

TEST_F(AudioSourceFactoryTest, MonoSixteenBitWavAtTheRateIsMappedInPlace) {
  const std::vector<float> written = testsupport::sine(440, 16000, 1000);
  writeWav(folder_ / "Meeting.WAV", written, 16000);

  const auto [source, loadDuration] = factory_.makeDiskBackedSource(folder_ / "Meeting.WAV", 16000);
  EXPECT_EQ(source.encoding(), DiskBackedAudioSampleSource::Encoding::pcm16(44));
  EXPECT_EQ(source.temporaryFileURL(), std::nullopt);
  EXPECT_EQ(source.sampleCount(), 1000);
  EXPECT_TRUE(source.mappedData()->isMapped());
  EXPECT_GE(loadDuration, 0.0);
  EXPECT_TRUE(temporaryFiles().empty());
  EXPECT_EQ(lines(Level::debug), std::vector<std::string>{"Mapped PCM wav in place: 1000 samples"});

  const std::vector<float> read = readAll(source);
  for (std::size_t i = 0; i < written.size(); ++i) {
    ASSERT_EQ(read[i], std::trunc(written[i] * 32767.0f) / 32768.0f) << i;
  }
}

TEST_F(AudioSourceFactoryTest, OtherWavFilesGoThroughATemporaryFile) {
  const std::vector<float> tone = testsupport::sine(1000, 44100, 44100);
  writeWav(folder_ / "mono16k.wav", testsupport::sine(1000, 16000, 16000), 16000);
  writeWav(folder_ / "mono44k.wav", tone, 44100);
  std::vector<std::int16_t> interleaved;
  for (float v : testsupport::sine(1000, 16000, 16000)) {
    interleaved.push_back(static_cast<std::int16_t>(v * 32767.0f));
    interleaved.push_back(static_cast<std::int16_t>(v * 32767.0f));
  }
  writeBytes(folder_ / "stereo.wav",
             testsupport::riffWave({{"fmt ", testsupport::formatBody(1, 2, 16000, 16)},
                                    {"data", testsupport::pcm16(interleaved)}}));
  struct Case {
    const char* name;
    const char* file;
    std::int64_t rate;
  };
  const Case cases[] = {
      {"asked for another rate", "mono16k.wav", 8000},
      {"44.1 kHz", "mono44k.wav", 16000},
      {"stereo", "stereo.wav", 16000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [source, loadDuration] = factory_.makeDiskBackedSource(folder_ / c.file, c.rate);
    ASSERT_TRUE(source.temporaryFileURL());
    EXPECT_EQ(source.temporaryFileURL()->parent_path(), temporary());
    EXPECT_EQ(source.encoding(), DiskBackedAudioSampleSource::Encoding::float32());
    // One second of audio at the asked rate.
    EXPECT_NEAR(static_cast<double>(source.sampleCount()), static_cast<double>(c.rate), c.rate * 0.01);
    const std::vector<float> samples = readAll(source);
    EXPECT_GT(testsupport::toneMagnitude(samples, 1000, static_cast<double>(c.rate)),
              10 * testsupport::toneMagnitude(samples, 1500, static_cast<double>(c.rate)));
    source.cleanup();
    EXPECT_TRUE(temporaryFiles().empty());
  }
  EXPECT_THAT(lines(Level::debug), Not(Contains(StartsWith("Mapped PCM wav in place"))));
}

TEST_F(AudioSourceFactoryTest, AacBecomesARawFloatFileOfExactlyTheSamplesWritten) {
  const std::size_t frames = 2.5 * 44100;
  testsupport::writeAac(folder_ / "talk.m4a", 44100,
                        {testsupport::sine(1000, 44100, frames), testsupport::sine(1000, 44100, frames)});

  const auto before = std::chrono::steady_clock::now();
  const auto [source, loadDuration] = factory_.makeDiskBackedSource(folder_ / "talk.m4a", 16000);
  const double outer = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
  EXPECT_GE(loadDuration, 0.0);
  EXPECT_LE(loadDuration, outer);

  ASSERT_TRUE(source.temporaryFileURL());
  const std::filesystem::path file = *source.temporaryFileURL();
  EXPECT_EQ(file.parent_path(), temporary());
  EXPECT_TRUE(std::regex_match(
      file.filename().string(),
      std::regex("tesselaudio-streaming-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.raw")))
      << file;
  EXPECT_NEAR(static_cast<double>(source.sampleCount()), 40000.0, 400.0);
  EXPECT_EQ(std::filesystem::file_size(file), 4 * static_cast<std::uintmax_t>(source.sampleCount()));

  const std::string count = std::to_string(source.sampleCount());
  EXPECT_EQ(lines(Level::debug), (std::vector<std::string>{
                                     "Streaming conversion 44100.0Hz×2ch → 16000.0Hz×1ch",
                                     "Streaming audio temp file size=" + std::to_string(4 * source.sampleCount()) +
                                         " bytes",
                                     "Streaming audio total samples=" + count,
                                 }));
  EXPECT_TRUE(lines(Level::warning).empty());
  const std::vector<float> samples = readAll(source);
  EXPECT_GT(testsupport::toneMagnitude(samples, 1000, 16000), 10 * testsupport::toneMagnitude(samples, 1500, 16000));

  source.cleanup();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(AudioSourceFactoryTest, CallsOnSeveralThreadsGetFilesOfTheirOwn) {
  testsupport::writeAac(folder_ / "short.m4a", 48000, {testsupport::sine(440, 48000, 24000)});
  std::vector<std::optional<AudioSourceFactory::Result>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] { result = factory_.makeDiskBackedSource(folder_ / "short.m4a", 16000); });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::filesystem::path> files;
  for (const auto& result : results) {
    ASSERT_TRUE(result && result->source.temporaryFileURL());
    files.insert(*result->source.temporaryFileURL());
    EXPECT_EQ(readAll(result->source), readAll(results[0]->source));
  }
  EXPECT_EQ(files.size(), results.size());
  for (const auto& result : results) result->source.cleanup();
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(AudioSourceFactoryTest, FailuresCarryTheirMessageAndLeaveNoTemporaryFile) {
  std::filesystem::create_directory(folder_ / "folder.wav");
  std::vector<std::byte> noise(4000);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::byte>((i * 7919) % 251);
  writeBytes(folder_ / "noise.m4a", noise);
  writeBytes(folder_ / "noise.wav", noise);
  writeWav(folder_ / "fine.wav", testsupport::sine(440, 16000, 1600), 16000);

  struct Case {
    const char* name;
    const char* file;
    std::int64_t rate;
    std::string messageStart;
  };
  const Case cases[] = {
      // The file layer's message, not the decoder's ("cannot open audio file"): no second try.
      {"missing wav", "missing.wav", 16000,
       "Streaming audio source creation failed: cannot open '" + (folder_ / "missing.wav").string() + "'"},
      {"folder named like a wav", "folder.wav", 16000,
       "Streaming audio source creation failed: cannot read '" + (folder_ / "folder.wav").string() + "'"},
      {"undecodable file", "noise.m4a", 16000, "Streaming audio source creation failed: cannot open audio file"},
      {"undecodable wav", "noise.wav", 16000, "Streaming audio source creation failed: cannot open audio file"},
      {"no converter for the rate", "fine.wav", 0, "Unsupported audio format <AudioFormat 16000 Hz, 1 ch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AudioSourceError error = failure(folder_ / c.file, c.rate);
    EXPECT_EQ(error.description(), "Processing failed: " + error.message());
    EXPECT_THAT(error.message(), StartsWith(c.messageStart));
    EXPECT_TRUE(temporaryFiles().empty());
  }
  EXPECT_THAT(lines(Level::error),
              Contains("Streaming audio source creation failed: cannot open '" + (folder_ / "missing.wav").string() +
                       "': No such file or directory"));
}

TEST_F(AudioSourceFactoryTest, ReadFailureMidwayFailsTheCall) {
  // Index first, then cut: the file opens and its first reads work, a later one runs into the cut.
  testsupport::writeAac(folder_ / "whole.m4a", 48000, {testsupport::sine(440, 48000, 5 * 48000)});
  testsupport::remuxIndexFirst(folder_ / "whole.m4a", folder_ / "cut.m4a");
  std::filesystem::resize_file(folder_ / "cut.m4a", std::filesystem::file_size(folder_ / "cut.m4a") / 2);

  const AudioSourceError error = failure(folder_ / "cut.m4a");
  EXPECT_THAT(error.message(), StartsWith("Failed while reading audio: cannot read audio file"));
  EXPECT_TRUE(temporaryFiles().empty());
  const auto errors = lines(Level::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Streaming conversion failed before file mapping: " + error.description());
}

TEST_F(AudioSourceFactoryTest, MissingTemporaryFolderIsReportedWithThePath) {
  testsupport::writeAac(folder_ / "short.m4a", 48000, {testsupport::sine(440, 48000, 4800)});
  std::filesystem::remove(temporary());
  const AudioSourceError error = failure(folder_ / "short.m4a");
  EXPECT_THAT(error.message(), StartsWith("Failed to create temporary audio buffer at " +
                                          (temporary() / "tesselaudio-streaming-").string()));
  EXPECT_THAT(error.message(), HasSubstr(".raw"));
}

}  // namespace
}  // namespace tesselaudio
