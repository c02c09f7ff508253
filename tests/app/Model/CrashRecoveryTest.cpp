// What the conversation model finds at start-up after a run that did not end in order: recordings
// cut off by a crash, temporary files of writes and copies that never finished, and children
// killed while recording or importing. Real store, FFmpeg files, Voice Memos reader and player.

#include <signal.h>
#include <sys/stat.h>


#include <QProcess>
#include <fmt/format.h>
#include <gmock/gmock.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "DevadEvev/RecordingWriter.h"
#include "app/Model/AppLog.h"
#include "platform/audio/AudioPlayer.h"
#include "platform/audio/FragmentedAac.h"
#include "tests/app/Model/ImportLinkFixture.h"
#include "voicememos/AudioFile.h"

namespace veltovoice::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr double kRate = 48000;

// What FFmpeg's probe reports of a file's audio, as ffprobe would.
struct Probe {
  bool opened = false;
  std::string codec;
  int sampleRate = 0;
  int channels = 0;
};

Probe probe(const fs::path& path) {
  Probe result;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0) return result;
  if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams == 1) {
    const AVCodecParameters& codec = *format->streams[0]->codecpar;
    result.opened = true;
    result.codec = avcodec_get_name(codec.codec_id);
    result.sampleRate = codec.sample_rate;
    result.channels = codec.ch_layout.nb_channels;
  }
  avformat_close_input(&format);
  return result;
}

class CrashRecoveryTest : public ImportLinkFixture {
 protected:
  ~CrashRecoveryTest() override {
    if (child_.state() != QProcess::NotRunning) {
      child_.kill();
      child_.waitForFinished();
    }
  }

  // A conversation with a transcript whose recording (not yet written) is Audio/<UUID>.m4a, as a
  // recording saves it when its microphone opens.
  VoiceSession recordingConversation() {
    VoiceSession session = conversation("定例会", jan2Tokyo(10, 0, 0));
    session.audioFile = LiveModel::idText(session.id) + ".m4a";
    LiveSegment sentence;
    sentence.text = "おはようございます。";
    sentence.start = 0.5;
    sentence.end = 1.5;
    session.segments.push_back(sentence);
    fs::create_directories(audioFolder());
    return stored(session);
  }

  fs::path recordingOf(const VoiceSession& session) const { return audioFolder() / *session.audioFile; }

  static std::string logText() {
    AppLog::flush();
    return bytesOf(AppLog::directory() / "veltovoice.log");
  }

  static void expectOrdinaryM4a(const fs::path& path) {
    EXPECT_FALSE(platform::FragmentedAac::isCrashSafeForm(path));
    EXPECT_EQ(testsupport::majorBrand(path), "M4A ");
    EXPECT_EQ(testsupport::topLevelBoxTypes(path), "ftyp moov mdat");
    const Probe found = probe(path);
    EXPECT_TRUE(found.opened);
    EXPECT_EQ(found.codec, "aac");
    EXPECT_EQ(found.sampleRate, 48000);
    EXPECT_EQ(found.channels, 1);
  }

  // Starts the child with `arguments` and returns its first line of output.
  std::string startChild(const QStringList& arguments) {
    child_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child_.start(QStringLiteral(CRASH_SAFETY_CHILD), arguments);
    EXPECT_TRUE(child_.waitForStarted());
    // A minute is far beyond what the child needs; it only keeps a broken child from hanging us.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!child_.canReadLine() && child_.state() == QProcess::Running &&
           std::chrono::steady_clock::now() < giveUp) {
      child_.waitForReadyRead(1000);
    }
    return child_.readLine().trimmed().toStdString();
  }

  void killChild() {
    child_.kill();  // SIGKILL
    ASSERT_TRUE(child_.waitForFinished());
    EXPECT_EQ(child_.exitStatus(), QProcess::CrashExit);
  }

  QProcess child_;
};

TEST_F(CrashRecoveryTest, CutOffRecordingIsRepairedOnceAndItsConversationGetsItsLength) {
  const VoiceSession session = recordingConversation();
  testsupport::writeCutOffRecording(recordingOf(session), testsupport::chirp(200, 6000, kRate, 3.4 * kRate));
  ASSERT_TRUE(platform::FragmentedAac::isCrashSafeForm(recordingOf(session)));

  const VoiceSession* loaded = model().session(session.id);
  ASSERT_NE(loaded, nullptr);
  expectOrdinaryM4a(recordingOf(session));
  const testsupport::DecodedAudio repaired = testsupport::readAudioFile(recordingOf(session));
  ASSERT_TRUE(loaded->duration.has_value());
  EXPECT_DOUBLE_EQ(*loaded->duration, static_cast<double>(repaired.length) / kRate);
  EXPECT_GE(*loaded->duration, 2.9);
  EXPECT_EQ(loaded->segments, session.segments);
  EXPECT_EQ(onDisk(session.id)->duration, loaded->duration);
  EXPECT_FALSE(model().notice().has_value());
  EXPECT_THAT(logText(), HasSubstr("途中で終わった録音を修復した: 会話 " + LiveModel::idText(session.id)));
  EXPECT_EQ(audioEntries(), std::vector<std::string>{*session.audioFile});

  // The next start finds an ordinary file and leaves it alone.
  const std::optional<double> duration = loaded->duration;
  const std::string bytes = bytesOf(recordingOf(session));
  model_.reset();
  EXPECT_EQ(model().session(session.id)->duration, duration);
  EXPECT_EQ(bytesOf(recordingOf(session)), bytes);
}

TEST_F(CrashRecoveryTest, RecordingThatCannotBeRepairedIsKeptAndTheNoticeSaysSo) {
  const VoiceSession session = recordingConversation();
  testsupport::writeCutOffRecording(recordingOf(session), testsupport::chirp(200, 6000, kRate, 2.5 * kRate));
  // Cut inside its index, as a power cut right after the start can leave it.
  const std::string broken =
      bytesOf(recordingOf(session)).substr(0, testsupport::topLevelBoxes(recordingOf(session)).at(1).offset + 60);
  writeBytes(recordingOf(session), broken);
  const std::string conversationFile = bytesOf(store().conversationFile(session.id));

  const VoiceSession* loaded = model().session(session.id);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->segments, session.segments);
  EXPECT_EQ(loaded->audioFile, session.audioFile);
  EXPECT_FALSE(loaded->duration.has_value());
  ASSERT_TRUE(model().notice().has_value());
  EXPECT_EQ(model().notice()->text, "録音ファイルを読み込めませんでした: " + *session.audioFile);
  EXPECT_EQ(bytesOf(recordingOf(session)), broken);
  EXPECT_EQ(audioEntries(), std::vector<std::string>{*session.audioFile});
  EXPECT_EQ(bytesOf(store().conversationFile(session.id)), conversationFile);
  EXPECT_THAT(logText(), HasSubstr("途中で終わった録音を修復できなかった: 会話 " + LiveModel::idText(session.id)));
}

TEST_F(CrashRecoveryTest, StartupSweepsOnlyOurOldTemporaryFilesOfTheStoreFolders) {
  VoiceSession session = conversation("会議", jan2Tokyo(10, 0, 0));
  session.audioFile = LiveModel::idText(session.id) + ".m4a";
  session.markdownFile = "2025-01-02 1000 会議.md";
  stored(session);
  fs::create_directories(audioFolder());
  fs::create_directories(root() / "Models");
  writeTone(audioFolder() / *session.audioFile, 0.5);
  struct Case {
    const char* name;
    fs::path path;
    int ageSeconds;
    bool removed;
  };
  const Case cases[] = {
      {"a killed save in Sessions", root() / "Sessions" / ".0123456789abcdef.tmp", 120, true},
      {"a killed import in Audio", audioFolder() / ".fedcba9876543210.tmp", 7200, true},
      {"one younger than a minute", audioFolder() / ".00000000000000aa.tmp", 10, false},
      {"our name in the application folder", root() / ".0123456789abcdef.tmp", 7200, false},
      {"our name in the model folder", root() / "Models" / ".0123456789abcdef.tmp", 7200, false},
      {"a user's .tmp file", audioFolder() / "take 1.tmp", 7200, false},
      {"the conversation file", store().conversationFile(session.id), 7200, false},
      {"its Markdown file", root() / "Sessions" / *session.markdownFile, 7200, false},
      {"its recording", audioFolder() / *session.audioFile, 7200, false},
  };
  std::uintmax_t removedBytes = 0;
  std::vector<std::string> before;
  for (const Case& c : cases) {
    if (!fs::exists(c.path)) writeBytes(c.path, std::string(c.removed ? 4000 : 100, 'x'));
    testsupport::makeOlder(c.path, c.ageSeconds);
    if (c.removed) removedBytes += fs::file_size(c.path);
    before.push_back(bytesOf(c.path));
  }

  model();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(!fs::exists(c.path), c.removed);
    if (!c.removed) {
      EXPECT_EQ(bytesOf(c.path), before[i]);
    }
  }
  EXPECT_EQ(model().sessionCount(), 1);
  EXPECT_THAT(logText(), HasSubstr(fmt::format("残っていた一時ファイルを削除した: 2件 {}バイト", removedBytes)));
}

TEST_F(CrashRecoveryTest, NothingToSweepLogsNothing) {
  model();
  EXPECT_THAT(logText(), Not(HasSubstr("一時ファイル")));
}

TEST_F(CrashRecoveryTest, StoppedRecordingIsAnOrdinaryM4aThatTheReadersAndThePlayerOpen) {
  const VoiceSession session = recordingConversation();
  devadevev::RecordingWriter writer(recordingOf(session));
  const std::vector<float> signal = testsupport::chirp(200, 6000, kRate, 2 * kRate + 333);
  for (std::size_t start = 0; start < signal.size(); start += 4096) {
    const std::size_t end = std::min(signal.size(), start + 4096);
    writer.append(*testsupport::floatBuffer(kRate, {std::vector<float>(signal.begin() + start, signal.begin() + end)}));
  }
  const double seconds = writer.finish();
  EXPECT_DOUBLE_EQ(seconds, static_cast<double>(signal.size()) / kRate);

  expectOrdinaryM4a(recordingOf(session));
  const testsupport::DecodedAudio decoded = testsupport::readAudioFile(recordingOf(session));
  EXPECT_EQ(decoded.length, static_cast<std::int64_t>(signal.size()));
  EXPECT_EQ(testsupport::leadingOffset(decoded.channels.at(0), signal), 0u);
  const std::optional<voicememos::AudioFile> summary = voicememos::AudioFile::fromURL(recordingOf(session));
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->contentType, "public.mpeg-4-audio");
  ASSERT_TRUE(summary->duration.has_value());
  EXPECT_NEAR(*summary->duration, seconds, 0.001);
  platform::AudioPlayer player(recordingOf(session), {platform::AudioPlayer::Options::Output::nullSink});
  EXPECT_NEAR(player.duration(), seconds, 0.001);
  EXPECT_TRUE(player.prepareToPlay());
  // Nothing to repair at the next start.
  const std::string bytes = bytesOf(recordingOf(session));
  model();
  EXPECT_EQ(bytesOf(recordingOf(session)), bytes);
}

TEST_F(CrashRecoveryTest, RecordingKilledAtSixSecondsKeepsWhatWasWrittenAndLoadsWithItsLength) {
  const VoiceSession session = recordingConversation();
  const std::vector<float> signal = testsupport::chirp(200, 6000, kRate, 10 * kRate);
  const fs::path source = sources_ / "source.wav";
  testsupport::writeEncoded(source, kRate, {signal}, "pcm_f32le");

  const std::string line = startChild({"record", QString::fromStdString(source.string()),
                                       QString::fromStdString(recordingOf(session).string()), "6"});
  ASSERT_THAT(line, ::testing::StartsWith("written "));
  killChild();

  // Left behind: the crash-safe form, which FFmpeg decodes with the encoder's priming first.
  const fs::path file = recordingOf(session);
  ASSERT_TRUE(platform::FragmentedAac::isCrashSafeForm(file));
  const testsupport::DecodedAudio left = testsupport::readAudioFile(file);
  const std::vector<float>& samples = left.channels.at(0);
  const std::size_t lead = testsupport::leadingOffset(samples, signal);
  const std::size_t kept = samples.size() - lead;
  EXPECT_GE(kept, static_cast<std::size_t>(4 * kRate));
  EXPECT_LE(kept, static_cast<std::size_t>(6.1 * kRate));
  EXPECT_GT(testsupport::correlation(samples, lead, signal, 0, kept), 0.99);

  const VoiceSession* loaded = model().session(session.id);
  ASSERT_NE(loaded, nullptr);
  expectOrdinaryM4a(file);
  const testsupport::DecodedAudio repaired = testsupport::readAudioFile(file);
  EXPECT_EQ(repaired.length, static_cast<std::int64_t>(kept));
  EXPECT_EQ(testsupport::leadingOffset(repaired.channels.at(0), signal), 0u);
  ASSERT_TRUE(loaded->duration.has_value());
  EXPECT_DOUBLE_EQ(*loaded->duration, static_cast<double>(kept) / kRate);
  EXPECT_EQ(onDisk(session.id)->duration, loaded->duration);
  EXPECT_EQ(loaded->segments, session.segments);
}

TEST_F(CrashRecoveryTest, ApplicationKilledDuringAnImportCopyLeavesNoHiddenCopy) {
  ::signal(SIGPIPE, SIG_IGN);
  const VoiceSession before = stored(conversation("前からの会話", jan2Tokyo(9, 0, 0)));
  const fs::path pipe = sources_ / "会議.m4a";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  ASSERT_EQ(startChild({"import", QString::fromStdString(root().string()),
                        QString::fromStdString(pipe.string())}),
            "importing");

  // Hold the copy where the test wants it: a megabyte through the pipe, the end not yet given.
  int fd = -1;
  runUntil([&] {
    fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0;
  });
  ASSERT_GE(fd, 0);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const std::string block(1 << 20, 'a');
  ASSERT_EQ(::write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
  fs::path hidden;
  runUntil([&] {
    for (const std::string& name : audioEntries()) {
      if (name.starts_with(".") && fs::file_size(audioFolder() / name) == block.size()) hidden = audioFolder() / name;
    }
    return !hidden.empty();
  });
  ASSERT_FALSE(hidden.empty());
  killChild();
  ::close(fd);
  EXPECT_TRUE(fs::exists(hidden));

  // Started again a while later.
  testsupport::makeOlder(hidden, 120);
  ASSERT_EQ(model().sessionCount(), 1);
  EXPECT_EQ(model().sessionAt(0).id, before.id);
  EXPECT_EQ(audioEntries(), std::vector<std::string>{});
  EXPECT_THAT(logText(), HasSubstr(fmt::format("残っていた一時ファイルを削除した: 1件 {}バイト", block.size())));
}

}  // namespace
}  // namespace veltovoice::testing
