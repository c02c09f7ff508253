#include "speech/ASR/Parakeet/WordTiming.h"

#include <string_view>

#include "platform/sys/JsonFields.h"
#include "speech/Shared/ASRConstants.h"

namespace tesselaudio {
namespace {

using namespace platform::json;

bool isSkipped(const std::string& token) {
  return token.empty() || token == "<blank>" || token == "<pad>";
}

// The length in bytes of the boundary mark or space that begins `token`, or 0.
size_t boundaryPrefixLength(std::string_view token) {
  if (token.starts_with(ASRConstants::sentencePieceWordBoundary)) {
    return ASRConstants::sentencePieceWordBoundary.size();
  }
  return token.starts_with(' ') ? 1 : 0;
}

std::string_view trimmedOfSpacesAndTabs(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

class WordCollector {
 public:
  void add(const TokenTiming& timing) {
    if (isSkipped(timing.token)) return;
    const size_t prefix = boundaryPrefixLength(timing.token);
    if (prefix > 0 || current_.word.empty()) {
      flush();
      current_ = {timing.token.substr(prefix), timing.startTime, timing.endTime};
      return;
    }
    current_.word += timing.token;
    current_.endTime = timing.endTime;
  }

  std::vector<WordTiming> finish() {
    flush();
    return std::move(words_);
  }

 private:
  void flush() {
    const std::string_view text = trimmedOfSpacesAndTabs(current_.word);
    if (!text.empty()) words_.push_back({std::string(text), current_.startTime, current_.endTime});
    current_ = {};
  }

  WordTiming current_;
  std::vector<WordTiming> words_;
};

}  // namespace

nlohmann::json WordTiming::toJson() const {
  Json json = Json::object();
  json["word"] = word;
  json["startTime"] = writeDouble(startTime, "startTime");
  json["endTime"] = writeDouble(endTime, "endTime");
  return json;
}

WordTiming WordTiming::fromJson(const nlohmann::json& json) {
  requireObject(json, "WordTiming");
  WordTiming w;
  w.word = readString(requiredMember(json, "word"), "word");
  w.startTime = readDouble(requiredMember(json, "startTime"), "startTime");
  w.endTime = readDouble(requiredMember(json, "endTime"), "endTime");
  return w;
}

std::vector<WordTiming> buildWordTimings(const std::vector<TokenTiming>& from) {
  WordCollector collector;
  for (const TokenTiming& timing : from) collector.add(timing);
  return collector.finish();
}

}  // namespace tesselaudio
