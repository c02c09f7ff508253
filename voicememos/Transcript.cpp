#include "voicememos/Transcript.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "voicememos/MovieHeader.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

using nlohmann::json;

// One stretch of text and its "timeRange" attribute (null when it has none).
struct Run {
  std::string text;
  json timeRange;
};

json timeRangeAttribute(const json& attributes) {
  if (!attributes.is_object()) throw VoiceMemosError::malformedTranscript();
  const auto found = attributes.find("timeRange");
  return found == attributes.end() ? json() : *found;
}

void appendRun(std::vector<Run>& runs, const json& text, json timeRange) {
  if (!text.is_string()) throw VoiceMemosError::malformedTranscript();
  const auto& piece = text.get_ref<const std::string&>();
  if (piece.empty()) return;
  if (!runs.empty() && runs.back().timeRange == timeRange) {
    runs.back().text += piece;
  } else {
    runs.push_back({piece, std::move(timeRange)});
  }
}

// ["text", {attributes}, "text", {attributes}, ...]
std::vector<Run> runsOfPairs(const json& pairs) {
  if (pairs.size() % 2 != 0) throw VoiceMemosError::malformedTranscript();
  std::vector<Run> runs;
  for (std::size_t i = 0; i < pairs.size(); i += 2) {
    appendRun(runs, pairs[i], timeRangeAttribute(pairs[i + 1]));
  }
  return runs;
}

// {"runs": ["text", index, ...], "attributeTable": [{attributes}, ...]}
std::vector<Run> runsOfTable(const json& object) {
  const auto pieces = object.find("runs");
  const auto table = object.find("attributeTable");
  if (pieces == object.end() || !pieces->is_array() || pieces->size() % 2 != 0) {
    throw VoiceMemosError::malformedTranscript();
  }
  const json noTable = json::array();
  const json& attributeTable = table == object.end() ? noTable : *table;
  if (!attributeTable.is_array()) throw VoiceMemosError::malformedTranscript();
  std::vector<Run> runs;
  for (std::size_t i = 0; i < pieces->size(); i += 2) {
    const json& index = (*pieces)[i + 1];
    if (!index.is_number_unsigned() || index.get<std::uint64_t>() >= attributeTable.size()) {
      throw VoiceMemosError::malformedTranscript();
    }
    appendRun(runs, (*pieces)[i],
              timeRangeAttribute(attributeTable[static_cast<std::size_t>(index.get<std::uint64_t>())]));
  }
  return runs;
}

std::vector<Run> decodeRuns(const json& attributed) {
  if (attributed.is_string()) {
    std::vector<Run> runs;
    appendRun(runs, attributed, json());
    return runs;
  }
  if (attributed.is_array()) return runsOfPairs(attributed);
  if (attributed.is_object()) return runsOfTable(attributed);
  throw VoiceMemosError::malformedTranscript();
}

std::optional<Transcript::TimeRange> decodeTimeRange(const json& value) {
  if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number()) {
    return std::nullopt;
  }
  const double lower = value[0].get<double>();
  const double upper = value[1].get<double>();
  if (!(lower <= upper)) return std::nullopt;
  return Transcript::TimeRange{lower, upper};
}

std::optional<std::string> decodeLocale(const json& document) {
  const auto found = document.find("locale");
  if (found == document.end()) return std::nullopt;
  if (found->is_string()) return found->get<std::string>();
  if (found->is_object()) {
    const auto identifier = found->find("identifier");
    if (identifier != found->end() && identifier->is_string()) return identifier->get<std::string>();
  }
  return std::nullopt;
}

}  // namespace

std::optional<Transcript> Transcript::contentsOf(const std::filesystem::path& contentsOf) {
  const auto header = MovieHeader::contentsOf(contentsOf);
  if (!header) return std::nullopt;
  const auto data = header->transcriptData();
  if (!data) return std::nullopt;
  return fromData(*data);
}

Transcript Transcript::fromData(std::span<const std::uint8_t> data) {
  json document;
  try {
    document = json::parse(data.begin(), data.end());
  } catch (const json::exception&) {
    throw VoiceMemosError::malformedTranscript();
  }
  if (!document.is_object()) throw VoiceMemosError::malformedTranscript();
  const auto attributed = document.find("attributedString");
  if (attributed == document.end()) throw VoiceMemosError::malformedTranscript();

  Transcript transcript;
  for (Run& run : decodeRuns(*attributed)) {
    transcript.text += run.text;
    transcript.segments.push_back({std::move(run.text), decodeTimeRange(run.timeRange)});
  }
  transcript.locale = decodeLocale(document);
  return transcript;
}

}  // namespace voicememos
