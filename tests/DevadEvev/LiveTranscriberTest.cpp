#include "DevadEvev/LiveTranscriber.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "DevadEvev/RecordingWriter.h"
#include "platform/audio/FileAudioInput.h"
#include "platform/audio/GeneratorAudioInput.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sys/Error.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace devadevev {
namespace {

using platform::AttributedString;
using Sentence = LiveTranscriber::Sentence;
using testsupport::ScriptedSpeechBackend;

constexpr double kRate = 48000;
constexpr std::size_t kTap = 4096;

// Silence with 440 Hz bursts of `burstSeconds` starting at each of `starts` (seconds).
std::vector<float> burstTrack(double totalSeconds, const std::vector<double>& starts,
                              double burstSeconds = 0.6) {
  std::vector<float> track(std::size_t(totalSeconds * kRate), 0.0f);
  for (double start : starts) {
    const auto first = std::size_t(start * kRate);
    const auto count = std::size_t(burstSeconds * kRate);
    for (std::size_t i = 0; i < count && first + i < track.size(); ++i)
      track[first + i] = 0.3f * float(std::sin(2 * M_PI * 440 * double(i) / kRate));
  }
  return track;
}

// The tap buffer of `track` that starts at frame `at`.
std::unique_ptr<platform::PcmBuffer> tapBuffer(const std::vector<float>& track, std::size_t at,
                                               double rate = kRate) {
  return testsupport::floatBuffer(
      rate, {std::vector<float>(track.begin() + long(at), track.begin() + long(at + kTap))});
}

// Seconds at which bursts begin in `samples`: a loud sample after at least 0.2 s of quiet.
std::vector<double> burstOnsets(const std::vector<float>& samples, double rate) {
  std::vector<double> onsets;
  std::size_t lastLoud = 0;
  bool any = false;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) < 0.05f) continue;
    if (!any || double(i - lastLoud) > 0.2 * rate) onsets.push_back(double(i) / rate);
    any = true;
    lastLoud = i;
  }
  return onsets;
}

// What the owner's callbacks receive, from whichever thread.
struct Received {
  std::mutex mutex;
  std::vector<LiveTranscriber::Update> updates;
  std::vector<std::string> errors;
  std::vector<std::string> progress;

  LiveTranscriber::UpdateHandler onUpdate() {
    return [this](const LiveTranscriber::Update& u) {
      std::scoped_lock lock(mutex);
      updates.push_back(u);
    };
  }
  LiveTranscriber::TextHandler onError() {
    return [this](const std::string& e) {
      std::scoped_lock lock(mutex);
      errors.push_back(e);
    };
  }
  LiveTranscriber::TextHandler onProgress() {
    return [this](const std::string& p) {
      std::scoped_lock lock(mutex);
      progress.push_back(p);
    };
  }
  std::vector<Sentence> sentences() {
    std::scoped_lock lock(mutex);
    std::vector<Sentence> all;
    for (const auto& u : updates) all.insert(all.end(), u.sentences.begin(), u.sentences.end());
    return all;
  }
  std::vector<LiveTranscriber::Update> all() {
    std::scoped_lock lock(mutex);
    return updates;
  }
};

const std::vector<std::string> kScript = {"一つ目の文です。", "二つ目？", "三つ目！"};

class LiveTranscriberTest : public ::testing::Test {
 protected:
  // A transcriber on a silent generator, prepared on the scripted backend, writing a recording.
  std::unique_ptr<LiveTranscriber> preparedTranscriber(
      std::unique_ptr<platform::AudioEngine> engine = nullptr,
      LiveTranscriber::ConverterFactory factory = nullptr) {
    if (!engine)
      engine = std::make_unique<platform::AudioEngine>(
          std::make_unique<platform::GeneratorAudioInput>(kRate, 1, 0, nullptr));
    auto live = std::make_unique<LiveTranscriber>(std::move(engine), std::move(factory));
    writer_ = std::make_shared<RecordingWriter>(folder_ / "recording.m4a");
    live->setRecorder(writer_);
    live->prepare(received_.onUpdate(), received_.onProgress(), received_.onError());
    return live;
  }

  std::vector<float> writtenSamples() {
    return testsupport::readAudioFile(folder_ / "recording.m4a").channels.at(0);
  }

  testsupport::TemporaryFolder folder_;
  ScriptedSpeechBackend::Installation backend_{std::make_shared<ScriptedSpeechBackend>(kScript)};
  std::shared_ptr<RecordingWriter> writer_;
  Received received_;
};

AttributedString::Run timed(std::string text, double start, double duration) {
  return {std::move(text), AttributedString::TimeRange{start, duration}};
}
AttributedString::Run untimed(std::string text) { return {std::move(text), std::nullopt}; }

TEST(LiveTranscriberSentencesTest, CutsAfterTerminatorsWithTimesOfTimedRuns) {
  struct Case {
    const char* name;
    AttributedString text;
    std::vector<Sentence> expected;
  };
  const Case cases[] = {
      {"two clauses",
       {{timed("今日は", 0, 1), timed("晴れ。", 1, 1), timed(" 明日", 2.5, 0.5), timed("は？", 3, 1)}},
       {{"今日は晴れ。", 0, 2}, {"明日は？", 2.5, 4}}},
      {"no terminator", {{timed(" 話の途中 ", 1, 2), timed("です", 3, 1)}}, {{"話の途中 です", 1, 4}}},
      {"only blanks", {{timed("  ", 0, 1), untimed("\n\t ")}}, {}},
      {"empty", {}, {}},
      {"runs without times", {{untimed("はい。"), untimed("いいえ")}},
       {{"はい。", std::nullopt, std::nullopt}, {"いいえ", std::nullopt, std::nullopt}}},
      {"sentence after a terminator mid-run takes the next timed run",
       {{timed("そう。で", 0, 1), untimed("も"), timed("ね", 4, 1)}},
       {{"そう。", 0, 1}, {"でもね", 4, 5}}},
      {"no timed run after a mid-run terminator",
       {{timed("そう。でも", 0, 1), untimed("ね")}},
       {{"そう。", 0, 1}, {"でもね", std::nullopt, std::nullopt}}},
      {"full stop and ellipsis do not cut",
       {{timed("Mr. Tanaka…来ました", 0, 2)}},
       {{"Mr. Tanaka…来ました", 0, 2}}},
      {"every terminator cuts",
       {{timed("あ！い?う!え？", 0, 1)}},
       {{"あ！", 0, 1}, {"い?", std::nullopt, std::nullopt}, {"う!", std::nullopt, std::nullopt},
        {"え？", std::nullopt, std::nullopt}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LiveTranscriber::sentences(c.text), c.expected);
  }
}

TEST(LiveTranscriberFailureTest, CarriesItsJapaneseText) {
  struct Case {
    LiveTranscriber::Failure::Code code;
    const char* text;
  };
  for (const auto& c : {Case{LiveTranscriber::Failure::unsupportedLocale,
                             "日本語の音声認識モデルを読み込めませんでした。モデルの置き場所はヘルプの「ログを開く」で確かめられます。"},
                        Case{LiveTranscriber::Failure::noFormat,
                             "音声認識の入力形式を準備できませんでした。"},
                        Case{LiveTranscriber::Failure::noInput, "マイク入力を取得できませんでした。"}}) {
    const LiveTranscriber::Failure failure(c.code);
    EXPECT_EQ(failure.description(), c.text);
    EXPECT_STREQ(failure.what(), c.text);
    EXPECT_EQ(failure, LiveTranscriber::Failure(c.code));
  }
}

TEST(LiveTranscriberPrepareTest, FailsAsTheBackendAllows) {
  struct Case {
    const char* name;
    std::shared_ptr<ScriptedSpeechBackend> backend;  // null: none installed
    std::string message;
  };
  const Case cases[] = {
      {"no backend", nullptr, "日本語の音声認識モデルを読み込めませんでした。モデルの置き場所はヘルプの「ログを開く」で確かめられます。"},
      {"no format",
       std::make_shared<ScriptedSpeechBackend>(kScript, ScriptedSpeechBackend::Directive::noAudioFormat),
       "音声認識の入力形式を準備できませんでした。"},
      {"failing prepare",
       std::make_shared<ScriptedSpeechBackend>(kScript, ScriptedSpeechBackend::Directive::failingPrepare),
       "scripted prepare failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::SpeechBackend::install(c.backend);
    LiveTranscriber live(std::make_unique<platform::AudioEngine>(
        std::make_unique<platform::GeneratorAudioInput>(kRate, 1, 0, nullptr)));
    try {
      live.prepare(nullptr, nullptr, nullptr);
      ADD_FAILURE() << "prepare succeeded";
    } catch (const platform::Error& error) {
      EXPECT_EQ(error.description(), c.message);
    }
    live.cancel();
  }
  platform::SpeechBackend::install(nullptr);
}

TEST(LiveTranscriberPrepareTest, InstallsMissingAssetsWithOneProgressText) {
  auto backend = std::make_shared<ScriptedSpeechBackend>(
      kScript, ScriptedSpeechBackend::Directive::missingAssets);
  ScriptedSpeechBackend::Installation installed(backend);
  Received received;
  LiveTranscriber live(std::make_unique<platform::AudioEngine>(
      std::make_unique<platform::GeneratorAudioInput>(kRate, 1, 0, nullptr)));
  live.prepare(received.onUpdate(), received.onProgress(), received.onError());
  EXPECT_EQ(received.progress, std::vector<std::string>{"日本語の音声認識モデルを準備しています…"});
  EXPECT_EQ(backend->installCount(), 1);
  live.finish();

  // Installed now: a second recording prepares without progress.
  Received again;
  LiveTranscriber next(std::make_unique<platform::AudioEngine>(
      std::make_unique<platform::GeneratorAudioInput>(kRate, 1, 0, nullptr)));
  next.prepare(again.onUpdate(), again.onProgress(), again.onError());
  EXPECT_TRUE(again.progress.empty());
  next.finish();
}

TEST_F(LiveTranscriberTest, MicrophoneWithoutRateOrChannelsIsNoInput) {
  struct Case {
    const char* name;
    double rate;
    std::uint32_t channels;
  };
  for (const auto& c : {Case{"0 Hz", 0, 1}, Case{"0 channels", kRate, 0}}) {
    SCOPED_TRACE(c.name);
    auto live = preparedTranscriber(std::make_unique<platform::AudioEngine>(
        std::make_unique<platform::GeneratorAudioInput>(c.rate, c.channels, 1000, nullptr)));
    try {
      live->startMicrophone();
      ADD_FAILURE() << "started";
    } catch (const LiveTranscriber::Failure& failure) {
      EXPECT_EQ(failure.code(), LiveTranscriber::Failure::noInput);
      EXPECT_EQ(failure.description(), "マイク入力を取得できませんでした。");
    }
    live->cancel();
  }
}

TEST_F(LiveTranscriberTest, GateLetsOnlyAcceptedBuffersThroughInOrder) {
  // Each step feeds one tap buffer, loud ('L') or quiet ('Q'), or acts on the transcriber. The loud
  // buffers before the gate opens, while paused and after finish began must leave no trace.
  const std::string steps = "LL+LLQQQQ-LL+QQQQLLfLLf";
  const auto tone = testsupport::sine(440, kRate, steps.size() * kTap, 0.3f);

  auto live = preparedTranscriber();
  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<std::vector<float>> samplesSeen;
  std::vector<float> levels;
  live->setOnSamples([&](std::span<const float> samples, double rate) {
    std::scoped_lock lock(mutex);
    EXPECT_EQ(rate, kRate);
    calls.push_back("samples");
    samplesSeen.emplace_back(samples.begin(), samples.end());
  });
  live->setOnLevel([&](float level) {
    std::scoped_lock lock(mutex);
    calls.push_back("level");
    levels.push_back(level);
  });

  std::vector<std::vector<float>> accepted;
  bool open = false;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const char step = steps[i];
    if (step == '+' || step == '-') {
      open = step == '+';
      live->setAccepting(open);
      continue;
    }
    if (step == 'f') {
      open = false;
      live->finish();
      continue;
    }
    std::vector<float> left(kTap, 0.0f);
    if (step == 'L') std::copy_n(tone.begin() + long(i * kTap), kTap, left.begin());
    // A second channel, quiet enough not to count as speech: only channel 0 reaches the callbacks.
    live->feed(*testsupport::floatBuffer(kRate, {left, std::vector<float>(kTap, 0.002f)}));
    if (open) accepted.push_back(left);
  }

  ASSERT_EQ(accepted.size(), 12u);
  EXPECT_DOUBLE_EQ(writer_->finish(), 12.0 * kTap / kRate);
  ASSERT_EQ(samplesSeen.size(), accepted.size());
  ASSERT_EQ(calls.size(), 2 * accepted.size());
  for (std::size_t i = 0; i < accepted.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[2 * i], "samples");
    EXPECT_EQ(calls[2 * i + 1], "level");
    EXPECT_EQ(samplesSeen[i], accepted[i]);
    EXPECT_NEAR(levels[i], testsupport::rms(accepted[i], 0, kTap), 1e-4);
  }
  // The analyzer heard two bursts, the second ten accepted buffers in.
  const auto sentences = received_.sentences();
  ASSERT_EQ(sentences.size(), 2u);
  EXPECT_NEAR(*sentences[0].start, 0.0, 0.03);
  EXPECT_NEAR(*sentences[1].start, 10.0 * kTap / kRate, 0.03);
}

TEST_F(LiveTranscriberTest, NonFiniteSamplesGiveTheLevelAsComputed) {
  auto live = preparedTranscriber();
  std::vector<float> levels;
  live->setOnLevel([&](float level) { levels.push_back(level); });
  live->setAccepting(true);
  std::vector<float> samples(kTap, 0.1f);
  samples[7] = NAN;
  live->feed(*testsupport::floatBuffer(kRate, {samples}));
  samples[7] = INFINITY;
  live->feed(*testsupport::floatBuffer(kRate, {samples}));
  live->feed(*testsupport::floatBuffer(kRate, {std::vector<float>(kTap, 0.1f)}));
  live->finish();
  // The recording holds all three buffers, the non-finite samples as silence.
  EXPECT_DOUBLE_EQ(writer_->finish(), 3.0 * kTap / kRate);
  const auto written = writtenSamples();
  ASSERT_EQ(written.size(), 3 * kTap);
  for (float v : written) ASSERT_TRUE(std::isfinite(v));
  ASSERT_EQ(levels.size(), 3u);
  EXPECT_TRUE(std::isnan(levels[0]));
  EXPECT_FALSE(std::isfinite(levels[1]));
  EXPECT_NEAR(levels[2], 0.1f, 1e-6);
}

TEST_F(LiveTranscriberTest, VolatileUpdatesComeFirstAndFinishWaitsForTheLastUpdate) {
  // One long burst that is still going when the input ends: only finalizing settles it.
  const auto track = burstTrack(40 * double(kTap) / kRate, {0.5}, 10);
  auto live = preparedTranscriber();
  live->setAccepting(true);
  for (std::size_t at = 0; at + kTap <= track.size(); at += kTap) live->feed(*tapBuffer(track, at));
  live->finish();

  const auto updates = received_.all();
  ASSERT_GE(updates.size(), 3u);
  for (std::size_t i = 0; i + 1 < updates.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(updates[i].isFinal);
    EXPECT_TRUE(updates[i].sentences.empty());
    EXPECT_TRUE(kScript[0].starts_with(updates[i].text));
    EXPECT_NEAR(updates[i].start, 0.5, 0.03);
  }
  EXPECT_TRUE(updates.back().isFinal);
  EXPECT_EQ(updates.back().text, kScript[0]);
  ASSERT_EQ(updates.back().sentences.size(), 1u);
  const auto& sentence = updates.back().sentences[0];
  EXPECT_EQ(sentence.text, kScript[0]);
  EXPECT_NEAR(*sentence.start, updates.back().start, 1e-9);
  EXPECT_NEAR(*sentence.end, updates.back().end, 1e-9);
  EXPECT_TRUE(received_.errors.empty());
}

TEST_F(LiveTranscriberTest, CancelDropsPendingResults) {
  const auto track = burstTrack(20 * double(kTap) / kRate, {0.2}, 10);
  auto live = preparedTranscriber();
  live->setAccepting(true);
  for (std::size_t at = 0; at + kTap <= track.size(); at += kTap) live->feed(*tapBuffer(track, at));
  live->cancel();
  live->feed(*tapBuffer(track, 0));
  live->cancel();
  live.reset();  // joins the results thread
  for (const auto& update : received_.all()) EXPECT_FALSE(update.isFinal);
  EXPECT_TRUE(received_.errors.empty());
}

TEST_F(LiveTranscriberTest, FailingResultStreamReportsOnceAndStops) {
  platform::SpeechBackend::install(std::make_shared<ScriptedSpeechBackend>(
      kScript, ScriptedSpeechBackend::Directive::failingResults, 1));
  const auto track = burstTrack(6, {0.5, 2.5, 4.5}, 0.4);
  auto live = preparedTranscriber();
  live->setAccepting(true);
  for (std::size_t at = 0; at + kTap <= track.size(); at += kTap) live->feed(*tapBuffer(track, at));
  live->finish();
  EXPECT_EQ(received_.all().size(), 1u);
  EXPECT_EQ(received_.errors,
            std::vector<std::string>{"文字起こしが中断しました: scripted recogniser failure"});
}

TEST_F(LiveTranscriberTest, DeviceChangeReinstallsTheTapWithANewConverter) {
  std::vector<double> converterRates;
  auto factory = [&](const platform::AudioFormat& from, const platform::AudioFormat& to) {
    converterRates.push_back(from.sampleRate());
    return platform::Converter::make(from, to);
  };
  auto first = std::make_unique<platform::GeneratorAudioInput>(
      kRate, 1, 8 * kTap, [](std::int64_t, std::uint32_t) { return 0.0f; },
      platform::PacedAudioInput::Pacing{0, 1024, nullptr});
  auto* firstInput = first.get();
  auto live = preparedTranscriber(std::make_unique<platform::AudioEngine>(std::move(first)), factory);
  std::vector<std::string> notices;
  live->setOnInputChange([&](const std::string& notice) { notices.push_back(notice); });
  live->setAccepting(true);  // before the start: the generator runs at full speed
  live->startMicrophone();
  firstInput->waitUntilFinished();

  // Another microphone: 44.1 kHz stereo.
  auto second = std::make_unique<platform::GeneratorAudioInput>(
      44100, 2, 6 * kTap, [](std::int64_t, std::uint32_t) { return 0.0f; },
      platform::PacedAudioInput::Pacing{0, 1024, nullptr});
  auto* secondInput = second.get();
  live->engine().setInput(std::move(second));
  live->engine().notifyConfigurationChange();
  secondInput->waitUntilFinished();

  // A microphone that reports no format: the input stops.
  live->engine().setInput(std::make_unique<platform::GeneratorAudioInput>(0, 1, 100, nullptr));
  live->engine().notifyConfigurationChange();
  EXPECT_FALSE(live->engine().isRunning());
  live->finish();

  EXPECT_EQ(notices, (std::vector<std::string>{
                         "マイクが切り替わったため、入力をつなぎ直しました。",
                         "マイクの入力が止まりました。マイクの接続を確認してください。"}));
  EXPECT_EQ(converterRates, (std::vector<double>{kRate, 44100}));
  EXPECT_NEAR(writer_->finish(), 8.0 * kTap / kRate + 6.0 * kTap / 44100, 0.01);
}

// Plays an FFmpeg-made file of three bursts through the engine, pausing between the first two,
// and compares sentence starts with the bursts' places in the written recording.
TEST_F(LiveTranscriberTest, SentencesKeepTheirPlacesInTheRecordingAcrossAPause) {
  const auto path = folder_ / "bursts.m4a";
  testsupport::writeAac(path, kRate, {burstTrack(9, {0.7, 4.1, 6.9})});
  const std::int64_t pauseAt = 20 * kTap;    // 1.71 s
  const std::int64_t resumeAt = 40 * kTap;   // 3.41 s
  LiveTranscriber* target = nullptr;
  auto input = std::make_unique<platform::FileAudioInput>(
      path, platform::PacedAudioInput::Pacing{20, 1024, [&](std::int64_t at) {
        if (at == pauseAt) target->setAccepting(false);
        if (at == resumeAt) target->setAccepting(true);
      }});
  auto* file = input.get();
  auto live = preparedTranscriber(std::make_unique<platform::AudioEngine>(std::move(input)));
  target = live.get();
  live->setAccepting(true);
  live->startMicrophone();
  file->waitUntilFinished();
  live->finish();
  writer_->finish();

  const auto onsets = burstOnsets(writtenSamples(), kRate);
  const auto sentences = received_.sentences();
  ASSERT_EQ(onsets.size(), 3u);
  ASSERT_EQ(sentences.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sentences[i].text, kScript[i]);
    EXPECT_NEAR(*sentences[i].start, onsets[i], 0.03);
  }
}

// A buffer that passes the gate but cannot be converted is still recorded; the sentences after
// it must keep their places in the recording.
TEST_F(LiveTranscriberTest, UnconvertibleBufferKeepsLaterSentencesInPlace) {
  auto factory = [](const platform::AudioFormat& from, const platform::AudioFormat& to) {
    return from.sampleRate() == 44100 ? nullptr : platform::Converter::make(from, to);
  };
  const auto track = burstTrack(6, {0.5, 2.6, 4.6}, 0.5);
  const std::size_t failingAt = 25 * kTap;  // 2.13 s, between the first two bursts
  auto live = preparedTranscriber(nullptr, factory);
  live->setAccepting(true);
  for (std::size_t at = 0; at + kTap <= track.size(); at += kTap) {
    live->feed(*tapBuffer(track, at));
    // Another microphone's buffer of silence that no converter takes.
    if (at == failingAt) live->feed(*tapBuffer(std::vector<float>(kTap, 0.0f), 0, 44100));
  }
  live->finish();
  writer_->finish();

  const auto onsets = burstOnsets(writtenSamples(), kRate);
  const auto sentences = received_.sentences();
  ASSERT_EQ(onsets.size(), 3u);
  ASSERT_EQ(sentences.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(*sentences[i].start, onsets[i], 0.03);
  }
}

}  // namespace
}  // namespace devadevev
