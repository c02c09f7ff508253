#include "speech/Speaker/SendableSpeaker.h"

#include <functional>
#include <limits>
#include <utility>

#include "speech/Speaker/Speaker.h"
#include "speech/Speaker/SpeakerId.h"

namespace tesselaudio {
namespace {

std::int64_t numericId(const std::string& text) {
  if (const auto value = detail::numericSpeakerId(text)) return *value;
  // The sign bit cleared rather than an absolute value, which overflows for the smallest number.
  const auto hash = static_cast<std::uint64_t>(std::hash<std::string>()(text));
  return static_cast<std::int64_t>(hash & static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
}

}  // namespace

SendableSpeaker::SendableSpeaker(std::int64_t id, std::string name, float duration,
                                 std::vector<float> mainEmbedding, double createdAt,
                                 double updatedAt)
    : id(id),
      name(std::move(name)),
      duration(duration),
      mainEmbedding(std::move(mainEmbedding)),
      createdAt(createdAt),
      updatedAt(updatedAt) {}

SendableSpeaker::SendableSpeaker(const Speaker& speaker)
    : SendableSpeaker(numericId(speaker.id), speaker.name, speaker.duration,
                      speaker.currentEmbedding, speaker.createdAt, speaker.updatedAt) {}

std::string SendableSpeaker::label() const {
  return name.empty() ? "Speaker #" + std::to_string(id) : name;
}

}  // namespace tesselaudio
