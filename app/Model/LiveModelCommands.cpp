#include "app/Model/LiveModel.h"

#include <algorithm>
#include <system_error>

#include "app/Model/Clipboard.h"
#include "app/Model/DesktopServices.h"

namespace veltovoice {

void LiveModel::copyTranscript(const OptionalID& sessionID) {
  const OptionalID wanted = sessionID ? sessionID : selectedID_;
  const VoiceSession* found = wanted ? session(*wanted) : nullptr;
  if (!found) return;
  services_.clipboard->setText(found->transcriptText());
}

void LiveModel::select(int offset) {
  if (sessions_.empty()) return;
  const long count = static_cast<long>(sessions_.size());
  const std::optional<int> row = selectedID_ ? rowOf(*selectedID_) : std::nullopt;
  const long current = row.value_or(0);
  // The offset may be any size; the remainder keeps the index in range either way.
  const long next = ((current + offset) % count + count) % count;
  setSelectedID(sessions_[static_cast<std::size_t>(next)].id);
}

void LiveModel::reveal(const QUuid& sessionID) {
  const VoiceSession* found = session(sessionID);
  if (!found) return;
  if (const auto file = store_.markdownPath(*found)) {
    std::error_code error;
    if (std::filesystem::exists(*file, error)) {
      services_.desktop->showFileSelected(*file);
      return;
    }
  }
  services_.desktop->openFolder(store_.sessionsDirectory);
}

std::string LiveModel::settingsAddress(Notice::Action action) {
  const std::string prefix = "x-apple.systempreferences:com.apple.preference.security?";
  switch (action) {
    case Notice::Action::fullDiskAccess: return prefix + "Privacy_AllFiles";
    case Notice::Action::microphone: return prefix + "Privacy_Microphone";
  }
  return prefix;
}

void LiveModel::perform(Notice::Action action) {
  if (!services_.desktop->canOpenSettingsPanes()) return;
  services_.desktop->openAddress(settingsAddress(action));
}

}  // namespace veltovoice
