#include "app/Model/LiveModel.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include <QCoroFuture>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

#include "app/Model/ModelClock.h"
#include "app/Model/RecordingCopy.h"
#include "app/VoiceMemos/VoiceMemosController.h"
#include "platform/sys/Error.h"

namespace veltovoice {

namespace fs = std::filesystem;
using VoiceMemosController::FindResult;

namespace {

constexpr double kSearchToleranceSeconds = 30;
constexpr std::chrono::seconds kWaitForFile{20};
constexpr double kSearchPauseSeconds = 1.0;
constexpr double kSizePauseSeconds = 0.7;
constexpr int kMostSizePauses = 20;

// The folder the reader looks in cannot be listed: Linux has no access switch to point at, so the
// notice names the folder itself.
std::string linkAccessNotice() {
  return "ボイスメモの録音フォルダ（" + VoiceMemosController::recordingsFolder().string() +
         "）を読めません。フォルダの場所と読み取りの許可を確かめてから、会話の「録音を探す」を押します。";
}

std::string startupAccessNotice() {
  return "ボイスメモの録音フォルダ（" + VoiceMemosController::recordingsFolder().string() +
         "）を読めません。フォルダの場所と読み取りの許可を確かめてから VELTO VOICE を開き直します（0.5 以前の会話だけに必要です）。";
}
const char* const kNotFoundNotice = "この会話の録音がボイスメモに見つかりませんでした。";
const char* const kCopyFailedNotice = "録音をコピーできませんでした: ";

// The file's size; 0 when it cannot be read, which never counts as settled.
std::uintmax_t sizeOf(const fs::path& file) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(file, error);
  return error ? 0 : size;
}

}  // namespace

QCoro::Task<> LiveModel::linkAudio(QUuid id, bool waitForFile, bool quiet) {
  QPointer<LiveModel> self(this);
  const VoiceSession* linking = session(id);
  if (!linking) co_return;
  const double startedAt = linking->startedAt;
  const std::shared_ptr<ModelClock> clock = services_.clock;
  const std::stop_token stop = linkStop_.get_token();
  const auto deadline = clock->now() + (waitForFile ? kWaitForFile : std::chrono::seconds{0});

  std::optional<fs::path> recording;
  for (;;) {
    const FindResult result = VoiceMemosController::findRecording(startedAt, kSearchToleranceSeconds);
    if (result.kind == FindResult::Kind::noPermission) {
      setNotice(Notice{linkAccessNotice(), Notice::Action::fullDiskAccess});
      co_return;
    }
    if (result.kind == FindResult::Kind::found) {
      recording = result.url;
      break;
    }
    co_await clock->sleep(kSearchPauseSeconds, stop);
    if (!self || stop.stop_requested() || !session(id)) co_return;
    if (!(clock->now() < deadline)) break;
  }
  if (!recording) {
    if (!waitForFile && !quiet) setNotice(Notice{kNotFoundNotice, std::nullopt});
    co_return;
  }

  const bool settled = co_await waitForStableSize(id, *recording);
  if (!settled) co_return;

  const std::string name = idText(id) + recording->extension().string();
  const fs::path target = store_.audioDirectory / name;
  const fs::path source = *recording;
  QFuture<CopiedRecording> copying =
      QtConcurrent::run([source, target] { return copyRecording(source, target); });
  const CopiedRecording copied = co_await copying;
  if (!self) co_return;
  if (copied.failure) {
    setNotice(Notice{kCopyFailedNotice + platform::Error::messageOf(copied.failure), std::nullopt});
    co_return;
  }
  if (!session(id)) {
    // The conversation was deleted meanwhile: nothing would ever name the copy.
    std::error_code ignored;
    fs::remove(target, ignored);
    co_return;
  }
  editSession(id, [&](VoiceSession& s) {
    s.audioFile = name;
    if (copied.duration) s.duration = copied.duration;
  });
  saveNow(id);
}

QCoro::Task<bool> LiveModel::waitForStableSize(QUuid id, std::filesystem::path recording) {
  QPointer<LiveModel> self(this);
  const std::shared_ptr<ModelClock> clock = services_.clock;
  const std::stop_token stop = linkStop_.get_token();
  auto readSize = [recording] { return QtConcurrent::run([recording] { return sizeOf(recording); }); };

  QFuture<std::uintmax_t> first = readSize();
  std::uintmax_t previous = co_await first;
  if (!self || !session(id)) co_return false;
  for (int pause = 1;; ++pause) {
    co_await clock->sleep(kSizePauseSeconds, stop);
    if (!self || stop.stop_requested() || !session(id)) co_return false;
    if (pause == kMostSizePauses) co_return true;
    QFuture<std::uintmax_t> reading = readSize();
    const std::uintmax_t size = co_await reading;
    if (!self || !session(id)) co_return false;
    if (size > 0 && size == previous) co_return true;
    previous = size;
  }
}

QCoro::Task<> LiveModel::linkMissingAudio() {
  QPointer<LiveModel> self(this);
  // The list as it is now; conversations added later are not this pass's.
  std::vector<std::pair<QUuid, double>> missing;
  for (const VoiceSession& s : sessions_) {
    if (!s.audioFile) missing.emplace_back(s.id, s.startedAt);
  }
  for (const auto& [id, startedAt] : missing) {
    if (VoiceMemosController::findRecording(startedAt, kSearchToleranceSeconds).kind ==
        FindResult::Kind::noPermission) {
      setNotice(Notice{startupAccessNotice(), Notice::Action::fullDiskAccess});
      co_return;
    }
    QCoro::Task<> linking = linkAudio(id, false, true);
    co_await linking;
    if (!self) co_return;
  }
}

}  // namespace veltovoice
