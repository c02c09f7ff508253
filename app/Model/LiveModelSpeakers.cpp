#include "app/Model/LiveModel.h"

#include <algorithm>

namespace veltovoice {

const std::vector<std::string>& LiveModel::speakerLetters() {
  static const std::vector<std::string> letters = {"A", "B", "C", "D"};
  return letters;
}

std::vector<int> LiveModel::knownSpeakers(const VoiceSession& session) const {
  std::vector<int> known;
  for (const LiveSegment& segment : session.segments) {
    if (segment.speaker) known.push_back(*segment.speaker);
  }
  for (const auto& [slot, name] : session.speakerNames) known.push_back(slot);
  std::sort(known.begin(), known.end());
  known.erase(std::unique(known.begin(), known.end()), known.end());
  return known;
}

void LiveModel::renameSpeaker(const QUuid& in, int slot, const std::string& name) {
  if (!editSession(in, [&](VoiceSession& s) { s.speakerNames[slot] = name; })) return;
  scheduleSave(in);
}

}  // namespace veltovoice
