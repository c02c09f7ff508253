#include "DevadEvev/FileTranscriber.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/AudioError.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace devadevev {
namespace {

using FileTranscriber::Range;
using testsupport::ScriptedSpeechBackend;
using Sentence = LiveTranscriber::Sentence;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::vector<std::string> kScript = {"一つ目です。", "二つ目？", "三つ目！", "四つ目。",
                                          "五つ目。",     "六つ目。", "七つ目。", "八つ目。"};

std::vector<double> startsOf(const std::vector<Sentence>& sentences) {
  std::vector<double> starts;
  for (const auto& s : sentences) starts.push_back(s.start.value_or(-1));
  return starts;
}

void expectStartsNear(const std::vector<Sentence>& sentences, const std::vector<double>& expected) {
  const auto starts = startsOf(sentences);
  ASSERT_EQ(starts.size(), expected.size()) << ::testing::PrintToString(starts);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    EXPECT_NEAR(starts[i], expected[i], 0.03) << "sentence " << i;
  }
}

class FileTranscriberTest : public ::testing::Test {
 protected:
  // A mono file of silence with bursts beginning at `starts`, written with `encoder` ("aac":
  // the audio layer's AAC writer).
  std::filesystem::path burstFile(const char* name, double rate, double seconds,
                                  const std::vector<double>& starts, const char* encoder = "aac") {
    const auto path = folder_ / name;
    const auto track = testsupport::bursts(rate, seconds, starts);
    if (std::string(encoder) == "aac") {
      testsupport::writeAac(path, rate, {track});
    } else {
      testsupport::writeEncoded(path, rate, {track}, encoder);
    }
    return path;
  }

  std::vector<Sentence> transcribe(const std::filesystem::path& file, const std::vector<Range>& ranges,
                                   std::stop_token stop = {},
                                   const FileTranscriber::Conversion& conversion = {}) {
    return FileTranscriber::transcribe(
        file, ranges, [this](double p) { progress_.push_back(p); }, stop, conversion);
  }

  ScriptedSpeechBackend& backend() { return *installation_->backend; }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<ScriptedSpeechBackend::Installation> installation_ =
      std::make_unique<ScriptedSpeechBackend::Installation>(
          std::make_shared<ScriptedSpeechBackend>(kScript));
  std::vector<double> progress_;
};

TEST_F(FileTranscriberTest, EmptyRangesTouchNeitherFileNorRecogniser) {
  installation_.reset();  // touching the recogniser would now throw
  EXPECT_TRUE(transcribe(folder_ / "missing.m4a", {}).empty());
  EXPECT_TRUE(progress_.empty());
}

TEST_F(FileTranscriberTest, WholeFileGivesEverySentenceAtItsPlace) {
  struct Case {
    const char* name;
    const char* file;
    double rate;
    const char* encoder;
  };
  const Case cases[] = {
      {"aac", "bursts.m4a", 48000, "aac"},
      {"wav", "bursts.wav", 44100, "pcm_s16le"},
      {"mp3", "bursts.mp3", 48000, "libmp3lame"},
  };
  const std::vector<double> bursts = {1.0, 5.3, 9.7, 14.2};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    progress_.clear();
    const auto file = burstFile(c.file, c.rate, 17, bursts, c.encoder);
    const auto sentences = transcribe(file, {{0, 17}});

    expectStartsNear(sentences, bursts);
    std::vector<std::string> texts;
    for (const auto& s : sentences) texts.push_back(s.text);
    EXPECT_EQ(texts, std::vector<std::string>(kScript.begin(), kScript.begin() + 4));

    ASSERT_GE(progress_.size(), 2u);
    EXPECT_EQ(progress_.back(), 1.0);
    EXPECT_EQ(std::count(progress_.begin(), progress_.end(), 1.0), 1);
    EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
    EXPECT_LE(progress_[progress_.size() - 2], 0.95);
    EXPECT_GT(progress_.front(), 0.0);
  }
}

TEST_F(FileTranscriberTest, LaterRangesKeepTheirTimesInTheFile) {
  const auto file = burstFile("long.m4a", 48000, 60, {3, 12, 15.5, 30, 42, 46.5, 55});
  const auto sentences = transcribe(file, {{10, 20}, {40, 50}});
  expectStartsNear(sentences, {12, 15.5, 42, 46.5});
  EXPECT_GE(sentences.at(2).start.value_or(0), 40.0);
}

TEST_F(FileTranscriberTest, RangesEndAtTheFileAndEmptyOnesAddNothing) {
  // At 16 kHz the analyzer's inputs have as many frames as the chunks read.
  const auto file = burstFile("short.wav", 16000, 20, {2, 16, 18.5}, "pcm_s16le");
  const auto sentences = transcribe(file, {{5, 5}, {15, 100}});
  expectStartsNear(sentences, {16, 18.5});

  const auto inputs = backend().receivedInputs();
  ASSERT_FALSE(inputs.empty());
  EXPECT_EQ(inputs.front().frames, 16384u);
  EXPECT_EQ(inputs.front().bufferStartTime, 15.0);
  for (const auto& input : inputs) EXPECT_LE(input.frames, 16384u);
  std::uint64_t total = 0;
  for (const auto& input : inputs) total += input.frames;
  EXPECT_EQ(total, 5u * 16000);
}

TEST_F(FileTranscriberTest, BadBoundsAreSkippedOrClampedToTheFile) {
  struct Case {
    const char* name;
    Range range;
    std::vector<double> starts;  // after the sentence of the good range before it
  };
  const Case cases[] = {
      {"NaN lower bound", {kNaN, 5}, {}},
      {"NaN upper bound", {0, kNaN}, {}},
      {"reversed", {8, 2}, {}},
      {"infinite lower bound", {kInf, kInf}, {}},
      {"far beyond the file", {1e300, 2e300}, {}},
      {"upper bound minus infinity", {0, -kInf}, {}},
      {"infinite upper bound", {5, kInf}, {6}},
      {"negative lower bound, overlapping", {-5, 3}, {1}},
      {"everything", {-kInf, kInf}, {1, 6}},
  };
  const auto file = burstFile("ten.m4a", 48000, 10, {1, 6});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    progress_.clear();
    auto expected = c.starts;
    expected.insert(expected.begin(), 1.0);
    const auto sentences = transcribe(file, {{0.5, 3}, c.range});
    expectStartsNear(sentences, expected);
    EXPECT_EQ(progress_.back(), 1.0);
    for (double p : progress_) EXPECT_TRUE(p >= 0 && p <= 1) << p;
  }
}

TEST_F(FileTranscriberTest, AChunkThatFailsToConvertLeavesLaterSentencesInPlace) {
  const std::vector<double> bursts = {1, 5, 9, 13};
  const auto file = burstFile("gap.m4a", 48000, 15, bursts);
  int calls = 0;
  FileTranscriber::Conversion conversion;
  conversion.convert = [&](platform::Converter& converter, platform::PcmBuffer& output,
                           const platform::Converter::InputBlock& input) {
    // The sixth chunk, silence after the first burst, cannot be converted.
    if (++calls == 6) return platform::Converter::OutputStatus::error;
    return converter.convert(output, input);
  };
  const auto sentences = transcribe(file, {{0, 15}}, {}, conversion);
  expectStartsNear(sentences, bursts);

  // The input after the gap carries its own place in the file.
  const auto inputs = backend().receivedInputs();
  ASSERT_GE(inputs.size(), 6u);
  EXPECT_EQ(inputs[0].bufferStartTime, 0.0);
  EXPECT_EQ(inputs[5].bufferStartTime, 6 * 16384 / 48000.0);
  for (std::size_t i = 1; i < inputs.size(); ++i) {
    if (i != 5) {
      EXPECT_FALSE(inputs[i].bufferStartTime) << i;
    }
  }
}

TEST_F(FileTranscriberTest, CancellingStopsWithinOneChunkAndLeavesNothingRunning) {
  const auto file = burstFile("hour.wav", 48000, 120, {1, 50, 100}, "pcm_s16le");
  std::stop_source stop;
  std::vector<double> seen;
  try {
    FileTranscriber::transcribe(
        file, {{0, 120}},
        [&](double p) {
          seen.push_back(p);
          stop.request_stop();
        },
        stop.get_token());
    ADD_FAILURE() << "a cancelled call returned";
  } catch (const platform::CancellationError&) {
  }
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(backend().runningRecognitions(), 0);
  EXPECT_EQ(backend().receivedInputs().size(), 1u);
}

TEST_F(FileTranscriberTest, FailuresThrowAndLeaveNothingRunning) {
  const auto good = burstFile("good.m4a", 48000, 3, {1});
  std::ofstream(folder_ / "notes.m4a") << "meeting notes, not audio\n";
  std::ofstream(folder_ / "empty.m4a");
  std::filesystem::create_directory(folder_ / "folder.m4a");
  testsupport::remuxIndexFirst(burstFile("whole.m4a", 48000, 10, {1, 6}), folder_ / "cut.m4a");
  std::filesystem::resize_file(folder_ / "cut.m4a", std::filesystem::file_size(folder_ / "cut.m4a") / 2);
  {
    // A CAF header whose stream reports 0 Hz.
    const unsigned char caf[] = {
        'c', 'a', 'f', 'f', 0, 1, 0, 0,                                         // file header
        'd', 'e', 's', 'c', 0, 0, 0, 0, 0, 0, 0, 32,                            // chunk, 32 bytes
        0, 0, 0, 0, 0, 0, 0, 0,                                                 // 0.0 Hz
        'l', 'p', 'c', 'm', 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 16,
        'd', 'a', 't', 'a', 0, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::ofstream(folder_ / "zero.caf", std::ios::binary)
        .write(reinterpret_cast<const char*>(caf), sizeof caf);
  }

  enum class Backend { scripted, none, noFormat, failingResults };
  struct Case {
    const char* name;
    Backend backend;
    std::filesystem::path file;
    bool noConverter;
    const char* domain;
    int code;
  };
  const char* failure = "DevadEvev.LiveTranscriber.Failure";
  const char* audio = "platform.audio";
  const Case cases[] = {
      {"no speech backend", Backend::none, good, false, failure, LiveTranscriber::Failure::unsupportedLocale},
      {"backend without a format", Backend::noFormat, good, false, failure, LiveTranscriber::Failure::noFormat},
      {"no converter", Backend::scripted, good, true, failure, LiveTranscriber::Failure::noFormat},
      {"stream of 0 Hz", Backend::scripted, folder_ / "zero.caf", false, failure, LiveTranscriber::Failure::noFormat},
      {"missing file", Backend::scripted, folder_ / "missing.m4a", false, audio, platform::AudioError::cannotOpen},
      {"not audio", Backend::scripted, folder_ / "notes.m4a", false, audio, platform::AudioError::cannotOpen},
      {"empty file", Backend::scripted, folder_ / "empty.m4a", false, audio, platform::AudioError::cannotOpen},
      {"directory", Backend::scripted, folder_ / "folder.m4a", false, audio, platform::AudioError::cannotOpen},
      {"cut file", Backend::scripted, folder_ / "cut.m4a", false, audio, platform::AudioError::readFailed},
      {"recogniser fails", Backend::failingResults, good, false, "tests.speech", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    installation_.reset();
    if (c.backend != Backend::none) {
      const auto directive = c.backend == Backend::noFormat ? ScriptedSpeechBackend::Directive::noAudioFormat
                             : c.backend == Backend::failingResults
                                 ? ScriptedSpeechBackend::Directive::failingResults
                                 : ScriptedSpeechBackend::Directive::none;
      installation_ = std::make_unique<ScriptedSpeechBackend::Installation>(
          std::make_shared<ScriptedSpeechBackend>(kScript, directive, 0));
    }
    FileTranscriber::Conversion conversion;
    if (c.noConverter) {
      conversion.makeConverter = [](const platform::AudioFormat&, const platform::AudioFormat&) {
        return std::unique_ptr<platform::Converter>();
      };
    }
    progress_.clear();
    try {
      transcribe(c.file, {{0, 10}}, {}, conversion);
      ADD_FAILURE() << "no error";
    } catch (const platform::Error& e) {
      EXPECT_EQ(e.domain(), c.domain) << e.description();
      EXPECT_EQ(e.code(), c.code) << e.description();
      if (c.file != good && std::string(c.domain) == audio) {
        EXPECT_NE(e.description().find(c.file.filename().string()), std::string::npos)
            << e.description();
      }
    }
    EXPECT_EQ(std::count(progress_.begin(), progress_.end(), 1.0), 0);
    if (installation_) {
      EXPECT_EQ(backend().runningRecognitions(), 0);
    }
  }
  EXPECT_EQ(LiveTranscriber::Failure(LiveTranscriber::Failure::noFormat).description(),
            "音声認識の入力形式を準備できませんでした。");
}

TEST_F(FileTranscriberTest, MissingSpeechModelsAreInstalledFirst) {
  installation_.reset();
  installation_ = std::make_unique<ScriptedSpeechBackend::Installation>(
      std::make_shared<ScriptedSpeechBackend>(kScript, ScriptedSpeechBackend::Directive::missingAssets));
  const auto sentences = transcribe(burstFile("a.m4a", 48000, 3, {1}), {{0, 3}});
  EXPECT_EQ(backend().installCount(), 1);
  expectStartsNear(sentences, {1});
}

}  // namespace
}  // namespace devadevev
