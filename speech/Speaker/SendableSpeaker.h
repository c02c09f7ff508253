#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tesselaudio {

struct Speaker;

// A compact summary of a speaker with a numeric id, to hand to other code. A plain value; equal
// when id and name are, hashed by id.
struct SendableSpeaker {
  SendableSpeaker(std::int64_t id, std::string name, float duration, std::vector<float> mainEmbedding,
                  double createdAt, double updatedAt);
  // The id is the speaker's id text read as a decimal number ("+5" is 5); for any other text a
  // non-negative number from the text's hash, which holds for this process only.
  explicit SendableSpeaker(const Speaker& speaker);

  std::int64_t id;
  std::string name;
  float duration;
  std::vector<float> mainEmbedding;
  double createdAt;
  double updatedAt;

  // The name, or "Speaker #" and the id when the name is empty.
  std::string label() const;

  bool operator==(const SendableSpeaker& other) const {
    return id == other.id && name == other.name;
  }
};

}  // namespace tesselaudio

template <>
struct std::hash<tesselaudio::SendableSpeaker> {
  std::size_t operator()(const tesselaudio::SendableSpeaker& speaker) const noexcept {
    return std::hash<std::int64_t>()(speaker.id);
  }
};
