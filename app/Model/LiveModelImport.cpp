#include "app/Model/LiveModel.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <random>
#include <system_error>
#include <utility>

#include <QCoroFuture>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include "app/Model/ModelClock.h"
#include "app/Model/RecordingCopy.h"
#include "app/Model/UserLocale.h"
#include "platform/sys/Error.h"
#include "platform/text/Scalars.h"
#include "voicememos/Transcript.h"

namespace veltovoice {

namespace fs = std::filesystem;

namespace {

const char* const kChooserMessage = "音声ファイルを選んでください。原本は変更しません。";
const char* const kAudioFilter =
    "音声ファイル (*.m4a *.mp3 *.wav *.aac *.flac *.ogg *.opus *.caf *.aif *.aiff *.qta)";

struct DemoLine {
  int speaker;
  double start;
  const char* text;
};

constexpr DemoLine kDemoLines[] = {
    {0, 0.0, "おはようございます。"},
    {0, 1.3, "今日は新しいホームページの打ち合わせをお願いします。"},
    {1, 5.6, "はい、よろしくお願いします。"},
    {1, 8.6, "まず予算の話からしましょうか。"},
    {0, 13.2, "予算は50万円くらいを考えています。"},
    {0, 16.5, "公開は来年の3月です。"},
    {1, 19.3, "わかりました。"},
    {1, 21.2, "それなら3月公開で十分間に合いますね。"},
};
constexpr double kDemoSentenceSeconds = 2.0;
constexpr double kDemoDurationSeconds = 25.0;

double unixSeconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// The extension as written, without its dot; empty for a name without one. Names on disk may be
// any bytes; what the conversation stores (and names files after) is valid UTF-8.
std::string extensionOf(const fs::path& url) {
  const std::string extension = platform::text::repairedUtf8(url.extension().string());
  return extension.empty() ? extension : extension.substr(1);
}

std::string titleOf(const fs::path& url) {
  return platform::text::repairedUtf8(url.stem().string());
}

// Voice Memos keeps its transcripts in MPEG-4 and QuickTime files.
bool mayCarryTranscript(std::string extension) {
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension == "m4a" || extension == "qta" || extension == "mp4" || extension == "mov";
}

// The file's birth time in seconds since 1970, when the file system keeps one.
std::optional<double> birthTime(const fs::path& url) {
  const QDateTime born = QFileInfo(QFile::decodeName(url.c_str())).birthTime();
  if (!born.isValid()) return std::nullopt;
  return static_cast<double>(born.toMSecsSinceEpoch()) / 1000.0;
}

// What the worker learns of a chosen file and its copy.
struct ImportedFile {
  std::optional<double> createdAt;  // seconds since 1970
  std::optional<double> duration;
  std::optional<voicememos::Transcript> transcript;
  std::exception_ptr failure;       // the folder or the copy failed; nothing else is set then
};

// Copies `url` to `target` and reads what the conversation takes from the copy. Blocking.
ImportedFile copyAndRead(const fs::path& url, const fs::path& target, bool lookForTranscript) {
  ImportedFile imported;
  imported.createdAt = birthTime(url);
  CopiedRecording copied = copyRecording(url, target);
  if (copied.failure) {
    imported.failure = copied.failure;
    return imported;
  }
  imported.duration = copied.duration;
  if (lookForTranscript) {
    // A transcript that does not read costs the sentences only.
    try {
      imported.transcript = voicememos::Transcript::contentsOf(target);
    } catch (const std::exception&) {
    }
  }
  return imported;
}

std::vector<LiveSegment> sentencesOf(const voicememos::Transcript& transcript) {
  std::vector<LiveSegment> sentences;
  sentences.reserve(transcript.segments.size());
  for (const voicememos::Transcript::Segment& segment : transcript.segments) {
    LiveSegment sentence;
    sentence.text = segment.text;
    if (segment.timeRange) {
      sentence.start = segment.timeRange->lowerBound;
      sentence.end = segment.timeRange->upperBound;
    }
    sentences.push_back(std::move(sentence));
  }
  return sentences;
}

// |sin(i / 7)| × 0.12 plus noise from [0, 0.04].
LiveModel::Levels demoLevels() {
  std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> noise(0.0, std::nextafter(0.04, 1.0));
  LiveModel::Levels levels(LiveModel::kMaxLevels);
  for (std::size_t i = 0; i < levels.size(); ++i) {
    levels[i] = static_cast<float>(std::fabs(std::sin(static_cast<double>(i) / 7.0)) * 0.12 +
                                   noise(random));
  }
  return levels;
}

}  // namespace

void LiveModel::importAudio() {
  const std::optional<fs::path> url = services_.chooseFile(kChooserMessage, {kAudioFilter});
  if (!url || url->empty()) return;
  importFile(*url);
}

QCoro::Task<> LiveModel::importFile(std::filesystem::path url) {
  QPointer<LiveModel> self(this);
  VoiceSession session;
  session.title = titleOf(url);
  const std::string copyName = idText(session.id) + "." + extensionOf(url);
  const fs::path target = store_.audioDirectory / copyName;
  const double now = recordTimeFromUnixSeconds(unixSeconds(services_.clock->now()));
  const bool lookForTranscript = mayCarryTranscript(extensionOf(url));

  QFuture<ImportedFile> copying = QtConcurrent::run(
      [url, target, lookForTranscript] { return copyAndRead(url, target, lookForTranscript); });
  ImportedFile imported = co_await copying;
  if (!self) {
    // No conversation will name the copy.
    if (!imported.failure) {
      std::error_code ignored;
      fs::remove(target, ignored);
    }
    co_return;
  }
  if (imported.failure) {
    setNotice(Notice{platform::Error::messageOf(imported.failure), std::nullopt});
    co_return;
  }

  session.startedAt = imported.createdAt ? recordTimeFromUnixSeconds(*imported.createdAt) : now;
  session.audioFile = copyName;
  session.duration = imported.duration;
  if (imported.transcript) session.segments = sentencesOf(*imported.transcript);
  session.markdownFile = store_.newMarkdownFileName(session.startedAt, session.title, sessions_);
  const QUuid id = session.id;
  insertSession(0, std::move(session));
  // Among the conversations of its date, ahead of those that started at the same moment.
  reorderSessions(
      [](const VoiceSession& a, const VoiceSession& b) { return a.startedAt > b.startedAt; });
  setSelectedID(id);
  saveNow(id);
}

void LiveModel::loadDemo() {
  VoiceSession demo;
  demo.title = "サンプル";
  demo.startedAt = recordTimeFromUnixSeconds(unixSeconds(services_.clock->now()));
  demo.duration = kDemoDurationSeconds;
  for (const DemoLine& line : kDemoLines) {
    LiveSegment sentence;
    sentence.text = line.text;
    sentence.start = line.start;
    sentence.end = line.start + kDemoSentenceSeconds;
    sentence.speaker = line.speaker;
    demo.segments.push_back(std::move(sentence));
  }
  const QUuid id = demo.id;
  insertSession(0, std::move(demo));
  setSelectedID(id);
  setLevels(demoLevels());
}

}  // namespace veltovoice
