#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <QUuid>

#include "app/Model/SessionStore.h"
#include "app/Model/VoiceSession.h"

// What start-up mends after a run that ended without closing its files (a crash, a kill, a power
// cut). GUI thread, while the conversation model is made.
namespace veltovoice::CrashRecovery {

// Temporary files younger than this may belong to a write still going on.
inline constexpr std::chrono::seconds kTemporaryFileAge{60};

// Removes the temporary files that atomic writes and copies leave in the store's sessions and audio
// folders when the process dies midway, once they are older than kTemporaryFileAge; nothing else
// is touched. Logs one line with their count and bytes when it removed any. Never throws.
void sweepTemporaryFiles(const SessionStore& store);

struct RepairedRecordings {
  std::vector<QUuid> repaired;          // their `duration` is now that of the repaired file
  std::vector<std::string> unreadable;  // recording names, left as they are
};

// Rewrites each recording of `sessions` that was left in the crash-safe form as an ordinary file,
// atomically, and sets its conversation's `duration` from it; logs one line each. A recording that
// cannot be read is left under its name untouched and logged. Writes no conversation file (the
// caller saves the repaired ones). Never throws.
RepairedRecordings repairRecordings(const SessionStore& store, std::vector<VoiceSession>& sessions);

// The notice for recordings that could not be read, naming them; none when all could.
std::optional<std::string> noticeText(const RepairedRecordings& recordings);

}  // namespace veltovoice::CrashRecovery
