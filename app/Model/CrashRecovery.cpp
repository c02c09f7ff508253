#include "app/Model/CrashRecovery.h"

#include <exception>

#include <fmt/format.h>

#include "app/Model/AppLog.h"
#include "app/Model/JsonFields.h"
#include "platform/audio/FragmentedAac.h"
#include "platform/sys/FileIO.h"

namespace veltovoice::CrashRecovery {

void sweepTemporaryFiles(const SessionStore& store) {
  platform::RemovedFiles total;
  for (const auto& folder : {store.sessionsDirectory, store.audioDirectory}) {
    const platform::RemovedFiles removed = platform::removeStaleTemporaryFiles(folder, kTemporaryFileAge);
    total.count += removed.count;
    total.bytes += removed.bytes;
  }
  if (total.count == 0) return;
  AppLog::info(fmt::format("残っていた一時ファイルを削除した: {}件 {}バイト", total.count, total.bytes));
}

RepairedRecordings repairRecordings(const SessionStore& store, std::vector<VoiceSession>& sessions) {
  RepairedRecordings outcome;
  for (VoiceSession& session : sessions) {
    const auto audio = store.audioPath(session);
    if (!audio || !platform::FragmentedAac::isCrashSafeForm(*audio)) continue;
    const std::string id = detail::uuidText(session.id);
    try {
      const double seconds = platform::FragmentedAac::rewriteInOrdinaryForm(*audio);
      session.duration = seconds;
      outcome.repaired.push_back(session.id);
      AppLog::info(fmt::format("途中で終わった録音を修復した: 会話 {} 長さ {:.0f}秒", id, seconds));
    } catch (const std::exception& error) {
      outcome.unreadable.push_back(*session.audioFile);
      AppLog::error("途中で終わった録音を修復できなかった: 会話 " + id + " " + AppLog::describe(error));
    }
  }
  return outcome;
}

std::optional<std::string> noticeText(const RepairedRecordings& recordings) {
  if (recordings.unreadable.empty()) return std::nullopt;
  std::string names;
  for (const std::string& name : recordings.unreadable) names += (names.empty() ? "" : "、") + name;
  return "録音ファイルを読み込めませんでした: " + names;
}

}  // namespace veltovoice::CrashRecovery
